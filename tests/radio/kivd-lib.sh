# Helpers for scenarios that run kivd on the simulated radios (sourced by run.sh inside the
# guest, after nothing else: it sources radio-lib.sh itself).
#
# kivd runs in a "device" made of the "device" network namespace, a PID namespace of its own
# (kivd's killall reaches nothing outside) and a private mount namespace in which /etc, /usr and
# /var are overlays on tmpfs, so the daemon can write /etc/resolv.conf and find its DHCP helper
# script at /usr/share/kivd/kivd_udhcpc.sh although the guest's root is read-only. Inside the
# device a private system bus carries kivd's own policy and Debian's wpa_supplicant policy and
# starts `wpa_supplicant -u` by bus activation, as a Debian system does; clients outside the
# device reach the bus through its socket in RADIO_WORK.

. "$RADIO_LIB"

KIVD_LIB=$(cd "$(dirname "$RADIO_LIB")" && pwd)/kivd-lib.sh
KIVD_PROGRAM=$KIV_BUILD_DIR/src/kivd/kivd
KIVCTL_PROGRAM=$KIV_BUILD_DIR/tools/kivctl/kivctl
KIVD_DIR=$RADIO_WORK/kivd
KIVD_LOG=$RADIO_WORK/kivd.log
KIVD_SIGNALS=$RADIO_WORK/kivd-signals.log
KIVD_BUS_SOCKET=$KIVD_DIR/system_bus_socket
KIVD_DEVICE_PID=""
KIVD_RECORDER_PID=""
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$KIVD_BUS_SOCKET"

# The bus of the device: Debian's default system-bus policy, the project's policy for kivd,
# Debian's policy for wpa_supplicant, and activation of wpa_supplicant from a private folder.
kivd_write_bus_config() {
    wpa_policy=/usr/share/dbus-1/system.d/wpa_supplicant.conf
    [ -r "$wpa_policy" ] || wpa_policy=/etc/dbus-1/system.d/wpa_supplicant.conf
    mkdir -p "$KIVD_DIR/services"
    cat > "$KIVD_DIR/services/fi.w1.wpa_supplicant1.service" <<SERVICE
[D-BUS Service]
Name=fi.w1.wpa_supplicant1
Exec=/sbin/wpa_supplicant -u -t -f $RADIO_WORK/wpa_supplicant.log
User=root
SERVICE
    cat > "$KIVD_DIR/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$KIVD_BUS_SOCKET</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$KIVD_DIR/services</servicedir>
  <include>$KIV_SOURCE_DIR/tools/sandbox/system-bus-policy.conf</include>
  <include>$KIV_SOURCE_DIR/src/kivd/com.tarvel.kiv.conf</include>
  <include>$wpa_policy</include>
</busconfig>
CONF
}

# Process 1 of the device (run by kivd_start inside the new namespaces): lays the writable
# overlays, starts the bus, waits for the go-ahead and runs kivd until told to stop.
kivd_device_main() {
    kivd=""
    trap 'if [ -n "$kivd" ]; then kill -TERM "$kivd" 2>/dev/null; else exit 143; fi' TERM
    for top in etc usr var; do
        mkdir -p "$KIVD_DIR/root/$top/upper" "$KIVD_DIR/root/$top/work"
        mount -t overlay overlay \
            -o "lowerdir=/$top,upperdir=$KIVD_DIR/root/$top/upper,workdir=$KIVD_DIR/root/$top/work" "/$top" || return 1
    done
    rm -f /etc/resolv.conf
    echo "# resolver of the radio guest's device" > /etc/resolv.conf
    mkdir -p /usr/share/kivd
    cp "$KIV_SOURCE_DIR/src/kivd/kivd_udhcpc.sh" /usr/share/kivd/kivd_udhcpc.sh
    chmod 755 /usr/share/kivd/kivd_udhcpc.sh
    dbus-daemon --config-file="$KIVD_DIR/bus.conf" --nofork --nopidfile > "$RADIO_WORK/dbus-daemon.log" 2>&1 &
    : > "$KIVD_DIR/device-ready"
    while [ ! -e "$KIVD_DIR/go" ]; do sleep 0.1; done
    "$KIVD_PROGRAM" "$@" > "$KIVD_LOG" 2>&1 &
    kivd=$!
    status=0
    wait "$kivd" || status=$?
    # A trapped TERM interrupts the first wait: wait again for kivd itself.
    while kill -0 "$kivd" 2>/dev/null; do wait "$kivd" || status=$?; done
    echo "$status" > "$KIVD_DIR/kivd-status"
}

