#!/usr/bin/env bash
# Builds the Debian package of Quenwick in build-deb/, checks it with lintian,
# installs it with dpkg and asks the installed /usr/bin/quenwick its version.
# Run as root (or with sudo at hand) on Debian 12. JOBS=N sets the build's
# parallel jobs (default: every core). Non-zero on any failure.
set -euo pipefail
QUENWICK_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$QUENWICK_ROOT/scripts/setup.sh"
# What the package build needs, instead of everything ./test needs; dpkg-dev
# computes Depends (dpkg-shlibdeps, which CPack finds with file).
QUENWICK_PACKAGES=(
  cmake g++ make pkg-config
  qt6-base-dev libgl-dev qtkeychain-qt6-dev
  dpkg-dev file gzip lintian
)
quenwick_install_packages
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

build=$QUENWICK_ROOT/build-deb
echo "== build"
# Debian's hardening flags (stack protector, fortify, full RELRO, bind now);
# CMake reads them from the environment when the build folder is made.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="$CPPFLAGS $CXXFLAGS"
rm -rf "$build"
cmake -S "$QUENWICK_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVIZU_TESTS=OFF -DVIZU_BENCH=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-$(nproc)}"

echo "== package"
(cd "$build" && cpack -G DEB)
deb=$(ls "$build"/quenwick_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "== lintian"
# Errors fail the script; warnings and notes are shown for the record.
lintian --display-info --pedantic --fail-on error "$deb"

echo "== install"
$sudo dpkg -i "$deb"
version=$(sed -n 's/^project(Quenwick VERSION \([0-9.]*\).*/\1/p' "$QUENWICK_ROOT/CMakeLists.txt")
answer=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/quenwick --version)
if [ "$answer" != "Quenwick $version" ]; then
  echo "/usr/bin/quenwick --version answered '$answer', expected 'Quenwick $version'"
  exit 1
fi
echo "$answer installed from $deb; man quenwick: $(man -w quenwick)"
echo "Remove it with: dpkg -r quenwick"
