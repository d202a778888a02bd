#!/bin/sh
# kivd scans with the real wpa_supplicant while hostapd serves four networks on two radios:
# WPA2-PSK and a hidden WPA2-PSK one on channel 6, an open and a WPA-EAP-only one on channel 11.
# ScanResults lists the first and the third with their security types and channels only. The
# supplicant's BSS objects must serve what our description of them says.
set -eu
. "$RADIO_LIB"
trap 'kivd_exit_trap hostapd.log' EXIT

radio_to_netns 0 device wlan0
radio_to_netns 1 ap wlan1
radio_to_netns 2 ap wlan2
home=$(link_address ap wlan1 | tr a-f A-F)
cafe=$(link_address ap wlan2 | tr a-f A-F)
# Second BSSes on each radio: the radio's address with the last bit set.
hidden=${home%?}1
corp=${cafe%?}1
write_hostapd_conf "$RADIO_WORK/hostapd-wlan1.conf" wlan1 KivHome home-passphrase
printf '%s\n' bss=wlan1b "bssid=$hidden" "ctrl_interface=$RADIO_WORK/hostapd" ssid=KivHidden ignore_broadcast_ssid=1 wpa=2 \
    wpa_key_mgmt=WPA-PSK rsn_pairwise=CCMP wpa_passphrase=hidden-passphrase >> "$RADIO_WORK/hostapd-wlan1.conf"
printf '%s\n' interface=wlan2 driver=nl80211 "ctrl_interface=$RADIO_WORK/hostapd" hw_mode=g channel=11 ssid=KivCafe \
    bss=wlan2b "bssid=$corp" "ctrl_interface=$RADIO_WORK/hostapd" ssid=KivCorp wpa=2 wpa_key_mgmt=WPA-EAP rsn_pairwise=CCMP \
    ieee8021x=1 own_ip_addr=127.0.0.1 auth_server_addr=127.0.0.1 auth_server_port=1812 auth_server_shared_secret=radius-secret \
    > "$RADIO_WORK/hostapd-wlan2.conf"
start_hostapd ap "$RADIO_WORK/hostapd-wlan1.conf" "$RADIO_WORK/hostapd-wlan2.conf"

kivd_start -d
kivd_ctl mode wireless
# A scan on the emulated machine may miss a beacon: scan until the radio has seen all four
# access points and both visible networks are in kivd's results.
seen_all() {
    kivd_ctl --timeout 60 --json scan > "$RADIO_WORK/scan.json" || return 1
    [ "$(jq 'map(select(.ssid == "KivHome" or .ssid == "KivCafe")) | length' "$RADIO_WORK/scan.json")" -eq 2 ] || return 1
    ip netns exec device iw dev wlan0 scan dump > "$RADIO_WORK/scan-dump.txt"
    for bssid in "$home" "$hidden" "$cafe" "$corp"; do
        grep -qi "^BSS $bssid" "$RADIO_WORK/scan-dump.txt" || return 1
    done
}
wait_for 240 seen_all
json_is "$RADIO_WORK/scan.json" '[.[] | [.ssid, .type, .channel, .frequency, .bssid] | join(" ")] | sort | join(",")' \
    "KivCafe unsecured 11 2462 $cafe,KivHome wpa_psk 6 2437 $home"
"$KIV_BUILD_DIR/tests/radio/tst_radio_bss"
kivd_stop
