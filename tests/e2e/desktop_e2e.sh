#!/bin/bash
# End to end: the real kelvox on a virtual display (Xvfb) with a window
# manager (openbox) and a tray host (trayer), fed by the thermometer
# simulator on a pseudo-terminal and uploading to the local sink.
#
# Checks: without a tray host the window has a taskbar entry and ends
# normally when the window manager closes it (screenshot kept); the window
# appears with its size; started before the tray host,
# "Hide" keeps it on screen and the tray icon appears once trayer starts; an
# uploaded value is one the simulator sent, a double-click on the tray icon
# hides the window and a second shows it, a second start shows the hidden
# window and exits 0, the tray menu's "History" opens
# the chart (screenshot kept), the tray menu's "Close" ends the program, and
# the settings and event log files are written. Then again with a
# StatusNotifierItem panel only (its own session bus; the tray host gone),
# started after the program: the icon registers (its picture kept), the
# panel gets the tray menu over D-Bus, "Hide" works, a left click (Activate)
# shows and hides the window, a steady link sends no new picture, and a
# panel that takes the watcher over gets the icon again.
# Usage: desktop_e2e.sh KELVOX THERMOSIM SINK ARTIFACT_DIR
set -u

KELVOX=$1
THERMOSIM=$2
SINK=$3
ARTIFACTS=$4

for tool in Xvfb openbox trayer xdotool xwininfo xprop import dbus-daemon dbus-send dbus-monitor; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done
/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null || { echo "SKIP: python3-dbus or python3-gi is missing"; exit 77; }

WORK=$(mktemp -d /tmp/kelvox-e2e.XXXXXX)
mkdir -p "$ARTIFACTS" "$WORK/home" "$WORK/ports"
PIDS=()

cleanup() {
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        kill "${PIDS[$i]}" 2>/dev/null
    done
    sleep 0.3
    for pid in "${PIDS[@]}"; do
        kill -9 "$pid" 2>/dev/null
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    echo "--- kelvox output ---"
    cat "$WORK/kelvox.out" 2>/dev/null
    echo "--- sink output ---"
    cat "$WORK/sink.out" 2>/dev/null
    if [ -n "${DISPLAY:-}" ]; then
        import -window root "$ARTIFACTS/failure.png" 2>/dev/null
    fi
    exit 1
}

# wait_for SECONDS COMMAND...: retries the command every 0.1 s.
wait_for() {
    local limit=$1
    shift
    local deadline=$((SECONDS + limit))
    while ! "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.1
    done
    return 0
}

# The virtual display: let Xvfb pick a free display number.
exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.out" 2>&1 &
PIDS+=($!)
read -r -t 20 DISPNUM <&3 || fail "Xvfb did not start"
exec 3>&-
export DISPLAY=":$DISPNUM"
unset WAYLAND_DISPLAY

openbox >"$WORK/openbox.out" 2>&1 &
PIDS+=($!)
# Managing windows before the program maps one: an unmanaged window gets no
# Alt+F4 (a loaded machine starts openbox slowly).
wait_for 30 bash -c "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'" ||
    fail "openbox did not start"

# The local receiver of uploads.
"$SINK" --port 0 >"$WORK/sink.out" 2>&1 &
PIDS+=($!)
wait_for 20 grep -q 'listening on' "$WORK/sink.out" || fail "the sink did not start"
SINK_URL=$(grep -o 'http://127.0.0.1:[0-9]*/' "$WORK/sink.out" | head -n1)

# The simulated thermometer as COM1.
"$THERMOSIM" --link-dir "$WORK/ports" --com 1 --interval-ms 200 --print >"$WORK/sim.out" 2>&1 &
PIDS+=($!)
wait_for 20 test -e "$WORK/ports/COM1" || fail "the simulator did not link COM1"

cat >"$WORK/home/kelvox.ini" <<EOF
[Main]
Top=100
Left=100
Height=310
[Data]
TargetURL=${SINK_URL}teplota.php?teplota=
COM=1
Period=1
AutoConnect=-1
AlwaysOnTop=0
GeneTemp=-1
EOF

