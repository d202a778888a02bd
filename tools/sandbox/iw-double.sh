#!/bin/sh
# iw double: the device has no radio, so a soft-AP interface is created as a veth pair whose far
# end ("sta-<name>") sits in the sandbox's station namespace. Only the commands kivd uses exist.
#   iw phy phy0 interface add <name> type __ap
#   iw dev <name> del
set -u

sandbox=${KIV_SANDBOX_DIR:-/etc/kiv-sandbox}

log() {
    echo "iw double: $*" >&2
    if [ -d "$sandbox" ]; then
        echo "$(date '+%H:%M:%S.%N') $*" >> "$sandbox/iw.log"
    fi
}

fail() {
    log "$*"
    exit 1
}

[ -r "$sandbox/env" ] || fail "not inside a sandbox device (no $sandbox/env)"
# shellcheck disable=SC1091
. "$sandbox/env"

log "iw $*"
if [ $# -eq 7 ] && [ "$1 $2 $3 $4" = "phy phy0 interface add" ] && [ "$6 $7" = "type __ap" ]; then
    name=$5
    peer=$(printf 'sta-%s' "$name" | cut -c1-15)
    if [ -e "/sys/class/net/$name" ]; then
        echo "command failed: Device or resource busy (-16)" >&2
        fail "$name already exists"
    fi
    ip link add "$name" type veth peer name "$peer" netns "$SB_NS_STATION" || fail "cannot create $name"
    ethtool -K "$name" tx off >/dev/null 2>&1
    nsenter --net="/run/netns/$SB_NS_STATION" ethtool -K "$peer" tx off >/dev/null 2>&1
    # Without CAP_SYS_ADMIN (the daemon under its unit's bounding set) the station tool brings it up.
    ip -n "$SB_NS_STATION" link set "$peer" up 2>/dev/null || log "cannot bring $peer up from here"
    log "created $name with station end $peer"
    exit 0
fi
if [ $# -eq 3 ] && [ "$1" = "dev" ] && [ "$3" = "del" ]; then
    ip link del "$2" || fail "cannot delete $2"
    log "deleted $2"
    exit 0
fi
if [ $# -ge 2 ] && [ "$1" = "phy" ] && [ "$2" != "phy0" ]; then
    echo "command failed: No such file or directory (-2)" >&2
fi
fail "unsupported command: iw $*"
