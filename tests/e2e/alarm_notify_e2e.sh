#!/bin/bash
# End to end: the real kelvox with a display (Xvfb) and a real notification
# daemon (dunst) on a private session bus, fed through a pseudo-terminal.
# An alarm gives one notification; its clear replaces it in place (the
# Notify call names the alarm's id as replaces_id) and the daemon shows one
# notification, not two. What the daemon was sent is read with dbus-monitor.
# Usage: alarm_notify_e2e.sh KELVOX
set -u
KELVOX=$1
for tool in Xvfb dunst dunstctl dbus-run-session dbus-monitor dbus-send; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
# A private session bus of our own, whatever the caller has.
if [ -z "${KELVOX_ALARM_E2E_BUS:-}" ]; then
    KELVOX_ALARM_E2E_BUS=1 exec dbus-run-session -- "$0" "$@"
fi

W=$(mktemp -d /tmp/kelvox-alarm-e2e.XXXXXX)
mkdir -p "$W/home" "$W/ports"
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    sleep 0.3
    for pid in "${PIDS[@]}"; do kill -9 "$pid" 2>/dev/null; done
    rm -rf "$W"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- notifications ---"; cat "$W/monitor" 2>/dev/null
    echo "--- kelvox ---"; cat "$W/kelvox.out" "$W/home/kelvox - "*.log 2>/dev/null
    exit 1
}
waitfor() { # seconds, command...
    local n=$(($1 * 10)); shift
    for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done
    return 1
}

for n in $(seq 90 140); do [ -e "/tmp/.X11-unix/X$n" ] || { DISPLAY_NUM=$n; break; }; done
Xvfb ":$DISPLAY_NUM" -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
PIDS+=($!)
export DISPLAY=":$DISPLAY_NUM"
waitfor 20 test -e "/tmp/.X11-unix/X$DISPLAY_NUM" || fail "Xvfb did not start"
dunst -config /dev/null >/dev/null 2>&1 &
PIDS+=($!)
# Asked without activating it: the bus would start one of its own.
owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>/dev/null |
        grep -q "boolean true"
}
waitfor 20 owned || fail "dunst did not take the notification service"
dbus-monitor --session "interface='org.freedesktop.Notifications',member='Notify'" \
    "type='method_return'" >"$W/monitor" 2>&1 &
PIDS+=($!)

# The thermometer: a pty linked as COM1; each line written to the FIFO is
# sent as a reading.
mkfifo "$W/feed"
/usr/bin/python3 - "$W/ports/COM1" "$W/feed" <<'PY' &
import os, pty, sys, tty
master, slave = pty.openpty()
tty.setraw(slave)
os.symlink(os.ttyname(slave), sys.argv[1])
while True:
    with open(sys.argv[2]) as feed:
        for line in feed:
            os.write(master, line.strip().encode() + b"\r")
PY
PIDS+=($!)
waitfor 20 test -L "$W/ports/COM1" || fail "no pty"

printf '[Data]\nCOM=1\nAutoConnect=-1\nPeriod=0\n[Alarm]\nHigh=25\nDelay=0\nClearDelay=0\n' \
    >"$W/home/kelvox.ini"
KELVOX_HOME="$W/home" KELVOX_PORT_DIR="$W/ports" QT_QPA_PLATFORM=xcb "$KELVOX" >"$W/kelvox.out" 2>&1 &
KPID=$!
PIDS+=($KPID)
inlog() { cat "$W/home/kelvox - "*.log 2>/dev/null | grep -q "$1"; }
waitfor 30 inlog "Serial port COM1 opened" || fail "the port was not opened"

echo "+028.0C" >"$W/feed"
waitfor 20 grep -q "string \"Temperature high\"" "$W/monitor" || fail "no alarm notification"
echo "+024.8C" >"$W/feed" # below the limit, not by the hysteresis
echo "+020.0C" >"$W/feed"
waitfor 20 grep -q "string \"Temperature back in range\"" "$W/monitor" || fail "no clear notification"
sleep 0.5
# The Notify calls (app name, then replaces_id): the first has 0, the clear
# the id the daemon returned for the first.
[ "$(grep -c "member=Notify" "$W/monitor")" = 2 ] || fail "not exactly two Notify calls"
ids=$(grep -A2 "member=Notify" "$W/monitor" | grep -o "uint32 [0-9]*" | awk '{print $2}' | tr '\n' ' ')
serial=$(grep -m1 "member=Notify" "$W/monitor" | sed 's/.* serial=\([0-9]*\) .*/\1/')
given=$(grep -A1 "method return.* reply_serial=$serial\$" "$W/monitor" | grep -o "uint32 [0-9]*" |
    awk '{print $2}')
[ -n "$given" ] && [ "$ids" = "0 $given " ] || fail "replaces_id '$ids', the daemon gave '$given'"
shown=$(dunstctl count displayed)
[ "$shown" = 1 ] || fail "$shown notifications displayed, expected 1 (replaced in place)"
waitfor 5 inlog "ERR  Temperature high: 28.0°C, limit 25.0°C" || fail "no alarm line"
waitfor 5 inlog "OK  Temperature back in range: 20.0°C, after " || fail "no clear line"
kill "$KPID"
waitfor 20 bash -c "! kill -0 $KPID 2>/dev/null" || fail "kelvox did not end"
wait "$KPID"
rc=$?
[ "$rc" = 0 ] || fail "kelvox ended with $rc"
echo "PASS"