# Earlier readings in the temperature logs (C locale formats, each line in
# its day's file): the history chart starts from them. The last three hours,
# one line a minute.
NOW_S=$(date +%s)
for ((m = 180; m >= 1; m--)); do
    T=$((NOW_S - m * 60))
    V=$((200 + (180 - m) / 10))
    printf '%s\t%s\t%d.%d\r\n' "$(date -d "@$T" +%m/%d/%y)" "$(date -d "@$T" +%H:%M:%S)" \
        $((V / 10)) $((V % 10)) >>"$WORK/home/Temperature($(date -d "@$T" +%m-%d-%y)).log"
done

# Without any tray host: a taskbar entry (no skip-taskbar state, no utility
# window; screenshot kept), and openbox's Alt+F4 ends the program normally.
KELVOX_HOME="$WORK/home" KELVOX_PORT_DIR="$WORK/ports" "$KELVOX" >"$WORK/kelvox.out" 2>&1 &
KPID=$!
PIDS+=($KPID)
wait_for 30 xdotool search --onlyvisible --name '^Kelvox$' || fail "the window without a tray did not appear"
WIN=$(xdotool search --onlyvisible --name '^Kelvox$' | head -n1)
sleep 1
PROPS=$(xprop -id "$WIN" _NET_WM_STATE _NET_WM_WINDOW_TYPE)
grep -q -e SKIP_TASKBAR -e UTILITY <<<"$PROPS" && fail "no taskbar entry without a tray: $PROPS"
import -window "$WIN" "$ARTIFACTS/window-no-tray.png" 2>/dev/null || fail "no screenshot of the window without a tray"
# On a loaded machine the window manager may not have the window's keys yet
# when the first press comes; a program that ignores Alt+F4 still fails.
for try in 1 2 3; do
    xdotool windowactivate --sync "$WIN" key alt+F4 2>/dev/null || true
    wait_for 5 bash -c "! kill -0 $KPID" && break
done
kill -0 "$KPID" 2>/dev/null && fail "Alt+F4 did not end the program"
wait "$KPID"
STATUS=$?
[ "$STATUS" -eq 0 ] || fail "kelvox closed by Alt+F4 exited with $STATUS"
grep -q '^Height=310' "$WORK/home/kelvox.ini" || fail "no settings saved after Alt+F4"

KELVOX_HOME="$WORK/home" KELVOX_PORT_DIR="$WORK/ports" KELVOX_MINUTE_MS=1000 \
    "$KELVOX" >"$WORK/kelvox.out" 2>&1 &
KPID=$!
PIDS+=($KPID)

