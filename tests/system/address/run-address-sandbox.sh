#!/bin/sh
# Runs one address-management system test in throwaway namespaces and removes everything after.
#
# The test runs in PID and mount namespaces of its own, so every process it starts (udhcpc,
# avahi-autoipd, dnsmasq) ends with it, and /run, /etc, /usr/share and avahi-autoipd's state
# directory are private copies. A device network namespace holds "eth0", "wlan0" and "eth1",
# veth ends to a LAN namespace where dnsmasq serves DHCPv4 and router advertisements on eth0's
# link, only router advertisements on wlan0's link, and nothing on eth1's link.
#
# usage: run-address-sandbox.sh helper-script program [arguments...]
set -eu

if [ "$(id -u)" -ne 0 ]; then
    echo "run-address-sandbox: must run as root" >&2
    exit 1
fi
if [ "$#" -lt 2 ]; then
    echo "usage: run-address-sandbox.sh helper-script program [arguments...]" >&2
    exit 2
fi

if [ "${KIV_ADDRESS_SANDBOX_WORK:-}" = "" ]; then
    work=$(mktemp -d /tmp/kiva-XXXXXX)
    trap 'rm -rf "$work"' EXIT
    trap 'exit 130' INT TERM
    set +e
    KIV_ADDRESS_SANDBOX_WORK=$work unshare --pid --fork --kill-child --mount-proc --mount --propagation private \
        "$0" "$@"
    status=$?
    set -e
    exit "$status"
fi

# From here on: process 1 of the private PID namespace, in the private mount namespace.
work=$KIV_ADDRESS_SANDBOX_WORK
script=$1
shift

mount -t tmpfs kiva-run /run
overlay() {
    mkdir -p "$work/$2/upper" "$work/$2/work"
    mount -t overlay "kiva-$2" -o "lowerdir=$1,upperdir=$work/$2/upper,workdir=$work/$2/work" "$1"
}
overlay /etc etc
overlay /usr/share share
mkdir -p /usr/share/kivd
cp "$script" /usr/share/kivd/kivd_udhcpc.sh
chmod 755 /usr/share/kivd/kivd_udhcpc.sh
mount -t tmpfs -o "mode=0755,uid=$(id -u avahi-autoipd),gid=$(id -g avahi-autoipd)" kiva-autoipd /var/lib/avahi-autoipd

ip netns add dev
ip netns add lan
ip -n dev link set lo up
ip -n lan link set lo up
pair() {
    ip -n dev link add "$1" type veth peer name "$2" netns lan
    ip netns exec dev ethtool -K "$1" tx off >/dev/null
    ip netns exec lan ethtool -K "$2" tx off >/dev/null
    ip -n lan link set "$2" up
}
pair eth0 lan0
pair wlan0 lan1
pair eth1 lan2
ip -n lan addr add 192.168.77.1/24 dev lan0
ip -n lan addr add fd00:77::1/64 dev lan0 nodad
ip -n lan addr add fd00:78::1/64 dev lan1 nodad

# Name servers and domain handed out with the lease; rewritten by tests, re-read on SIGHUP.
printf 'option:dns-server,192.168.77.53,192.168.77.54\noption:domain-name,lan\n' > "$work/dhcp-options"
# The advertised search domain is long enough for a DNSSL option of three units, the shortest
# one the netlink watcher reads.
ip netns exec lan dnsmasq --no-daemon --log-facility=- --conf-file=/dev/null --port=0 --leasefile-ro --pid-file= \
    --interface=lan0 --interface=lan1 --bind-interfaces --no-ping \
    --dhcp-range=set:lan0,192.168.77.50,192.168.77.150,255.255.255.0,1h \
    --dhcp-option=tag:lan0,option:router,192.168.77.1 --dhcp-optsfile="$work/dhcp-options" \
    --enable-ra --dhcp-range=set:lan0,fd00:77::,ra-stateless --dhcp-range=set:lan1,fd00:78::,ra-stateless \
    --dhcp-option=tag:lan0,option6:dns-server,[fd00:77::53] \
    --dhcp-option=tag:lan0,option6:domain-search,v6.example.lan \
    --dhcp-option=tag:lan1,option6:dns-server,[fd00:78::53] \
    --ra-param=lan0,4 --ra-param=lan1,4 >"$work/dnsmasq.log" 2>&1 &

export KIV_SANDBOX_DNSMASQ_PID=$!
export KIV_SANDBOX_DHCP_OPTIONS="$work/dhcp-options"
set +e
ip netns exec dev "$@"
status=$?
set -e
if [ "$status" -ne 0 ]; then
    echo "--- dnsmasq log" >&2
    cat "$work/dnsmasq.log" >&2
fi
exit "$status"
