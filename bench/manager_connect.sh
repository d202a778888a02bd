#!/bin/sh
# Runs the daemon's connection benchmark inside a throwaway sandbox device (doc/sandbox.md) without
# router advertisements, so that only the DHCP lease connects; the sandbox is removed afterwards.
# usage: manager_connect.sh benchmark-program kivd kiv-sandbox-tool
set -eu
tool=$3
name=$("$tool" up --owner $$ --no-ra | tail -n 1)
trap '"$tool" down "$name" >/dev/null 2>&1 || true' EXIT
"$tool" exec "$name" -- "$1" "$2"
