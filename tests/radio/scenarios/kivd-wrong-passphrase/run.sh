#!/bin/sh
# kivd in wireless mode with a wrong passphrase for a real WPA2-PSK access point: Debian's
# wpa_supplicant rejects the key, kivd never connects; once a client writes the right key kivd
# connects.
set -eu
. "$(dirname "$RADIO_LIB")/kivd-lib.sh"
trap 'kivd_exit_trap hostapd.log dnsmasq-wlan1.log' EXIT

radio_to_netns 0 device wlan0
start_access_point 1 KivRadio radio-passphrase 192.168.60

kivd_start -d
kivd_ctl networks set KivRadio wpa_psk=not-the-passphrase
kivd_ctl mode wireless
# The supplicant gives up on the key after the access point's 4-way handshake times out.
wait_for 120 grep -q 'CTRL-EVENT-SSID-TEMP-DISABLED.*ssid="KivRadio".*reason=WRONG_KEY' "$RADIO_WORK/wpa_supplicant.log"
grep 'CTRL-EVENT-SSID-TEMP-DISABLED' "$RADIO_WORK/wpa_supplicant.log"
# Debian's build has no NetworkTempDisabled bus signal, so the rejection never reaches kivd's
# AuthError; the device's supplicant build emits it (the simulated supplicant's tests cover it).
[ "$(kivd_signal_count AuthError)" -eq 0 ]
[ "$(kivd_signal_count Connected '"wlan0"')" -eq 0 ]
kivd_details wlan0 "$RADIO_WORK/details.json"
json_is "$RADIO_WORK/details.json" .Connected false
json_is "$RADIO_WORK/details.json" '.Ssid // "none"' none

kivd_ctl networks set KivRadio wpa_psk=radio-passphrase
kivd_wait_signal 150 Connected '"wlan0"'
kivd_details wlan0 "$RADIO_WORK/details.json"
json_is "$RADIO_WORK/details.json" .Ssid KivRadio
kivd_stop
