#!/bin/bash
# Plays the built demo against real sound servers, each started here in private folders, and
# measures how far its picture runs ahead of its music as a viewer would see it:
#   pulse idle       PulseAudio with a null sink, idle between launches (it renders silence ahead
#                    in 2-second blocks while nobody plays)
#   pulse suspended  the same with module-suspend-on-idle, the sink suspended when each launch
#                    starts
#   pipewire running PipeWire with pipewire-pulse and wireplumber, on a session bus of its own,
#                    with a null sink whose monitor is recorded from before each launch (so its
#                    graph is running when the demo starts)
#   pulse tunnel-MSms a network speaker: the demo plays to PulseAudio's module-tunnel-sink with
#                    latency_msec=MS (100 and 75), which streams over TCP to a second PulseAudio
#                    daemon's null sink, whose monitor is recorded (where the music is heard); at
#                    1920x1080 only, with the lead's limits of a far sink
#   pipewire tunnel-100ms  the same speaker behind PipeWire's tunnel (pulse.latency = 100), which
#                    resamples the music; its lead is not judged where PipeWire publishes no
#                    delay for it (1.4: "tunnel-100ms-unreported"), its median not where it
#                    publishes the latency it was configured with (0.3: "tunnel-100ms-configured")
# Each is played LAUNCHES times (default 4) at 1920x1080 and at 3840x2160, each in its own Xvfb,
# at random moments, with each SDL 1.2 there is: the system's, and where that is the classic
# library (Debian 12), also sdl12-compat (SDL 1.2's interface over SDL 2, the SDL 1.2 of Debian 13
# and of most other distributions), unpacked from Debian's package libsdl1.2-compat into
# COMPAT_DIR and loaded with LD_LIBRARY_PATH. Per launch: the lead of the picture (frameprobe,
# monitorrecorder and leadreport), the music intact at the sink, exit status 0. Then, per
# library, a run with PULSE_LATENCY_MSEC=20: the classic library then gets almost no callbacks,
# and the demo must end by itself within the music's length + 5 s, saying on stderr that no sound
# plays; sdl12-compat plays the music as usual, and the demo must end by itself with status 0.
# At the idle PulseAudio sink, with the system's library: a song in each format the demo reads
# must reach the sink as its reference decode, --loop must play the music three times back to
# back, bit for bit, and end with status 0 on Escape, and three songs on the command line must
# play one after the other, bit for bit, and end with status 0.
# Listening, at the idle PulseAudio sink and behind the 100 ms tunnel: mincer --listen shows the
# grinder while paplay plays a made song of known beats (100 BPM, 128 BPM, 96 to 136 BPM; behind
# the tunnel the last alone); from 8 s into the song, the swallows a viewer saw must lie within
# 25 ms of the song's beats heard at the sink as a median, 60 ms for 90 % of them, and the demo
# must end with status 0 on Escape. Its CPU time, and the same show's without listening, are
# printed. MINCER_SOUND_LISTEN=N plays every song at both sinks N times, each 30 s long.
# Last, per library, PulseAudio killed mid-show and started again, and its sink removed and loaded
# again: the music must come back from where the show is, the rest of it bit for bit; SIGINT and
# SIGTERM must end the demo at once; and a server stopped before the device opens must leave the
# show to run its course silently, to its last scene, with status 0.
#
# Usage: soundservers.sh MINCER FRAMEPROBE MONITORRECORDER CALLBACKLOG LEADREPORT COMPAT_DIR
#        POLKITSTANDIN [LAUNCHES]
# Exit status 0 when every target is met. MINCER_SOUND_KEEP=DIR keeps every launch's files there;
# MINCER_SOUND_SERVERS="pulse-idle pipewire-running" plays only those servers (pulse-tunnel: both
# tunnels), and MINCER_SOUND_LIBRARIES="system" (or "compat") only that library.
# MINCER_SOUND_LOAD=N keeps N CPU-bound processes busy beside every launch, at normal priority, as
# a browser or a build would ("cores": one per core).
# MINCER_SOUND_DESKTOP=1 (as root) plays as a desktop runs it: the sound servers, the load and the
# demo as the user nobody, without the right to raise a thread's priority, and rtkit on a private
# system bus (with POLKITSTANDIN granting what a desktop's polkit grants a user with a local
# session), through which PulseAudio and PipeWire (its module-rt) raise their threads, as the demo
# does.
set -u
mincer=$(realpath "$1") frameprobe=$(realpath "$2") recorder=$(realpath "$3")
callbacklog=$(realpath "$4") leadreport=$(realpath "$5") compat=$(realpath -m "$6")
polkitstandin=$(realpath "$7")
launches=${8:-4}
sizes=(1920x1080 3840x2160)
music_seconds=3.5 # covers the rise at 2.5 s, however far ahead or behind the picture starts
demo_timeout=12 # s: a launch that has not ended by then has failed
budget=810 # s: launches stop there, with time left to clean up before ctest's 930
# Listening: each song's length (s), and launches per song and sink (0: the default, below).
listen_launches=${MINCER_SOUND_LISTEN:-0}
listen_seconds=16
[ "$listen_launches" -gt 0 ] && listen_seconds=30
started_at=$SECONDS
work=$(mktemp -d /tmp/mincer-soundservers.XXXXXX)
unset QT_QPA_PLATFORM # the demo shows its window in Xvfb
started=() # the X and sound servers started here, stopped by their ids
current=() # the processes of the launch under way
failures=()

