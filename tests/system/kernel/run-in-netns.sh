#!/bin/sh
# Runs one kernel test program in a throwaway device network namespace with a private mount
# namespace (private /etc overlay), joined by a veth to a LAN namespace where dnsmasq sends
# router advertisements with name servers and search domains. Everything is removed on exit.
#
# usage: run-in-netns.sh program [arguments...]
set -eu

if [ "$(id -u)" -ne 0 ]; then
    echo "run-in-netns: must run as root" >&2
    exit 1
fi
if [ "$#" -lt 1 ]; then
    echo "usage: run-in-netns.sh program [arguments...]" >&2
    exit 2
fi

tag="$$-$(od -An -N3 -tx1 /dev/urandom | tr -d ' \n')"
dev_ns="kivk-dev-$tag"
lan_ns="kivk-lan-$tag"
dev_if=kivdev0
lan_if=kivlan0
work=$(mktemp -d /tmp/kivk-XXXXXX)
dnsmasq_pid=""
test_pid=""

cleanup() {
    status=$?
    trap - EXIT INT TERM
    if [ -n "$test_pid" ]; then
        kill "$test_pid" 2>/dev/null || true
        wait "$test_pid" 2>/dev/null || true
    fi
    if [ -n "$dnsmasq_pid" ]; then
        kill "$dnsmasq_pid" 2>/dev/null || true
        wait "$dnsmasq_pid" 2>/dev/null || true
    fi
    ip netns del "$dev_ns" 2>/dev/null || true
    ip netns del "$lan_ns" 2>/dev/null || true
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$dev_ns"
ip netns add "$lan_ns"
ip -n "$dev_ns" link set lo up
ip -n "$lan_ns" link set lo up
# The pair is created inside the device namespace; the machine's own namespace is never touched.
ip -n "$dev_ns" link add "$dev_if" type veth peer name "$lan_if" netns "$lan_ns"
ip netns exec "$dev_ns" ethtool -K "$dev_if" tx off >/dev/null
ip netns exec "$lan_ns" ethtool -K "$lan_if" tx off >/dev/null
ip -n "$lan_ns" addr add fd00:4b1f::1/64 dev "$lan_if"
ip -n "$lan_ns" link set "$lan_if" up

ip netns exec "$lan_ns" dnsmasq --no-daemon --conf-file=/dev/null --port=0 --leasefile-ro --pid-file= \
    --interface="$lan_if" --bind-interfaces --enable-ra --dhcp-range=fd00:4b1f::,ra-stateless \
    --dhcp-option=option6:dns-server,[fd00:4b1f::53],[fd00:4b1f::54] \
    --dhcp-option=option6:domain-search,example.lan,corp.example.com \
    --ra-param="$lan_if",4 >"$work/dnsmasq.log" 2>&1 &
dnsmasq_pid=$!

export KIV_TEST_SANDBOX=1
export KIV_TEST_DEVICE_IF="$dev_if"
export KIV_TEST_LAN_NS="$lan_ns"
export KIV_TEST_LAN_IF="$lan_if"
export KIV_TEST_RA_NAMESERVERS="fd00:4b1f::53 fd00:4b1f::54"
export KIV_TEST_RA_DOMAINS="example.lan corp.example.com"
export KIV_TEST_WORK="$work"
mkdir "$work/etc"

# /etc becomes an overlay whose changes live in a tmpfs of the private mount namespace only.
set +e
ip netns exec "$dev_ns" unshare --mount --propagation private sh -c '
    set -e
    mount -t tmpfs kivk-etc "$KIV_TEST_WORK/etc"
    mkdir "$KIV_TEST_WORK/etc/upper" "$KIV_TEST_WORK/etc/work"
    mount -t overlay kivk-etc -o lowerdir=/etc,upperdir="$KIV_TEST_WORK/etc/upper",workdir="$KIV_TEST_WORK/etc/work" /etc
    exec "$@"
' run-in-netns "$@" &
test_pid=$!
wait "$test_pid"
status=$?
test_pid=""
set -e
if [ "$status" -ne 0 ] && [ -s "$work/dnsmasq.log" ]; then
    echo "--- dnsmasq log" >&2
    cat "$work/dnsmasq.log" >&2
fi
exit "$status"
