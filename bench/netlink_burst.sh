#!/bin/sh
# Runs the netlink burst benchmark in a throwaway network and mount namespace (as root).
# usage: bench/netlink_burst.sh [build-dir] [additions]
set -eu
build=${1:-build}
exec unshare --net --mount --propagation private "$build/bench/netlink_burst" ${2:+"$2"}