stop() { # PID...: asks, then forces
    [ $# -gt 0 ] || return 0
    kill "$@" 2>/dev/null
    local pid alive=()
    for _ in $(seq 20); do
        alive=()
        for pid in "$@"; do
            kill -0 "$pid" 2>/dev/null && alive+=("$pid")
        done
        [ ${#alive[@]} -eq 0 ] && break
        sleep 0.05
    done
    [ ${#alive[@]} -gt 0 ] && kill -9 "${alive[@]}" 2>/dev/null
    wait "$@" 2>/dev/null
}
cleanup() {
    stop "${current[@]}" "${started[@]}"
    if [ -n "${MINCER_SOUND_KEEP:-}" ]; then
        mkdir -p "$MINCER_SOUND_KEEP" && cp -r "$work"/. "$MINCER_SOUND_KEEP"/
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() { echo "FAIL: $*"; failures+=("$*"); }
milliseconds() { echo $(($(date +%s%N) / 1000000)); }
random_pause() { # 0 to 2 s
    local ms=$((RANDOM % 2000))
    sleep "$((ms / 1000)).$(printf %03d $((ms % 1000)))"
}
wait_for() { # SECONDS COMMAND...: retries the command every 50 ms
    local deadline=$(($(milliseconds) + $1 * 1000))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$(milliseconds)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# As a desktop runs it: the user's processes, and the desktop's rtkit on a system bus of the test's
# own. as_user runs a command as the user; for_user gives the user the files under a folder.
as_user=()
for_user() { :; }
if [ -n "${MINCER_SOUND_DESKTOP:-}" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "MINCER_SOUND_DESKTOP: needs root, to start rtkit and to play as another user"
        exit 1
    fi
    as_user=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
    for_user() { chown -R nobody: "$1"; }
    if ! "${as_user[@]}" test -x "$mincer" -a -r "$callbacklog"; then
        echo "MINCER_SOUND_DESKTOP: the user nobody cannot reach the build ($mincer)"
        exit 1
    fi
    chmod 711 "$work"
    mkdir -m 755 "$work/system"
    cat >"$work/system/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/system/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/> <allow own="*"/> <allow send_destination="*"/>
    <allow send_type="method_call"/> <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/> <allow receive_type="method_return"/>
    <allow receive_type="error"/> <allow receive_type="signal"/>
  </policy>
</busconfig>
EOF
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/system/bus
    dbus-daemon --config-file="$work/system/bus.conf" --nofork --nopidfile \
        >"$work/system/bus.log" 2>&1 &
    started+=($!)
    wait_for 5 test -S "$work/system/bus" || { echo "no system bus"; exit 1; }
    "$polkitstandin" >"$work/system/polkit.log" 2>&1 &
    started+=($!)
    wait_for 5 grep -q ready "$work/system/polkit.log" || { echo "no polkit stand-in"; exit 1; }
    # rtkit as its package starts it; its log goes to syslog (it may write no file of its own).
    /usr/libexec/rtkit-daemon >/dev/null 2>&1 &
    started+=($!)
    wait_for 5 busctl --address="$DBUS_SYSTEM_BUS_ADDRESS" get-property \
        org.freedesktop.RealtimeKit1 /org/freedesktop/RealtimeKit1 org.freedesktop.RealtimeKit1 \
        MaxRealtimePriority || { echo "rtkit did not start"; exit 1; }
    echo "As a desktop runs it: as the user nobody, rtkit on a private system bus"
fi

"$leadreport" music "$music_seconds" "$work/music.raw" || exit 1
music_bytes=$(stat -c %s "$work/music.raw")

# One X server per screen size, and the probe's pictures of the rise for it.
declare -A display
for size in "${sizes[@]}"; do
    "$frameprobe" prepare "$size" "$work/candidates-$size.bin" || exit 1
    Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$work/display-$size" \
        2>"$work/xvfb-$size.log" &
    started+=($!)
    wait_for 10 test -s "$work/display-$size" || { echo "Xvfb did not start"; exit 1; }
    display[$size]=:$(cat "$work/display-$size")
done

# The SDL 1.2 libraries to play with, by name: "system" (no LD_LIBRARY_PATH) and "compat".
declare -A library_path=([system]='' [compat]=$compat)
sdl_file() { # LIBRARY: the file behind the libSDL-1.2.so.0 that the demo loads with it
    LD_LIBRARY_PATH=${library_path[$1]} ldd "$mincer" |
        awk '$1 == "libSDL-1.2.so.0" {print $3}' | xargs -r readlink -f
}
# sdl12-compat's files are named after its version, 1.2.50 and later; the classic library's
# libSDL-1.2.so.0.11.x.
is_compat() { [[ $(basename "$(sdl_file "$1")") = libSDL-1.2.so.1.2.* ]]; }
# Unpacks Debian's libsdl1.2-compat into COMPAT_DIR, once (it needs libsdl2-2.0-0 installed).
fetch_compat() {
    [ -e "$compat/libSDL-1.2.so.0" ] && return 0
    local unpack=$work/sdl12-compat
    mkdir -p "$unpack"
    if ! (cd "$unpack" && apt-get download libsdl1.2-compat) >"$unpack/log" 2>&1 ||
        ! dpkg-deb -x "$unpack"/libsdl1.2-compat_*.deb "$unpack/root"; then
        sed 's/^/    /' "$unpack/log"
        return 1
    fi
    mkdir -p "$compat" && cp -a "$unpack"/root/usr/lib/*/sdl12-compat/. "$compat"/
}
libraries=()
for library in ${MINCER_SOUND_LIBRARIES:-system compat}; do
    if [ "$library" = compat ] && is_compat system; then
        continue # the system's SDL 1.2 is sdl12-compat already
    elif [ "$library" = compat ] && ! fetch_compat; then
        fail "sdl12-compat: could not fetch Debian's libsdl1.2-compat (apt-get download, above:" \
            "no network?); set MINCER_SOUND_LIBRARIES=system to play with the system's library only"
    elif [ "$library" = compat ] && ! is_compat compat; then
        fail "sdl12-compat: $compat holds no sdl12-compat the demo would load ($(sdl_file compat))"
    else
        libraries+=("$library")
        echo "SDL 1.2, $library: $(sdl_file "$library")"
    fi
done

# A sound server's private world: its runtime, configuration and state folders, and a client
# configuration that never starts a daemon of its own.
server_env() { # DIR
    mkdir -p "$1/run" "$1/home" "$1/config" "$1/state"
    chmod 700 "$1/run"
    echo "autospawn = no" >"$1/client.conf"
    for_user "$1"
    export XDG_RUNTIME_DIR=$1/run HOME=$1/home XDG_CONFIG_HOME=$1/config XDG_STATE_HOME=$1/state
    export PULSE_CLIENTCONFIG=$1/client.conf PULSE_SERVER=unix:$1/run/pulse/native
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$1/bus
    unset PULSE_LATENCY_MSEC PIPEWIRE_REMOTE
}

# A PulseAudio daemon in DIR's private world with MODULE... and its native socket there; waits
# until it answers.
pulseaudio_with() { # DIR MODULE...
    local dir=$1 load=() module
    shift
    server_env "$dir"
    for module in "$@"; do
        load+=(--load="$module")
    done
    "${as_user[@]}" pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
        --disable-shm=no "${load[@]}" \
        --load="module-native-protocol-unix socket=$dir/run/pulse/native auth-anonymous=1" \
        >"$dir/server.log" 2>&1 &
    started+=($!)
    wait_for 10 pactl info
}
null_sink="module-null-sink sink_name=mincer rate=44100 format=s16le channels=2"

start_pulseaudio() { # DIR [SUSPEND]
    local suspend=()
    [ -n "${2:-}" ] && suspend=("module-suspend-on-idle timeout=1")
    pulseaudio_with "$1" "$null_sink" "${suspend[@]}" ||
        { echo "PulseAudio did not start"; cat "$1/server.log"; return 1; }
}

start_pipewire() { # DIR
    server_env "$1"
    # As on a desktop: the small quantum that PipeWire raises on a virtual machine.
    mkdir -p "$1/config/pipewire/pipewire.conf.d" "$1/config/pipewire/pipewire-pulse.conf.d"
    echo 'context.properties = { vm.overrides = { default.clock.min-quantum = 16 } }' \
        >"$1/config/pipewire/pipewire.conf.d/vm.conf"
    echo 'pulse.properties = { vm.overrides = { pulse.min.quantum = 256/48000 } }' \
        >"$1/config/pipewire/pipewire-pulse.conf.d/vm.conf"
    for_user "$1/config"
    "${as_user[@]}" dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork \
        --nopidfile >"$1/dbus.log" 2>&1 &
    started+=($!)
    wait_for 5 test -S "$1/bus" || { echo "dbus-daemon did not start"; return 1; }
    "${as_user[@]}" pipewire >"$1/pipewire.log" 2>&1 &
    started+=($!)
    wait_for 5 test -S "$1/run/pipewire-0" || { echo "PipeWire did not start"; return 1; }
    "${as_user[@]}" wireplumber >"$1/wireplumber.log" 2>&1 &
    started+=($!)
    "${as_user[@]}" pipewire-pulse >"$1/server.log" 2>&1 &
    started+=($!)
    wait_for 10 pactl info || { echo "pipewire-pulse did not start"; return 1; }
    pactl load-module module-null-sink sink_name=mincer rate=44100 channels=2 >/dev/null &&
        wait_for 5 pactl set-default-sink mincer &&
        # The graph at the music's rate, so that nothing is resampled.
        pw-metadata -n settings 0 clock.force-rate 44100 >/dev/null ||
        { echo "no null sink in PipeWire"; return 1; }
}

# A network speaker: a far PulseAudio daemon whose null sink "mincer" is where the music is heard,
# reached over TCP (127.0.0.1, a random port) by the tunnel sink "speaker" of the server the demo
# talks to, which holds the music LATENCY ms and reports that delay. start_far sets far_port, and
# monitor_server to the far daemon.
start_far() { # DIR
    for _ in 1 2 3; do
        far_port=$((20000 + RANDOM % 20000))
        pulseaudio_with "$1/far" "$null_sink" \
            "module-native-protocol-tcp listen=127.0.0.1 port=$far_port auth-anonymous=1" &&
            break # else the port was taken
    done
    monitor_server=$PULSE_SERVER
}
start_tunnel() { # DIR LATENCY: PulseAudio's module-tunnel-sink
    start_far "$1"
    # The tunnel's stream reaches the far sink once it is connected.
    local tunnel="server=tcp:127.0.0.1:$far_port sink=mincer sink_name=speaker latency_msec=$2"
    pulseaudio_with "$1" "module-tunnel-sink $tunnel" && wait_for 10 tunnel_connected ||
        { echo "no tunnel to a far PulseAudio"; cat "$1/far/server.log" "$1/server.log"; return 1; }
}
# PipeWire's: the module that pipewire-pulse's module-tunnel-sink loads, set up in PipeWire's own
# configuration, since pipewire-pulse 0.3.65 ignores the rate it is given (the far sink would
# resample the music).
start_pipewire_tunnel() { # DIR LATENCY
    start_far "$1"
    mkdir -p "$1/config/pipewire/pipewire.conf.d"
    cat >"$1/config/pipewire/pipewire.conf.d/speaker.conf" <<EOF
context.modules = [ { name = libpipewire-module-pulse-tunnel
    args = { tunnel.mode = sink pulse.server.address = "tcp:127.0.0.1:$far_port"
             pulse.latency = $2 audio.rate = 44100 audio.format = S16 audio.channels = 2
             audio.position = [ FL FR ] stream.props = { node.name = speaker } } } ]
EOF
    start_pipewire "$1" && wait_for 5 pactl set-default-sink speaker ||
        { echo "no tunnel in PipeWire"; cat "$1/far/server.log" "$1/pipewire.log"; return 1; }
    # PipeWire 0.3 publishes the tunnel's delay as the latency it was configured with, not what
    # it holds (some 20 ms less here): the lead's median is shown, not judged; each launch's is.
    # 1.4 publishes none, and then the demo has nothing to wait for: its lead is shown, not judged.
    local published
    published=$(pw-dump | jq '[.[] | select(.info.props["node.name"]? == "speaker")
            | .info.params.Latency[]? | .minNs] | max // 0')
    if [ "$published" = 0 ]; then
        echo "The tunnel publishes no delay"
        unreported=-unreported
    elif [ "$published" = "$(($2 * 1000000))" ]; then
        echo "The tunnel publishes its configured latency"
        unreported=-configured
    fi
}
tunnel_connected() { [ -n "$(pactl --server="$monitor_server" list short sink-inputs)" ]; }

sink_state() { pactl list short sinks | awk '$2 == "mincer" {print $NF}'; }
sink_suspended() { [ "$(sink_state)" = SUSPENDED ]; }

# Plays the demo once with the probe and the recorder; prints leadreport's line.
# On a PulseAudio sink (the demo's own, or a far one) the recorder starts once the demo has opened its device: recording the monitor
# of an idle sink before that would let the rewinds of the demo's new stream drop its first
# bytes from the recording (and would wake a suspended sink). PipeWire does not rewind, but it
# starts a new stream within some 50 ms, often before a recorder started then is linked: there
# the demo starts once the recording runs.
# The recorder's latency: small, for the time each chunk arrives; on PipeWire, whose graph runs
# at the smallest quantum its streams ask for, that of the demo's stream (SDL asks for 10 ms
# buffers), since a quantum of 5 ms on a virtual machine drops blocks of the music now and then.
records_pulseaudio() { [ "$1" = pulse ] || [ -n "$monitor_server" ]; } # SERVER
recording_latency_ms() { # SERVER
    records_pulseaudio "$1" && echo 5 || echo 10
}

launch() { # SERVER STATE SIZE LIBRARY N: in a folder of its own, also when played again
    attempts=$((attempts + 1))
    local dir=$work/$1-$2-$3-$4-$5.$attempts size=$3 library=$4
    mkdir -p "$dir"
    cp "$work/music.raw" "$dir/"
    mkfifo "$dir/opened" "$dir/pcm"
    for_user "$dir"
    DISPLAY=${display[$size]} "$frameprobe" watch "$work/candidates-$size.bin" \
        "$dir/frames.log" "$((demo_timeout + 5))" 2>"$dir/probe.err" &
    local probe=$!
    current=($probe)
    wait_for 5 grep -q '^ready' "$dir/frames.log" || fail "$1 $2 $3 $4: the probe did not start"
    "${listener[@]}" "$recorder" "$dir/recording.raw" "$dir/chunks.txt" <"$dir/pcm" &
    local recording=$!
    current+=($recording)
    local record=("${listener[@]}" parec --raw --format=s16le --rate=44100 --channels=2
                  --latency-msec="$(recording_latency_ms "$1")" -d mincer.monitor
                  ${monitor_server:+--server="$monitor_server"})
    if records_pulseaudio "$1"; then
        (read -r _ <"$dir/opened" && exec "${record[@]}" >"$dir/pcm") &
    else
        "${record[@]}" >"$dir/pcm" &
    fi
    local parec=$!
    current+=($parec)
    if ! records_pulseaudio "$1"; then
        wait_for 5 test -s "$dir/chunks.txt" || fail "$1 $2 $3 $4: the recording did not start"
    fi
    (
        cd "$dir" && exec env DISPLAY="${display[$size]}" SDL_AUDIODRIVER=pulse \
            ${library_path[$library]:+LD_LIBRARY_PATH=${library_path[$library]}} \
            LD_PRELOAD="$callbacklog" MINCER_CALLBACK_LOG="$dir/callbacks.log" \
            MINCER_OPEN_SIGNAL="$dir/opened" timeout -k 2 "$demo_timeout" "${as_user[@]}" "$mincer"
    ) >"$dir/stdout" 2>"$dir/stderr"
    echo $? >"$dir/status"
    # The drained tail reaches the monitor within a few buffers.
    sleep 0.3
    kill "$parec" 2>/dev/null
    # Opened and closed for reading and writing (which never blocks): releases a recorder or a
    # gate still waiting, when the demo never opened its device.
    exec 4<>"$dir/opened" 4>&- 4<>"$dir/pcm" 4>&-
    wait "$probe" || fail "$1 $2 $3 $4: the probe saw no window come and go"
    wait "$parec" "$recording"
    current=()
    "$leadreport" launch "$dir" "$1" "$2" "$3" >"$dir/result"
    launched=$dir
}
attempts=0

# Each size LAUNCHES times with each library, the libraries taking turns. A launch whose
# recording began after the music had started (the test's fault: it tells nothing about the
# music) is played again, up to twice.
play_server() { # SERVER STATE
    local size n library line retries again played_sizes=("${sizes[@]}")
    # Behind a tunnel the sound's delay is what is measured; the screen's size does not change it.
    [[ $2 = tunnel* ]] && played_sizes=(1920x1080)
    for size in "${played_sizes[@]}"; do
        for n in $(seq "$launches"); do
            for library in "${libraries[@]}"; do
                retries=0 again=0
                while :; do
                    if [ $((SECONDS - started_at)) -ge "$budget" ]; then
                        fail "$1 $2 $size $library: no time left for launch $n"
                        return
                    fi
                    if [ "$2" = suspended ]; then
                        wait_for 10 sink_suspended || fail "$1 $2: the sink did not suspend"
                    fi
                    random_pause
                    launch "$1" "$2" "$size" "$library" "$n"
                    line=$(cat "$launched/result")
                    if [[ $line = *music=recording-began* ]] && [ "$retries" -lt 2 ]; then
                        echo "$line: played again"
                        retries=$((retries + 1))
                        continue
                    fi
                    # A block of music lost once in a while is the server's (on this virtual
                    # machine PipeWire's graph misses a cycle now and then, with the demo's
                    # requests on time): such a launch is played up to twice more. Music the demo
                    # gets wrong is wrong every time. (Dropouts where a request came late, which
                    # leadreport tells apart, are the sound path's and count as music in order.)
                    # (PipeWire's tunnel adapts its rate to what it holds: there the music is
                    # whole when it is there resampled. Behind one that publishes no delay the
                    # show's end cuts off what it still holds, every time; a launch whose music
                    # was not found at all is played again there too.)
                    if [[ $line != *music=intact* && $line != *music=dropouts@* ]] &&
                        ! [[ "$1 $2" = "pipewire tunnel"* && $line = *music=resampled\ * ]] &&
                        { [[ $2 != *-unreported ]] || [[ $line = *lead=none* ]]; } &&
                        [ "$again" -lt 2 ]; then
                        echo "$line: music not intact; played again"
                        again=$((again + 1))
                        continue
                    fi
                    echo "$line" | tee -a "$work/results.txt"
                    # As a desktop runs it, rtkit grants real-time: the demo's audio thread has it.
                    if [ -n "${MINCER_SOUND_DESKTOP:-}" ] && [[ $line != *thread=rr* ]]; then
                        fail "$1 $2 $size $library: the audio thread was not raised"
                    fi
                    break
                done
            done
        done
    done
}

# PULSE_LATENCY_MSEC=20 at the idle sink. The classic library's stream is then never asked for
# data: the demo must end by itself within the music's length + 5 s (the pictures wait 3 s for the
# device, then show every scene), with a line on stderr that says no sound plays. sdl12-compat
# plays the music as usual: the demo must end by itself with status 0 once it has been heard, and
# say nothing of the kind.
small_latency() { # LIBRARY
    local library=$1 dir=$work/latency-$1
    mkdir -p "$dir"
    cp "$work/music.raw" "$dir/"
    for_user "$dir"
    local limit=$((music_bytes * 1000 / 176400 + 5000)) start status took line calls bytes what
    start=$(milliseconds)
    (cd "$dir" && exec env DISPLAY="${display[1920x1080]}" LD_PRELOAD="$callbacklog" \
        MINCER_CALLBACK_LOG="$dir/callbacks.log" SDL_AUDIODRIVER=pulse PULSE_LATENCY_MSEC=20 \
        ${library_path[$library]:+LD_LIBRARY_PATH=${library_path[$library]}} \
        timeout -k 2 "$demo_timeout" "${as_user[@]}" "$mincer") >/dev/null 2>"$dir/stderr"
    status=$? took=$(($(milliseconds) - start))
    line=$(grep -m 1 '^mincer: no sound is playing' "$dir/stderr")
    calls=$(grep -s -c '^callback' "$dir/callbacks.log")
    bytes=$(awk '$1 == "callback" {n += $3} END {print n + 0}' "$dir/callbacks.log" 2>/dev/null)
    what="PULSE_LATENCY_MSEC=20, $library"
    echo "$what: ended after $took ms, status $status, ${calls:-0} callbacks ($bytes bytes)," \
        "stderr: ${line:-nothing}"
    if is_compat "$library"; then
        [ "$status" -eq 0 ] || fail "$what: exit status $status, not 0"
        [ "${bytes:-0}" -ge "$music_bytes" ] || fail "$what: the music was not asked for in full"
        [ -z "$line" ] || fail "$what: said no sound was playing while the music played"
    else
        [ "$took" -le "$limit" ] || fail "$what: still running after $limit ms"
        [ -n "$line" ] || fail "$what: no line 'mincer: no sound is playing' on stderr"
    fi
}

# What the sink plays, recorded from the monitor from the moment the demo opened its device:
# leadreport compares it with the sound EXPECTED should be (a song: its reference decode), at
# least MIN_SNR dB clear, or by default bit for bit (a song: within the songs' tolerance). With
# --loop, Escape ends the show after PASSES passes of the music; every show must end with status 0.
played() { # WHAT EXPECTED MIN_SNR|- PASSES ARGUMENT...
    local what=$1 expected=$2 snr=() passes=$4 dir=$work/played-$((++attempts))
    [ "$3" = - ] || snr=("$3")
    shift 4
    mkdir -p "$dir"
    mkfifo "$dir/opened"
    for_user "$dir"
    (read -r _ <"$dir/opened" && exec "${listener[@]}" parec --raw --format=s16le --rate=44100 \
        --channels=2 --latency-msec=5 -d mincer.monitor >"$dir/recording.raw") &
    local parec=$! demo status window result
    (cd "$dir" && exec env DISPLAY="${display[1920x1080]}" SDL_AUDIODRIVER=pulse \
        LD_PRELOAD="$callbacklog" MINCER_CALLBACK_LOG="$dir/callbacks.log" \
        MINCER_OPEN_SIGNAL="$dir/opened" timeout -k 2 "$demo_timeout" "${as_user[@]}" "$mincer" \
        "$@") >/dev/null 2>"$dir/stderr" &
    demo=$!
    if [ "$passes" -gt 0 ]; then
        window=$(DISPLAY=${display[1920x1080]} timeout 5 xdotool search --sync --onlyvisible \
            --pid "$demo" 2>/dev/null | head -n 1)
        wait_for 10 test -s "$dir/recording.raw"
        sleep "$(awk -v s="$(stat -c %s "$expected")" 'BEGIN { print s / 176400 + 0.5 }')"
        DISPLAY=${display[1920x1080]} xdotool key --window "$window" Escape
    fi
    wait "$demo"
    status=$?
    sleep 0.3 # the drained tail
    kill "$parec" 2>/dev/null
    exec 4<>"$dir/opened" 4>&-
    wait "$parec"
    result=$("$leadreport" sound "$dir/recording.raw" "$expected" "${snr[@]}")
    [ $? -eq 0 ] && [ "$status" -eq 0 ] && echo "$what: $result, exit $status" ||
        fail "$what: $result, exit $status: $(head -c 300 "$dir/stderr")"
}

# Songs as they come, in every format the demo reads, against their reference decode
# (tests/songreference.h: ffmpeg's decoders, then sox to the show's format): bit for bit where the
# song is 16-bit at 44100 Hz, else within the tolerance the decoder test allows. Then --loop: three
# passes of the music back to back, bit for bit.
play_songs() {
    local songs=$work/songs song options
    mkdir -p "$songs"
    sox -V1 -n -r 44100 -b 16 "$songs/sweep.wav" synth 1.5 sine 100-6000 sine 300-9000 gain -1
    for song in "song.wav=" "song48.flac=-ar 48000" "song.ogg=-c:a libvorbis" \
        "song.opus=-af volume=0.7" "song.mp3=" "mono.wav=-ac 1"; do
        options=${song#*=} song=$songs/${song%%=*}
        # shellcheck disable=SC2086 # the options are words
        ffmpeg -v error -y -i "$songs/sweep.wav" $options "$song" ||
            { fail "$(basename "$song"): could not make it"; continue; }
        case $song in
        */song.wav | */mono.wav) played "$(basename "$song")" "$song" inf 0 "$song" ;;
        *) played "$(basename "$song")" "$song" - 0 "$song" ;;
        esac
    done
    "$leadreport" music 1.5 "$songs/loop.raw" &&
        cat "$songs/loop.raw" "$songs/loop.raw" "$songs/loop.raw" >"$songs/passes.raw" &&
        played "--loop, three passes" "$songs/passes.raw" inf 3 --loop "$songs/loop.raw"
    # A playlist: three thirds of 4.5 s of noise, as raw, WAV and FLAC, one after the other with
    # nothing between them.
    local part raw=(-t raw -r 44100 -e signed -b 16 -c 2)
    "$leadreport" music 4.5 "$songs/list.raw" &&
        for part in 0 1 2; do
            tail -c +$((part * 264600 + 1)) "$songs/list.raw" | head -c 264600 >"$songs/part$part.raw"
        done &&
        sox -V1 "${raw[@]}" "$songs/part1.raw" "$songs/part1.wav" &&
        sox -V1 "${raw[@]}" "$songs/part2.raw" "$songs/part2.flac" &&
        played "three songs, a playlist" "$songs/list.raw" inf 0 "$songs/part0.raw" \
            "$songs/part1.wav" "$songs/part2.flac"
}

# Listening: mincer --listen shows its window while paplay plays a song of known beats to the sink
# of the server it listens to. frameprobe presses Up five times (the forest ends, the grinder runs
# from 10 s) and tells each frame's time in the lap of the grinder's train, whose swallow is a
# moment of the show; the sink's monitor (behind a tunnel, the far one, where the music is heard)
# is recorded as for the launches. leadreport listen compares each swallow a viewer saw, from 8 s
# into the song, with the song's nearest beat there; the demo must end with status 0 on Escape.
# The demo's CPU time, and that of its listening threads ("mincer listen": the recorder and the
# predictor; "mincer latency": the sink's delay), are read from /proc
# over the same seconds: from 8 s after the song started to its end.
listen_songs=$work/listen-songs
listen_song_names=(100bpm 128bpm 96-136bpm)
declare -A listen_bpm=([100bpm]="100 100" [128bpm]="128 128" [96-136bpm]="96 136")
make_listen_songs() {
    local song
    mkdir -p "$listen_songs"
    for song in "${listen_song_names[@]}"; do
        # shellcheck disable=SC2086 # the tempos are words
        "$leadreport" beatsong "$listen_seconds" ${listen_bpm[$song]} "$listen_songs/$song.raw" ||
            return 1
    done
    "$frameprobe" prepare 1920x1080 "$work/candidates-swallow.bin" swallow
}
listening="mincer listen|mincer latency"
keys_pressed() { [ "$(grep -c '^key' "$1")" -ge 5 ]; } # FRAMES_LOG
cpu_ticks() { # PID [THREAD_NAMES]: user and system time so far, in clock ticks; of the threads
    # named NAME|NAME..., when given
    local stat
    for stat in /proc/"$1"/task/*/stat; do
        [ -z "${2:-}" ] || [[ $(cat "${stat%stat}comm" 2>/dev/null) =~ ^($2)$ ]] || continue
        sed 's/.*) //' "$stat" 2>/dev/null
    done | awk '{n += $12 + $13} END {print n + 0}'
}
share() { # TICKS_BEFORE TICKS_AFTER MS: of a core
    awk -v a="$1" -v b="$2" -v ms="$3" -v hz="$(getconf CLK_TCK)" \
        'BEGIN { printf "%.3f", (b - a) / hz / (ms / 1000) }'
}
# Starts the demo with ARGUMENT... on the probe's five presses, in DIR, and once they are sent
# sets shown_pid (the demo's process); demo_job is its job.
show_grinder() { # DIR TIMEOUT_S ARGUMENT...
    local dir=$1 limit=$2
    shift 2
    DISPLAY=${display[1920x1080]} "$frameprobe" watch "$work/candidates-swallow.bin" \
        "$dir/frames.log" "$((limit + 5))" 5 2>"$dir/probe.err" &
    probe_job=$!
    current+=("$probe_job")
    wait_for 5 grep -q '^ready' "$dir/frames.log" || fail "listening: the probe did not start"
    (cd "$dir" && exec env DISPLAY="${display[1920x1080]}" timeout -k 2 "$limit" \
        "${as_user[@]}" "$mincer" "$@") >"$dir/stdout" 2>"$dir/stderr" &
    demo_job=$!
    current+=("$demo_job")
    wait_for 10 keys_pressed "$dir/frames.log" || fail "listening: no window for the probe's keys"
    shown_pid=$(pgrep -P "$demo_job" | head -n 1)
    sleep 0.5 # the grinder runs
}
end_grinder() { # DIR: Escape (to the window under the pointer: the demo's, full-screen), and
    # the demo's status in DIR/status
    DISPLAY=${display[1920x1080]} xdotool key Escape
    wait "$demo_job"
    echo $? >"$1/status"
    wait "$probe_job"
}
listen() { # SERVER STATE SONG N
    local dir=$work/listen-$1-$2-$3-$4 before after thread_before thread_after from took line
    mkdir -p "$dir"
    cp "$listen_songs/$3.raw" "$dir/song.raw" && cp "$listen_songs/$3.raw.beats" "$dir/song.raw.beats"
    mkfifo "$dir/pcm"
    for_user "$dir"
    "${listener[@]}" "$recorder" "$dir/recording.raw" "$dir/chunks.txt" <"$dir/pcm" &
    local recording=$!
    "${listener[@]}" parec --raw --format=s16le --rate=44100 --channels=2 --latency-msec=5 \
        -d mincer.monitor ${monitor_server:+--server="$monitor_server"} >"$dir/pcm" &
    local parec=$!
    current=("$recording" "$parec")
    wait_for 5 test -s "$dir/chunks.txt" || fail "listening: the recording did not start"
    show_grinder "$dir" "$((listen_seconds + 20))" --listen
    "${as_user[@]}" paplay --raw --format=s16le --rate=44100 --channels=2 "$dir/song.raw" &
    local player=$!
    sleep 8
    before=$(cpu_ticks "$shown_pid") thread_before=$(cpu_ticks "$shown_pid" "$listening")
    from=$(milliseconds)
    wait "$player"
    after=$(cpu_ticks "$shown_pid") thread_after=$(cpu_ticks "$shown_pid" "$listening")
    took=$(($(milliseconds) - from))
    sleep 0.3 # the song's tail at the sink
    end_grinder "$dir"
    kill "$parec" 2>/dev/null
    wait "$parec" "$recording"
    current=()
    line="$("$leadreport" listen "$dir" 8 "$1" "$2" "$3")" || fail "listening, $1 $2 $3: $line"
    line+=" cpu=$(share "$before" "$after" "$took") listening-threads=$(share "$thread_before" \
        "$thread_after" "$took")"
    echo "$line" | tee -a "$work/listen.txt"
}
# The same show without listening: the grinder at its own pace, muted (to silent music longer
# than that), its CPU time over as many seconds as the listening shows' was measured, from a second
# after the keys.
unheard_show() {
    local dir=$work/unheard before after from
    mkdir -p "$dir"
    head -c $((listen_seconds * 176400)) /dev/zero >"$dir/long.raw"
    for_user "$dir"
    show_grinder "$dir" "$((listen_seconds + 20))" --mute --own-timing "$dir/long.raw"
    sleep 1
    before=$(cpu_ticks "$shown_pid") from=$(milliseconds)
    sleep "$((listen_seconds - 8))"
    after=$(cpu_ticks "$shown_pid")
    end_grinder "$dir"
    current=()
    echo "without listening: cpu=$(share "$before" "$after" "$(($(milliseconds) - from))")," \
        "exit $(cat "$dir/status")" | tee -a "$work/listen.txt"
}
listen_rows() { # SERVER STATE
    local song n songs=("${listen_song_names[@]}")
    # By default one launch of each song at the idle sink, and the tempo ramp behind the tunnel.
    [[ $2 = tunnel* ]] && [ "$listen_launches" -eq 0 ] && songs=(96-136bpm)
    for song in "${songs[@]}"; do
        for n in $(seq "$((listen_launches > 0 ? listen_launches : 1))"); do
            if [ $((SECONDS - started_at)) -ge "$budget" ]; then
                fail "listening, $1 $2 $song: no time left for launch $n"
                return
            fi
            listen "$1" "$2" "$song" "$n"
        done
    done
    [[ $2 = tunnel* ]] || unheard_show
}

# PulseAudio killed mid-show and started again in its folder DIR (HOW "server"), or its sink
# removed, and the demo's stream with it, and loaded again (HOW "sink", as a USB speaker unplugged
# and plugged in): the demo must play the music again from where the show is, within 2 s of the
# return, the rest of it bit for bit, saying once that the sound stopped and once that it plays
# again, and end with status 0. leadreport comeback checks the recordings from before the loss
# and after the return.
comeback() { # LIBRARY DIR HOW
    local library=$1 pulse=$2 how=$3 dir=$work/comeback-$1-$3 demo result parec=() recording=()
    mkdir -p "$dir"
    "$leadreport" music 8 "$dir/music.raw" || return
    mkfifo "$dir/opened" "$dir/pcm" "$dir/pcm2"
    for_user "$dir"
    record() { # SUFFIX [GATE]: the monitor, from when a line comes through GATE on
        "${listener[@]}" "$recorder" "$dir/recording$1.raw" "$dir/chunks$1.txt" <"$dir/pcm$1" &
        recording+=($!)
        (if [ -n "${2:-}" ]; then read -r _ <"$2" || exit; fi
            exec "${listener[@]}" parec --raw --format=s16le --rate=44100 --channels=2 \
                --latency-msec=5 -d mincer.monitor >"$dir/pcm$1" 2>/dev/null) &
        parec+=($!)
    }
    record "" "$dir/opened"
    (cd "$dir" && exec env DISPLAY="${display[1920x1080]}" SDL_AUDIODRIVER=pulse \
        ${library_path[$library]:+LD_LIBRARY_PATH=${library_path[$library]}} \
        LD_PRELOAD="$callbacklog" MINCER_CALLBACK_LOG="$dir/callbacks.log" \
        MINCER_OPEN_SIGNAL="$dir/opened" timeout -k 2 20 "${as_user[@]}" "$mincer") \
        >/dev/null 2>"$dir/stderr" &
    demo=$!
    wait_for 5 test -s "$dir/recording.raw"
    sleep 2.5
    if [ "$how" = sink ]; then
        pactl unload-module module-null-sink
        sleep 2
        # shellcheck disable=SC2086 # the module and its arguments are words
        pactl load-module $null_sink >/dev/null
    else
        { kill -9 "${started[-1]}" && wait "${started[-1]}"; } 2>/dev/null # the server, started last
        sleep 2
        if ! start_pulseaudio "$pulse"; then
            fail "comeback, $library: PulseAudio did not start again"
            stop "$demo" "${parec[@]}" "${recording[@]}"
            return
        fi
    fi
    echo | "$recorder" /dev/null "$dir/back.time" # the time, on the recorder's clock
    # Recorded at once: the server's sink renders in small blocks from now on, as a real device
    # does, not in the idle null sink's 2-second ones, which would hold the demo's stream back.
    record 2
    wait "$demo"
    echo $? >"$dir/status"
    sleep 0.3 # the drained tail
    kill "${parec[@]}" 2>/dev/null
    exec 4<>"$dir/opened" 4>&- 4<>"$dir/pcm" 4>&- 4<>"$dir/pcm2" 4>&-
    wait "${parec[@]}" "${recording[@]}"
    result=$("$leadreport" comeback "$dir")
    [ $? -eq 0 ] && echo "comeback of the $how, $library: $result" ||
        fail "comeback of the $how, $library: $result"
}

# SIGINT and SIGTERM, as Ctrl-C and kill send them once SDL's audio has started: the demo must be
# gone within a second with status 130 and 143, as the system ends it (SDL 2 under sdl12-compat
# would catch both).
signals() { # LIBRARY
    local library=$1 dir=$work/signals-$1 signal demo start status
    mkdir -p "$dir"
    cp "$work/music.raw" "$dir/"
    for signal in INT TERM; do
        rm -f "$dir/opened" && mkfifo "$dir/opened"
        timeout 5 cat "$dir/opened" >/dev/null & # until the device is open
        local opened=$!
        # A script's background job would ignore SIGINT.
        (cd "$dir" && exec env --default-signal=INT DISPLAY="${display[1920x1080]}" \
            SDL_AUDIODRIVER=pulse LD_PRELOAD="$callbacklog" MINCER_OPEN_SIGNAL="$dir/opened" \
            ${library_path[$library]:+LD_LIBRARY_PATH=${library_path[$library]}} \
            "$mincer") >/dev/null 2>"$dir/stderr-$signal" &
        demo=$!
        wait "$opened" || fail "SIG$signal, $library: no device opened"
        sleep 0.5
        start=$(milliseconds)
        kill -s "$signal" "$demo"
        (sleep 1 && kill -9 "$demo") 2>/dev/null & # still running a second later: status 137
        local guard=$!
        wait "$demo"
        status=$?
        kill "$guard" 2>/dev/null
        echo "SIG$signal, $library: gone after $(($(milliseconds) - start)) ms, status $status"
        [ "$status" -eq $((128 + $(kill -l "$signal"))) ] ||
            fail "SIG$signal, $library: status $status, not that of SIG$signal"
    done
}

# A server that stops answering (SIGSTOP) before the demo opens its device: the show runs without
# sound and shows every scene, ending the music's length after the 3 s it waits for the device,
# with status 0 though its device's thread is still inside SDL.
stopped_server() { # LIBRARY
    local library=$1 dir=$work/stopped-$1 start status took least
    mkdir -p "$dir"
    cp "$work/music.raw" "$dir/"
    least=$((music_bytes * 1000 / 176400 + 3000))
    kill -STOP "${started[-1]}"
    start=$(milliseconds)
    (cd "$dir" && exec env DISPLAY="${display[1920x1080]}" SDL_AUDIODRIVER=pulse \
        ${library_path[$library]:+LD_LIBRARY_PATH=${library_path[$library]}} \
        timeout -k 2 "$demo_timeout" "$mincer") >/dev/null 2>"$dir/stderr"
    status=$? took=$(($(milliseconds) - start))
    kill -CONT "${started[-1]}"
    echo "server stopped, $library: ended after $took ms, status $status"
    [ "$status" -eq 0 ] && [ "$took" -ge "$least" ] && [ "$took" -le $((least + 2000)) ] ||
        fail "server stopped, $library: ended after $took ms (from $least ms), status $status"
}

run_server() { # SERVER STATE START...
    local server=$1 state=$2 before=${#started[@]} library
    shift 2
    echo "== $server, $state sink"
    unreported=
    if "$@"; then
        play_server "$server" "$state$unreported"
        if [ "$server $state" = "pulse idle" ] || [ "$server $state" = "pulse tunnel-100ms" ]; then
            listen_rows "$server" "$state"
        fi
        if [ "$server $state" = "pulse idle" ]; then
            for library in "${libraries[@]}"; do
                small_latency "$library"
            done
            play_songs
            for library in "${libraries[@]}"; do
                comeback "$library" "$work/pulse-idle" server
                comeback "$library" "$work/pulse-idle" sink
                signals "$library"
                stopped_server "$library"
            done
        fi
    else
        fail "$server $state: the server did not start"
    fi
    stop "${started[@]:$before}"
    started=("${started[@]:0:$before}")
    monitor_server=
}
monitor_server= # where the music is heard, when not at the demo's own server

load=${MINCER_SOUND_LOAD:-0}
[ "$load" = cores ] && load=$(nproc)
listener=() # how the recorders run
if [ "$load" -gt 0 ]; then
    echo "== Beside $load CPU-bound processes"
    # A recorder stands for the listener: at real-time priority (as root), so that the load does
    # not make it lose what the sink played (a plain pacat's music was then lost in 8 of 8 plays on
    # PipeWire, and in 1 of 8 with the recorder real-time).
    [ "$(id -u)" -eq 0 ] && listener=(chrt -r 10)
    for _ in $(seq "$load"); do
        "${as_user[@]}" yes >/dev/null &
        started+=($!)
    done
fi

make_listen_songs || exit 1
only=${MINCER_SOUND_SERVERS:-pulse-idle pulse-suspended pipewire-running pulse-tunnel pipewire-tunnel}
[[ " $only " = *" pulse-idle "* ]] && run_server pulse idle start_pulseaudio "$work/pulse-idle"
[[ " $only " = *" pulse-suspended "* ]] &&
    run_server pulse suspended start_pulseaudio "$work/pulse-suspended" suspend
[[ " $only " = *" pipewire-running "* ]] &&
    run_server pipewire running start_pipewire "$work/pipewire"
if [[ " $only " = *" pulse-tunnel "* ]]; then
    for latency in 100 75; do
        run_server pulse "tunnel-${latency}ms" start_tunnel "$work/pulse-tunnel-$latency" "$latency"
    done
fi
[[ " $only " = *" pipewire-tunnel "* ]] &&
    run_server pipewire tunnel-100ms start_pipewire_tunnel "$work/pipewire-tunnel" 100

echo "== The picture's lead over the music (ms; positive: the picture is ahead)"
"$leadreport" table "$work/results.txt" || fail "a target was missed"
if [ -s "$work/listen.txt" ]; then
    echo "== Listening: the moments a viewer saw against the beats heard"
    "$leadreport" listentable "$work/listen.txt" || fail "a listening target was missed"
    grep -h '^without listening' "$work/listen.txt"
fi
if [ ${#failures[@]} -gt 0 ]; then
    echo "${#failures[@]} failed:"
    printf '  %s\n' "${failures[@]}"
    exit 1
fi
echo "every target met"
