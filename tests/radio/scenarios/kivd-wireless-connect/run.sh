#!/bin/sh
# kivd in wireless mode connects through the real wpa_supplicant to hostapd (WPA2-PSK, channel
# 6) and takes its lease from dnsmasq on the access point; InterfaceDetails reports the real
# association.
set -eu
. "$(dirname "$RADIO_LIB")/kivd-lib.sh"
trap 'kivd_exit_trap hostapd.log dnsmasq-wlan1.log' EXIT

radio_to_netns 0 device wlan0
start_access_point 1 KivRadio radio-passphrase 192.168.60
bssid=$(link_address ap wlan1 | tr a-f A-F)
station=$(link_address device wlan0)

kivd_start -d
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
kivd_stop
