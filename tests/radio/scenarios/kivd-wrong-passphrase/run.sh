#!/bin/sh
# kivd in wireless mode with a wrong passphrase for a real WPA2-PSK access point: Debian's
# wpa_supplicant rejects the key and kivd reports AuthError with the SSID and "WRONG_KEY" without
# connecting; once a client writes the right key kivd connects.
set -eu
. "$(dirname "$RADIO_LIB")/kivd-lib.sh"
trap 'kivd_exit_trap hostapd.log dnsmasq-wlan1.log' EXIT

radio_to_netns 0 device wlan0
start_access_point 1 KivRadio radio-passphrase 192.168.60

kivd_start -d
kivd_ctl networks set KivRadio wpa_psk=not-the-passphrase
kivd_ctl mode wireless
# The access point breaks off the 4-way handshake; Debian's build has no NetworkTempDisabled
# signal, so kivd tells the rejection from the supplicant's states, as the supplicant does.
kivd_wait_signal 120 AuthError '"KivRadio","WRONG_KEY"'
wait_for 30 grep -q 'CTRL-EVENT-SSID-TEMP-DISABLED.*ssid="KivRadio".*reason=WRONG_KEY' "$RADIO_WORK/wpa_supplicant.log"
[ "$(kivd_signal_count AuthError)" -eq "$(grep -c 'CTRL-EVENT-SSID-TEMP-DISABLED' "$RADIO_WORK/wpa_supplicant.log")" ]
[ "$(kivd_signal_count Connected '"wlan0"')" -eq 0 ]
kivd_details wlan0 "$RADIO_WORK/details.json"
json_is "$RADIO_WORK/details.json" .Connected false
json_is "$RADIO_WORK/details.json" '.Ssid // "none"' none

kivd_ctl networks set KivRadio wpa_psk=radio-passphrase
kivd_wait_signal 150 Connected '"wlan0"'
# Replacing the networks ends the attempt with kivd's own disconnect: no further AuthError.
[ "$(kivd_signal_count AuthError)" -eq "$(grep -c 'CTRL-EVENT-SSID-TEMP-DISABLED' "$RADIO_WORK/wpa_supplicant.log")" ]
kivd_details wlan0 "$RADIO_WORK/details.json"
json_is "$RADIO_WORK/details.json" .Ssid KivRadio
kivd_stop
