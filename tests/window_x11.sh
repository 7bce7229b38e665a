#!/bin/bash
# Runs the demo in a real X server without a window manager (start it under xvfb-run):
# the window covers the screen, the cursor is blank, the screen shows the frame that the capture
# tool renders for that size, Escape quits at once with status 0, and without a usable audio
# driver the demo runs silent until Escape.
# Usage: window_x11.sh MINCER CURSORPROBE WIDTH HEIGHT CAPTURE SCREENMATCH
set -u
mincer=$1 probe=$2 width=$3 height=$4 capture=$5 screenmatch=$6
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "PASS: $*"; }
source "$(dirname "$0")/x11demo.sh"

quit_with_escape() { # what
    xdotool key --window "$window" Escape
    wait_for_exit "$1: Escape" 1 "$pid"
}

# Sixty seconds of silence: the demo must not end by itself during the test.
start_demo disk 60
if [ -z "$window" ]; then
    fail "no window appeared"
    exit 1
fi
sleep 0.5
geometry=$(geometry_of "$window")
[ "$geometry" = "0,0 ${width}x${height}" ] && pass "window covers the screen" ||
    fail "window geometry $geometry, screen ${width}x${height}"

# Until the hop at 14 s the picture stands still: any moment of it is the capture's frame at 1 s.
"$capture" --at 1000 --size "${width}x${height}" -o "$work/expected.png" 2>/dev/null
match=$(env -u QT_QPA_PLATFORM "$screenmatch" "$work/expected.png" "$work/screen.png")
[ $? -eq 0 ] && pass "the screen shows the captured frame: $match" ||
    fail "the screen differs from the captured frame: $match"

# (Not --sync: while the demo keeps the X server busy with full-screen frames, waiting for the
# pointer's motion event can take many seconds.)
xdotool mousemove $((width / 2)) $((height / 2))
sleep 0.2
cursor=$("$probe")
[ $? -eq 0 ] && pass "cursor is blank ($cursor)" || fail "cursor over the window: $cursor"
quit_with_escape "with sound"

start_demo none-such-driver 60
if [ -z "$window" ]; then
    fail "no window appeared without audio"
else
    sleep 2
    kill -0 "$pid" 2>/dev/null && pass "runs silent without an audio driver" ||
        fail "ended by itself without an audio driver"
    quit_with_escape "without sound"
fi

echo "$((6 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
