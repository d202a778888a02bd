#!/bin/sh
# kivd in wireless mode, connected: the access point goes away and comes back, then hostapd restarts
# three times within a few seconds; in automatic mode with a cable to a LAN wired wins and the
# wireless side takes over when the cable is pulled. kivd reports each change through its signals.
set -eu
. "$RADIO_LIB"
trap 'kivd_exit_trap hostapd.log dnsmasq-wlan1.log dnsmasq-lan0.log' EXIT

radio_to_netns 0 device wlan0
start_access_point 1 KivRadio radio-passphrase 192.168.60
bssid=$(link_address ap wlan1)
add_cable lan 192.168.50
kivd_start -d
kivd_ctl networks set KivRadio wpa_psk=radio-passphrase
kivd_ctl mode wireless
kivd_wait_signal 180 Connected '"wlan0"'

# The supplicant reports the association lost and kivd leaves its ready state at once (no
# Disconnecting: the loss is not a command), then reconnects.
kivd_mark
stop_hostapd
kivd_wait_signal 90 Disconnected '"wlan0"'
[ "$(kivd_signal_count Disconnecting '"wlan0"')" -eq 0 ]
details_are wlan0 .Connected false
start_hostapd ap "$RADIO_WORK/hostapd.conf"
kivd_wait_signal 180 Connected '"wlan0"'

# Whatever order the losses and returns reach kivd in (the supplicant's, at least), it ends
# associated with a lease.
before=$(grep -c CTRL-EVENT-DISCONNECTED "$RADIO_WORK/wpa_supplicant.log")
for _ in 1 2 3; do
    stop_hostapd
    start_hostapd ap "$RADIO_WORK/hostapd.conf"
done
wait_for 90 sh -c "[ \$(grep -c CTRL-EVENT-DISCONNECTED '$RADIO_WORK/wpa_supplicant.log') -gt $before ]"
converged() {
    kivd_signals | grep -E '^\{"args":\["wlan0"\],"signal":"(Connected|Disconnected)"' | tail -n 1 | grep -q '"Connected"' \
        && details_are wlan0 '[.Connected, (.Ips | split(" ") | map(select(startswith("192.168.60."))) | length)] | map(tostring) | join(" ")' "true 1"
}
wait_for 180 converged || { kivd_signals; exit 1; }
kivd_in_device iw dev wlan0 link | grep -qi "Connected to $bssid"

# Automatic mode with the cable in: wired wins; wireless is announced with Disconnecting first.
kivd_mark
kivd_ctl mode automatic
kivd_wait_signal 90 Connected '"eth0"'
kivd_wait_signal 30 Disconnected '"wlan0"'
[ "$(kivd_signal_count Disconnecting '"wlan0"')" -eq 1 ]
details_are eth0 '[.Connected, .CableStatus, (.Ips | split(" ") | map(select(startswith("192.168.50."))) | length)]
    | map(tostring) | join(" ")' "true true 1"

# The cable is pulled: wired goes at once and wireless takes over.
kivd_mark
ip -n lan link set lan0 down
kivd_wait_signal 60 Disconnected '"eth0"'
kivd_wait_signal 180 Connected '"wlan0"'
kivd_wait_signal 30 CableStatus 'false'
[ "$(kivd_signal_count Disconnecting '"eth0"')" -eq 0 ]
details_are wlan0 '[.Connected, .Ssid] | map(tostring) | join(" ")' "true KivRadio"
kivd_stop
