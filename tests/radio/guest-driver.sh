#!/bin/sh
# Process 1 of the radio test guest: loads mac80211_hwsim once with the radios of all scenarios,
# gives each scenario's radios a medium group of their own (they hear no other scenario's) and runs
# the scenarios side by side, each under its time limit in a mount namespace of its own (its
# namespace names). Writes "<name>.result" into the results share and powers the guest off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
results=/run/kiv-radio/results

# Scenarios kill processes and move radios: only ever inside the guest (kivdriver, kivbuild and
# kivscenarios come from the kernel command line through the environment of process 1).
if [ "$$" -ne 1 ] || [ -z "${kivdriver:-}" ] || ! mountpoint -q "$results"; then
    echo "radio-driver: refusing to run outside the radio test guest" >&2
    exit 1
fi

here=$(dirname "$kivdriver")
wanted=$(echo "${kivscenarios:-}" | tr ',' ' ')
export RADIO_LIB="$here/radio-lib.sh" KIV_BUILD_DIR="$kivbuild" KIV_SOURCE_DIR="$here/../.."
hostname radio-guest
ip link set lo up
mount -t debugfs debugfs /sys/kernel/debug
mkdir -p /run/netns /run/udev

run_scenario() {
    dir=$here/scenarios/$1
    limit=$(cat "$dir/time-limit" 2>/dev/null || echo 780)
    mkdir -p "/run/kiv-radio/$1"
    start=$(date +%s)
    RADIO_BASE=$2 RADIO_WORK=/run/kiv-radio/$1 timeout -k 5 "$limit" unshare --mount --propagation private \
        sh -c 'mount -t tmpfs tmpfs /run/netns && mount -t tmpfs tmpfs /run/udev && cd "$0" && exec sh ./run.sh' "$dir" \
        > "/run/kiv-radio/$1.log" 2>&1
    status=$?
    case $status in
    0) verdict=PASS ;;
    124|137) verdict="FAIL (time limit of $limit s)" ;;
    *) verdict="FAIL (exit status $status)" ;;
    esac
    { echo "$verdict $(( $(date +%s) - start ))s"; cat "/run/kiv-radio/$1.log"; } > "$results/$1.result"
    echo "radio-driver: $1 $verdict"
}

# kivd adds the soft AP's interface to "phy0": the scenario that needs it gets the first radios.
radios=0
for name in $(cd "$here/scenarios" && { ls -d */needs-phy0 2>/dev/null | cut -d/ -f1; ls; } | awk '!seen[$0]++'); do
    [ -x "$here/scenarios/$name/run.sh" ] || continue
    [ -z "$wanted" ] || echo " $wanted " | grep -q " $name " || continue
    count=$(cat "$here/scenarios/$name/radios" 2>/dev/null || echo 2)
    echo "$name $radios $count" >> /run/kiv-radio/plan
    radios=$((radios + count))
done
# Two channels a radio: a soft AP may serve on another channel than the radio's station.
if modprobe mac80211_hwsim radios="$radios" channels=2; then
    group=1
    while read -r name base count; do
        for radio in $(seq "$base" $((base + count - 1))); do
            echo "$group" > /sys/kernel/debug/ieee80211/"$(basename /sys/devices/virtual/mac80211_hwsim/hwsim"$radio"/ieee80211/phy*)"/hwsim/group
        done
        echo "radio-driver: $name (radios $base to $((base + count - 1)))"
        run_scenario "$name" "$base" &
        group=$((group * 2))
    done < /run/kiv-radio/plan
    wait
fi
sync
echo "radio-driver: done"
busybox poweroff -f
