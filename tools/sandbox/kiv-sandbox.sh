#!/bin/bash
# kiv-sandbox: a throwaway simulated device with real network peers for kivd's system tests.
# doc/sandbox.md describes the topology and every command; "kiv-sandbox help" lists them.
set -eu -o pipefail

readonly SB_ROOT=/run/kiv-sandbox
SELF=$(readlink -f "${BASH_SOURCE[0]}")
readonly SELF
HERE=$(dirname "$SELF")
readonly HERE
readonly SOURCE_DIR=${KIV_SOURCE_DIR:-$(cd "$HERE/../../.." && pwd)}
readonly LIBEXEC=${KIV_SANDBOX_LIBEXEC:-}
readonly BUILD_DIR=${KIV_BUILD_DIR:-}
readonly SAFE_CHARS='^[A-Za-z0-9_./+-]+$'

die() {
    echo "kiv-sandbox: $*" >&2
    exit 1
}

note() {
    echo "kiv-sandbox: $*" >&2
}

usage() {
    cat <<'EOF'
usage: kiv-sandbox <command> ...
  up [--owner PID|none] [--no-dhcp] [--wired-dhcp on|off] [--wifi-dhcp on|off] [--no-ra]
     [--udhcpc-script PATH] [--hostname NAME]      create a sandbox, print its name
  down NAME                                        remove the sandbox and everything it started
  sweep [--all]                                    remove sandboxes whose owner is gone
  list                                             list sandboxes and their owners
  env NAME                                         print the sandbox's variables
  exec NAME [--detach PIDFILE] [--env K=V]... -- CMD...   run CMD inside the device
  peer NAME wired|wifi|station -- CMD...          run CMD in a peer namespace
  plug NAME [eth0|wlan0|uap0]                      connect the cable (peer end up)
  unplug NAME [eth0|wlan0|uap0]                    pull the cable (peer end down)
  lan NAME wired|wifi [--reset] [--dhcp on|off] [--ra on|off] [--router IP|none]
      [--dns "IP..."|none] [--domain NAME|none] [--range FIRST,LAST] [--lease SECONDS]
      [--rdnss "IP6..."|none] [--dnssl "NAME..."|none] [--option DNSMASQ-OPTION]...
                                                   change the LAN's server and restart it
  station NAME join|leave [--if uap0] [--mac MAC]  a station joins or leaves the access point
  station NAME dhcp [--if uap0]                    the station asks the device's DHCP server
  sysfs NAME MODULE/parameters/PARAM VALUE|--remove  driver parameter file under /sys/module
  start-supplicant NAME SCENARIO [--program PATH] [-- ARGS...]  run the simulated supplicant
  wait-name NAME BUSNAME [SECONDS]                 wait until BUSNAME is owned on the sandbox bus
EOF
}

require_root() {
    [ "$(id -u)" -eq 0 ] || die "must run as root"
}

require_libexec() {
    if [ -z "$LIBEXEC" ] || [ ! -x "$LIBEXEC/kiv-sandbox-ns" ]; then
        die "sandbox programs not found; run the kiv-sandbox wrapper from the build directory"
    fi
}

valid_name() {
    [[ $1 =~ ^kivsb-[0-9a-f]{8}$ ]] || die "not a sandbox name: $1"
}

check_safe() {
    local path
    for path in "$@"; do
        [[ $path =~ $SAFE_CHARS ]] || die "unsupported characters in path: $path"
    done
}

load() {
    valid_name "$1"
    [ -r "$SB_ROOT/$1/env" ] || die "no sandbox $1"
    # shellcheck disable=SC1090
    . "$SB_ROOT/$1/env"
}

in_ns() {
    local ns=$1
    shift
    nsenter --net="/run/netns/$ns" -- "$@"
}

# Start time of a live process in clock ticks, which tells it from a later one with the same id;
# empty for a process that is gone or a zombie.
proc_start() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    stat=${stat##*) }
    # shellcheck disable=SC2086
    set -- $stat
    [ "$1" != Z ] || return 0
    echo "${20}"
}

