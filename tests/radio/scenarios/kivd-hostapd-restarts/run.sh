#!/bin/sh
# hostapd restarted three times within a few seconds while kivd is connected in wireless mode:
# kivd ends associated with a lease, whatever order the losses and returns reached it in.
set -eu
. "$(dirname "$RADIO_LIB")/kivd-lib.sh"
trap 'kivd_exit_trap hostapd.log dnsmasq-wlan1.log' EXIT

radio_to_netns 0 device wlan0
start_access_point 1 KivRadio radio-passphrase 192.168.60
bssid=$(link_address ap wlan1)

kivd_start -d
kivd_ctl networks set KivRadio wpa_psk=radio-passphrase
kivd_ctl mode wireless
kivd_wait_signal 150 Connected '"wlan0"'

step "restarting hostapd three times"
for _ in 1 2 3; do
    stop_hostapd
    start_hostapd ap "$RADIO_WORK/hostapd.conf"
done
step "hostapd serves again"
kivd_wait_signal 60 Disconnected '"wlan0"'

# Converged: wlan0's last connection signal is Connected and kivd reports it connected with a
# lease of the access point's LAN.
converged() {
    last=$(grep -E '^\{"args":\["wlan0"\],"signal":"(Connected|Disconnected)"' "$KIVD_SIGNALS" | tail -n 1)
    case $last in *'"signal":"Connected"'*) ;; *) return 1 ;; esac
    kivd_details wlan0 "$RADIO_WORK/details.json" || return 1
    json_is "$RADIO_WORK/details.json" \
        '[.Connected, (.Ips | split(" ") | map(select(startswith("192.168.60."))) | length)] | map(tostring) | join(" ")' "true 1"
}
wait_for 150 converged || { echo "not converged:"; kivd_signal_lines Connected; kivd_signal_lines Disconnected; exit 1; }
step "converged"
kivd_in_device iw dev wlan0 link | grep -qi "Connected to $bssid"
cat "$RADIO_WORK/details.json"
grep -E '^\{"args":\["wlan0"\],"signal":"(Connected|Disconnecting|Disconnected)"' "$KIVD_SIGNALS"
kivd_stop
