#!/usr/bin/env bash
# Tries mincer as a new user on Debian 13 (trixie) would: makes a minbase chroot in DIR with
# debootstrap, from the Debian archive that this machine's apt uses, clones this repository's
# current branch into it (what is committed, not what is not), and runs ./run there (without a
# display it must say so, and print no CMake warning), then ./test. About half an hour; as root.
#
# Usage: tools/debian13.sh DIR
#
# Everything in the chroot runs with LANG=C.UTF-8 only; MINCER_LANG sets another, and an empty
# one (MINCER_LANG= tools/debian13.sh DIR) runs it without LANG, as containers and CI runners
# start programs.
#
# DIR is kept, so that a second run reuses the chroot and the packages installed in it; the
# clone is made anew each time. Everything runs in private namespaces that end with it: its
# mounts (unshare --mount), its processes (--pid) and, for ./test, its network (--net), so that
# its X servers and compositors cannot meet the machine's. Nothing stays mounted or running.
# The whole output also goes to DIR.log. Exit status: that of ./test.
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 DIR" >&2
    exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "$0: debootstrap, chroot and unshare need root" >&2
    exit 1
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
root=$(realpath -m "$1")
suite=trixie
source "$repo/tools/ensure-packages.sh"
ensure_packages debootstrap git iproute2
mkdir -p "$(dirname "$root")"
exec > >(tee "$root.log") 2>&1

# The Debian archive that apt uses here: the first source labelled Debian (not Debian-Security).
mirror=$(apt-cache policy | awk '/release .*l=Debian,/ {print uri; exit} {uri = $2}')
if [ -z "$mirror" ]; then
    echo "$0: apt knows no Debian archive; run apt-get update first" >&2
    exit 1
fi

# in_namespaces [--net] COMMAND...: runs COMMAND in private mount and process namespaces (and
# network, with --net: only the loopback device), with the chroot's /proc, /sys, /dev, and a
# fresh /dev/shm and /tmp mounted; all of it ends with COMMAND.
in_namespaces() {
    local net=()
    [ "$1" = --net ] && { net=(--net); shift; }
    unshare --mount --propagation private --pid --fork "${net[@]}" bash -c '
        set -e
        root=$1 net=$2
        shift 2
        if [ -n "$net" ]; then ip link set lo up; fi
        mount -t proc proc "$root/proc"
        mount -t sysfs sysfs "$root/sys"
        mount --rbind /dev "$root/dev"
        mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
        mount -t tmpfs -o mode=1777 tmp "$root/tmp"
        "$@"' bash "$root" "${net[*]}" "$@"
}

if [ ! -e "$root/.debootstrap-done" ]; then
    echo "== debootstrap --variant=minbase $suite $root $mirror"
    mkdir -p "$root"
    unshare --mount --propagation private \
        debootstrap --variant=minbase "$suite" "$root" "$mirror"
    touch "$root/.debootstrap-done"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"

branch=$(git -C "$repo" rev-parse --abbrev-ref HEAD)
echo "== clone of $repo at $branch ($(git -C "$repo" rev-parse --short HEAD))"
rm -rf "$root/root/mincer"
git clone --quiet --no-local --branch "$branch" "$repo" "$root/root/mincer"

lang=${MINCER_LANG-C.UTF-8}
run_in_chroot() { # [--net] SCRIPT
    local net=()
    [ "$1" = --net ] && { net=(--net); shift; }
    in_namespaces "${net[@]}" chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
        ${lang:+LANG=$lang} PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd /root/mincer && $1"
}

# ./run installs what it needs, builds and finds no display; it must say so and warn of nothing.
echo "== ./run"
started=$SECONDS
run_status=0
run_in_chroot './run' > >(tee "$root.run.log") 2>&1 || run_status=$?
run_seconds=$((SECONDS - started))
# ./test's packages are installed with the network; ./test itself then runs without it.
run_in_chroot 'source tools/ensure-packages.sh &&
    ensure_packages "${BUILD_PACKAGES[@]}" "${MUSIC_PACKAGES[@]}" "${TEST_PACKAGES[@]}"'
echo "== ./test"
started=$SECONDS
test_status=0
run_in_chroot --net './test' || test_status=$?
test_seconds=$((SECONDS - started))

echo "== Debian $(cat "$root/etc/debian_version"), $branch, $([ -n "$lang" ] && echo "LANG=$lang" ||
    echo "without LANG")"
echo "./run: exit status $run_status after $run_seconds s (1 expected: no display)," \
    "$(grep -c 'CMake Warning' "$root.run.log" || true) CMake warnings," \
    "$(grep -c '^mincer: no display' "$root.run.log" || true) 'no display' lines"
echo "./test: exit status $test_status after $test_seconds s"
# The sound-server test's table, which ctest shows only when the test fails.
sed -n '/^| server | sink/,/^(ms;/p' "$root/root/mincer/build/Testing/Temporary/LastTest.log" \
    2>/dev/null || true
if grep -q " $root/" /proc/mounts; then
    echo "still mounted under $root:" && grep " $root/" /proc/mounts
fi
exit "$test_status"
