#!/bin/sh
# Runs the lease benchmark inside a throwaway sandbox device (doc/sandbox.md), removed afterwards.
# usage: address_lease.sh benchmark-program kiv-sandbox-tool
set -eu
tool=$2
name=$("$tool" up --owner $$ --no-ra | tail -n 1)
trap '"$tool" down "$name" >/dev/null 2>&1 || true' EXIT
"$tool" exec "$name" -- "$1"
