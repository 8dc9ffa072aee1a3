#!/usr/bin/env bash
# CPU that a switched-on Quenwick uses between polls: process CPU time over
# 60 s (or $1 seconds) with the next poll an hour away. Runs the real program
# on Qt's offscreen platform, or under xvfb-run with --xvfb.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${QUENWICK_BIN:-$ROOT/build/quenwick}
SECONDS_TO_WATCH=${1:-60}
MODE=${2:-offscreen}
[ -x "$BIN" ] || { echo "build Quenwick first"; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/mail"
cat > "$WORK/quenwick.ini" <<INI
[TfrmMain]
DestDir_Text=$WORK/mail
Password_Text=secret
PollSecs_Value=3600
Port_Text=110
ServerName_Text=127.0.0.1
UserName_Text=nobody
OnOff_StateOn=True
INI
if [ "$MODE" = "--xvfb" ]; then
  xvfb-run -a bash -c 'QUENWICK_SETTINGS="$1" "$2" & echo $! > "$3"; wait' _ \
    "$WORK/quenwick.ini" "$BIN" "$WORK/pid" &
  sleep 3
  PID=$(cat "$WORK/pid")
else
  QT_QPA_PLATFORM=offscreen QUENWICK_SETTINGS="$WORK/quenwick.ini" "$BIN" &
  PID=$!
  sleep 3
fi
ticks() { awk '{print $14 + $15}' "/proc/$PID/stat"; }
HZ=$(getconf CLK_TCK)
t0=$(ticks)
sleep "$SECONDS_TO_WATCH"
t1=$(ticks)
kill "$PID"
wait 2>/dev/null || true
awk -v a="$t0" -v b="$t1" -v hz="$HZ" -v s="$SECONDS_TO_WATCH" \
  'BEGIN { cpu = (b - a) / hz; printf "idle with the switch on: %.2f s CPU in %d s = %.3f%% of a core\n", cpu, s, 100 * cpu / s }'
