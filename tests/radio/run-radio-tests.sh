#!/bin/sh
# Boots Debian's kernel under qemu (software emulation, no network device) with this machine's
# user space read-only over 9p, runs the radio scenarios side by side on mac80211_hwsim radios in
# there and prints one line per scenario and a closing count.
#   run-radio-tests.sh [-b BUILD_DIR] [SCENARIO...]
# Exit status: 0 all passed, 1 a scenario failed or the guest broke down, 77 qemu, the kernel
# or busybox is missing (the CTest entry skips on it).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=${KIV_BUILD_DIR:-}
[ "${1:-}" != -b ] || { build=$2; shift 2; }
[ -z "$build" ] || build=$(cd "$build" && pwd)

skip() {
    echo "radio: SKIP: $*"
    exit 77
}

qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 is not installed"
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1)
[ -n "$kernel" ] || skip "no kernel image under /boot (linux-image-amd64)"
kver=${kernel#/boot/vmlinuz-}
[ -d "/lib/modules/$kver" ] || skip "no modules for $kver under /lib/modules"
modinfo -k "$kver" mac80211_hwsim >/dev/null 2>&1 || skip "$kver has no mac80211_hwsim"
busybox=$(command -v busybox) || skip "busybox is not installed"
for scenario in "$@"; do
    [ -x "$here/scenarios/$scenario/run.sh" ] || { echo "radio: no scenario $scenario" >&2; exit 2; }
done
[ -r "$kernel" ] || skip "$kernel is not readable"

work=$(mktemp -d "${TMPDIR:-/tmp}/kiv-radio.XXXXXX")
qemu_pid=""
trap 'status=$?; [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null; rm -rf "$work"; exit "$status"' EXIT
trap 'exit 130' INT TERM

# Initramfs: busybox with its libraries, the virtio and 9p modules in load order, the init script.
root="$work/initramfs"
mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/newroot"
cp "$busybox" "$root/bin/busybox"
for lib in $(ldd "$busybox" | sed -n 's/.*[ \t]\(\/[^ ]*\) (0x.*/\1/p'); do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
done
for applet in sh mount insmod switch_root poweroff cat mkdir sleep; do
    ln -s busybox "$root/bin/$applet"
done
mkdir -p "$root/modules"
for module in virtio_pci 9pnet_virtio 9p; do
    modprobe -S "$kver" --show-depends "$module" | sed -n 's/^insmod \([^ ]*\).*/\1/p'
done | awk '!seen[$0]++' | while read -r module; do
    target="/modules/$(basename "${module%.xz}")"
    case $module in
    *.xz) xz -dc "$module" > "$root$target" ;;
    *) cp "$module" "$root$target" ;;
    esac
    echo "$target"
done > "$root/modules.order"
cp "$here/initramfs-init.sh" "$root/init"
chmod 755 "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$work/initramfs.gz"

mkdir -p "$work/results"
scenarios=$(echo "$@" | tr ' ' ',')
cmdline="console=ttyS0 panic=-1 quiet kivdriver=$here/guest-driver.sh kivbuild=${build:-none}"
[ -n "$scenarios" ] && cmdline="$cmdline kivscenarios=$scenarios"

# The guest lays tmpfs over /tmp, /run, /var/tmp and /var/lib/misc: a source or build tree under
# one of them is shared again on its own and mounted back at the same path.
trees=""
source_root=$(cd "$here/../.." && pwd)
index=0
for tree in "$source_root" ${build:+"$build"}; do
    case $tree in
    /tmp/*|/run/*|/var/tmp/*|/var/lib/misc/*)
        trees="$trees -virtfs local,path=$tree,mount_tag=kivtree$index,security_model=none,readonly=on,multidevs=remap"
        cmdline="$cmdline kivtree$index=$tree"
        index=$((index + 1)) ;;
    esac
done

# Guest console goes to a log; the guest has no network device at all.
start=$(date +%s)
timeout -k 10 900 "$qemu" -machine q35 -accel tcg,thread=multi -cpu max -smp 2 -m 1536 \
    -nographic -no-reboot -nodefaults -serial "file:$work/console.log" -monitor none \
    -nic none \
    -kernel "$kernel" -initrd "$work/initramfs.gz" -append "$cmdline" \
    -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
    -virtfs "local,path=$work/results,mount_tag=kivresults,security_model=none,multidevs=remap" \
    $trees </dev/null >"$work/qemu.log" 2>&1 &
qemu_pid=$!
guest=0
wait "$qemu_pid" || guest=$?
qemu_pid=""
seconds=$(( $(date +%s) - start ))

passed=0
failed=0
for name in ${*:-$(cd "$here/scenarios" && ls)}; do
    result="$work/results/$name.result"
    if [ -r "$result" ] && head -n 1 "$result" | grep -q '^PASS'; then
        passed=$((passed + 1))
        echo "radio: $name: $(head -n 1 "$result")"
        [ -z "${KIV_RADIO_VERBOSE:-}" ] || tail -n +2 "$result"
    else
        failed=$((failed + 1))
        echo "radio: $name: $(head -n 1 "$result" 2>/dev/null || echo "FAIL (no result; the guest stopped early)")"
        tail -n +2 "$result" 2>/dev/null | sed 's/^/    /'
    fi
done
if [ "$guest" -ne 0 ] || ! grep -q 'radio-driver: done' "$work/console.log"; then
    echo "radio: guest did not finish cleanly (qemu status $guest after ${seconds} s); console:"
    tail -n 40 "$work/console.log" | sed 's/^/    /'
    tail -n 10 "$work/qemu.log" | sed 's/^/    /'
    failed=$((failed + 1))
fi
echo "radio: $passed passed, $failed failed (guest ran ${seconds} s)"
[ "$failed" -eq 0 ]
