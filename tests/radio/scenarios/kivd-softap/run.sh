#!/bin/sh
# StartSoftAp makes kivd create uap0 on the client's radio with iw and serve it with the real
# hostapd; a station on a third radio joins with the real wpa_supplicant and takes a lease from
# kivd's udhcpd. When wlan0 then associates with an access point on another channel, the soft
# AP is restarted on the client's channel, and a later start takes that channel at once.
set -eu
. "$RADIO_LIB"
trap 'kivd_exit_trap hostapd.log dnsmasq-wlan1.log station.log relay.log' EXIT

# kivd names the radio "phy0" when it adds the soft-AP interface.
[ "$(radio_phy 0)" = phy0 ] || { echo "radio 0 is $(radio_phy 0), not phy0"; exit 1; }
radio_to_netns 0 device wlan0
radio_to_netns 1 ap wlan1
radio_to_netns 2 sta wlan2
write_hostapd_conf "$RADIO_WORK/hostapd.conf" wlan1 Upstream radio-passphrase 1
start_hostapd ap "$RADIO_WORK/hostapd.conf"
start_dnsmasq ap wlan1 192.168.60
station=$(link_address sta wlan2)

# The guest has no udevd: the relay hands the device's kernel events to kivd's udev monitor,
# which is how kivd learns that uap0 exists.
: > /run/udev/control
ip netns exec device "$KIV_BUILD_DIR/tools/sandbox/kiv-uevent-relay" --ready-file "$RADIO_WORK/relay.ready" \
    > "$RADIO_WORK/relay.log" 2>&1 &
relay=$!
wait_for 60 test -e "$RADIO_WORK/relay.ready"

kivd_start -d
kivd_ctl mode wireless
# wpa_supplicant's P2P device has taken the radio's second address, so mac80211 gives uap0
# wlan0's address and refuses to bring it up next to wlan0: the client names a BSSID of its own.
kivd_ctl softap start uap0 ssid=KivSetup channel=11 bssid=02:00:00:00:0a:01
kivd_wait_signal 180 Connected '"uap0"'
[ "$(link_address device uap0)" = 02:00:00:00:0a:01 ]
wait_for 120 sh -c "ip netns exec device iw dev uap0 info | grep -q 'ssid KivSetup'"
ip netns exec device iw dev uap0 info | grep -q 'channel 11 (2462 MHz)'
details_are uap0 .SoftApUp true

# A station joins: hostapd's AP-STA-CONNECTED line becomes StationConnected with its address.
printf '%s\n' "ctrl_interface=$RADIO_WORK/station" 'network={' 'ssid="KivSetup"' key_mgmt=NONE '}' > "$RADIO_WORK/station.conf"
ip netns exec sta wpa_supplicant -B -i wlan2 -D nl80211 -c "$RADIO_WORK/station.conf" -f "$RADIO_WORK/station.log"
kivd_wait_signal 180 StationConnected "\"$station\""
wait_for 120 sh -c "ip netns exec sta udhcpc -i wlan2 -n -q -t 2 -T 2 -s /bin/true 2>&1 \
    | grep -q 'lease of 192\.168\.200\.[0-9]* obtained from 192\.168\.200\.1'"
ip netns exec sta wpa_cli -p "$RADIO_WORK/station" -i wlan2 disconnect
kivd_wait_signal 90 StationDisconnected "\"$station\""
[ "$(kivd_signal_count StationConnected)" -eq 1 ]

# The client associates on channel 1; the radio has no multichannel support kivd knows of, so
# the soft AP is restarted on channel 1 (without Disconnected/Connected for uap0).
kivd_ctl networks set Upstream wpa_psk=radio-passphrase
wait_for 360 sh -c "ip netns exec device iw dev uap0 info | grep -q 'channel 1 (2412 MHz)'"
kivd_wait_signal 180 Connected '"wlan0"'
details_are wlan0 .Channel 1
[ "$(kivd_signal_count Connected '"uap0"')" -eq 1 ]
[ "$(kivd_signal_count Disconnected '"uap0"')" -eq 0 ]

kivd_ctl softap stop uap0
kivd_wait_signal 90 Disconnected '"uap0"'
details_are uap0 .SoftApUp false

# Started again with the same settings while the client is associated: channel 1 from the start.
kivd_ctl softap start uap0 ssid=KivSetup channel=11 bssid=02:00:00:00:0a:01
kivd_wait_signal 90 Connected '"uap0"' 2
grep -qx 'channel=1' /tmp/hostapd_uap0.conf
wait_for 120 sh -c "ip netns exec device iw dev uap0 info | grep -q 'channel 1 (2412 MHz)'"
kivd_ctl softap stop uap0
kivd_wait_signal 90 Disconnected '"uap0"' 2
kill "$relay"
kivd_stop
