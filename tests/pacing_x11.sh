#!/bin/bash
# Runs the demo in a real X server that reports its refreshes through Present (start it under
# xvfb-run: Xvfb refreshes at 60 Hz): while the picture moves the window shows one frame per
# refresh, within 3 %, and none while the picture stands still; Escape still ends it at once with
# status 0, and so does the end of the music. Given NOPRESENT (a library preloaded into the demo
# and the counter), neither sees Present, as on an X server without it: the demo paces its
# frames by a timer at the screen's rate, and they are counted against 60 Hz on the clock.
# Usage: pacing_x11.sh MINCER FRAMECOUNT [NOPRESENT]
set -u
mincer=$1 framecount=$2
[ $# -ge 3 ] && export LD_PRELOAD=$3
passes=0 failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "PASS: $*"; passes=$((passes + 1)); }
source "$(dirname "$0")/x11demo.sh"

count_frames() { # what, lowest and highest frames per refresh
    read -r frames refreshes hz < <("$framecount" "$window" 120 60 | awk '{print $2, $4, $6}')
    per=$(awk -v f="${frames:-0}" -v r="${refreshes:-0}" 'BEGIN { if (r > 0) print f / r; else print -1 }')
    summary="$frames frames in $refreshes refreshes at $hz Hz"
    awk -v p="$per" -v low="$2" -v high="$3" 'BEGIN { exit !(p >= low && p <= high) }' &&
        pass "$1: $summary" || fail "$1: $summary"
}

start_demo disk 60
if [ -n "$window" ]; then
    sleep 0.5
    # The forest stands still until 14 s: once it is on screen, nothing is painted again.
    count_frames "a still picture is not painted again" 0 0.02
    # From 30.5 s (the fade, then the grinder) the picture moves: two seconds of refreshes bring
    # one frame each. Unpaced, several would; a frame missed in three refreshes, or a frame
    # painted too late for its refresh, leaves fewer.
    xdotool key --window "$window" Up Up Up
    count_frames "one frame per refresh" 0.97 1.03
    grep "^mincer:" "$work/stderr" # how the frames were paced, if not by Present
    xdotool key --window "$window" Escape
    wait_for_exit "Escape" 1 "$pid"
fi

start_demo disk 3
[ -n "$window" ] && wait_for_exit "end of the music" 6 "$pid"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
