#!/bin/bash
# kiv-demo: a guided tour of kivd on a throwaway simulated device (doc/demo.md describes it).
set -eu -o pipefail

SOURCE_DIR=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../.." && pwd)
readonly SOURCE_DIR
readonly SCENARIO=$SOURCE_DIR/tools/demo/demo-scenario.json
readonly HOME_SSID=KivDemo-Home HOME_KEY=demo-secret CAFE_SSID=KivDemo-Cafe OTHER_SSID=Neighbour
readonly SETUP_SSID=KivDemo-Setup SETUP_DOMAIN=setup.kivdemo
# Generous limits: the machine may be busy; every wait ends as soon as its condition holds.
readonly PATIENCE=60

install=1
build_dir=""
interactive=1
name=""
keep=0
step=0
seen=0
up_pid=""
up_file=""
steps=8

usage() {
    cat <<'EOF'
usage: kiv-demo.sh [--non-interactive] [--no-install] [--build-dir DIR]

A tour of kivd on a simulated device: wired DHCP, failover to wireless, a scan, the soft
access point with a station. Runs as root; never touches this machine's own network.

  --non-interactive  no pauses; check every step, exit non-zero on the first failure and
                     remove the device at the end
  --no-install       do not install the Debian packages (tools/install-deps.sh)
  --build-dir DIR    use the existing build in DIR instead of building into build/
EOF
}

say() {
    printf '%s\n' "$*"
}

fail() {
    say ""
    say "FAILED: $*"
    if [ -n "$name" ] && [ -n "${SB_DIR:-}" ]; then
        show_log "kivd's log (last lines)" "$SB_DIR/kivd.log"
        show_log "simulated supplicant (last lines)" "$SB_DIR/supplicant.log"
        show_log "kivctl monitor" "$SB_DIR/monitor.log"
        if [ "$interactive" = 1 ]; then
            keep=1
            say ""
            say "The device is left running for a look; remove it with:"
            say "  $SB down $name"
        fi
    fi
    exit 1
}

show_log() {
    [ -s "$2" ] || return 0
    say "--- $1: $2"
    tail -n 25 "$2"
}

headline() {
    step=$((step + 1))
    say ""
    say "==> [$step/$steps] $*"
}

pause() {
    [ "$interactive" = 1 ] || return 0
    say ""
    read -r -p "Press Enter to continue (Ctrl-C ends the tour and removes the device) " _ || true
}

# Runs kivctl inside the device and shows the command as one would type it there.
kivctl() {
    say "\$ kivctl $*"
    "$SB" exec "$name" -- "$KIVCTL" "$@"
}

# kivctl whose output is shown and must contain every given pattern.
kivctl_expect() {
    local patterns=() out pattern
    while [ "$1" != -- ]; do
        patterns+=("$1")
        shift
    done
    shift
    local status=0
    out=$(kivctl "$@" 2>&1) || status=$?
    say "$out"
    [ "$status" = 0 ] || fail "kivctl $* ended with status $status"
    for pattern in "${patterns[@]}"; do
        grep -Eq -- "$pattern" <<<"$out" || fail "kivctl $*: expected /$pattern/ in its output"
    done
}

# Waits until the command succeeds (checked every 0.2 s) or the limit passes.
wait_until() {
    local what=$1 limit=$2 deadline
    shift 2
    deadline=$((SECONDS + limit))
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || fail "$what did not happen within $limit s"
        sleep 0.2
    done
}

# Marks the monitor's output so far: later waits look only at signals that come after it.
mark() {
    seen=$(wc -l <"$SB_DIR/monitor.log")
}

# A kivd signal line since the mark, e.g. "Connected eth0".
signalled() {
    tail -n "+$((seen + 1))" "$SB_DIR/monitor.log" | grep -Eiq -- " $1\$"
}

remove_device() {
    local status=$?
    if [ -n "$up_pid" ]; then
        wait "$up_pid" 2>/dev/null || true
        [ -n "$name" ] || name=$(cat "$up_file" 2>/dev/null || true)
        rm -f "$up_file"
    fi
    if [ -n "$name" ] && [ "$keep" = 0 ]; then
        say ""
        say "Removing the device $name..."
        "$SB" down "$name" || status=1
    fi
    exit "$status"
}

parse_options() {
    while [ $# -gt 0 ]; do
        case $1 in
            --non-interactive) interactive=0 ;;
            --no-install) install=0 ;;
            --build-dir)
                [ $# -ge 2 ] || { usage >&2; exit 2; }
                build_dir=$2
                shift
                ;;
            -h | --help) usage; exit 0 ;;
            *) usage >&2; exit 2 ;;
        esac
        shift
    done
    [ "$interactive" = 1 ] || steps=7
}

