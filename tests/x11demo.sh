# Shared by the X server tests (sourced): starting the demo in a folder of its own and waiting
# for it to end. The sourcing script sets `mincer` and defines fail and pass.
source "$(dirname "${BASH_SOURCE[0]}")/demoexit.sh"
work=$(mktemp -d)
pid=''
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT

# start_demo DRIVER SECONDS: the demo with SECONDS of silent music.raw and that SDL audio driver
# (the disk driver in real time); sets pid and the window's id (empty when none appeared).
start_demo() {
    head -c $((176400 * $2)) /dev/zero > "$work/music.raw"
    (cd "$work" && exec env -u QT_QPA_PLATFORM SDL_AUDIODRIVER="$1" \
        SDL_DISKAUDIOFILE="$work/device.raw" SDL_DISKAUDIODELAY=20 "$mincer" 2> "$work/stderr") &
    pid=$!
    window=$(timeout 10 xdotool search --sync --onlyvisible --pid "$pid" 2>/dev/null | head -n 1)
}
