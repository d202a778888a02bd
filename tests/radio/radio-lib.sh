# Helpers of the radio scenarios, sourced by each run.sh inside the guest. A scenario owns radios
# RADIO_BASE.. of the guest (its radio N is hwsim RADIO_BASE+N), its own namespace names, RADIO_WORK
# and its kivd.
#
# kivd runs in a "device": the "device" network namespace, a PID namespace of its own (kivd's
# killall reaches nothing outside) and a private mount namespace with tmpfs overlays on /etc, /usr
# and /var (the guest's root is read-only). The device's private system bus carries kivd's and
# Debian's wpa_supplicant policy and starts `wpa_supplicant -u` by bus activation; clients outside
# the device reach it through its socket in RADIO_WORK.

KIVD_DIR=$RADIO_WORK/kivd KIVD_LOG=$RADIO_WORK/kivd.log KIVD_SIGNALS=$RADIO_WORK/kivd-signals.log
KIVD_MARK=0 KIVD_DEVICE_PID="" KIVD_RECORDER_PID=""
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$KIVD_DIR/system_bus_socket"

# wait_for SECONDS COMMAND...: retries COMMAND until it succeeds; fails once SECONDS have passed.
wait_for() {
    end=$(( $(date +%s) + $1 ))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$end" ] || { echo "wait_for: gave up on: $*"; return 1; }
        sleep 0.5
    done
}

radio_phy() {
    basename "$(ls -d /sys/devices/virtual/mac80211_hwsim/hwsim$((RADIO_BASE + $1))/ieee80211/phy*)"
}

# radio_to_netns N NS IFNAME: moves radio N into namespace NS (created when missing) as IFNAME.
radio_to_netns() {
    phy=$(radio_phy "$1")
    dev=$(basename "$(ls -d /sys/class/ieee80211/"$phy"/device/net/*)")
    [ -e "/run/netns/$2" ] || ip netns add "$2"
    ip -n "$2" link set lo up
    iw phy "$phy" set netns name "$2"
    ip -n "$2" link set "$dev" name "$3"
}

link_address() {
    ip -n "$1" -br link show "$2" | awk '{print $3}'
}

# write_hostapd_conf FILE IFNAME SSID PASSPHRASE [CHANNEL]: WPA2-PSK, channel 6 unless given.
write_hostapd_conf() {
    printf '%s\n' "interface=$2" driver=nl80211 "ssid=$3" hw_mode=g "channel=${5:-6}" wpa=2 wpa_key_mgmt=WPA-PSK \
        rsn_pairwise=CCMP "wpa_passphrase=$4" "ctrl_interface=$RADIO_WORK/hostapd" > "$1"
}

# start_hostapd NS FILE...: hostapd in NS, waiting until each of its interfaces serves.
start_hostapd() {
    ns=$1
    shift
    ip netns exec "$ns" hostapd -B -P "$RADIO_WORK/hostapd.pid" -f "$RADIO_WORK/hostapd.log" "$@" || return 1
    for conf in "$@"; do
        wait_for 120 sh -c "ip netns exec $ns hostapd_cli -p $RADIO_WORK/hostapd -i $(sed -n 's/^interface=//p' "$conf") status \
            | grep -q '^state=ENABLED'" || return 1
    done
}

stop_hostapd() {
    pid=$(cat "$RADIO_WORK/hostapd.pid")
    kill -TERM "$pid"
    wait_for 30 sh -c "! kill -0 $pid"
}

# start_dnsmasq NS IFNAME NET: NET.1/24 on IFNAME in NS and DHCP for NET.100-150 with router NET.1
# and name servers NET.53 and NET.54; leases in dnsmasq-IFNAME.leases.
start_dnsmasq() {
    ip -n "$1" addr add "$3.1/24" dev "$2"
    ip -n "$1" link set "$2" up
    ip netns exec "$1" dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --port=0 --interface="$2" \
        --bind-interfaces --user=root --group=root --pid-file="$RADIO_WORK/dnsmasq-$2.pid" \
        --dhcp-leasefile="$RADIO_WORK/dnsmasq-$2.leases" --log-facility="$RADIO_WORK/dnsmasq-$2.log" --log-dhcp \
        --no-ping --dhcp-authoritative --dhcp-range="$3.100,$3.150,255.255.255.0,1h" \
        --dhcp-option="option:router,$3.1" --dhcp-option="option:dns-server,$3.53,$3.54"
    wait_for 30 test -s "$RADIO_WORK/dnsmasq-$2.pid"
}