prepare() {
    if [ "$(id -u)" -ne 0 ]; then
        say "kiv-demo: must run as root (the device is made of network namespaces)" >&2
        exit 1
    fi
    if [ "$install" = 1 ]; then
        say "==> Installing the Debian packages (tools/install-deps.sh)"
        "$SOURCE_DIR/tools/install-deps.sh"
    fi
    if [ -z "$build_dir" ]; then
        build_dir=$SOURCE_DIR/build
        say "==> Building into $build_dir"
        cmake -S "$SOURCE_DIR" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build "$build_dir" -j"$(nproc)" --target kivd kivctl kiv-sim-supplicant kiv_sandbox_tools
    fi
    build_dir=$(cd "$build_dir" && pwd)
    SB=$build_dir/tools/sandbox/kiv-sandbox
    KIVD=$build_dir/src/kivd/kivd
    KIVCTL=$build_dir/tools/kivctl/kivctl
    SIM=$build_dir/tools/kiv-sim-supplicant/kiv-sim-supplicant
    local program
    for program in "$SB" "$KIVD" "$KIVCTL" "$SIM"; do
        [ -x "$program" ] || fail "$program is missing: build first or leave out --build-dir"
    done
}

bring_up_device() {
    local owner=$$
    [ "$interactive" = 0 ] || owner=none
    say "==> Creating the simulated device"
    # In the background, so that an interrupt meanwhile still learns the name and removes the device.
    up_file=$(mktemp)
    "$SB" up --owner "$owner" >"$up_file" &
    up_pid=$!
    wait "$up_pid" || fail "kiv-sandbox up failed"
    name=$(cat "$up_file")
    # shellcheck disable=SC1090
    . <("$SB" env "$name")
    say "    device $name: eth0 on a wired LAN (dnsmasq: DHCP + router advertisements),"
    say "    wlan0 on a wireless LAN, station namespace for the soft access point"

    # Under its own process name, so that kivd's clean-up of old supplicants at start leaves it alone.
    "$SB" exec "$name" --detach "$SB_DIR/supplicant.pid" -- "$SIM" --scenario "$SCENARIO" \
        </dev/null >>"$SB_DIR/supplicant.log" 2>&1 || fail "the simulated supplicant did not start"
    "$SB" wait-name "$name" fi.w1.wpa_supplicant1 "$PATIENCE" || fail "the simulated supplicant did not appear on the bus"
    say "    simulated wpa_supplicant: $HOME_SSID (WPA2, two access points), $CAFE_SSID (open), $OTHER_SSID (WPA/WPA2, 5 GHz)"

    "$SB" exec "$name" --detach "$SB_DIR/kivd.pid" -- "$KIVD" </dev/null >>"$SB_DIR/kivd.log" 2>&1 \
        || fail "kivd did not start"
    "$SB" wait-name "$name" com.tarvel.kiv "$PATIENCE" || fail "kivd did not register com.tarvel.kiv"
    say "    kivd is running in the device (log: $SB_DIR/kivd.log)"

    # wpa_supplicant sets its interface up when it opens it; the simulated one leaves links alone.
    "$SB" exec "$name" -- ip link set wlan0 up || fail "cannot set wlan0 up"

    "$SB" exec "$name" --detach "$SB_DIR/monitor.pid" -- "$KIVCTL" monitor \
        </dev/null >"$SB_DIR/monitor.log" 2>"$SB_DIR/monitor.err" || fail "kivctl monitor did not start"
    wait_until "kivctl monitor's subscription" "$PATIENCE" grep -q listening "$SB_DIR/monitor.err"
    say "    kivctl monitor records kivd's signals in $SB_DIR/monitor.log"
}

tour_status() {
    headline "What kivd reports right after start: off mode, nothing connected"
    kivctl_expect "^Mode: +OffMode" "^eth0 " "^wlan0 " -- status
    pause
}

tour_networks() {
    headline "Configure the wireless networks kivd may join"
    kivctl networks set "$HOME_SSID" "wpa_psk=$HOME_KEY" priority=2 "$CAFE_SSID" unsecured \
        || fail "kivctl networks set failed"
    kivctl_expect "^$CAFE_SSID +unsecured" "^$HOME_SSID +wpa-psk +2" -- networks list
    pause
}