alive() {
    [ -n "${1:-}" ] && [ -n "${2:-}" ] && [ "$(proc_start "$1")" = "$2" ]
}

# Retries the command every 0.1 s until it succeeds or TENTHS tenths of a second have passed.
wait_for() {
    local deadline=$(( $(date +%s%N) / 100000000 + $1 ))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$(( $(date +%s%N) / 100000000 ))" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# The machine's own network namespace: that of PID 1, or of the kernel threads where PID 1 is hidden.
root_netns_inode() {
    stat -L -c %i /proc/1/ns/net 2>/dev/null || stat -L -c %i /proc/2/ns/net
}

lock() {
    mkdir -p "$SB_ROOT"
    exec 9<"$SB_ROOT"
    flock 9
}

# ---------------------------------------------------------------- tear-down

netns_pids() {
    local ns
    for ns in "$@"; do
        if [ -e "/run/netns/$ns" ]; then
            ip netns pids "$ns" 2>/dev/null || true
        fi
    done
}

no_pids() {
    [ -z "$(netns_pids "$@")" ]
}

# Processes leave their namespaces early while exiting; wait until they are really gone.
all_gone() {
    local pid
    for pid in "$@"; do
        [ -z "$(proc_start "$pid")" ] || return 1
    done
}

teardown() {
    local id=$1 dir=$SB_ROOT/$1 pid sig pids seen
    local spaces=("$id-dev" "$id-wired" "$id-wifi" "$id-sta")
    seen=$(netns_pids "${spaces[@]}" | tr '\n' ' ')
    if [ -r "$dir/init.pid" ]; then
        pid=$(cat "$dir/init.pid")
        # The device init takes the whole device PID namespace with it.
        if [ "$(ip netns identify "$pid" 2>/dev/null)" = "$id-dev" ]; then
            kill -TERM "$pid" 2>/dev/null || true
        fi
    fi
    for sig in TERM KILL; do
        pids=$(netns_pids "${spaces[@]}" | tr '\n' ' ')
        [ -n "${pids// /}" ] || break
        seen+=" $pids"
        # shellcheck disable=SC2086
        kill -"$sig" $pids 2>/dev/null || true
        wait_for 30 no_pids "${spaces[@]}" || true
    done
    # shellcheck disable=SC2086
    wait_for 50 all_gone $seen || note "processes of $id did not end: $seen"
    for ns in "${spaces[@]}"; do
        if [ -e "/run/netns/$ns" ]; then
            ip netns del "$ns" 2>/dev/null || note "cannot delete namespace $ns"
        fi
    done
    rm -rf "$dir"
}

owner_alive() {
    local dir=$SB_ROOT/$1 pid start
    if [ ! -r "$dir/owner" ]; then
        # A sandbox still being created has a fresh directory and no owner file yet.
        [ -n "$(find "$dir" -maxdepth 0 -mmin -1 2>/dev/null)" ]
        return
    fi
    read -r pid start <"$dir/owner" || true
    [ "$pid" = none ] && return 0
    alive "$pid" "${start:-}"
}

guard_alive() {
    local pid start
    [ -r "$SB_ROOT/$1/guard" ] || return 1
    read -r pid start <"$SB_ROOT/$1/guard" || true
    alive "$pid" "${start:-}"
}

sweep_dead() {
    local all=${1:-} d id ns
    for d in "$SB_ROOT"/kivsb-*; do
        [ -d "$d" ] || continue
        id=${d##*/}
        if [ -z "$all" ]; then
            owner_alive "$id" && continue
            guard_alive "$id" && continue
        fi
        note "sweeping $id"
        teardown "$id"
    done
    for ns in $(ip netns list 2>/dev/null | cut -d' ' -f1); do
        [[ $ns =~ ^(kivsb-[0-9a-f]{8})-(dev|wired|wifi|sta)$ ]] || continue
        id=${BASH_REMATCH[1]}
        [ -d "$SB_ROOT/$id" ] && continue
        note "sweeping namespace $ns"
        teardown "$id"
    done
}

cmd_down() {
    [ $# -ge 1 ] || die "down: sandbox name missing"
    local id=$1 from_guard=${2:-} pid start
    valid_name "$id"
    require_root
    lock
    if [ "$from_guard" != --from-guard ] && [ -r "$SB_ROOT/$id/guard" ]; then
        read -r pid start <"$SB_ROOT/$id/guard" || true
        if alive "$pid" "${start:-}"; then
            kill -TERM -- "-$pid" 2>/dev/null || true
            wait_for 30 all_gone "$pid" || true
        fi
    fi
    teardown "$id"
}

cmd_sweep() {
    require_root
    lock
    if [ "${1:-}" = --all ]; then
        sweep_dead all
    else
        sweep_dead
    fi
}

cmd_guard() {
    local id=$1 pid start
    valid_name "$id"
    read -r pid start <"$SB_ROOT/$id/owner"
    if alive "$pid" "$start"; then
        tail --pid="$pid" -s 0.5 -f /dev/null 2>/dev/null || true
    fi
    note "owner $pid of $id is gone, tearing down"
    exec "$SELF" down "$id" --from-guard
}

# ---------------------------------------------------------------- LANs

lan_file() {
    case $2 in
        wired) echo "$1/lan-wired.conf" ;;
        wifi | wireless) echo "$1/lan-wifi.conf" ;;
        *) die "unknown LAN $2 (wired or wifi)" ;;
    esac
}

