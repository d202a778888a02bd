#!/bin/sh
# Debian's wpa_supplicant on the scenario's system bus scans radio 0 while hostapd serves a
# WPA2-PSK network on radio 1; tst_radio_bss checks the BSS object it publishes.
set -eu
. "$RADIO_LIB"
trap 'show_logs hostapd.log wpa_supplicant.log dbus-daemon.log' EXIT

program="$KIV_BUILD_DIR/tests/radio/tst_radio_bss"
if [ ! -x "$program" ]; then
    echo "tst_radio_bss is not built in $KIV_BUILD_DIR (run-radio-tests.sh -b BUILD_DIR)"
    exit 1
fi

radio_to_netns 1 ap wlan1
radio_to_netns 0 device wlan0
write_hostapd_conf "$RADIO_WORK/hostapd.conf" wlan1 KivRadio radio-passphrase
start_hostapd ap "$RADIO_WORK/hostapd.conf"
address=$(ip -n ap -br link show wlan1 | awk '{print $3}')

start_system_bus
ip netns exec device wpa_supplicant -u -B -f "$RADIO_WORK/wpa_supplicant.log"
ip netns exec device env KIV_RADIO_IFNAME=wlan0 KIV_RADIO_SSID=KivRadio KIV_RADIO_AP_ADDRESS="$address" \
    "$program"
