#!/bin/sh
# First process of the radio test guest: mounts the host's tree read-only over 9p with tmpfs on
# the writable places, the results share under /run, and hands over to the scenario driver.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

fail() {
    echo "radio-init: $*"
    poweroff -f
}

# Modules were listed in dependency order when the initramfs was built.
while read -r module; do
    insmod "$module" || fail "cannot load $module"
done < /modules.order

share=trans=virtio,version=9p2000.L,msize=262144
mkdir -p /newroot
mount -t 9p -o "$share,ro,cache=loose" hostroot /newroot || fail "cannot mount the host's tree"
for dir in tmp run var/tmp var/lib/misc; do
    mount -t tmpfs -o mode=1777 tmpfs "/newroot/$dir" || fail "cannot mount tmpfs on /$dir"
done
# The kernel hands its parameters of ours (kivdriver=, kivbuild=, kivscenarios=, kivtreeN=) to
# process 1 as environment variables. Trees under those tmpfs places come as shares of their own.
for word in $(cat /proc/cmdline); do
    case "$word" in
    kivtree*=*)
        mkdir -p "/newroot${word#*=}"
        mount -t 9p -o "$share,ro,cache=loose" "${word%%=*}" "/newroot${word#*=}" || fail "cannot mount ${word#*=}" ;;
    esac
done
mkdir -p /newroot/run/kiv-radio/results
mount -t 9p -o "$share" kivresults /newroot/run/kiv-radio/results || fail "cannot mount the results share"
[ -n "${kivdriver:-}" ] || fail "no kivdriver= on the kernel command line"
for fs in proc sys dev; do
    mount --move "/$fs" "/newroot/$fs"
done
exec switch_root /newroot /bin/sh "$kivdriver"
