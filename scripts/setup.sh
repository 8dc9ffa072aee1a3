# Sourced by ./run and ./test: installs what the build and the tests need
# from Debian's packages, non-interactively, and only when something is missing.

QUENWICK_PACKAGES=(
  cmake g++ make pkg-config
  qt6-base-dev libgl-dev qtkeychain-qt6-dev qt6-networkauth-dev
  libgtest-dev libbenchmark-dev time
  media-types
  clang libclang-rt-14-dev
  dovecot-core dovecot-pop3d
  openssl ca-certificates libssl3
  python3-aiosmtpd postfix
  mpop msmtp
  xvfb xauth imagemagick python3 xdotool
  gnome-keyring dbus python3-dbus python3-gi
  desktop-file-utils appstream groff-base
)

quenwick_install_packages() {
  local missing=()
  local p
  for p in "${QUENWICK_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  # Keep the packaged mail server from starting its system service: the tests
  # run their own instance on a free loopback port.
  local made_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
    $sudo chmod +x /usr/sbin/policy-rc.d
    made_policy=1
  fi
  # Postfix would ask how the machine sends its mail: it sends none. The
  # tests run a private instance with a configuration of their own.
  if [[ " ${missing[*]} " == *" postfix "* ]]; then
    echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
  fi
  local rc=0
  $sudo apt-get update -qq && \
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" || rc=$?
  [ $made_policy -eq 1 ] && $sudo rm -f /usr/sbin/policy-rc.d
  return $rc
}

quenwick_build() {
  # quenwick_build DIR [cmake options...]
  local dir=$1
  shift
  cmake -S "$QUENWICK_ROOT" -B "$QUENWICK_ROOT/$dir" "$@" >/dev/null || return 1
  cmake --build "$QUENWICK_ROOT/$dir" -j"$(nproc)"
}
