#!/bin/bash
# Runs the demo in a headless Wayland compositor (sway), once on Qt's own wayland platform, which
# Qt picks by itself in a Wayland session, and once under XWayland, as Qt runs without its
# wayland plugin. Each time: the window covers the output; the screen shows the frame that the
# capture tool renders for that size, with no cursor on it, both with the pointer over the output
# when the window appears and with a pointer that arrives later; the window refits when the
# output's mode changes; Escape quits with status 0, and so does the end of the music. Then, on a
# second output: --screen; that output unplugged and plugged again; the show's workspace left
# and come back to.
# Usage: window_wayland.sh MINCER CAPTURE SCREENMATCH WLPOINTER
# As root the compositor runs as the user nobody, since sway refuses to run as root; the demo and
# the other clients run as the caller. Everything runs in a private folder, removed at the end.
set -u
mincer=$1 capture=$2 screenmatch=$3 wlpointer=$4
failures=0 checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)) checks=$((checks + 1)); }
pass() { echo "PASS: $*"; checks=$((checks + 1)); }

work=$(mktemp -d)
chmod 711 "$work"
demo='' sway='' pointer=''
cleanup() {
    [ -n "$demo" ] && kill "$demo" 2>/dev/null
    [ -n "$pointer" ] && kill "$pointer" 2>/dev/null
    if [ -n "$sway" ]; then
        # The compositor leads its own process group, with its background and XWayland in it.
        kill -TERM -- "-$sway" 2>/dev/null
        for _ in $(seq 30); do
            kill -0 -- "-$sway" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL -- "-$sway" 2>/dev/null
    fi
    wait
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# --- The compositor: one headless output with a background the scenes never show.
background='#ff00ff'
mkdir -m 700 "$work/compositor" "$work/client"
cat > "$work/sway.config" <<EOF
output HEADLESS-1 mode 1366x768 bg $background solid_color
xwayland enable
EOF
chmod 644 "$work/sway.config"
as_compositor=()
if [ "$(id -u)" -eq 0 ]; then
    chown nobody: "$work/compositor"
    as_compositor=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
    # XWayland's socket folder, as an X server creates it, in case none ever ran here.
    [ -d /tmp/.X11-unix ] || install -d -m 1777 /tmp/.X11-unix
fi
setsid "${as_compositor[@]}" env -i PATH=/usr/bin:/bin HOME="$work/compositor" \
    XDG_RUNTIME_DIR="$work/compositor" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman sway -c "$work/sway.config" > "$work/sway.log" 2>&1 &
sway=$!
socket='' SWAYSOCK=''
for _ in $(seq 100); do
    socket=$(compgen -G "$work/compositor/wayland-[0-9]")
    SWAYSOCK=$(compgen -G "$work/compositor/sway-ipc.*.sock")
    [ -S "$socket" ] && [ -S "$SWAYSOCK" ] && break
    sleep 0.1
done
if [ ! -S "$socket" ] || [ ! -S "$SWAYSOCK" ]; then
    echo "FAIL: sway did not start:"
    cat "$work/sway.log"
    exit 1
fi
# The clients reach the compositor by its socket's path, and keep their own runtime folder.
export WAYLAND_DISPLAY=$socket XDG_RUNTIME_DIR=$work/client SWAYSOCK
# XWayland lets in only the compositor's user: let the caller in too, into the XWayland that runs
# now. sway may start XWayland only when a client comes, and stop it 10 s after the last one
# left (sway 1.10); the next one knows nothing of an earlier grant. So every start of the demo
# lets the caller in again, starting XWayland if none runs. Leaves the X display in $xdisplay.
# (One line without ';': sway would take what follows either as its next command.)
let_in() {
    local grant="xhost +si:localuser:$(id -un) > /dev/null || true"
    rm -f "$work/compositor/display"
    swaymsg -q exec "$grant && printenv DISPLAY > \"\$XDG_RUNTIME_DIR/display\""
    for _ in $(seq 50); do [ -s "$work/compositor/display" ] && break; sleep 0.1; done
    xdisplay=$(cat "$work/compositor/display" 2>/dev/null)
}
let_in

output_mode() { # WxH
    swaymsg -q output HEADLESS-1 mode "$1"
}

# --- The pointer: a virtual pointer device that exists while wlpointer runs. It answers "ok"
# to each move once the compositor has taken it.
toPointer='' fromPointer=''
start_pointer() {
    rm -f "$work/pointer.in" "$work/pointer.out"
    mkfifo "$work/pointer.in" "$work/pointer.out"
    "$wlpointer" < "$work/pointer.in" > "$work/pointer.out" 2> "$work/pointer.log" &
    pointer=$!
    exec {toPointer}> "$work/pointer.in" {fromPointer}< "$work/pointer.out"
    local reply=''
    read -r -t 5 -u "$fromPointer" reply
    [ "$reply" = ok ] || { cat "$work/pointer.log"; return 1; }
}
move_pointer() { # X Y WIDTH HEIGHT: to X, Y of a WIDTH x HEIGHT area mapped onto the output
    local reply=''
    echo "$*" >&"$toPointer"
    read -r -t 5 -u "$fromPointer" reply
    [ "$reply" = ok ]
}
stop_pointer() {
    [ -n "$pointer" ] || return 0
    exec {toPointer}>&- {fromPointer}<&-
    wait "$pointer"
    pointer=''
}

# --- Screenshots against the capture tool's frames. Until the hop at 14 s the forest stands
# still: any moment of it is the capture's frame at 1 s.
for size in 1366x768 2560x1440 1920x1080; do
    "$capture" --at 1000 --size "$size" -o "$work/expected-$size.png" 2>/dev/null
done
# screen_shows SIZE [OUTPUT [TRIES]]: whether the screen (or that output) shows the frame of that
# size, or the picture of that name; tries 15 times over 3 s (the first frame, a refit). Leaves the
# comparison in $match and a failing screenshot beside the test as window_wayland-N.png.
shots=0
rm -f window_wayland-*.png
screen_shows() {
    local attempt output=(${2:+-o "$2"})
    for attempt in $(seq "${3:-15}"); do
        timeout 2 grim "${output[@]}" -t ppm "$work/screen.ppm" &&
            match=$("$screenmatch" --shot "$work/screen.ppm" "$work/expected-$1.png") && return 0
        sleep 0.2
    done
    shots=$((shots + 1))
    timeout 2 grim "${output[@]}" "window_wayland-$shots.png"
    match="$match (screenshot: window_wayland-$shots.png)"
    return 1
}

# The check can see a cursor: the compositor draws its own over the background.
start_pointer && move_pointer 1 1 2 2 || { echo "FAIL: no virtual pointer"; exit 1; }
grim -t ppm "$work/centre.ppm"
move_pointer 0 0 2 2
grim -t ppm "$work/corner.ppm"
"$screenmatch" --shot "$work/centre.ppm" "$work/corner.ppm" > /dev/null &&
    fail "the screenshots show no cursor even over the background" ||
    pass "the screenshots show the compositor's cursor over the background"
move_pointer 1 1 2 2

# --- The demo
mkdir "$work/long" "$work/short"
head -c $((176400 * 60)) /dev/zero > "$work/long/music.raw" # does not end during a check
music_seconds=6
head -c $((176400 * music_seconds)) /dev/zero > "$work/short/music.raw"

# start_demo MUSIC_FOLDER PLATFORM_ENV...: starts the demo (with the arguments in demo_args) and
# waits for its window. Leaves the window's shell, full-screen state and geometry in $view.
demo_args=()
start_demo() {
    local folder=$1
    shift
    let_in
    rm -f "$work/device.raw"
    (cd "$folder" && exec env -u QT_QPA_PLATFORM "$@" SDL_AUDIODRIVER=disk \
        SDL_DISKAUDIOFILE="$work/device.raw" SDL_DISKAUDIODELAY=20 "$mincer" "${demo_args[@]}") \
        > "$work/demo.log" 2>&1 &
    demo=$!
    started=$SECONDS
    view=''
    for _ in $(seq 100); do
        view=$(swaymsg -t get_tree | jq -r --argjson pid "$demo" '.. | objects
            | select(.pid? == $pid and .visible)
            | "\(.shell) \(.fullscreen_mode) \(.rect.x),\(.rect.y) \(.rect.width)x\(.rect.height)"')
        [ -n "$view" ] && return 0
        kill -0 "$demo" 2>/dev/null || break
        sleep 0.1
    done
    cat "$work/demo.log"
    return 1
}

source "$(dirname "$0")/demoexit.sh"
# wait_exit WHAT SECONDS: waits up to SECONDS for the demo to end, then checks its status.
# Leaves the seconds it ran in $ran.
wait_exit() {
    wait_for_exit "$1" "$2" "$demo"
    ran=$((SECONDS - started))
    demo=''
}

# play NAME SHELL SIZE NEW_SIZE PLATFORM_ENV...: both runs on one platform, the output at SIZE.
play() {
    local name=$1 shell=$2 size=$3 newSize=$4
    shift 4
    local width=${size%x*} height=${size#*x}

    # The pointer is over the output when the window appears.
    if ! start_demo "$work/long" "$@"; then
        fail "$name: no window appeared"
        return
    fi
    [ "$view" = "$shell 1 0,0 $size" ] &&
        pass "$name: a full-screen $shell window covers the output" ||
        fail "$name: window '$view', expected '$shell 1 0,0 $size'"
    screen_shows "$size" && pass "$name: the screen shows the captured frame, no cursor: $match" ||
        fail "$name: the screen differs from the captured frame at $size: $match"
    move_pointer $((width / 3)) $((height / 3)) "$width" "$height"
    screen_shows "$size" && pass "$name: no cursor after the pointer moved: $match" ||
        fail "$name: after the pointer moved: $match"

    output_mode "$newSize"
    # sway 1.7 at times clears the pointer's focus as it applies a new mode, and shows its own
    # arrow until the pointer next moves: without the focus no client can set a cursor. So the
    # pointer moves, as a hand on the mouse would.
    move_pointer 1 1 2 2
    # XWayland tells the X client of the new mode late when the machine is busy (other tests run
    # beside this one): it gets up to 8 s.
    screen_shows "$newSize" "" 40 && pass "$name: refits to a new mode, $newSize: $match" ||
        fail "$name: after the mode changed to $newSize: $match"
    # wtype's new keyboard needs a moment before the compositor takes its keys.
    wtype -s 500 -k Escape
    wait_exit "$name: Escape" 2

    # The pointer arrives once the window is there; the music ends after $music_seconds s.
    stop_pointer
    if ! start_demo "$work/short" "$@"; then
        fail "$name: no window appeared with the short music"
        return
    fi
    start_pointer && move_pointer 1 1 2 2 || fail "$name: no virtual pointer"
    screen_shows "$newSize" && pass "$name: no cursor when the pointer arrives later: $match" ||
        fail "$name: after the pointer arrived: $match"
    wait_exit "$name: the end of the music" $((music_seconds + 10))
    local played
    played=$(stat -c %s "$work/device.raw" 2>/dev/null || echo 0)
    [ "$played" -ge $((176400 * music_seconds)) ] && [ "$ran" -ge $((music_seconds - 1)) ] &&
        pass "$name: ended after playing its music ($played bytes in about $ran s)" ||
        fail "$name: ended after about $ran s, having played $played bytes"
}

# Qt chooses its wayland platform by itself in a Wayland session (qtwayland5).
play "Wayland" xdg_shell 1366x768 2560x1440 \
    XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway DISPLAY="$xdisplay"
if [ -z "$xdisplay" ]; then
    fail "sway started no XWayland"
else
    play "XWayland" xwayland 2560x1440 1920x1080 QT_QPA_PLATFORM=xcb DISPLAY="$xdisplay"
fi

# --- --screen: a second output to the right of the first. On Qt's wayland platform the demo
# covers the output named, shows the captured frame of its size there, and leaves the first
# output as it was. (Under XWayland sway puts a new window on the focused output, whatever the
# window asks for: the X server test checks --screen on X11, by number.)
first=$(swaymsg -t get_outputs | jq -r '.[] | select(.name == "HEADLESS-1") | .rect.width')
swaymsg -q create_output
second=$(swaymsg -t get_outputs | jq -r '.[] | select(.name != "HEADLESS-1") | .name')
swaymsg -q output "$second" mode 1024x768 pos "$first" 0 bg "$background" solid_color
"$capture" --at 1000 --size 1024x768 -o "$work/expected-1024x768.png" 2>/dev/null
swaymsg -q focus output HEADLESS-1
grim -o HEADLESS-1 "$work/expected-first.png"
demo_args=(--screen "$second")
if start_demo "$work/long" XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway; then
    [ "$view" = "xdg_shell 1 $first,0 1024x768" ] &&
        pass "--screen $second: a full-screen window covers it" ||
        fail "--screen $second: window '$view', expected 'xdg_shell 1 $first,0 1024x768'"
    screen_shows 1024x768 "$second" && pass "--screen $second: it shows the frame: $match" ||
        fail "--screen $second: $match"
    screen_shows first HEADLESS-1 && pass "--screen $second: HEADLESS-1 is untouched: $match" ||
        fail "--screen $second: HEADLESS-1 changed: $match"
    # sway leaves the keyboard where it was, on the first output: as a viewer would, give the
    # show the focus before pressing Escape.
    swaymsg -q "[pid=$demo] focus"
    wtype -s 500 -k Escape
    wait_exit "--screen $second: Escape" 2
else
    fail "--screen $second: no window appeared"
fi

# --- The show's screen unplugged and plugged again: the show covers the remaining output within
# a second, fitted to it, and goes back to the output named by --screen when it returns. Under
# XWayland it covers the remaining output too (sway then keeps it there). sway 1.7's headless
# outputs cannot be disabled (wlroots 0.15); there this part is left out.
unplugged() { # NAME PLATFORM_ENV...: the show on $second, which is unplugged
    local name=$1
    shift
    swaymsg -q output "$second" enable
    swaymsg -q focus output "$second" # where sway puts an X11 window
    demo_args=(--screen "$second")
    start_demo "$work/long" "$@" || { fail "$name unplugged: no window appeared"; return 1; }
    screen_shows 1024x768 "$second" || fail "$name unplugged: not shown on $second: $match"
    swaymsg -q output "$second" disable
    sleep 1
    screen_shows 1920x1080 HEADLESS-1 1 &&
        pass "$name: $second unplugged, HEADLESS-1 shows the show a second later: $match" ||
        fail "$name: $second unplugged, HEADLESS-1 a second later: $match"
}
swaymsg -q output "$second" disable
if [ "$(swaymsg -t get_outputs | jq --arg name "$second" '.[] | select(.name == $name) | .active')" = true ]; then
    echo "SKIP: sway $(swaymsg -t get_version | jq -r .human_readable) cannot disable a headless output"
else
    if unplugged Wayland XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway; then
        swaymsg -q output "$second" enable
        screen_shows 1024x768 "$second" && screen_shows first HEADLESS-1 &&
            pass "Wayland: $second plugged again, the show is back on it: $match" ||
            fail "Wayland: $second plugged again: $match"
        swaymsg -q "[pid=$demo] focus"
        wtype -s 500 -k Escape
        wait_exit "Wayland unplugged: Escape" 2
    fi
    if unplugged XWayland QT_QPA_PLATFORM=xcb DISPLAY="$xdisplay"; then
        swaymsg -q output "$second" enable
        swaymsg -q "[pid=$demo] focus"
        wtype -s 500 -k Escape
        wait_exit "XWayland unplugged: Escape" 2
    fi
fi
swaymsg -q output "$second" enable

# --- The show's workspace left for another from 14 s to 24 s of the music (no frame reaches
# it then): half a second after its return it shows the music's present, in the forest's finale.
music_ms() { echo $(($(stat -c %s "$work/device.raw" 2>/dev/null || echo 0) * 1000 / 176400)); }
wait_music() { while [ "$(music_ms)" -lt "$1" ] && kill -0 "$demo" 2>/dev/null; do sleep 0.02; done; }
demo_args=(--screen "$second")
if start_demo "$work/long" XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway; then
    swaymsg -q "[pid=$demo] focus"
    wait_music 14000
    swaymsg -q workspace away
    wait_music 24000
    swaymsg -q workspace back_and_forth
    wait_music 24500
    timeout 2 grim -o "$second" -t ppm "$work/screen.ppm"
    expected=$(music_ms)
    found=$("$screenmatch" --shot "$work/screen.ppm" --scene 0 $((expected - 250)) $((expected + 100)))
    [ $? -eq 0 ] && pass "the workspace left and come back: the forest at $found ms, the music at $expected ms" ||
        fail "the workspace left and come back: the music at $expected ms, the picture: $found"
    wtype -s 500 -k Escape
    wait_exit "the workspace come back: Escape" 2
else
    fail "the workspace left: no window appeared"
fi

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