# start_access_point RADIO SSID PASSPHRASE NET: hostapd on RADIO as wlanRADIO in namespace "ap",
# with dnsmasq serving NET there.
start_access_point() {
    radio_to_netns "$1" ap "wlan$1"
    write_hostapd_conf "$RADIO_WORK/hostapd.conf" "wlan$1" "$2" "$3"
    start_hostapd ap "$RADIO_WORK/hostapd.conf"
    start_dnsmasq ap "wlan$1" "$4"
}

# add_cable NS NET: veth "eth0" in the device whose end "lan0" sits in NS with dnsmasq serving NET;
# `ip -n NS link set lan0 down` pulls it. Before kivd_start: the guest has no udevd.
add_cable() {
    [ -e "/run/netns/$1" ] || ip netns add "$1"
    ip -n device link add eth0 type veth peer name lan0 netns "$1"
    # Raw-socket DHCP clients drop packets with partial checksums on veth.
    ip netns exec device ethtool -K eth0 tx off > /dev/null
    ip netns exec "$1" ethtool -K lan0 tx off > /dev/null
    start_dnsmasq "$1" lan0 "$2"
}

# Process 1 of the device: overlays, the device's bus, then kivd once kivd_start says go.
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
    install -D -m 755 "$KIV_SOURCE_DIR/src/kivd/kivd_udhcpc.sh" /usr/share/kivd/kivd_udhcpc.sh
    dbus-daemon --config-file="$KIVD_DIR/bus.conf" --nofork --nopidfile > "$RADIO_WORK/dbus-daemon.log" 2>&1 &
    until [ -e "$KIVD_DIR/go" ]; do sleep 0.1; done
    "$KIV_BUILD_DIR/src/kivd/kivd" "$@" > "$KIVD_LOG" 2>&1 &
    kivd=$!
    status=0
    # A trapped TERM interrupts the wait: wait again for kivd itself.
    while kill -0 "$kivd" 2>/dev/null; do wait "$kivd" || status=$?; done
    echo "$status" > "$KIVD_DIR/kivd-status"
}

# kivd_start [ARGS...]: the device (needs namespace "device"), the signal recorder and kivd with ARGS;
# returns once kivd owns "com.tarvel.kiv".
kivd_start() {
    # kivd sets links down and kills programs by name: only ever inside the radio test guest.
    grep -q 'kivdriver=' /proc/cmdline || { echo "kivd_start: refusing to run outside the radio test guest"; return 1; }
    wpa_policy=/usr/share/dbus-1/system.d/wpa_supplicant.conf
    [ -r "$wpa_policy" ] || wpa_policy=/etc/dbus-1/system.d/wpa_supplicant.conf
    mkdir -p "$KIVD_DIR/services"
    printf '%s\n' '[D-BUS Service]' Name=fi.w1.wpa_supplicant1 User=root \
        "Exec=/sbin/wpa_supplicant -u -t -f $RADIO_WORK/wpa_supplicant.log" > "$KIVD_DIR/services/fi.w1.wpa_supplicant1.service"
    cat > "$KIVD_DIR/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$KIVD_DIR/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$KIVD_DIR/services</servicedir>
  <include>$KIV_SOURCE_DIR/tools/sandbox/system-bus-policy.conf</include>
  <include>$KIV_SOURCE_DIR/src/kivd/com.tarvel.kiv.conf</include>
  <include>$wpa_policy</include>
</busconfig>
CONF
    modprobe overlay
    # kivd's start-up runs many commands under its own time limits: one scenario's kivd starts at a time.
    exec 9> "$RADIO_WORK/../kivd-start.lock"
    flock -w 600 9
    ip netns exec device unshare --pid --fork --mount-proc --propagation private \
        sh -c '. "$RADIO_LIB"; kivd_device_main "$@"' kivd-device "$@" > "$RADIO_WORK/kivd-device.log" 2>&1 9>&- &
    KIVD_DEVICE_PID=$!
    wait_for 60 test -S "$KIVD_DIR/system_bus_socket" || return 1
    "$KIV_BUILD_DIR/tools/kivctl/kivctl" --json monitor > "$KIVD_SIGNALS" 2> "$RADIO_WORK/kivd-recorder.log" 9>&- &
    KIVD_RECORDER_PID=$!
    wait_for 60 grep -q listening "$RADIO_WORK/kivd-recorder.log" || return 1
    : > "$KIVD_DIR/go"
    wait_for 120 sh -c 'dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:com.tarvel.kiv | grep -q "boolean true"'
    exec 9>&-
}

