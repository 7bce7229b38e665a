#!/usr/bin/env bash
# Installs the Debian packages that are missing. As root it runs apt-get; otherwise it prints the
# exact command to run and stops.
#
# Sourced by ./run and ./test, which install what they need. Run directly, it installs what the
# README's commands need: building, rendering the music, ./run, the video capture and the Debian
# package.

# ensure_packages PACKAGE...
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "mincer needs these Debian packages; install them and try again:" >&2
        echo "    sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing ${missing[*]}" >&2
    apt-get update -q >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

# What building the demo, its tools and its tests needs, with Qt 5 (the default) or with Qt 6
# (MINCER_QT=6).
QT5_BUILD_PACKAGES=(qtbase5-dev)
QT6_BUILD_PACKAGES=(qt6-base-dev)
if [ "${MINCER_QT:-5}" = 6 ]; then QT_BUILD_PACKAGES=("${QT6_BUILD_PACKAGES[@]}"); else QT_BUILD_PACKAGES=("${QT5_BUILD_PACKAGES[@]}"); fi
BUILD_PACKAGES=(cmake make g++ pkg-config "${QT_BUILD_PACKAGES[@]}" libsdl1.2-dev fonts-dejavu-core
                libsndfile1-dev libsoxr-dev libpulse-dev libaubio-dev libfftw3-dev)
# What rendering the music from its score needs (the target 'music', ./run, installing).
MUSIC_PACKAGES=(abcmidi fluidsynth fluid-soundfont-gm sox)
# ./run checks for a display with xdpyinfo; Qt's wayland platform opens a native Wayland window.
QT5_RUN_PACKAGES=(qtwayland5)
QT6_RUN_PACKAGES=(qt6-wayland)
if [ "${MINCER_QT:-5}" = 6 ]; then QT_RUN_PACKAGES=("${QT6_RUN_PACKAGES[@]}"); else QT_RUN_PACKAGES=("${QT5_RUN_PACKAGES[@]}"); fi
RUN_PACKAGES=(x11-utils "${QT_RUN_PACKAGES[@]}")
# mincer-capture --video runs ffmpeg; cpack runs dpkg-shlibdeps and file.
CAPTURE_PACKAGES=(ffmpeg)
PACKAGING_PACKAGES=(dpkg-dev file)
# What the tests need on top: a real X server and its tools, ffprobe and the packager.
TEST_PACKAGES=(xvfb xauth xdotool x11-utils libx11-dev libxfixes-dev "${CAPTURE_PACKAGES[@]}"
               "${PACKAGING_PACKAGES[@]}")
# The sound-server test: PulseAudio, PipeWire (never pipewire-alsa, which would replace
# PulseAudio), a session bus for PipeWire, the X extensions its frame probe uses, SDL 2 for the
# sdl12-compat that the test fetches where the system's SDL 1.2 is the classic library, jq for
# what PipeWire's tunnel publishes, and rtkit for its runs as a desktop (MINCER_SOUND_DESKTOP).
SOUND_TEST_PACKAGES=(pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus-daemon
                     libxcb1-dev libxcb-damage0-dev libxcb-present-dev libxcb-xtest0-dev
                     libsdl2-2.0-0 jq rtkit)
TEST_PACKAGES+=("${SOUND_TEST_PACKAGES[@]}")
# The capture test's beat rows render game songs from their MIDI files (midicsv edits them).
BEAT_TEST_PACKAGES=(planetblupi-music-midi midicsv)
TEST_PACKAGES+=("${BEAT_TEST_PACKAGES[@]}")
# ./test builds its sanitizer build with Qt 6, so that both stay green.
TEST_PACKAGES+=("${QT5_BUILD_PACKAGES[@]}" "${QT6_BUILD_PACKAGES[@]}")
# The package test judges the package with lintian.
LINT_PACKAGES=(lintian)
TEST_PACKAGES+=("${LINT_PACKAGES[@]}")
# The Wayland window test on top: a headless compositor with XWayland, its screenshot, key, IPC
# and X access tools, what the test's virtual pointer is built from, and Qt's wayland platform.
WAYLAND_TEST_PACKAGES=(sway swaybg xwayland grim wtype jq x11-xserver-utils libwayland-dev
                       libwayland-bin qtwayland5)
TEST_PACKAGES+=("${WAYLAND_TEST_PACKAGES[@]}")
# Pacing the frames to the display's refresh on X11 (Present); the pacing test's damage probe.
BUILD_PACKAGES+=(libxcb-present-dev); TEST_PACKAGES+=(libxcb-damage0-dev)

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    ensure_packages "${BUILD_PACKAGES[@]}" "${MUSIC_PACKAGES[@]}" "${RUN_PACKAGES[@]}" \
        "${CAPTURE_PACKAGES[@]}" "${PACKAGING_PACKAGES[@]}"
    echo "Every package mincer's build, music, ./run, capture and package need is installed." >&2
fi
