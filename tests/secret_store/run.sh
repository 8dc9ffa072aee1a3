#!/bin/sh
# run.sh keyring|none PROGRAM
# Runs the secret store's tests in a private desktop of their own: a session
# bus with a freshly unlocked keyring, or no session bus at all. The caller's
# bus, keyring, home and display are never touched.
set -u
mode=$1
program=$2
if [ "$mode" != inside ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" \
    XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen
  mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  # No way back to a real session: no display to autolaunch a bus on, no
  # desktop name that would prefer another keyring.
  unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS XDG_CURRENT_DESKTOP DESKTOP_SESSION \
    KDE_FULL_SESSION GNOME_KEYRING_CONTROL
fi
case $mode in
  none)
    "$program" --gtest_filter='WithoutSecretService*'
    ;;
  keyring)
    command -v dbus-run-session >/dev/null && command -v gnome-keyring-daemon >/dev/null ||
      { echo "needs dbus-run-session and gnome-keyring-daemon (scripts/setup.sh installs them)"; exit 1; }
    dbus-run-session -- sh "$0" inside "$program"
    ;;
  inside)
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
    "$program" --gtest_filter='WithSecretService*'
    status=$?
    kill $keyring
    wait $keyring 2>/dev/null
    exit $status
    ;;
  *)
    echo "usage: $0 keyring|none PROGRAM"
    exit 2
    ;;
esac