# shellcheck disable=SC2034 # read back through lan_save
lan_defaults() {
    local ns=$1 ifc=$2 net=$3 net6=$4 domain=$5
    LAN_NS=$ns LAN_IF=$ifc LAN_NET=$net LAN_NET6=$net6
    LAN_DHCP=on LAN_RA=on
    LAN_ROUTER=$net.1
    LAN_DNS="$net.53 $net.54"
    LAN_DOMAIN=$domain
    LAN_RANGE=$net.100,$net.199
    LAN_LEASE=3600
    LAN_RDNSS=$net6::53
    LAN_DNSSL=$domain
    LAN_OPTIONS=()
}

lan_save() {
    local file=$1 key
    {
        for key in LAN_NS LAN_IF LAN_NET LAN_NET6 LAN_DHCP LAN_RA LAN_ROUTER LAN_DNS LAN_DOMAIN LAN_RANGE \
            LAN_LEASE LAN_RDNSS LAN_DNSSL; do
            printf '%s=%q\n' "$key" "${!key}"
        done
        printf 'LAN_OPTIONS=('
        [ ${#LAN_OPTIONS[@]} -eq 0 ] || printf ' %q' "${LAN_OPTIONS[@]}"
        printf ' )\n'
    } >"$file"
}

dhcp_listening() {
    in_ns "$1" ss -Hlun 'sport = :67' | grep -q .
}

lan_start() {
    local dir=$1 lan=$2 args
    # shellcheck disable=SC1090
    . "$(lan_file "$dir" "$lan")"
    if [ "$LAN_DHCP" != on ] && [ "$LAN_RA" != on ]; then
        return 0
    fi
    args=(--keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --port=0
        --interface="$LAN_IF" --user=root --group=root --pid-file="$dir/dnsmasq-$lan.pid"
        --dhcp-leasefile="$dir/dnsmasq-$lan.leases" --no-ping --log-facility="$dir/dnsmasq-$lan.log" --log-dhcp)
    if [ "$LAN_DHCP" = on ]; then
        args+=(--dhcp-authoritative --dhcp-range="$LAN_RANGE,255.255.255.0,$LAN_LEASE")
        if [ "$LAN_ROUTER" = none ]; then args+=(--dhcp-option=option:router); else args+=(--dhcp-option="option:router,$LAN_ROUTER"); fi
        if [ "$LAN_DNS" = none ]; then args+=(--dhcp-option=option:dns-server); else args+=(--dhcp-option="option:dns-server,${LAN_DNS// /,}"); fi
        [ "$LAN_DOMAIN" = none ] || args+=(--dhcp-option="option:domain-name,$LAN_DOMAIN")
    fi
    if [ "$LAN_RA" = on ]; then
        args+=(--enable-ra --dhcp-range="$LAN_NET6::,ra-stateless,64,$LAN_LEASE")
        if [ "$LAN_RDNSS" = none ]; then args+=(--dhcp-option=option6:dns-server); else args+=(--dhcp-option="option6:dns-server,[${LAN_RDNSS// /],[}]"); fi
        [ "$LAN_DNSSL" = none ] || args+=(--dhcp-option="option6:domain-search,${LAN_DNSSL// /,}")
    fi
    args+=("${LAN_OPTIONS[@]}")
    rm -f "$dir/dnsmasq-$lan.pid"
    (exec nsenter --net="/run/netns/$LAN_NS" -- setsid dnsmasq "${args[@]}") </dev/null >>"$dir/dnsmasq-$lan.out" 2>&1 &
}

lan_wait() {
    local dir=$1 lan=$2
    # shellcheck disable=SC1090
    . "$(lan_file "$dir" "$lan")"
    if [ "$LAN_DHCP" != on ] && [ "$LAN_RA" != on ]; then
        return 0
    fi
    wait_for 50 test -s "$dir/dnsmasq-$lan.pid" || die "dnsmasq of the $lan LAN did not start (see $dir/dnsmasq-$lan.out)"
    if [ "$LAN_DHCP" = on ]; then
        wait_for 50 dhcp_listening "$LAN_NS" || die "dnsmasq of the $lan LAN does not serve DHCP"
    fi
}

lan_stop() {
    local dir=$1 lan=$2 pid
    # shellcheck disable=SC1090
    . "$(lan_file "$dir" "$lan")"
    [ -s "$dir/dnsmasq-$lan.pid" ] || return 0
    pid=$(cat "$dir/dnsmasq-$lan.pid")
    if [ "$(ip netns identify "$pid" 2>/dev/null)" = "$LAN_NS" ]; then
        kill -TERM "$pid" 2>/dev/null || true
        wait_for 50 sh -c "! kill -0 $pid" || kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/dnsmasq-$lan.pid"
}

onoff() {
    case $1 in
        on | off) echo "$1" ;;
        *) die "expected on or off, got $1" ;;
    esac
}

