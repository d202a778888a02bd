#!/bin/sh
# Real hostapd serves WPA2-PSK on radio 1 in the "ap" namespace; the real wpa_supplicant on
# radio 0 in the "device" namespace associates and completes the handshake.
set -eu
. "$RADIO_LIB"
trap 'show_logs hostapd.log wpa_supplicant.log' EXIT

radio_to_netns 1 ap wlan1
radio_to_netns 0 device wlan0
write_hostapd_conf "$RADIO_WORK/hostapd.conf" wlan1 KivRadio radio-passphrase
start_hostapd ap "$RADIO_WORK/hostapd.conf"

cat > "$RADIO_WORK/wpa.conf" <<CONF
ctrl_interface=$RADIO_WORK/wpa
network={
    ssid="KivRadio"
    psk="radio-passphrase"
    key_mgmt=WPA-PSK
}
CONF
ip netns exec device wpa_supplicant -B -i wlan0 -D nl80211 -c "$RADIO_WORK/wpa.conf" -f "$RADIO_WORK/wpa_supplicant.log"

status() {
    ip netns exec device wpa_cli -p "$RADIO_WORK/wpa" -i wlan0 status
}
wait_for 90 sh -c "ip netns exec device wpa_cli -p '$RADIO_WORK/wpa' -i wlan0 status | grep -qx 'wpa_state=COMPLETED'"
status
status | grep -qx 'ssid=KivRadio'
status | grep -qx 'key_mgmt=WPA2-PSK'
ip netns exec device iw dev wlan0 link | grep -q 'SSID: KivRadio'
# The access point sees the station as authorized.
ip netns exec ap hostapd_cli -p "$RADIO_WORK/hostapd" all_sta | grep -q '\[AUTHORIZED\]'
echo "associated"