kivd_ctl() {
    "$KIV_BUILD_DIR/tools/kivctl/kivctl" --timeout 30 "$@"
}

# json_is FILE FILTER VALUE: `jq -r FILTER FILE` prints exactly VALUE; prints both otherwise.
json_is() {
    actual=$(jq -r "$2" "$1")
    [ "$actual" = "$3" ] || { echo "$1: $2 is '$actual', expected '$3'"; return 1; }
}

# details_are IFACE FILTER VALUE: json_is on InterfaceDetails(IFACE), kept in RADIO_WORK/IFACE.json.
details_are() {
    kivd_ctl --json details "$1" > "$RADIO_WORK/$1.json" && json_is "$RADIO_WORK/$1.json" "$2" "$3"
}

# kivd_in_device COMMAND...: COMMAND in the device's network, mount and PID view.
kivd_in_device() {
    init=$(cut -d' ' -f1 "/proc/$KIVD_DEVICE_PID/task/$KIVD_DEVICE_PID/children")
    nsenter --target "$init" --net --mount --pid -- "$@"
}

# Signals recorded since the last kivd_mark, one JSON object a line: {"args":["wlan0"],"signal":"Connected",...}.
kivd_signals() {
    tail -n +$((KIVD_MARK + 1)) "$KIVD_SIGNALS"
}

# Later counts start here.
kivd_mark() {
    KIVD_MARK=$(wc -l < "$KIVD_SIGNALS")
}

# kivd_signal_count SIGNAL [ARGS]: SIGNAL since the mark (with exactly ARGS, the inside of the JSON
# argument array: '"wlan0"').
kivd_signal_count() {
    kivd_signals | grep -cF "${2+{\"args\":[$2],}\"signal\":\"$1\"" || true
}

# kivd_wait_signal SECONDS SIGNAL [ARGS] [COUNT]: waits until COUNT (default 1) such signals came.
kivd_wait_signal() {
    wait_for "$1" kivd_signals_seen "$2" "${3:-}" "${4:-1}"
}

kivd_signals_seen() {
    [ "$(kivd_signal_count "$1" ${2:+"$2"})" -ge "$3" ]
}

# kivd_stop: SIGTERM to kivd, then the device ends; fails when kivd had ended before or logged FATAL.
kivd_stop() {
    [ -n "$KIVD_DEVICE_PID" ] || return 0
    kill -TERM "$(cut -d' ' -f1 "/proc/$KIVD_DEVICE_PID/task/$KIVD_DEVICE_PID/children")" "$KIVD_RECORDER_PID"
    wait_for 60 sh -c "! kill -0 $KIVD_DEVICE_PID"
    KIVD_DEVICE_PID=""
    grep -qx 143 "$KIVD_DIR/kivd-status" || { echo "kivd_stop: kivd had ended before it was stopped"; return 1; }
    ! grep -q ' FATAL ' "$KIVD_LOG" || { echo "kivd_stop: kivd logged a fatal error"; return 1; }
}

# For `trap 'kivd_exit_trap LOG...' EXIT`: when the scenario failed, stops kivd and prints its logs.
kivd_exit_trap() {
    scenario_status=$?
    [ "$scenario_status" -eq 0 ] && exit 0
    kivd_stop || true
    for file in kivd.log kivd-signals.log kivd-device.log kivd-recorder.log wpa_supplicant.log dbus-daemon.log "$@"; do
        [ ! -r "$RADIO_WORK/$file" ] || { echo "--- $file"; cat "$RADIO_WORK/$file"; }
    done
    exit "$scenario_status"
}
