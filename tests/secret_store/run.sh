#!/bin/sh
# run.sh keyring|locked|bare|none PROGRAM
# Runs the secret store's tests in a private desktop of their own: a session
# bus with a freshly unlocked keyring (which the locked tests lock), a
# session bus on which nothing offers secrets, or no session bus at all. The
# caller's bus, keyring, home and display are never touched.
set -u
mode=$1
program=$2
case $mode in
  inside-*) ;;
  *)
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" \
      XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen
    mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
    # No way back to a real session: no display to autolaunch a bus on (nor
    # to show an unlock prompt on), no desktop name that would prefer
    # another keyring.
    unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS XDG_CURRENT_DESKTOP DESKTOP_SESSION \
      KDE_FULL_SESSION GNOME_KEYRING_CONTROL
    ;;
esac
needs() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null ||
      { echo "needs $tool (scripts/setup.sh installs it)"; exit 1; }
  done
}
case $mode in
  none)
    "$program" --gtest_filter='WithoutSecretService*'
    ;;
  bare)
    # The bus knows no service files, so nothing can be started for secrets.
    needs dbus-run-session
    cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$XDG_RUNTIME_DIR</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
    dbus-run-session --config-file="$work/bus.conf" -- "$program" --gtest_filter='WithoutSecretService*:OnABareBus*'
    ;;
  keyring|locked)
    needs dbus-run-session gnome-keyring-daemon dbus-send
    dbus-run-session -- sh "$0" "inside-$mode" "$program"
    ;;
  inside-*)
    # The keyring's password on stdin creates the login keyring, unlocked,
    # as a desktop login does.
    printf 'quenwick-test' | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null 2>&1 &
    keyring=$!
    tries=0
    until dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; do
      tries=$((tries + 1))
      [ $tries -ge 100 ] && { echo "the keyring did not come up"; kill $keyring; exit 1; }
      sleep 0.1
    done
    if [ "$mode" = inside-locked ]; then
      filter='WithLockedSecretService*'
    else
      filter='WithSecretService*'
    fi
    "$program" --gtest_filter="$filter"
    status=$?
    kill $keyring
    wait $keyring 2>/dev/null
    exit $status
    ;;
  *)
    echo "usage: $0 keyring|locked|bare|none PROGRAM"
    exit 2
    ;;
esac