cmd_lan() {
    [ $# -ge 2 ] || die "lan: sandbox name and LAN missing"
    local id=$1 lan=$2 file
    shift 2
    require_root
    load "$id"
    file=$(lan_file "$SB_DIR" "$lan")
    # shellcheck disable=SC1090
    . "$file"
    while [ $# -gt 0 ]; do
        [ $# -ge 2 ] || [ "$1" = --reset ] || die "lan: $1 needs a value"
        case $1 in
            --reset)
                case $lan in
                    wired) lan_defaults "$LAN_NS" lan0 192.168.50 fd00:50 wired.kiv.test ;;
                    *) lan_defaults "$LAN_NS" air0 192.168.60 fd00:60 wifi.kiv.test ;;
                esac
                shift
                continue
                ;;
            --dhcp) LAN_DHCP=$(onoff "$2") ;;
            --ra) LAN_RA=$(onoff "$2") ;;
            --router) LAN_ROUTER=$2 ;;
            --dns) LAN_DNS=$2 ;;
            --domain) LAN_DOMAIN=$2 ;;
            --range) LAN_RANGE=$2 ;;
            --lease) LAN_LEASE=$2 ;;
            --rdnss) LAN_RDNSS=$2 ;;
            --dnssl) LAN_DNSSL=$2 ;;
            --option) LAN_OPTIONS+=("$2") ;;
            *) die "lan: unknown option $1" ;;
        esac
        shift 2
    done
    lan_save "$file"
    [ "$lan" = wireless ] && lan=wifi
    lan_stop "$SB_DIR" "$lan"
    lan_start "$SB_DIR" "$lan"
    lan_wait "$SB_DIR" "$lan"
}

