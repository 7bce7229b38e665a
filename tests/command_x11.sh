#!/bin/bash
# The demo as a command, in an X server with two screens (start it under xvfb-run with
# -screen 0 1920x1080x24 -screen 1 1280x1024x24): what --help, --version, --list-screens and
# mistakes answer; music it cannot play is refused before any window is mapped; --screen puts the
# covering window on the other screen and leaves the first untouched; --window opens an ordinary
# window with a cursor, that refits when resized and switches with F11 and F; a window hidden
# across the end of the first scene shows the second at the music's time when shown again.
# Usage: command_x11.sh MINCER CAPTURE SCREENMATCH CURSORPROBE
set -u
mincer=$1 capture=$2 screenmatch=$3 cursorprobe=$4
passes=0 failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "PASS: $*"; passes=$((passes + 1)); }
source "$(dirname "$0")/x11demo.sh"
unset QT_QPA_PLATFORM # ./test runs everything offscreen; this test shows the demo in Xvfb
display=${DISPLAY%.*}
expect() { # WHAT: passes when the command before it succeeded
    [ $? -eq 0 ] && pass "$1" || fail "$1"
}

# --- Answers: the status, and each |-separated text in what is printed.
answers() { # STATUS TEXTS ARGUMENT...
    local status=$1 texts=$2 out got text missing=''
    shift 2
    out=$("$mincer" "$@" 2>&1)
    got=$?
    IFS='|' read -ra wanted <<<"$texts"
    for text in "${wanted[@]}"; do
        grep -qF -- "$text" <<<"$out" || missing+=" '$text'"
    done
    [ "$got" -eq "$status" ] && [ -z "$missing" ] && pass "mincer $*: status $got" ||
        fail "mincer $*: status $got (expected $status), missing$missing in: $out"
}
answers 0 "--window|--screen|--list-screens|--loop|--mute|--shuffle|--listen|--version|[FILE...]|Escape|Left, Right|Down, Up|N, Page Down|F11, F" --help
answers 0 "mincer 1.0.0" --version
answers 0 "0  screen        1920x1080  60.00 Hz  (default)|1  screen        1280x1024" --list-screens
answers 2 "unknown option 'bogus'|mincer --help" --bogus
answers 2 "--window needs WIDTHxHEIGHT" --window=wide
answers 2 "no screen '7'|1  screen        1280x1024" --screen 7
out=$(script -qec "$mincer -" /dev/null 2>&1 </dev/null)
[ $? -eq 2 ] && grep -qF "standard input is a terminal" <<<"$out"
expect "mincer - on a terminal: status 2, '$out'"
out=$("$capture" --help-all 2>&1)
[ $? -eq 0 ] && grep -qF -- "-platform" <<<"$out"
expect "mincer-capture --help-all: status 0, the toolkit's options listed"

# --- Music it cannot play: one line, status 1, and no window mapped on either screen, whether it
# is refused before the toolkit starts (missing) or after (damaged, found so while decoding). The
# playback test has the other kinds.
for screen in 0 1; do
    stdbuf -oL xev -display "$display.$screen" -root -event substructure > "$work/maps-$screen" &
    watchers+=($!)
done
sleep 0.3
refused() { # WHAT TEXT [ARGUMENT...]: in a folder of its own, with a runtime folder as in a session
    local what=$1 text=$2 out got
    shift 2
    out=$(cd "$work/refused" && XDG_RUNTIME_DIR=$work "$mincer" "$@" 2>&1)
    got=$?
    [ "$got" -eq 1 ] && [ "$(wc -l <<<"$out")" -eq 1 ] && grep -qF "$text" <<<"$out" &&
        pass "$what: status 1, '$out'" || fail "$what: status $got, '$out'"
}
mkdir "$work/refused"
refused "a missing song" "none.flac: no such file" none.flac
sox -V1 -n -r 44100 -b 16 -c 2 "$work/song.wav" synth 2 sine 440 &&
    head -c 200000 "$work/song.wav" > "$work/refused/cut.wav"
refused "a truncated song" "cut.wav: the sound ends at 1.13 s" cut.wav

# --- --screen: the second screen covered and showing the frame, the first untouched.
DISPLAY=$display.0 "$screenmatch" "$work/none.png" "$work/screen0.png" > /dev/null 2>&1
"$capture" --at 1000 --size 1280x1024 -o "$work/expected-1280x1024.png" 2> /dev/null
start_demo disk 60 --screen 1
if [ -z "$window" ]; then
    fail "--screen 1: no window appeared"
