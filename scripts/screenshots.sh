#!/usr/bin/env bash
# Makes docs/screenshot-settings.png, docs/screenshot-log.png,
# docs/screenshot-failed.png and docs/screenshot-signin.png: Quenwick in both of its states on a virtual X
# display, the log one after a real poll of a tiny local POP3 responder, the
# third after a poll that found no server, the last with OAuth2 chosen and
# the Sign in menu opened from the keyboard. Needs xvfb-run, ImageMagick's
# import and xdotool. The password stays in the throw-away settings file: no session bus,
# so no keyring is asked (or started) on the virtual display.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${QUENWICK_BIN:-$ROOT/build/quenwick}
[ -x "$BIN" ] || { echo "build Quenwick first (./run or cmake --build build --target quenwick)"; exit 1; }
for tool in xvfb-run import python3 xdotool; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/setup.sh installs it)"; exit 1; }
done

WORK=$(mktemp -d)
RESPONDER_PID=
cleanup() {
  [ -n "$RESPONDER_PID" ] && kill "$RESPONDER_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK/mail"

# Two messages, served on a free loopback port.
python3 - "$WORK/port" <<'PY' &
import socket, sys
msgs = [b"From: ann@example.com\r\nSubject: Minutes\r\n\r\nSee you Monday.\r\n",
        b"From: carl@example.com\r\nSubject: Invoice\r\n\r\nAttached.\r\n"]
srv = socket.socket(); srv.bind(("127.0.0.1", 0)); srv.listen(4)
open(sys.argv[1], "w").write(str(srv.getsockname()[1]))
while True:
    c, _ = srv.accept(); f = c.makefile("rb")
    c.sendall(b"+OK ready\r\n")
    for line in f:
        cmd = line.strip().split(b" ")
        verb = cmd[0].upper()
        if verb == b"LIST":
            c.sendall(b"+OK\r\n" + b"".join(b"%d %d\r\n" % (i + 1, len(m)) for i, m in enumerate(msgs)) + b".\r\n")
        elif verb == b"UIDL" and len(cmd) == 1:
            c.sendall(b"+OK\r\n" + b"".join(b"%d 00000000%08X\r\n" % (i + 1, i + 1) for i in range(len(msgs))) + b".\r\n")
        elif verb == b"UIDL":
            c.sendall(b"+OK %s 00000000%08X\r\n" % (cmd[1], int(cmd[1])))
        elif verb == b"RETR":
            c.sendall(b"+OK\r\n" + msgs[int(cmd[1]) - 1] + b".\r\n")
        elif verb == b"QUIT":
            c.sendall(b"+OK bye\r\n"); break
        else:
            c.sendall(b"+OK\r\n")
    c.close()
PY
RESPONDER_PID=$!
for _ in $(seq 50); do [ -s "$WORK/port" ] && break; sleep 0.1; done
PORT=$(cat "$WORK/port")

settings() {  # settings STATE_ON [PORT [SECURITY]]
  cat > "$WORK/quenwick.ini" <<INI
[TfrmMain]
FormVersion=0
NormPos="20,20,316,378"
PixelsPerInch=96
ShowCmd=1
DestDir_Text=$WORK/mail
Password_Text=secret
PollSecs_Value=2
Port_Text=${2:-$PORT}
Security=${3:-None}
ServerName_Text=127.0.0.1
UserName_Text=ann
DelOnRet_Checked=False
OnOff_StateOn=$1
INI
}

shoot() {  # shoot OUTPUT SECONDS [KEYS...]: the keys are typed first
  xvfb-run -a -s "-screen 0 400x420x24 -dpi 96" bash -c '
    QUENWICK_SETTINGS="$1" DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent "$2" & app=$!
    sleep "$4"
    if [ $# -gt 4 ]; then
      # No window manager gives the window the focus: asked for directly.
      xdotool search --name "^Quenwick$" windowfocus --sync 2>/dev/null || true
      xdotool key --delay 150 "${@:5}"; sleep 1
    fi
    import -window root -crop "${CROP:-300x362+18+18}" +repage "$3"
    kill $app; wait $app 2>/dev/null || true' _ "$WORK/quenwick.ini" "$BIN" "$@"
}

# The settings as a new user finds them; the polls in the clear, as the
# responder speaks no TLS.
settings False "$PORT" STARTTLS
shoot "$ROOT/docs/screenshot-settings.png" 2
settings True
shoot "$ROOT/docs/screenshot-log.png" 3
# A port nobody listens on: the status line says so.
CLOSED=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
settings True "$CLOSED"
shoot "$ROOT/docs/screenshot-failed.png" 3
# OAuth2 chosen for a Google mailbox: no password; the menu reached with
# the Tab key (seven stops from the server name, as the password field is off) and opened with Space.
settings False 995 TLS
sed -i -e 's/^ServerName_Text=.*/ServerName_Text=pop.gmail.com/' -e 's/^UserName_Text=.*/UserName_Text=ann@gmail.com/' \
  -e 's/^Password_Text=.*/Password_Text=/' "$WORK/quenwick.ini"
printf 'SignIn=OAuth2\nOAuthProvider=Google\nOAuthClientId=1234-example.apps.googleusercontent.com\n' >> "$WORK/quenwick.ini"
# Wider than the window: the menu opens beyond its right edge.
CROP=380x362+18+18 shoot "$ROOT/docs/screenshot-signin.png" 2 Tab Tab Tab Tab Tab Tab Tab space
echo "wrote docs/screenshot-settings.png, docs/screenshot-log.png, docs/screenshot-failed.png and docs/screenshot-signin.png"