# ---------------------------------------------------------------- creation

peer_setup() {
    local ns=$1 ifc=$2 net=$3 net6=$4
    in_ns "$ns" sysctl -qw "net.ipv6.conf.$ifc.accept_dad=0" "net.ipv6.conf.$ifc.keep_addr_on_down=1"
    in_ns "$ns" ethtool -K "$ifc" tx off >/dev/null
    ip -n "$ns" addr add "$net.1/24" dev "$ifc"
    ip -n "$ns" addr add "$net6::1/64" dev "$ifc" nodad
    ip -n "$ns" link set "$ifc" up
}

bus_config() {
    local dir=$1 policy=$SOURCE_DIR/src/kivd/com.tarvel.kiv.conf
    [ -r "$policy" ] || die "bus policy $policy is missing"
    cat <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<!-- The sandbox's system bus: the default policy of a Debian system bus plus the project's policy. -->
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <include>$HERE/system-bus-policy.conf</include>
  <include>$policy</include>
  <include>$HERE/doubles-bus-policy.conf</include>
</busconfig>
EOF
}

enter() {
    "$LIBEXEC/kiv-sandbox-ns" enter "$@"
}

abort_up() {
    local pid start
    note "creating $1 failed"
    if [ -r "$SB_ROOT/$1/guard" ] && read -r pid start <"$SB_ROOT/$1/guard" && alive "$pid" "$start"; then
        kill -TERM -- "-$pid" 2>/dev/null || true
    fi
    teardown "$1"
}

