#!/bin/sh
# Prints the exposure score of `systemd-analyze security --offline=true` for kivd.service and for
# the units of Debian's connman, network-manager and iwd packages. The peers' unit files are read
# from their downloaded packages (apt-get download, dpkg-deb -x); nothing is installed or started.
set -eu
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
chown _apt "$work" 2>/dev/null || true # apt-get download fetches as the user _apt

score() { # unit file -> "exposure rating"
    systemd-analyze security --offline=true --no-pager "$1" 2>/dev/null |
        sed -n 's/^→ Overall exposure level for [^:]*: \([0-9.]*\) \([A-Z]*\).*/\1 \2/p'
}

row() { printf '%-24s %-30s %s\n' "$@"; }
row UNIT PACKAGE EXPOSURE
row kivd.service "kivd (this tree)" "$(score src/kivd/kivd.service)"
(cd "$work" && apt-get download -q connman network-manager iwd >/dev/null)
for deb in "$work"/*.deb; do
    package=$(dpkg-deb -f "$deb" Package)
    dpkg-deb -x "$deb" "$work/$package"
    case $package in
        connman) units=connman.service ;;
        network-manager) units=NetworkManager.service ;;
        iwd) units=iwd.service ;;
    esac
    for unit in $units; do
        file=$(find "$work/$package" -name "$unit" -type f | head -n 1)
        row "$unit" "$package $(dpkg-deb -f "$deb" Version)" "$(score "$file")"
    done
done
