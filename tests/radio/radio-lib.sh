# Helpers for radio scenarios (sourced by each scenario's run.sh inside the guest).

# The phy of simulated radio N (0-based), whatever number the kernel gave it.
radio_phy() {
    basename "$(ls -d /sys/devices/virtual/mac80211_hwsim/hwsim"$1"/ieee80211/phy*)"
}

# Moves radio N with its interface into network namespace NS (created when missing) and names
# the interface IFNAME there.
radio_to_netns() {
    radio=$1 ns=$2 ifname=$3
    phy=$(radio_phy "$radio")
    dev=$(basename "$(ls -d /sys/class/ieee80211/"$phy"/device/net/*)")
    [ -e "/run/netns/$ns" ] || ip netns add "$ns"
    ip netns exec "$ns" ip link set lo up
    iw phy "$phy" set netns name "$ns"
    ip -n "$ns" link set "$dev" name "$ifname"
}

# Prints MESSAGE after the seconds since this library was sourced, to show where a scenario's
# time goes.
radio_begin=$(date +%s)
step() {
    echo "[$(( $(date +%s) - radio_begin )) s] $*"
}

# Waits up to SECONDS for COMMAND... to succeed.
wait_for() {
    seconds=$1
    shift
    end=$(( $(date +%s) + seconds ))
    until "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt "$end" ] || return 1
        sleep 0.5
    done
}

# Starts a private dbus-daemon as the system bus of the scenario and exports its address.
start_system_bus() {
    conf="$RADIO_WORK/bus.conf"
    cat > "$conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$RADIO_WORK/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
    dbus-daemon --config-file="$conf" --fork --nopidfile
    export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$RADIO_WORK/system_bus_socket"
    wait_for 10 test -S "$RADIO_WORK/system_bus_socket"
}

# Writes a WPA2-PSK hostapd configuration for IFNAME serving SSID with PASSPHRASE to FILE.
write_hostapd_conf() {
    cat > "$1" <<CONF
interface=$2
driver=nl80211
ssid=$3
hw_mode=g
channel=6
wpa=2
wpa_key_mgmt=WPA-PSK
rsn_pairwise=CCMP
wpa_passphrase=$4
ctrl_interface=$RADIO_WORK/hostapd
CONF
}

# Starts hostapd in network namespace NS with configuration FILE and waits until it serves.
start_hostapd() {
    ip netns exec "$1" hostapd -B -P "$RADIO_WORK/hostapd.pid" -f "$RADIO_WORK/hostapd.log" "$2" || return 1
    wait_for 60 sh -c "ip netns exec '$1' hostapd_cli -p '$RADIO_WORK/hostapd' status | grep -q '^state=ENABLED'"
}

# Prints the named logs of the scenario work folder (for the result file).
show_logs() {
    for file in "$@"; do
        [ -r "$RADIO_WORK/$file" ] || continue
        echo "--- $file"
        cat "$RADIO_WORK/$file"
    done
}
