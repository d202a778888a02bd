#!/bin/sh
# Runs the churn soak (churn_soak.cpp) in a throwaway sandbox device without router advertisements,
# with the simulated supplicant; the sandbox is removed afterwards. Exits as the soak does.
# usage: churn_soak.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
tool=$build/tools/sandbox/kiv-sandbox
name=$("$tool" up --owner $$ --no-ra | tail -n 1)
trap '"$tool" down "$name" >/dev/null 2>&1 || true' EXIT
wired=$("$tool" env "$name" | sed -n 's/^SB_NS_WIRED=//p')
"$tool" exec "$name" -- "$build/bench/churn_soak" "$build/src/kivd/kivd" \
    "$build/tools/kiv-sim-supplicant/kiv-sim-supplicant" "$wired"