# kivd_start [KIVD_ARGUMENTS...]: starts the device, the signal recorder (kivd_signal_lines) and
# kivd, and waits until kivd owns "com.tarvel.kiv". Needs the "device" namespace (radio_to_netns).
kivd_start() {
    # kivd sets links down and kills programs by name: only ever inside the radio test guest.
    grep -q 'kivdriver=' /proc/cmdline || { echo "kivd_start: refusing to run outside the radio test guest"; return 1; }
    [ -e /run/netns/device ] || { echo "kivd_start: no network namespace 'device'"; return 1; }
    [ -x "$KIVD_PROGRAM" ] || { echo "kivd_start: $KIVD_PROGRAM is not built"; return 1; }
    [ -x "$KIVCTL_PROGRAM" ] || { echo "kivd_start: $KIVCTL_PROGRAM is not built"; return 1; }
    modprobe overlay
    mkdir -p "$KIVD_DIR"
    kivd_write_bus_config
    ip netns exec device unshare --pid --fork --mount-proc --propagation private \
        env RADIO_LIB="$RADIO_LIB" RADIO_WORK="$RADIO_WORK" KIV_BUILD_DIR="$KIV_BUILD_DIR" \
        KIV_SOURCE_DIR="$KIV_SOURCE_DIR" \
        sh -c '. "$1"; shift; kivd_device_main "$@"' kivd-device "$KIVD_LIB" "$@" \
        > "$RADIO_WORK/kivd-device.log" 2>&1 &
    KIVD_DEVICE_PID=$!
    wait_for 30 test -e "$KIVD_DIR/device-ready" || { kivd_start_failed "the device did not come up"; return 1; }
    wait_for 30 test -S "$KIVD_BUS_SOCKET" || { kivd_start_failed "the device's bus did not start"; return 1; }
    "$KIVCTL_PROGRAM" --json monitor > "$KIVD_SIGNALS" 2> "$RADIO_WORK/kivd-recorder.err" &
    KIVD_RECORDER_PID=$!
    wait_for 30 grep -q listening "$RADIO_WORK/kivd-recorder.err" || { kivd_start_failed "the recorder did not start"; return 1; }
    : > "$KIVD_DIR/go"
    wait_for 60 kivd_has_name || { kivd_start_failed "kivd did not take com.tarvel.kiv"; return 1; }
}

kivd_start_failed() {
    echo "kivd_start: $1"
    show_logs kivd-device.log dbus-daemon.log kivd-recorder.err kivd.log
}

# True when "com.tarvel.kiv" has an owner on the device's bus.
kivd_has_name() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:com.tarvel.kiv 2>/dev/null | grep -q 'boolean true'
}

# kivd_ctl ARGS...: the built kivctl against the device's bus.
kivd_ctl() {
    "$KIVCTL_PROGRAM" --timeout 20 "$@"
}

# kivd_call METHOD [ARGS...]: calls a method of kivd's object with dbus-send (its argument
# syntax: string:wlan0) and prints the reply.
kivd_call() {
    method=$1
    shift
    dbus-send --system --print-reply --reply-timeout=20000 --dest=com.tarvel.kiv /com/tarvel/kiv \
        "com.tarvel.kiv.$method" "$@"
}

# kivd_details IFACE FILE: writes InterfaceDetails(IFACE) as JSON to FILE.
kivd_details() {
    kivd_ctl --json details "$1" > "$2"
}

# json_is FILE FILTER VALUE: the jq FILTER applied to FILE gives exactly VALUE (raw text);
# prints both on a mismatch.
json_is() {
    actual=$(jq -r "$2" "$1")
    [ "$actual" = "$3" ] && return 0
    echo "$1: $2 is '$actual', expected '$3'"
    return 1
}

# start_dnsmasq NS IFNAME NET: gives IFNAME in namespace NS the address NET.1/24 and serves
# DHCP there (NET.100-NET.150, router NET.1, name servers NET.53 and NET.54); logs to
# dnsmasq-IFNAME.log, leases in dnsmasq-IFNAME.leases.
start_dnsmasq() {
    ns=$1 ifname=$2 net=$3
    ip -n "$ns" addr add "$net.1/24" dev "$ifname"
    ip -n "$ns" link set "$ifname" up
    ip netns exec "$ns" dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --port=0 \
        --interface="$ifname" --bind-interfaces --user=root --group=root \
        --pid-file="$RADIO_WORK/dnsmasq-$ifname.pid" --dhcp-leasefile="$RADIO_WORK/dnsmasq-$ifname.leases" \
        --log-facility="$RADIO_WORK/dnsmasq-$ifname.log" --log-dhcp --no-ping --dhcp-authoritative \
        --dhcp-range="$net.100,$net.150,255.255.255.0,1h" --dhcp-option="option:router,$net.1" \
        --dhcp-option="option:dns-server,$net.53,$net.54"
    wait_for 30 test -s "$RADIO_WORK/dnsmasq-$ifname.pid"
}

# The MAC address of IFNAME in namespace NS, in lower case.
link_address() {
    ip -n "$1" -br link show "$2" | awk '{print $3}'
}

# kivd_in_device COMMAND...: runs COMMAND inside the device (its network, PID and mount view).
kivd_in_device() {
    init=$(cat "/proc/$KIVD_DEVICE_PID/task/$KIVD_DEVICE_PID/children" | cut -d' ' -f1)
    nsenter --target "$init" --net --mount --pid -- "$@"
}

# Signal lines recorded since kivd_start, one JSON object per line:
# {"args":["wlan0"],"signal":"Connected","time":"..."}.
kivd_signal_lines() {
    grep -F "\"signal\":\"$1\"" "$KIVD_SIGNALS" || true
}

