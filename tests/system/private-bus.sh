#!/bin/sh
# Runs a test program against a private dbus-daemon acting as the system bus; with
# --wpa-supplicant also against Debian's wpa_supplicant on a veth pair made for the run.
# It must be the first process of a throwaway PID namespace (the CTest entries start it through
# unshare), with --wpa-supplicant also of an empty network namespace; it takes its own mount namespace.
set -eu

with_wpa=
if [ "${1:-}" = "--wpa-supplicant" ]; then
    with_wpa=1
    shift
fi

if [ "$$" -ne 1 ]; then
    echo "private-bus: refusing to run outside a private PID namespace" >&2
    exit 1
fi
# Whatever the caller set up, the mounts below go into a mount namespace of our own.
if [ -z "${KIV_PRIVATE_MOUNTS:-}" ]; then
    [ -z "$with_wpa" ] || set -- --wpa-supplicant "$@"
    KIV_PRIVATE_MOUNTS=1 exec unshare --mount --propagation private sh "$0" "$@"
fi
if [ -n "$with_wpa" ] && ip -o link show | grep -qv ': lo:'; then
    echo "private-bus: refusing to run wpa_supplicant in a network namespace that has links" >&2
    exit 1
fi

# The bus socket, logs and the test's own temporary files live on a tmpfs seen only in here.
dir=$(mktemp -d "${TMPDIR:-/tmp}/kiv-private-bus.XXXXXX")
mount -t tmpfs -o mode=0700 kiv-private-bus "$dir"
export TMPDIR="$dir"
pids=""

cleanup() {
    status=$?
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    for pid in $pids; do wait "$pid" 2>/dev/null || true; done
    [ -z "$with_wpa" ] || ip link del kivsup0 2>/dev/null || true
    umount "$dir" 2>/dev/null || true
    rmdir "$dir" 2>/dev/null || true
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cat > "$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF

dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile 2>"$dir/dbus-daemon.log" &
pids="$!"
deadline=$(( $(date +%s) + 10 ))
while [ ! -S "$dir/bus" ]; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
        echo "private-bus: dbus-daemon did not start" >&2
        cat "$dir/dbus-daemon.log" >&2
        exit 1
    fi
    sleep 0.05
done
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus"

if [ -n "$with_wpa" ]; then
    ip link add kivsup0 type veth peer name kivsup1
    ip link set kivsup0 up
    ip link set kivsup1 up
    wpa_supplicant -u >"$dir/wpa_supplicant.log" 2>&1 &
    pids="$pids $!"
    export KIV_TEST_VETH=kivsup0
fi

status=0
"$@" || status=$?
if [ "$status" -ne 0 ] && [ -n "$with_wpa" ]; then
    echo "--- wpa_supplicant output" >&2
    cat "$dir/wpa_supplicant.log" >&2
fi
exit "$status"