cmd_up() {
    local owner=$PPID wired_dhcp=on wifi_dhcp=on ra=on script="" hostname=kivdevice id="" dir ns
    while [ $# -gt 0 ]; do
        case $1 in
            --no-dhcp) wired_dhcp=off wifi_dhcp=off; shift; continue ;;
            --no-ra) ra=off; shift; continue ;;
        esac
        [ $# -ge 2 ] || die "up: $1 needs a value"
        case $1 in
            --owner) owner=$2 ;;
            --wired-dhcp) wired_dhcp=$(onoff "$2") ;;
            --wifi-dhcp) wifi_dhcp=$(onoff "$2") ;;
            --udhcpc-script) script=$(readlink -f "$2") ;;
            --hostname) hostname=$2 ;;
            *) die "up: unknown option $1" ;;
        esac
        shift 2
    done
    require_root
    require_libexec
    [[ $owner =~ ^([0-9]+|none)$ ]] || die "up: bad owner $owner"
    [[ $hostname =~ ^[A-Za-z0-9-]{1,63}$ ]] || die "up: bad host name $hostname"
    if [ -z "$script" ]; then
        script=$SOURCE_DIR/src/kivd/kivd_udhcpc.sh
        [ -x "$script" ] || script=$HERE/lease-print.sh
    fi
    [ -x "$script" ] || die "up: udhcpc script $script is not executable"
    (lock && sweep_dead)

    mkdir -p "$SB_ROOT"
    for _ in 1 2 3 4 5; do
        id=kivsb-$(od -An -N4 -tx1 /dev/urandom | tr -d ' \n')
        dir=$SB_ROOT/$id
        mkdir "$dir" 2>/dev/null && break
        id=""
    done
    [ -n "$id" ] || die "up: cannot create a sandbox directory"
    # shellcheck disable=SC2064
    trap "abort_up $id" EXIT

    if [ "$owner" = none ]; then
        echo none >"$dir/owner"
    else
        echo "$owner $(proc_start "$owner")" >"$dir/owner"
        alive "$owner" "$(proc_start "$owner")" || die "up: owner $owner is not running"
        (exec setsid "$SELF" guard "$id" </dev/null >>"$dir/guard.log" 2>&1) &
        echo "$! $(proc_start $!)" >"$dir/guard"
    fi

    local dev=$id-dev wired=$id-wired wifi=$id-wifi sta=$id-sta
    local root_net own_net
    root_net=$(root_netns_inode)
    own_net=$(stat -L -c %i /proc/self/ns/net)
    for ns in "$dev" "$wired" "$wifi" "$sta"; do
        ip netns add "$ns"
        case $(stat -L -c %i "/run/netns/$ns") in
            "$root_net" | "$own_net") die "namespace $ns is not a namespace of its own" ;;
        esac
    done
    for ns in "$dev" "$wired" "$wifi" "$sta"; do
        ip -n "$ns" link set lo up
    done
    ip -n "$dev" link add eth0 type veth peer name lan0 netns "$wired"
    ip -n "$dev" link add wlan0 type veth peer name air0 netns "$wifi"
    in_ns "$dev" ethtool -K eth0 tx off >/dev/null
    in_ns "$dev" ethtool -K wlan0 tx off >/dev/null
    peer_setup "$wired" lan0 192.168.50 fd00:50
    peer_setup "$wifi" air0 192.168.60 fd00:60

    (
        lan_defaults "$wired" lan0 192.168.50 fd00:50 wired.kiv.test
        LAN_DHCP=$wired_dhcp LAN_RA=$ra
        lan_save "$dir/lan-wired.conf"
        lan_defaults "$wifi" air0 192.168.60 fd00:60 wifi.kiv.test
        LAN_DHCP=$wifi_dhcp LAN_RA=$ra
        lan_save "$dir/lan-wifi.conf"
    )
    lan_start "$dir" wired
    lan_start "$dir" wifi

    mkdir -m 1777 "$dir/tmp"
    mkdir "$dir/sysmodule" "$dir/layers"
    printf '# resolver file of sandbox %s\n' "$id" >"$dir/resolv.conf"
    bus_config "$dir" >"$dir/bus.conf"
    check_safe "$LIBEXEC" "$HERE" "$script" "$SOURCE_DIR" ${BUILD_DIR:+"$BUILD_DIR"}
    {
        echo "SB_ID=$id"
        echo "SB_DIR=$dir"
        echo "SB_NS_DEVICE=$dev"
        echo "SB_NS_WIRED=$wired"
        echo "SB_NS_WIFI=$wifi"
        echo "SB_NS_STATION=$sta"
        echo "SB_HOSTNAME=$hostname"
        echo "SB_HOSTAPD_DOUBLE=$LIBEXEC/kiv-hostapd-double"
        echo "SB_DNSD_DOUBLE=$LIBEXEC/kiv-dnsd-double"
        echo "SB_IW_DOUBLE=$HERE/iw-double.sh"
        echo "SB_UDHCPC_SCRIPT=$script"
        echo "SB_SHARED_DIRS=$SOURCE_DIR:$LIBEXEC:${BUILD_DIR:-$LIBEXEC}:$(dirname "$script")"
        echo "DBUS_SYSTEM_BUS_ADDRESS=unix:path=$dir/bus"
    } >"$dir/env"

    "$LIBEXEC/kiv-sandbox-ns" init "$dir" >/dev/null 2>>"$dir/init.log" \
        || die "device did not start: $(tail -n 3 "$dir/init.log")"
    (umask 000 && enter "$dir" --detach "$dir/dbus.pid" -- dbus-daemon --config-file="$dir/bus.conf" \
        --nofork --nopidfile --nosyslog) </dev/null >>"$dir/dbus.log" 2>&1 || die "bus did not start"
    enter "$dir" --detach "$dir/relay.pid" -- "$LIBEXEC/kiv-uevent-relay" --ready-file "$dir/relay.ready" \
        </dev/null >>"$dir/relay.log" 2>&1 || die "uevent relay did not start"
    wait_for 50 test -S "$dir/bus" || die "bus socket did not appear (see $dir/dbus.log)"
    wait_for 50 test -e "$dir/relay.ready" || die "uevent relay is not ready (see $dir/relay.log)"
    lan_wait "$dir" wired
    lan_wait "$dir" wifi
    trap - EXIT
    echo "$id"
}

