#!/bin/sh
# Runs the lease benchmark in the throwaway namespaces of the address system tests.
# usage: address_lease.sh benchmark-program helper-script
set -eu
here=$(dirname "$0")
exec "$here/../tests/system/address/run-address-sandbox.sh" "$2" "$1"