# The window appears with its size: 266 wide (no frame) and as high as the
# settings file says.
wait_for 30 xdotool search --onlyvisible --name '^Kelvox$' || fail "the main window did not appear"
WIN=$(xdotool search --onlyvisible --name '^Kelvox$' | head -n1)
GEOM=$(xwininfo -id "$WIN" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
[ "$GEOM" = "266x310" ] || fail "window size is $GEOM, expected 266x310"

# Started before the tray host, as at many logins: "Hide" keeps the window,
# since without a tray icon nothing could bring it back.
xdotool mousemove --window "$WIN" 221 292 click 1
sleep 1
xdotool search --onlyvisible --name '^Kelvox$' >/dev/null || fail "Hide hid the window with no tray icon"

# The tray host starts; the icon appears in it without a restart.
trayer --edge top --align right --widthtype pixel --width 120 --heighttype pixel --height 32 \
    --SetDockType true --transparent false --expand true >"$WORK/trayer.out" 2>&1 &
TRAYER_PID=$!
PIDS+=($TRAYER_PID)
wait_for 20 xdotool search --class trayer || fail "the tray host did not start"

# The tray icon: a window embedded into trayer's tray.
TRAY_ICON=""
find_tray_icon() {
    local tray
    for tray in $(xdotool search --class trayer); do
        TRAY_ICON=$(xwininfo -tree -id "$tray" 2>/dev/null |
            awk '/"Kelvox": \("kelvox"/ {print $1; exit}')
        [ -n "$TRAY_ICON" ] && return 0
    done
    return 1
}
wait_for 20 find_tray_icon || fail "the tray icon did not appear"
find_tray_icon
echo "tray icon window: $TRAY_ICON"

# An uploaded value is one the simulator sent.
wait_for 30 grep -q 'received' "$WORK/sink.out" || fail "nothing was uploaded"
sleep 1.5
VALUE=$(grep 'received' "$WORK/sink.out" | tail -n1 | awk '{print $NF}')
# The simulator prints readings like +025.6C; the program sends 25.6.
if ! sed -n 's/^[^+-]*\([+-][0-9]*\.[0-9]\)C.*/\1/p' "$WORK/sim.out" |
    awk -v v="$VALUE" '{ if ($1 + 0 == v + 0) found = 1 } END { exit !found }'; then
    fail "uploaded value $VALUE was never sent by the simulator"
fi
echo "uploaded value $VALUE matches a simulator reading"

import -window "$WIN" "$ARTIFACTS/window.png" 2>/dev/null || fail "no screenshot of the window"

eval "$(xdotool getwindowgeometry --shell "$TRAY_ICON")"
CX=$((X + WIDTH / 2))
CY=$((Y + HEIGHT / 2))

# The tray menu's "History" (the item after "Restore") opens the chart
# window; its picture is kept, and it must show the line.
xdotool mousemove "$CX" "$CY" click 3
sleep 0.8
xdotool key Down Down Return
wait_for 20 xdotool search --onlyvisible --name '^Kelvox - History$' || fail "the history window did not appear"
HWIN=$(xdotool search --onlyvisible --name '^Kelvox - History$' | head -n1)
sleep 1
import -window "$HWIN" "$ARTIFACTS/history.png" 2>/dev/null || fail "no screenshot of the history window"
LINE_PIXELS=$(convert "$ARTIFACTS/history.png" txt:- | grep -ci '#1F5FBF')
[ "$LINE_PIXELS" -gt 20 ] || fail "the history window shows no line ($LINE_PIXELS pixels of it)"
echo "history window shows its line ($LINE_PIXELS pixels)"

# A double-click on the tray icon hides the window, a second shows it.
xdotool mousemove "$CX" "$CY" click --repeat 2 --delay 80 1
wait_for 10 bash -c "! xdotool search --onlyvisible --name '^Kelvox\$'" || fail "double-click did not hide the window"
sleep 0.5
xdotool mousemove "$CX" "$CY" click --repeat 2 --delay 80 1
wait_for 10 xdotool search --onlyvisible --name '^Kelvox$' || fail "second double-click did not show the window"

# Hidden in the tray, a second start shows the window and exits 0.
sleep 0.5
xdotool mousemove "$CX" "$CY" click --repeat 2 --delay 80 1
wait_for 10 bash -c "! xdotool search --onlyvisible --name '^Kelvox\$'" || fail "double-click did not hide the window again"
KELVOX_HOME="$WORK/home" KELVOX_PORT_DIR="$WORK/ports" timeout 20 "$KELVOX" >"$WORK/second.out" 2>&1
STATUS=$?
[ "$STATUS" -eq 0 ] || fail "the second start exited with $STATUS: $(cat "$WORK/second.out")"
wait_for 10 xdotool search --onlyvisible --name '^Kelvox$' || fail "a second start did not show the window"

# The tray menu's "Close" ends the program: open the menu with a right press,
# move to its last item and take it.
sleep 0.5
xdotool mousemove "$CX" "$CY" click 3
sleep 0.8
xdotool key Up
sleep 0.2
xdotool key Return
for _ in $(seq 1 100); do
    kill -0 "$KPID" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$KPID" 2>/dev/null; then
    fail "the tray menu's Close did not end the program"
fi
wait "$KPID"
STATUS=$?
[ "$STATUS" -eq 0 ] || fail "kelvox exited with $STATUS"

[ -s "$WORK/home/kelvox.ini" ] || fail "kelvox.ini was not written"
grep -q '^\[History\]' "$WORK/home/kelvox.ini" || fail "the history window's place was not kept"
ls "$WORK/home"/kelvox\ -\ *.log >/dev/null 2>&1 || fail "the event log file was not written"
ls "$WORK/home"/Temperature\(*\).log >/dev/null 2>&1 || fail "the temperature log was not written"
grep -q 'Serial port COM1 opened' "$WORK/home"/kelvox\ -\ *.log || fail "the event log lacks the opened line"
cp "$WORK/home"/kelvox\ -\ *.log "$ARTIFACTS/" 2>/dev/null

# Only a StatusNotifierItem panel now, and it starts after the program.
kill "$TRAYER_PID"
wait "$TRAYER_PID" 2>/dev/null # its tray gone before the program looks
dbus-daemon --session --fork --print-address=3 --print-pid=4 3>"$WORK/bus" 4>"$WORK/bus.pid" ||
    fail "no session bus"
PIDS+=($(cat "$WORK/bus.pid"))
export DBUS_SESSION_BUS_ADDRESS=$(cat "$WORK/bus")
KELVOX_HOME="$WORK/home" KELVOX_PORT_DIR="$WORK/ports" KELVOX_MINUTE_MS=1000 \
    "$KELVOX" >"$WORK/kelvox.out" 2>&1 &
PIDS+=($!)
wait_for 30 xdotool search --onlyvisible --name '^Kelvox$' || fail "the window did not appear"
sleep 3
start_panel() {
    /usr/bin/python3 "$(dirname "$0")/sni_host.py" "$WORK/sni-items" >>"$WORK/sni.out" 2>&1 &
    SNI_PID=$!
    PIDS+=($SNI_PID)
}
start_panel
wait_for 15 test -s "$WORK/sni-items" || fail "the icon did not register with a late panel"
item() { dbus-send --session --print-reply --dest="$(head -n1 "$WORK/sni-items")" "$@"; }
MENU=$(item /StatusNotifierItem org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierItem \
    string:Menu | awk -F'"' '/object path/ {print $2}')
[ -n "$MENU" ] && [ "$MENU" != /NO_DBUSMENU ] || fail "the tray menu is not exported (Menu is '$MENU')"
LAYOUT=$(item "$MENU" com.canonical.dbusmenu.GetLayout int32:0 int32:-1 array:string:label)
for entry in Restore History Close; do
    grep -q "\"$entry\"" <<<"$LAYOUT" || fail "the exported menu lacks $entry"
done
# The icon's picture as the panel gets it (ARGB, network order), kept.
/usr/bin/python3 -c 'import dbus, sys
p = max(dbus.SessionBus().get_object(sys.argv[1], "/StatusNotifierItem").Get(
    "org.kde.StatusNotifierItem", "IconPixmap", dbus_interface=dbus.PROPERTIES_IFACE), key=lambda p: p[0])
d = bytes(p[2]); sys.stdout.buffer.write(b"".join(d[i + 1:i + 4] + d[i:i + 1] for i in range(0, len(d), 4)))
print(p[0], p[1], file=sys.stderr)' "$(head -n1 "$WORK/sni-items")" >"$WORK/icon.rgba" 2>"$WORK/icon.size" &&
    convert -size "$(tr ' ' x <"$WORK/icon.size")" -depth 8 "rgba:$WORK/icon.rgba" \
        "$ARTIFACTS/late-panel-icon.png" || fail "no picture of the late panel's icon"
# "Hide" works now that there is a way back.
WIN=$(xdotool search --onlyvisible --name '^Kelvox$' | head -n1)
xdotool mousemove --window "$WIN" 221 292 click 1
wait_for 10 bash -c "! xdotool search --onlyvisible --name '^Kelvox\$'" || fail "Hide stayed greyed beside a late panel"
item /StatusNotifierItem org.kde.StatusNotifierItem.Activate int32:0 int32:0 >/dev/null
wait_for 10 xdotool search --onlyvisible --name '^Kelvox$' || fail "Activate did not show the window"
item /StatusNotifierItem org.kde.StatusNotifierItem.Activate int32:0 int32:0 >/dev/null
wait_for 10 bash -c "! xdotool search --onlyvisible --name '^Kelvox\$'" || fail "Activate did not hide the window"
item /StatusNotifierItem org.kde.StatusNotifierItem.Activate int32:0 int32:0 >/dev/null
wait_for 10 xdotool search --onlyvisible --name '^Kelvox$' || fail "a second Activate did not show the window"
UPLOADS=$(grep -c received "$WORK/sink.out")
wait_for 30 bash -c "[ \$(grep -c received '$WORK/sink.out') -gt $UPLOADS ]" || fail "no upload beside the panel"
dbus-monitor --session "type='signal',member='NewIcon'" >"$WORK/newicon" 2>&1 &
PIDS+=($!)
sleep 10
NEWICONS=$(grep -c 'member=NewIcon' "$WORK/newicon")
[ "$NEWICONS" -eq 0 ] || fail "$NEWICONS NewIcon signals in 10 s of a steady link"
# Another panel takes the watcher's name over: it gets the icon.
: >"$WORK/sni-items"
start_panel
wait_for 15 test -s "$WORK/sni-items" || fail "the icon did not register with the next panel"
echo "beside the panel: menu $MENU exported, Activate toggles, no NewIcon in 10 s, next panel has it"
echo "PASS"
exit 0