# ---------------------------------------------------------------- use

cmd_exec() {
    [ $# -ge 1 ] || die "exec: sandbox name missing"
    local id=$1 args=()
    shift
    require_root
    require_libexec
    load "$id"
    while [ $# -gt 0 ]; do
        case $1 in
            --detach) args+=(--detach "$2"); shift 2 ;;
            --env) args+=(--setenv "$2"); shift 2 ;;
            --) shift; break ;;
            *) break ;;
        esac
    done
    [ $# -gt 0 ] || die "exec: command missing"
    exec "$LIBEXEC/kiv-sandbox-ns" enter "$SB_DIR" "${args[@]}" -- "$@"
}

peer_ns() {
    case $1 in
        wired) echo "$SB_NS_WIRED" ;;
        wifi | wireless) echo "$SB_NS_WIFI" ;;
        station) echo "$SB_NS_STATION" ;;
        *) die "unknown peer $1 (wired, wifi or station)" ;;
    esac
}

cmd_peer() {
    [ $# -ge 3 ] || die "peer: sandbox name, peer and command needed"
    local id=$1 ns
    require_root
    load "$id"
    ns=$(peer_ns "$2")
    shift 2
    [ "$1" != -- ] || shift
    exec ip netns exec "$ns" "$@"
}

station_end() {
    printf 'sta-%s' "$1" | cut -c1-15
}

cmd_cable() {
    local state=$1 id=$2 ifc=${3:-eth0} ns peer
    require_root
    load "$id"
    case $ifc in
        eth0) ns=$SB_NS_WIRED peer=lan0 ;;
        wlan0) ns=$SB_NS_WIFI peer=air0 ;;
        *) ns=$SB_NS_STATION peer=$(station_end "$ifc") ;;
    esac
    ip -n "$ns" link set "$peer" "$state"
}

cmd_station() {
    [ $# -ge 2 ] || die "station: sandbox name and action needed"
    local id=$1 action=$2 ifc=uap0 mac="" peer fifo word
    shift 2
    while [ $# -gt 0 ]; do
        [ $# -ge 2 ] || die "station: $1 needs a value"
        case $1 in
            --if) ifc=$2 ;;
            --mac) mac=$2 ;;
            *) die "station: unknown option $1" ;;
        esac
        shift 2
    done
    require_root
    load "$id"
    peer=$(station_end "$ifc")
    case $action in
        join) word=CONNECTED ;;
        leave) word=DISCONNECTED ;;
        dhcp)
            ip -n "$SB_NS_STATION" link set "$peer" up || die "station: cannot bring $peer up"
            exec ip netns exec "$SB_NS_STATION" udhcpc -f -q -n -t 5 -T 1 -i "$peer" -s "$HERE/lease-print.sh"
            ;;
        *) die "station: unknown action $action (join, leave or dhcp)" ;;
    esac
    if [ -z "$mac" ]; then
        mac=$(ip -n "$SB_NS_STATION" -br link show "$peer" 2>/dev/null | awk '{print $3}')
        [ -n "$mac" ] || die "station: no station end $peer (create $ifc first)"
    fi
    fifo=$SB_DIR/hostapd-$ifc.ctl
    # An access point the daemon has just started may still be opening its control FIFO.
    wait_for 50 test -p "$fifo" || die "station: no access point is running on $ifc"
    # shellcheck disable=SC2016 # expanded by the inner shell
    timeout 2 sh -c 'printf "%s %s\n" "$1" "$2" > "$3"' sh "$word" "$mac" "$fifo" \
        || die "station: the access point on $ifc does not listen"
    echo "$mac"
}

