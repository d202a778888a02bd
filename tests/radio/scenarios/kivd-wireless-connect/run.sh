#!/bin/sh
# kivd in wireless mode connects through the real wpa_supplicant to hostapd (WPA2-PSK, channel
# 6) and takes its lease from dnsmasq on the access point; InterfaceDetails reports the real
# association. Then wpa_supplicant is killed and started again: kivd connects again.
set -eu
. "$(dirname "$RADIO_LIB")/kivd-lib.sh"
trap 'kivd_exit_trap hostapd.log dnsmasq-wlan1.log' EXIT

radio_to_netns 0 device wlan0
start_access_point 1 KivRadio radio-passphrase 192.168.60
bssid=$(link_address ap wlan1 | tr a-f A-F)
station=$(link_address device wlan0)

# Milliseconds since the epoch at the last recorded SIGNAL.
last_signal_ms() {
    date -d "$(kivd_signal_lines "$1" | tail -n 1 | jq -r .time)" +%s%3N
}

kivd_start -d
asked=$(date +%s%3N)
kivd_ctl networks set KivRadio wpa_psk=radio-passphrase
kivd_ctl mode wireless
kivd_wait_signal 150 Connected '"wlan0"'

# The lease is dnsmasq's: the address on wlan0 is the one dnsmasq recorded for this station.
address=$(ip -n device -4 -o addr show dev wlan0 | awk '{print $4}')
echo "wlan0: $address"
lease=$(awk -v mac="$station" '$2 == mac {print $3}' "$RADIO_WORK/dnsmasq-wlan1.leases")
[ -n "$lease" ] && [ "$address" = "$lease/24" ]
kivd_in_device cat /etc/resolv.conf
kivd_in_device grep -qx 'nameserver 192.168.60.53' /etc/resolv.conf

kivd_details wlan0 "$RADIO_WORK/details.json"
cat "$RADIO_WORK/details.json"
json_is "$RADIO_WORK/details.json" .Connected true
json_is "$RADIO_WORK/details.json" .Present 2
json_is "$RADIO_WORK/details.json" .Ssid KivRadio
json_is "$RADIO_WORK/details.json" .Bssid "$bssid"
json_is "$RADIO_WORK/details.json" .Frequency 2437
json_is "$RADIO_WORK/details.json" .Channel 6
# wpa_supplicant names the mode after the network's protocols, by default "WPA RSN".
json_is "$RADIO_WORK/details.json" .Encryption WPA2-PSK+WPA-PSK
json_is "$RADIO_WORK/details.json" .Dhcp true
json_is "$RADIO_WORK/details.json" '.Ips | split(" ") | map(select(startswith("192.168."))) | join(" ")' "$address"
# mac80211_hwsim reports every frame with the same signal.
json_is "$RADIO_WORK/details.json" .Signal -30

[ "$(kivd_signal_count Connected '"wlan0"')" -eq 1 ]
[ "$(kivd_signal_count Disconnecting)" -eq 0 ]

# wpa_supplicant killed with SIGKILL and started again at once by bus activation, as a service
# manager restarts it: kivd reports the loss and connects again. The new supplicant scans all
# channels before it associates, so beyond the time the first connection took (scan, handshake,
# lease) kivd has 15 s.
first=$(( $(last_signal_ms Connected) - asked ))
step "killing wpa_supplicant"
kivd_in_device sh -c 'kill -KILL $(pidof wpa_supplicant)'
dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.StartServiceByName string:fi.w1.wpa_supplicant1 uint32:0 > /dev/null
back=$(date +%s%3N)
step "wpa_supplicant is back on the bus"
kivd_wait_signal $(( first / 1000 + 30 )) Connected '"wlan0"' 2
recovery=$(( $(last_signal_ms Connected) - back ))
step "Connected(wlan0) again $recovery ms after wpa_supplicant was back (first connection: $first ms)"
grep -E '^\{"args":\["wlan0"\],"signal":"(Connected|Disconnecting|Disconnected)"' "$KIVD_SIGNALS" | tail -n 2 \
    | jq -r .signal | paste -sd ' ' - | grep -qx 'Disconnected Connected'
[ "$(kivd_signal_count Disconnected '"wlan0"')" -eq 1 ]
[ "$recovery" -le $(( first + 15000 )) ]
kivd_details wlan0 "$RADIO_WORK/details.json"
json_is "$RADIO_WORK/details.json" .Connected true
json_is "$RADIO_WORK/details.json" '.Ips | split(" ") | map(select(startswith("192.168.60."))) | length' 1
kivd_in_device iw dev wlan0 link | grep -qi "Connected to $bssid"
kivd_stop
