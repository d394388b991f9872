#!/bin/bash
# Shows kelvox doing its job with nothing but this machine: a simulated
# thermometer on a pseudo-terminal stands in as COM1, a small HTTP receiver
# on 127.0.0.1 takes the uploads, and kelvox connects at once and sends the
# temperature every 5 seconds, keeping its temperature log.
#
# With a display kelvox opens its window and tray icon; without one it runs
# headless and its event log scrolls here. Ctrl+C (or the tray menu's
# "Close") ends everything. Run as root on a fresh Debian 12 machine: the
# packages needed are installed first.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${KELVOX_BUILD_DIR:-build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac

./tools/install-deps.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target kelvox thermosim kelvox-sink

DEMO=$BUILD/demo
HOME_DIR=$DEMO/home
PORTS=$DEMO/ports
mkdir -p "$HOME_DIR"
rm -rf "$PORTS"
mkdir -p "$PORTS"

PIDS=()     # started here, ended in reverse order
KELVOX_PID=""

# Prefixes each line of a program's output, line by line. It ignores Ctrl+C
# so that it can pass on what the programs print while they shut down.
tag() {
    trap '' INT
    exec sed -u "s/^/[$1] /"
}

stop_all() {
    trap - EXIT INT TERM HUP
    local i pid
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        kill -TERM "${PIDS[$i]}" 2>/dev/null || true
    done
    # kelvox saves its settings and event log on the way out; give everyone
    # a few seconds before insisting.
    for _ in $(seq 1 50); do
        local alive=0
        for pid in "${PIDS[@]}"; do
            kill -0 "$pid" 2>/dev/null && alive=1
        done
        [ $alive -eq 0 ] && break
        sleep 0.1
    done
    for pid in "${PIDS[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$PORTS"
    echo
    echo "Demo ended. kelvox's files are in $HOME_DIR"
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

wait_for() { # SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        if [ $SECONDS -ge $deadline ]; then
            return 1
        fi
        sleep 0.1
    done
}

# The HTTP receiver on a free loopback port; its first line names the port.
rm -f "$DEMO/sink.log"
"$BUILD/tools/kelvox-sink" --port 0 --log "$DEMO/sink.log" > >(tag sink) 2>&1 &
PIDS+=($!)
wait_for 20 grep -q 'listening on' "$DEMO/sink.log" || {
    echo "demo: the HTTP receiver did not start" >&2
    exit 1
}
SINK_URL=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' "$DEMO/sink.log" | head -n1)

# The thermometer: one reading a second on a pseudo-terminal linked as COM1.
"$BUILD/tools/thermosim" --link-dir "$PORTS" --com 1 --interval-ms 1000 --print \
    > >(tag thermometer) 2>&1 &
PIDS+=($!)
wait_for 20 test -e "$PORTS/COM1" || {
    echo "demo: the thermometer simulator did not link COM1" >&2
    exit 1
}

# Connect at start, send every period (1 "minute" of 5 s), keep the
# temperature log. Whatever else the file holds from the last run (the
# window's place and height) is kept; the [Data] section is written anew.
INI=$HOME_DIR/kelvox.ini
{
    if [ -f "$INI" ]; then
        tr -d '\r' <"$INI" | awk '/^\[/ { skip = (tolower($0) == "[data]") } !skip' |
            sed 's/$/\r/'
    fi
    printf '[Data]\r\n'
    printf 'TargetURL=%steplota.php?teplota=\r\n' "$SINK_URL"
    printf 'COM=1\r\nPeriod=1\r\nAutoConnect=-1\r\nAlwaysOnTop=0\r\nGeneTemp=-1\r\n'
} >"$INI.new"
mv "$INI.new" "$INI"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    MODE="its window and tray icon are on your display"
else
    MODE="no display: it runs headless and its event log is shown here"
fi
cat <<EOF
------------------------------------------------------------------------
kelvox demo: thermometer on COM1 -> kelvox -> ${SINK_URL}
  $MODE
  settings, event log and temperature log: $HOME_DIR
  press Ctrl+C to stop
------------------------------------------------------------------------
EOF

KELVOX_HOME=$HOME_DIR KELVOX_PORT_DIR=$PORTS KELVOX_MINUTE_MS=5000 \
    "$BUILD/kelvox" > >(tag kelvox) 2>&1 &
KELVOX_PID=$!
PIDS+=($KELVOX_PID)

# Until kelvox ends (the tray menu's "Close") or Ctrl+C stops the demo.
STATUS=0
wait "$KELVOX_PID" || STATUS=$?
echo "kelvox ended with exit code $STATUS"
exit "$STATUS"