# kivd_signal_count SIGNAL [ARGS_JSON]: how many SIGNAL were recorded (with exactly these
# arguments, written as the JSON array's inside: '"wlan0"').
kivd_signal_count() {
    if [ $# -ge 2 ]; then
        grep -cF "{\"args\":[$2],\"signal\":\"$1\"" "$KIVD_SIGNALS" || true
    else
        grep -cF "\"signal\":\"$1\"" "$KIVD_SIGNALS" || true
    fi
}

# kivd_wait_signal SECONDS SIGNAL [ARGS_JSON] [COUNT]: waits until COUNT (default 1) such
# signals were recorded.
kivd_wait_signal() {
    seconds=$1 signal=$2 args=${3-} count=${4:-1}
    end=$(( $(date +%s) + seconds ))
    while :; do
        if [ -n "$args" ]; then
            seen=$(kivd_signal_count "$signal" "$args")
        else
            seen=$(kivd_signal_count "$signal")
        fi
        [ "$seen" -ge "$count" ] && return 0
        if [ "$(date +%s)" -ge "$end" ]; then
            echo "kivd_wait_signal: $signal${args:+ ($args)} seen $seen times, expected $count within $seconds s"
            return 1
        fi
        sleep 0.3
    done
}

# kivd_stop: ends kivd with SIGTERM, then the device with its bus and wpa_supplicant; fails and
# prints kivd's log when kivd had already ended or logged a fatal error.
kivd_stop() {
    [ -n "$KIVD_DEVICE_PID" ] || return 0
    ok=0
    init=$(cat "/proc/$KIVD_DEVICE_PID/task/$KIVD_DEVICE_PID/children" 2>/dev/null | cut -d' ' -f1 || true)
    [ -z "$init" ] || kill -TERM "$init" 2>/dev/null || true
    wait_for 30 sh -c "! kill -0 $KIVD_DEVICE_PID" || ok=1
    wait "$KIVD_DEVICE_PID" 2>/dev/null || true
    KIVD_DEVICE_PID=""
    if [ -n "$KIVD_RECORDER_PID" ]; then
        kill -TERM "$KIVD_RECORDER_PID" 2>/dev/null
        wait "$KIVD_RECORDER_PID" 2>/dev/null || true
        KIVD_RECORDER_PID=""
    fi
    kivd_status=$(cat "$KIVD_DIR/kivd-status" 2>/dev/null || true)
    if [ "$kivd_status" != 143 ]; then
        echo "kivd_stop: kivd ended with status '${kivd_status:-unknown}' before it was stopped"
        ok=1
    fi
    if grep -q ' FATAL ' "$KIVD_LOG"; then
        echo "kivd_stop: kivd logged a fatal error"
        ok=1
    fi
    [ "$ok" -eq 0 ] || show_logs kivd.log kivd-device.log
    return "$ok"
}

# For `trap 'kivd_exit_trap LOG...' EXIT`: stops kivd if it still runs and, when the scenario
# failed, prints kivd's log, the recorded signals, wpa_supplicant's log and the named logs.
kivd_exit_trap() {
    scenario_status=$?
    kivd_stop > /dev/null 2>&1 || true
    if [ "$scenario_status" -ne 0 ]; then
        show_logs kivd.log kivd-signals.log kivd-device.log wpa_supplicant.log dbus-daemon.log "$@"
    fi
    exit "$scenario_status"
}

# start_access_point RADIO SSID PASSPHRASE NET: hostapd (WPA2-PSK, channel 6) on radio RADIO as
# wlan<RADIO> in namespace "ap", with dnsmasq handing out NET.100-150 there (start_dnsmasq).
start_access_point() {
    radio_to_netns "$1" ap "wlan$1"
    write_hostapd_conf "$RADIO_WORK/hostapd.conf" "wlan$1" "$2" "$3"
    start_hostapd ap "$RADIO_WORK/hostapd.conf"
    start_dnsmasq ap "wlan$1" "$4"
}

# stop_hostapd: ends the hostapd started by start_hostapd and waits until it is gone.
stop_hostapd() {
    pid=$(cat "$RADIO_WORK/hostapd.pid")
    kill -TERM "$pid"
    wait_for 30 sh -c "! kill -0 $pid"
}

# add_cable NS NET: a veth "eth0" in the device's namespace whose other end "lan0" sits in
# namespace NS (created when missing) with dnsmasq serving NET (start_dnsmasq). The cable is in;
# `ip -n NS link set lan0 down` pulls it. Create it before kivd_start: the guest has no udevd.
add_cable() {
    [ -e "/run/netns/$1" ] || ip netns add "$1"
    ip -n device link add eth0 type veth peer name lan0 netns "$1"
    # Raw-socket DHCP clients drop packets with partial checksums on veth.
    ip netns exec device ethtool -K eth0 tx off > /dev/null
    ip netns exec "$1" ethtool -K lan0 tx off > /dev/null
    start_dnsmasq "$1" lan0 "$2"
}
