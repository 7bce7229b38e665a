#!/bin/bash
# Runs the demo in a real X server without a window manager (start it under xvfb-run):
# the window covers the screen, the cursor is blank, Escape quits at once with status 0,
# and without a usable audio driver the demo runs silent until Escape.
# Usage: window_x11.sh MINCER CURSORPROBE WIDTH HEIGHT
set -u
mincer=$1 probe=$2 width=$3 height=$4
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "PASS: $*"; }

# Sixty seconds of silence: the demo must not end by itself during the test.
head -c $((176400 * 60)) /dev/zero > "$work/music.raw"

start_demo() { # audio driver
    (cd "$work" && exec env -u QT_QPA_PLATFORM SDL_AUDIODRIVER="$1" \
        SDL_DISKAUDIOFILE="$work/device.raw" SDL_DISKAUDIODELAY=20 "$mincer") &
    pid=$!
    window=$(timeout 10 xdotool search --sync --onlyvisible --pid "$pid" 2>/dev/null | head -n 1)
}

quit_with_escape() { # what
    xdotool key --window "$window" Escape
    for _ in $(seq 20); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$pid" 2>/dev/null; then
        fail "$1: still running a second after Escape"
        kill "$pid"
    fi
    wait "$pid"
    local status=$?
    [ "$status" -eq 0 ] && pass "$1: Escape exits with 0" || fail "$1: exit status $status"
}

start_demo disk
if [ -z "$window" ]; then
    fail "no window appeared"
    exit 1
fi
sleep 0.5
geometry=$(xwininfo -id "$window" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /Width:/ {w=$NF} /Height:/ {h=$NF} END {print x "," y " " w "x" h}')
[ "$geometry" = "0,0 ${width}x${height}" ] && pass "window covers the screen" ||
    fail "window geometry $geometry, screen ${width}x${height}"

xdotool mousemove --sync $((width / 2)) $((height / 2))
cursor=$("$probe")
[ $? -eq 0 ] && pass "cursor is blank ($cursor)" || fail "cursor over the window: $cursor"
quit_with_escape "with sound"

start_demo none-such-driver
if [ -z "$window" ]; then
    fail "no window appeared without audio"
else
    sleep 2
    kill -0 "$pid" 2>/dev/null && pass "runs silent without an audio driver" ||
        fail "ended by itself without an audio driver"
    quit_with_escape "without sound"
fi

echo "$((5 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
