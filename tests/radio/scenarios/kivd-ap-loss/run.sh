#!/bin/sh
# Losing the access point in wireless mode, and wired/wireless failover in automatic mode with
# a cable to a LAN: kivd reports each change through its bus signals.
set -eu
. "$(dirname "$RADIO_LIB")/kivd-lib.sh"
trap 'kivd_exit_trap hostapd.log dnsmasq-wlan1.log dnsmasq-lan0.log' EXIT

radio_to_netns 0 device wlan0
start_access_point 1 KivRadio radio-passphrase 192.168.60
add_cable lan 192.168.50

kivd_start -d
kivd_ctl networks set KivRadio wpa_psk=radio-passphrase
kivd_ctl mode wireless
kivd_wait_signal 150 Connected '"wlan0"'

# The access point goes away: the supplicant reports the association lost and kivd leaves its
# ready state at once (no Disconnecting: the loss is not a command), then reconnects.
stop_hostapd
kivd_wait_signal 60 Disconnected '"wlan0"'
[ "$(kivd_signal_count Disconnecting '"wlan0"')" -eq 0 ]
kivd_details wlan0 "$RADIO_WORK/details.json"
json_is "$RADIO_WORK/details.json" .Connected false
start_hostapd ap "$RADIO_WORK/hostapd.conf"
kivd_wait_signal 150 Connected '"wlan0"' 2

# Automatic mode with the cable in: wired wins; the wireless side is announced with
# Disconnecting before it is torn down.
kivd_ctl mode automatic
kivd_wait_signal 60 Connected '"eth0"'
kivd_wait_signal 10 Disconnected '"wlan0"' 2
[ "$(kivd_signal_count Disconnecting '"wlan0"')" -eq 1 ]
json_is "$(kivd_ctl --json mode > "$RADIO_WORK/mode.json"; echo "$RADIO_WORK/mode.json")" .Mode AutomaticMode
kivd_details eth0 "$RADIO_WORK/eth0.json"
json_is "$RADIO_WORK/eth0.json" '[.Connected, .CableStatus] | map(tostring) | join(" ")' "true true"
json_is "$RADIO_WORK/eth0.json" '.Ips | split(" ") | map(select(startswith("192.168.50."))) | length' 1

# The cable is pulled: wired goes at once and wireless takes over.
ip -n lan link set lan0 down
kivd_wait_signal 30 Disconnected '"eth0"'
kivd_wait_signal 150 Connected '"wlan0"' 3
kivd_wait_signal 10 CableStatus 'false'
[ "$(kivd_signal_count Disconnecting '"eth0"')" -eq 0 ]
kivd_details wlan0 "$RADIO_WORK/details.json"
json_is "$RADIO_WORK/details.json" '[.Connected, .Ssid] | map(tostring) | join(" ")' "true KivRadio"
kivd_stop
