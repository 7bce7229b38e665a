#!/bin/sh
# Renders the ABC score to music.raw: headerless signed 16-bit little-endian stereo PCM at
# 44100 Hz, the format the demo streams to the sound card.
#
#   render.sh SCORE OUTPUT [SOUNDFONT]
#
# abc2midi writes MIDI, fluidsynth plays it through a General MIDI soundfont into 32-bit float
# (no dither, no clipping), and sox fixes the length and the level and converts to 16 bits
# without dither. Every step is deterministic, so the same score gives the same bytes.
set -eu
# Numbers in options are read the same whatever the user's locale.
export LC_ALL=C

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
    echo "usage: $0 SCORE OUTPUT [SOUNDFONT]" >&2
    exit 2
fi
score=$1
output=$2
soundfont=${3:-/usr/share/sounds/sf2/FluidR3_GM.sf2}

rate=44100
# The piece is 66.7 s long (the forest's 31.7 s and the grinder's 35 s): 66.7 s x 44100 Hz.
lengthFrames=2941470
# The last 0.4 s fade the reverb tail out so that the file does not end in a click.
tailSeconds=0.4
# The loudest sample lands 1 dB below full scale.
peakDb=-1

for tool in abc2midi fluidsynth sox; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$0: $tool is missing (Debian packages: abcmidi fluidsynth fluid-soundfont-gm sox)" >&2
        exit 1
    fi
done
if [ ! -r "$soundfont" ]; then
    echo "$0: soundfont $soundfont is missing (Debian package fluid-soundfont-gm)" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/mincer-music.XXXXXX")
trap 'rm -rf "$work"' EXIT

# abc2midi exits with 0 even when the score has errors: pass its complaints on, and stop on an
# error.
abc2midi "$score" -o "$work/music.mid" -quiet >"$work/abc2midi.log" 2>&1 || true
grep -E 'Error|Warning' "$work/abc2midi.log" >&2 || true
if grep -q 'Error' "$work/abc2midi.log" || [ ! -s "$work/music.mid" ]; then
    echo "$0: abc2midi could not convert $score" >&2
    exit 1
fi

# -F renders as fast as possible without an audio driver; every setting that shapes the sound is
# spelled out so that a different default elsewhere does not change the result.
fluidsynth -q -n -i -f /dev/null \
    -F "$work/music.f32" -T raw -O float -E little -r "$rate" \
    -g 0.4 -o synth.cpu-cores=1 -o synth.polyphony=256 \
    -R 1 -o synth.reverb.room-size=0.4 -o synth.reverb.damp=0.3 \
    -o synth.reverb.width=0.8 -o synth.reverb.level=0.5 \
    -C 1 -o synth.chorus.nr=3 -o synth.chorus.level=1.2 \
    -o synth.chorus.speed=0.3 -o synth.chorus.depth=8 \
    "$soundfont" "$work/music.mid" >/dev/null
if [ ! -s "$work/music.f32" ]; then
    echo "$0: fluidsynth rendered nothing" >&2
    exit 1
fi

# Pad (in case the synth stopped early), cut to the exact length, fade the tail, normalise the
# peak, and convert to 16 bits; -D turns dither off, -R keeps sox's own randomness fixed.
sox -R -D -V1 \
    -t raw -r "$rate" -e floating-point -b 32 -c 2 -L "$work/music.f32" \
    -t raw -r "$rate" -e signed-integer -b 16 -c 2 -L "$work/music.raw" \
    pad 0 2 trim 0 "${lengthFrames}s" fade t 0 "${lengthFrames}s" "$tailSeconds" gain -n "$peakDb"

mv "$work/music.raw" "$output"
