#!/bin/sh
# Cross-builds kivd, kivctl and the unit tests for arm64 or armhf with Debian's multiarch
# toolchain into build-<arch>/, runs the "unit" label under qemu-user and prints one summary line.
# Installs what it needs on first use (as root). Not part of .ci/run; run it whenever src/ changes.
set -eu
cd "$(dirname "$0")/.."

arch=${1:-}
case $arch in
    arm64) triplet=aarch64-linux-gnu qemu=aarch64 ;;
    armhf) triplet=arm-linux-gnueabihf qemu=arm ;;
    *) echo "usage: $0 arm64|armhf" >&2; exit 2 ;;
esac
build=build-$arch
log=$build/cross-build.log

# The host's qtbase5-dev-tools (Multi-Arch: foreign) provide moc and qdbusxml2cpp for every architecture.
packages="crossbuild-essential-$arch qemu-user-static qtbase5-dev-tools cmake pkg-config
qtbase5-dev:$arch libnl-3-dev:$arch libnl-route-3-dev:$arch libudev-dev:$arch"
missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' || missing="$missing $package"
done
if [ -n "$missing" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "cross-build: missing packages:$missing (run as root to install them)" >&2; exit 1; }
    dpkg --add-architecture "$arch"
    export DEBIAN_FRONTEND=noninteractive
    # Only the host's and the target's lists: a broken index of a third architecture must not
    # drop a whole suite (Multi-Arch: same libraries need identical versions on both).
    apt-get update -q -o APT::Architectures::="$(dpkg --print-architecture)" -o APT::Architectures::="$arch"
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $missing
fi

# Programs started by the tests (probes, the re-exec into private namespaces, kivctl of the
# install check) are foreign binaries too: the kernel hands them to qemu through binfmt_misc.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/qemu-$qemu" ]; then
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    /lib/systemd/systemd-binfmt "/usr/lib/binfmt.d/qemu-$qemu.conf"
fi

export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
launcher=""
command -v ccache >/dev/null && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
mkdir -p "$build"
# shellcheck disable=SC2086
nice -n 10 cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_SYSTEM_TESTS=OFF $launcher >"$log" 2>&1 ||
    { tail -n 40 "$log"; exit 1; }

# kivd, kivctl and every unit test that is a program of this tree (helpers come as dependencies).
targets=$(cmake --build "$build" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p')
unit_targets=$(ctest --test-dir "$build" -N -L unit | sed -n 's/^ *Test *#[0-9]*: \([^ ]*\)$/\1/p' |
    grep -Fx "$targets" || true)
# shellcheck disable=SC2086
nice -n 10 cmake --build "$build" -j"$(nproc)" --target kivd kivctl $unit_targets >>"$log" 2>&1 ||
    { grep -E 'error|warning' "$log" | head -n 40; exit 1; }

# QEMU_LD_PREFIX=/: the multiarch libraries and the target's dynamic loader are in the host's tree.
export QEMU_LD_PREFIX=/
set +e
ctest --test-dir "$build" -L unit --output-on-failure -j2 >"$build/unit.log" 2>&1
set -e
sed -n '/tests passed/,$p' "$build/unit.log"
passed=$(sed -n 's/.* \([0-9]*\) tests failed out of \([0-9]*\)/\2 \1/p' "$build/unit.log")
[ -n "$passed" ] || { tail -n 20 "$build/unit.log"; exit 1; }
total=${passed% *}
failed=${passed#* }

stripped=$(mktemp)
"$triplet-strip" -o "$stripped" "$build/src/kivd/kivd"
size=$(stat -c %s "$stripped")
rm -f "$stripped"
needed=$("$triplet-readelf" -d "$build/src/kivd/kivd" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')
echo "$arch: unit tests $((total - failed)) passed, $failed failed; kivd stripped $size bytes; NEEDED: ${needed% }"
[ "$failed" -eq 0 ]
