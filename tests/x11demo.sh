# Shared by the X server tests (sourced): starting the demo in a folder of its own and waiting
# for it to end. The sourcing script sets `mincer` and defines fail and pass.
source "$(dirname "${BASH_SOURCE[0]}")/demoexit.sh"
work=$(mktemp -d)
pid=''
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT

# start_demo DRIVER SECONDS [ARGUMENT...]: the demo with SECONDS of silent music.raw and that SDL
# audio driver (the disk driver in real time, or with DISK_DELAY ms between its 20 ms buffers);
# sets pid and the window's id (empty when none appeared).
start_demo() {
    local driver=$1
    head -c $((176400 * $2)) /dev/zero > "$work/music.raw"
    shift 2
    rm -f "$work/device.raw"
    (cd "$work" && exec env -u QT_QPA_PLATFORM SDL_AUDIODRIVER="$driver" \
        SDL_DISKAUDIOFILE="$work/device.raw" SDL_DISKAUDIODELAY="${DISK_DELAY:-20}" "$mincer" "$@" \
        2> "$work/stderr") &
    pid=$!
    window=$(timeout 10 xdotool search --sync --onlyvisible --pid "$pid" 2>/dev/null | head -n 1)
}

# music_ms: how much music the demo has handed to the disk driver so far, in ms.
music_ms() {
    echo $(($(stat -c %s "$work/device.raw" 2>/dev/null || echo 0) * 1000 / 176400))
}
# wait_music MS: until the demo has handed over MS ms of music (at most 20 s).
wait_music() {
    for _ in $(seq 400); do
        [ "$(music_ms)" -ge "$1" ] && return 0
        sleep 0.05
    done
    return 1
}

# geometry_of WINDOW: "X,Y WIDTHxHEIGHT" of the window on its screen.
geometry_of() {
    xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
        /Width:/ {w=$NF} /Height:/ {h=$NF} END {print x "," y " " w "x" h}'
}
