#!/bin/sh
# Installs every package needed to build kivd and run its whole test suite on Debian 12 (run as root).
set -eu

PACKAGES="
build-essential cmake ninja-build pkg-config
qtbase5-dev qtbase5-dev-tools
libnl-3-dev libnl-route-3-dev libudev-dev
clang libclang-rt-14-dev
iproute2 psmisc procps util-linux ethtool iw kmod
busybox udhcpc udhcpd avahi-autoipd dnsmasq-base
dbus-daemon dbus-bin
connman
wpasupplicant
"
# Radio test bed: Debian's kernel under qemu with mac80211_hwsim. tiny-initramfs satisfies the
# kernel's initramfs-generator dependency without pulling in udev; the guest's initramfs is built
# from the dynamic busybox above (busybox-static would replace it and remove udhcpc/udhcpd).
PACKAGES="$PACKAGES
linux-image-amd64 tiny-initramfs qemu-system-x86 wireless-regdb hostapd cpio jq
"

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: must run as root" >&2
    exit 1
fi

# Package scripts must not start daemons on this machine: a DHCP server or link-local
# daemon started by a postinst would act on the machine's own network.
guard=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    guard=1
fi
cleanup() { [ -n "$guard" ] && rm -f /usr/sbin/policy-rc.d; return 0; }
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $PACKAGES