tour_wired() {
    headline "Automatic mode: the cable is in, so eth0 gets a DHCP lease from the wired LAN"
    mark
    kivctl mode automatic || fail "kivctl mode automatic failed"
    wait_until "Connected eth0" "$PATIENCE" signalled "Connected eth0"
    kivctl_expect "^Mode: +AutomaticMode" "^Connected: +yes" "^eth0 +wired +up +yes +in +dhcp +192\.168\.50\." -- status
    pause
}

tour_failover() {
    headline "Pull the cable: kivd fails over to the wireless network $HOME_SSID"
    mark
    say "\$ kiv-sandbox unplug $name eth0"
    "$SB" unplug "$name" eth0 || fail "kiv-sandbox unplug failed"
    wait_until "Disconnected eth0" "$PATIENCE" signalled "Disconnected eth0"
    wait_until "Connected wlan0" "$PATIENCE" signalled "Connected wlan0"
    kivctl_expect "^eth0 +wired +down +no +out" "^wlan0 +wireless +up +yes .*192\.168\.60\..*$HOME_SSID" -- status
    kivctl_expect "^Ssid: +$HOME_SSID" "^Bssid: +02:00:00:00:[dD]0:01" -- details wlan0
    pause
}

tour_scan() {
    headline "Scan: one row per network, the strongest access point of each"
    kivctl_expect "^$HOME_SSID +wpa_psk +-48 +6\$" "^$CAFE_SSID +unsecured +-67 +11\$" "^$OTHER_SSID +wpa_psk +-81 +36\$" \
        -- scan
    pause
}

tour_softap() {
    local mac lease
    headline "Soft access point for setting the device up, and a station joining it"
    mark
    kivctl softap start uap0 "ssid=$SETUP_SSID" "domainName=$SETUP_DOMAIN" || fail "kivctl softap start failed"
    wait_until "Connected uap0" "$PATIENCE" signalled "Connected uap0"
    kivctl_expect "^SoftApUp: +yes" -- details uap0
    # kivd reports the access point as soon as hostapd is started; stations can join once it listens.
    wait_until "hostapd listening for stations on uap0" "$PATIENCE" test -p "$SB_DIR/hostapd-uap0.ctl"

    say "\$ kiv-sandbox station $name join"
    mac=$("$SB" station "$name" join) || fail "the station could not join"
    say "$mac"
    wait_until "StationConnected $mac" "$PATIENCE" signalled "StationConnected $mac"
    say "\$ kiv-sandbox station $name dhcp"
    lease=$("$SB" station "$name" dhcp 2>&1) || { say "$lease"; fail "the station got no lease from the device's udhcpd"; }
    say "$lease"
    grep -q "^KIVD_IP=192\.168\.200\." <<<"$lease" || fail "the station's lease is not from 192.168.200.0/24"
    grep -q "^KIVD_DNS=192\.168\.200\.1\$" <<<"$lease" || fail "the lease does not name the device's dnsd as name server"
    pause
}

tour_signals() {
    headline "What kivd announced on the bus during the tour (kivctl monitor)"
    grep -E " (Connected|Disconnected|CableStatus|StationConnected|StationDisconnected|AuthError|Error) " \
        "$SB_DIR/monitor.log" || fail "kivctl monitor recorded no signals"
}

# A path as the user may type it from the directory the demo was started in.
shown() {
    printf '%s' "${1#"$PWD"/}"
}

explore() {
    headline "Keep exploring"
    local sb kivctl
    sb=$(shown "$SB")
    kivctl=$(shown "$KIVCTL")
    cat <<EOF
The device $name keeps running. kivctl talks to its kivd when run inside it:

  $sb exec $name -- $kivctl status

To type just "kivctl ..." in this shell, define:

  kivctl() { $sb exec $name -- $kivctl "\$@"; }

then try:  kivctl monitor          (every signal; Ctrl-C ends it)
           kivctl mode wired
           kivctl wps pbc          ($HOME_SSID's WPS button is pressed)
           kivctl --help

Pull or plug the cable:   $sb unplug|plug $name eth0
The station:              $sb station $name join|leave|dhcp
kivd's log:               $SB_DIR/kivd.log
Signals since the start:  $SB_DIR/monitor.log
Remove the device:        $sb down $name
EOF
}

main() {
    parse_options "$@"
    prepare
    trap remove_device EXIT
    trap 'keep=0; exit 130' INT
    trap 'keep=0; exit 143' TERM
    bring_up_device
    tour_status
    tour_networks
    tour_wired
    tour_failover
    tour_scan
    tour_softap
    tour_signals
    if [ "$interactive" = 1 ]; then
        keep=1
        explore
    else
        say ""
        say "Demo passed in $SECONDS s."
    fi
}

main "$@"
