#!/usr/bin/env bash
# Installs the build into a temporary root, as a package build does, and
# checks it from the desktop's side: every file where the menu, the icon
# theme, the software centre and man look for it, the validators content, the
# names that tie them together equal, and the program answering --help and
# --version with no display at all.
# Usage: check_install.sh BUILD_DIR DESKTOP_ID VERSION SOURCE_DIR
set -u
build=$1 id=$2 version=$3 source=$4
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

DESTDIR=$root cmake --install "$build" --prefix /usr >"$root/install.log" 2>&1 ||
  { cat "$root/install.log"; echo "FAIL: cmake --install"; exit 1; }
usr=$root/usr
desktop=$usr/share/applications/$id.desktop
metainfo=$usr/share/metainfo/$id.metainfo.xml
manpage=$usr/share/man/man1/quenwick.1.gz

# Where the desktop looks, and nothing else: a stray file (a static library,
# a test program) would land in every package.
expected="bin/quenwick
share/applications/$id.desktop
share/icons/hicolor/scalable/apps/$id.svg
share/metainfo/$id.metainfo.xml
share/man/man1/quenwick.1.gz
share/doc/quenwick/copyright
share/doc/quenwick/changelog.gz"
installed=$(cd "$usr" && find . -type f -printf '%P\n' | sort)
[ "$installed" = "$(sort <<<"$expected")" ] ||
  fail "installed files differ from the expected ones:$(diff <(sort <<<"$expected") <(echo "$installed"))"
[ -x "$usr/bin/quenwick" ] || fail "bin/quenwick is not executable"
others=$(cd "$usr" && find . -type f ! -path ./bin/quenwick -perm /111 -printf '%P ')
[ -z "$others" ] || fail "data files marked executable: $others"

# The validators of the freedesktop and AppStream formats; validate-tree
# also looks for the desktop entry that the metainfo launches.
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
appstreamcli validate-tree --no-net "$root/usr" || fail "appstreamcli validate-tree"

# One id ties the entry, its icon and the metainfo together; Exec must name
# the installed program.
key() { sed -n "s/^$1=//p" "$desktop" | head -n 1; }
[ "$(key Icon)" = "$id" ] || fail "desktop Icon=$(key Icon), expected $id"
exec_program=$(key Exec | cut -d' ' -f1)
[ "$exec_program" = quenwick ] && [ -x "$usr/bin/$exec_program" ] ||
  fail "desktop Exec names '$exec_program', not the installed bin/quenwick"
xml_text() { sed -n "s|.*<$1[^>]*>\\([^<]*\\)</$1>.*|\\1|p" "$metainfo" | head -n 1; }
[ "$(xml_text id)" = "$id" ] || fail "metainfo id '$(xml_text id)', expected $id"
[ "$(xml_text launchable)" = "$id.desktop" ] ||
  fail "metainfo launchable '$(xml_text launchable)', expected $id.desktop"

# One version everywhere: the program, the newest release the software
# centre shows, the package changelog.
run() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$usr/bin/quenwick" "$@"; }
out=$(run --version 2>"$root/err"); rc=$?
[ $rc -eq 0 ] && [ "$out" = "Quenwick $version" ] && [ ! -s "$root/err" ] ||
  fail "--version: exit $rc, printed '$out' $(cat "$root/err")"
[ "$(run -V)" = "Quenwick $version" ] || fail "-V"
release=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -n 1)
[ "$release" = "$version" ] || fail "newest metainfo release $release, program $version"
changelog=$(zcat "$usr/share/doc/quenwick/changelog.gz" | sed -n '1s/^quenwick (\([^)]*\)).*/\1/p')
[ "$changelog" = "$version" ] || fail "newest changelog entry $changelog, program $version"

# Help on any terminal; a Qt option's value is not taken for an argument; a
# mistyped option is refused with status 2 before any window could open.
for help in --help -h; do
  out=$(run $help); rc=$?
  [ $rc -eq 0 ] && grep -q '^Usage: quenwick' <<<"$out" || fail "$help: exit $rc, printed '$out'"
done
[ "$(run -platform offscreen --style=Fusion --version)" = "Quenwick $version" ] ||
  fail "Qt options before --version"
for wrong in --bogus "-platform" "stray"; do
  out=$(run $wrong 2>"$root/err"); rc=$?
  [ $rc -eq 2 ] && [ -z "$out" ] && grep -q "^quenwick: " "$root/err" ||
    fail "'$wrong': exit $rc (expected 2), stdout '$out', stderr '$(cat "$root/err")'"
done

# The manual page formats without a warning, and names every environment
# variable the program reads, so the two cannot drift apart.
warnings=$(zcat "$manpage" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1)
[ -z "$warnings" ] || fail "man page warnings: $warnings"
for variable in $(grep -rhoE 'q?getenv\("[A-Z_]+"\)|qEnvironmentVariable[A-Za-z]*\("[A-Z_]+"\)' \
                    "$source/app" "$source/platform" | sed -E 's/.*\("([A-Z_]+)"\)/\1/' | sort -u); do
  zcat "$manpage" | grep -q "^\\.[BI]R\\? .*$variable" || fail "man page does not name $variable"
done

[ $failures -eq 0 ] && echo "installed files in place and valid" || exit 1
