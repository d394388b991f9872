#!/bin/bash
# The real kelvox on Xvfb, dunst on a private session bus, readings through
# a pty: an alarm's notification is replaced in place by its clear (the id
# the daemon gave as replaces_id, read with dbus-monitor); one is shown.
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
trap 'exec 2>/dev/null; kill -9 "${PIDS[@]}"; rm -rf "$W"' EXIT
fail() {
    echo "FAIL: $*"
    cat "$W/monitor" "$W/kelvox.out" "$W/home/kelvox - "*.log 2>/dev/null
    exit 1
}
waitfor() { # seconds, command...
    local n=$(($1 * 10)); shift
    for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done
    return 1
}

for n in $(seq 90 140); do [ -e "/tmp/.X11-unix/X$n" ] || { DISPLAY_NUM=$n; break; }; done
Xvfb ":$DISPLAY_NUM" -nolisten tcp >/dev/null 2>&1 & PIDS+=($!)
export DISPLAY=":$DISPLAY_NUM"
waitfor 20 test -e "/tmp/.X11-unix/X$DISPLAY_NUM" || fail "Xvfb did not start"
dunst -config /dev/null >/dev/null 2>&1 & PIDS+=($!)
# Asked without activating it: the bus would start one of its own.
owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>/dev/null |
        grep -q "boolean true"
}
waitfor 20 owned || fail "dunst did not take the notification service"
dbus-monitor --session "interface='org.freedesktop.Notifications',member='Notify'" \
    "type='method_return'" >"$W/monitor" 2>&1 & PIDS+=($!)

# The thermometer: a pty linked as COM1, sending each line of the FIFO.
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
KPID=$!; PIDS+=($KPID)
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
ids=$(grep -A2 "member=Notify" "$W/monitor" | grep -o "uint32 [0-9]*" | awk '{print $2}' | tr '\n' ' ')
serial=$(grep -m1 "member=Notify" "$W/monitor" | sed 's/.* serial=\([0-9]*\) .*/\1/')
given=$(grep -A1 "method return.* reply_serial=$serial\$" "$W/monitor" | grep -o "uint32 [0-9]*" |
    awk '{print $2}')
[ -n "$given" ] && [ "$ids" = "0 $given " ] || fail "replaces_id '$ids', the daemon gave '$given'"
[ "$(dunstctl count displayed)" = 1 ] || fail "not one notification displayed"
kill "$KPID"; wait "$KPID" || fail "kelvox ended with $?"
echo "PASS"
