# Sourced by ./run and ./test: installs the Debian packages that are missing.
# As root it runs apt-get; otherwise it prints the exact command to run and stops.

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

# What building the demo and rendering its music need.
BUILD_PACKAGES=(cmake make g++ pkg-config qtbase5-dev libsdl1.2-dev fonts-dejavu-core
                abcmidi fluidsynth fluid-soundfont-gm sox)
# What the tests need on top: a real X server and its tools, the encoder and the packager.
TEST_PACKAGES=(xvfb xauth xdotool x11-utils libx11-dev libxfixes-dev ffmpeg dpkg-dev file)
