#!/bin/sh
# Scenario driver, process 1 of the radio test guest: runs each scenario folder's run.sh under
# its own time limit on freshly loaded simulated radios, writes "<name>.result" into the results
# share and powers the guest off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
results=/run/kiv-radio/results

arg() {
    for word in $(cat /proc/cmdline); do
        case "$word" in "$1"=*) echo "${word#*=}" ;; esac
    done
}

# Everything below kills all processes and reloads kernel modules: only ever inside the guest.
if [ "$$" -ne 1 ] || [ -z "$(arg kivdriver)" ] || ! mountpoint -q "$results"; then
    echo "radio-driver: refusing to run outside the radio test guest" >&2
    exit 1
fi

finish() {
    sync
    echo "radio-driver: done"
    busybox poweroff -f
    echo o > /proc/sysrq-trigger
}

here=$(dirname "$(arg kivdriver)")
build=$(arg kivbuild)
limit=$(arg kivlimit)
wanted=$(arg kivscenarios | tr ',' ' ')
[ -n "$limit" ] || limit=120
hostname radio-guest
ip link set lo up

# Leaves nothing of one scenario behind for the next one.
reset_guest() {
    kill -KILL -1 2>/dev/null
    sleep 0.2
    for ns in $(ip netns list | cut -d' ' -f1); do
        ip netns del "$ns"
    done
    modprobe -r mac80211_hwsim 2>/dev/null
    # cfg80211 numbers radios on from its last load: unloaded, the next scenario's radio 0 is phy0.
    modprobe -r mac80211 cfg80211 2>/dev/null
    umount -l /run/kiv-radio/work 2>/dev/null
}

for dir in "$here"/scenarios/*/; do
    name=$(basename "$dir")
    if [ -n "$wanted" ] && ! echo " $wanted " | grep -q " $name "; then
        continue
    fi
    radios=2
    [ -r "$dir/radios" ] && radios=$(cat "$dir/radios")
    hwsim_options=""
    [ -r "$dir/hwsim-options" ] && hwsim_options=$(cat "$dir/hwsim-options")
    scenario_limit=$limit
    [ -r "$dir/time-limit" ] && scenario_limit=$(cat "$dir/time-limit")
    mkdir -p /run/kiv-radio/work
    mount -t tmpfs tmpfs /run/kiv-radio/work
    log="/run/kiv-radio/work/$name.log"
    start=$(date +%s)
    echo "radio-driver: $name ($radios radios, ${scenario_limit} s)"
    if ! modprobe mac80211_hwsim radios="$radios" $hwsim_options >"$log" 2>&1; then
        status=125
    else
        (cd "$dir" && RADIO_LIB="$here/radio-lib.sh" RADIO_WORK=/run/kiv-radio/work KIV_BUILD_DIR="$build" \
            KIV_SOURCE_DIR="$here/../.." timeout -k 5 "$scenario_limit" sh ./run.sh) >>"$log" 2>&1
        status=$?
    fi
    seconds=$(( $(date +%s) - start ))
    case $status in
    0) verdict=PASS ;;
    124|137) verdict="FAIL (time limit of ${scenario_limit} s)" ;;
    125) verdict="FAIL (mac80211_hwsim did not load)" ;;
    *) verdict="FAIL (exit status $status)" ;;
    esac
    { echo "$verdict ${seconds}s"; cat "$log"; } > "$results/$name.result"
    echo "radio-driver: $name $verdict"
    reset_guest
done
finish
