#!/bin/sh
# run.sh bus|none PROGRAM FILTER
# Runs the new-mail notification tests on a private session bus of their own
# (one that knows no service files, so no real notification daemon can be
# started on it; the tests start their own), or with no session bus at all.
# The caller's bus, home and display are never touched.
set -u
mode=$1
program=$2
filter=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" \
  XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# No display to autolaunch a bus on, no way back to a real session.
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS XDG_CURRENT_DESKTOP DESKTOP_SESSION
case $mode in
  none)
    "$program" --gtest_filter="$filter"
    ;;
  bus)
    command -v dbus-run-session >/dev/null || { echo "needs dbus-run-session (scripts/setup.sh installs it)"; exit 1; }
    cat >"$work/bus.conf" <<CONF
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
CONF
    dbus-run-session --config-file="$work/bus.conf" -- "$program" --gtest_filter="$filter"
    ;;
  *)
    echo "usage: $0 bus|none PROGRAM FILTER"
    exit 2
    ;;
esac
