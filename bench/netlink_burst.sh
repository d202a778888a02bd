#!/bin/sh
# Runs the netlink burst benchmark inside a throwaway sandbox device (as root); the sandbox is
# removed afterwards, or by its guard when this script is killed.
# usage: bench/netlink_burst.sh [build-dir] [additions]
set -eu
build=$(cd "${1:-build}" && pwd)
sandbox=$build/tools/sandbox/kiv-sandbox
name=$("$sandbox" up --owner $$ --no-dhcp --no-ra)
trap '"$sandbox" down "$name"' EXIT
trap 'exit 130' INT TERM
"$sandbox" exec "$name" -- "$build/bench/netlink_burst" ${2:+"$2"}