else
    sleep 0.5
    [ "$(geometry_of "$window")" = "0,0 1280x1024" ]
    expect "--screen 1: the window covers the second screen ($(geometry_of "$window"))"
    match=$(DISPLAY=$display.1 "$screenmatch" "$work/expected-1280x1024.png")
    expect "--screen 1: the second screen shows the captured frame: $match"
    match=$(DISPLAY=$display.0 "$screenmatch" "$work/screen0.png")
    expect "--screen 1: the first screen is untouched: $match"
    xdotool key --window "$window" Escape
    wait_for_exit "--screen 1: Escape" 2 "$pid"
fi
kill "${watchers[@]}"
wait "${watchers[@]}" 2> /dev/null
! grep -q MapNotify "$work/maps-0" && grep -q MapNotify "$work/maps-1"
expect "the music refused, no window was mapped (and the demo's own window on screen 1 was seen)"

# --- --window: its size, a resize refits, F11 and F switch, the cursor shows.
for size in 640x480 1920x1080; do
    "$capture" --at 1000 --size "$size" -o "$work/expected-$size.png" 2> /dev/null
done
start_demo disk 60 --window 800x450 # the size as the next argument, as --window=800x450
if [ -z "$window" ]; then
    fail "--window: no window appeared"
else
    sleep 0.3
    [ "$(geometry_of "$window" | cut -d' ' -f2)" = 800x450 ]
    expect "--window 800x450: $(geometry_of "$window")"
    xdotool windowsize "$window" 640 480
    sleep 0.5
    match=$("$screenmatch" --window "$window" "$work/expected-640x480.png")
    expect "--window: resized to 640x480, it shows the captured frame letterboxed: $match"
    xdotool mousemove --window "$window" 320 240
    sleep 0.2
    "$cursorprobe" > /dev/null
    [ $? -eq 1 ]
    expect "--window: the cursor shows over the window"
    xdotool key --window "$window" F11
    sleep 0.5
    match=$("$screenmatch" "$work/expected-1920x1080.png")
    expect "--window: F11 covers the screen ($(geometry_of "$window")): $match"
    xdotool key --window "$window" f
    sleep 0.5
    [ "$(geometry_of "$window" | cut -d' ' -f2)" = 640x480 ]
    expect "--window: F switches back to the window as it was: $(geometry_of "$window")"
    xdotool key --window "$window" Escape
    wait_for_exit "--window: Escape" 2 "$pid"
fi

# --- A window hidden across the forest's end. Seeking 30 s ahead at once makes the forest end
# at 1701 ms of music; the window is unmapped before that and mapped again at 3.5 s.
start_demo disk 60 --window=640x360
if [ -z "$window" ]; then
    fail "hidden: no window appeared"
else
    xdotool key --window "$window" Up Up Up
    wait_music 1200
    xdotool windowunmap "$window"
    wait_music 3500
    xdotool windowmap "$window"
    sleep 0.5
    # The grinder at the music's time: from 1701 ms on (the disk driver's first buffer is SDL's
    # own silence); a grinder started when the window came back would be 1.8 s behind.
    expected=$(($(music_ms) - 1701))
    found=$("$screenmatch" --window "$window" --scene 1 $((expected - 300)) $((expected + 400)))
    expect "hidden across the forest's end: the grinder at ${found} ms, the music at ${expected} ms"
    xdotool key --window "$window" Escape
    wait_for_exit "hidden: Escape" 2 "$pid"
fi

# --- --loop: the memory stays flat over 50 passes of a 3 s music (the disk driver running 20
# times as fast as real time).
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$pid/status"; }
DISK_DELAY=1 start_demo disk 3 --loop
if [ -z "$window" ]; then
    fail "--loop: no window appeared"
else
    wait_music 6000
    before=$(rss_kb)
    wait_music 150000
    after=$(rss_kb) passed=$(($(music_ms) / 3000))
    [ "$passed" -ge 50 ] && [ $((after - before)) -le 5120 ]
    expect "--loop: $passed passes, resident memory $before kB after the second, $after kB after"
    xdotool key --window "$window" Escape
    wait_for_exit "--loop: Escape" 2 "$pid"
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
