#!/bin/sh
# WPS through kivd against the real hostapd registrar and the real wpa_supplicant enrollee:
# push button, PIN, and a wrong PIN that hostapd refuses.
set -eu
. "$RADIO_LIB"
trap 'kivd_exit_trap hostapd.log wps-signals.log wrong-pin.err' EXIT

radio_to_netns 1 ap wlan1
radio_to_netns 0 device wlan0
write_hostapd_conf "$RADIO_WORK/hostapd.conf" wlan1 KivRadio radio-passphrase
printf '%s\n' wps_state=2 eap_server=1 'config_methods=push_button keypad display' >> "$RADIO_WORK/hostapd.conf"
start_hostapd ap "$RADIO_WORK/hostapd.conf"
registrar() {
    ip netns exec ap hostapd_cli -p "$RADIO_WORK/hostapd" "$@"
}
kivd_start -d
# kivctl's recorder hides keys; this one keeps the credentials whole.
dbus-monitor --system "type='signal',interface='com.tarvel.kiv',member='WpsCredentials'" > "$RADIO_WORK/wps-signals.log" 2>&1 &
kivd_ctl mode wireless
kivd_wait_signal 120 InterfaceStatusChanged '"wlan0",2'

# Push button: the registrar's button first, then kivctl's session.
registrar wps_pbc
kivd_ctl --json --timeout 180 wps pbc > "$RADIO_WORK/pbc.json"
json_is "$RADIO_WORK/pbc.json" '[.ssid, .type] | join(" ")' "KivRadio wpa-psk"
wait_for 30 grep -q '"radio-passphrase"' "$RADIO_WORK/wps-signals.log"

# PIN through the bus method, the registrar told the same PIN.
registrar wps_pin any 12345670
dbus-send --system --print-reply --dest=com.tarvel.kiv /com/tarvel/kiv com.tarvel.kiv.WpsPin string:12345670
kivd_wait_signal 180 WpsCredentials '' 2
kivd_signals | grep -F '"signal":"WpsCredentials"' | tail -n 1 | grep -q '"ssid":"KivRadio"'
wait_for 30 sh -c "[ \$(grep -c '\"radio-passphrase\"' '$RADIO_WORK/wps-signals.log') -eq 2 ]"

# A wrong PIN: hostapd refuses it in message M4, and kivd reports the fail event's "msg" entry
# (8) through its table of configuration errors.
registrar wps_pin any 12345670
status=0
kivd_ctl --timeout 180 wps pin 11111111 2> "$RADIO_WORK/wrong-pin.err" || status=$?
[ "$status" -eq 1 ]
grep -qx 'kivctl: WPS failed: No DHCP response' "$RADIO_WORK/wrong-pin.err"
[ "$(kivd_signal_count WpsError)" -eq 1 ]
[ "$(kivd_signal_count WpsCredentials)" -eq 2 ]
kivd_stop