cmd_sysfs() {
    [ $# -eq 3 ] || die "sysfs: sandbox name, parameter path and value needed"
    local id=$1 path=$2 value=$3 file
    require_root
    load "$id"
    [[ $path =~ ^[A-Za-z0-9_]+/parameters/[A-Za-z0-9_]+$ ]] || die "sysfs: expected MODULE/parameters/NAME, got $path"
    file=$SB_DIR/sysmodule/$path
    if [ "$value" = --remove ]; then
        rm -f "$file"
        return 0
    fi
    mkdir -p "$(dirname "$file")"
    printf '%s\n' "$value" >"$file"
}

bus_name_owned() {
    DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS dbus-send --system --print-reply --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q 'boolean true'
}

cmd_wait_name() {
    [ $# -ge 2 ] || die "wait-name: sandbox name and bus name needed"
    load "$1"
    wait_for "$((${3:-10} * 10))" bus_name_owned "$2" || die "wait-name: nobody owns $2"
}

cmd_start_supplicant() {
    [ $# -ge 2 ] || die "start-supplicant: sandbox name and scenario needed"
    local id=$1 scenario program=${BUILD_DIR:+$BUILD_DIR/tools/kiv-sim-supplicant/kiv-sim-supplicant}
    scenario=$(readlink -f "$2")
    shift 2
    while [ $# -gt 0 ]; do
        case $1 in
            --program) program=$2; shift 2 ;;
            --) shift; break ;;
            *) die "start-supplicant: unknown option $1" ;;
        esac
    done
    require_root
    require_libexec
    load "$id"
    if [ -z "$program" ] || [ ! -x "$program" ]; then
        die "start-supplicant: no simulated supplicant at ${program:-<unset>}"
    fi
    [ -r "$scenario" ] || die "start-supplicant: cannot read $scenario"
    # Started under the name wpa_supplicant so that the daemon's killall finds it as on a device.
    ln -sfn "$(readlink -f "$program")" "$SB_DIR/wpa_supplicant"
    enter "$SB_DIR" --detach "$SB_DIR/supplicant.pid" -- "$SB_DIR/wpa_supplicant" --scenario "$scenario" "$@" \
        </dev/null >>"$SB_DIR/supplicant.log" 2>&1 || die "start-supplicant: cannot start $program"
    wait_for 100 bus_name_owned fi.w1.wpa_supplicant1 \
        || die "start-supplicant: fi.w1.wpa_supplicant1 did not appear (see $SB_DIR/supplicant.log)"
}

cmd_list() {
    local d owner
    for d in "$SB_ROOT"/kivsb-*; do
        [ -d "$d" ] || continue
        owner=$(cut -d' ' -f1 "$d/owner" 2>/dev/null || echo "?")
        echo "${d##*/} owner=$owner"
    done
}

main() {
    [ $# -ge 1 ] || { usage >&2; exit 2; }
    local command=$1
    shift
    case $command in
        up) cmd_up "$@" ;;
        down) cmd_down "$@" ;;
        sweep) cmd_sweep "$@" ;;
        guard) cmd_guard "$@" ;;
        list) cmd_list ;;
        env) load "${1:-}" && cat "$SB_DIR/env" ;;
        exec) cmd_exec "$@" ;;
        peer) cmd_peer "$@" ;;
        plug) cmd_cable up "$@" ;;
        unplug) cmd_cable down "$@" ;;
        lan) cmd_lan "$@" ;;
        station) cmd_station "$@" ;;
        sysfs) cmd_sysfs "$@" ;;
        wait-name) cmd_wait_name "$@" ;;
        start-supplicant) cmd_start_supplicant "$@" ;;
        help | -h | --help) usage ;;
        *) usage >&2; exit 2 ;;
    esac
}

main "$@"
