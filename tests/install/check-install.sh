#!/bin/sh
# Stages "cmake --install" of a build tree the way a package build does and checks that exactly
# the expected files land, with their modes.
set -eu
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT INT TERM

DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null

expected='644 usr/lib/systemd/system/kivd.service
644 usr/share/dbus-1/interfaces/com.tarvel.kiv.xml
644 usr/share/dbus-1/system.d/com.tarvel.kiv.conf
755 usr/bin/kivctl
755 usr/sbin/kivd
755 usr/share/kivd/kivd_udhcpc.sh'
actual=$(cd "$stage" && find . -type f -printf '%m %P\n' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || { printf 'installed files differ\nexpected:\n%s\nactual:\n%s\n' "$expected" "$actual"; exit 1; }

# The installed programs run and the unit starts the installed daemon.
"$stage/usr/bin/kivctl" --help | grep -q '^Usage: kivctl '
"$stage/usr/sbin/kivd" --help | grep -q '^kivd arguments:'
grep -qx 'ExecStart=/usr/sbin/kivd' "$stage/usr/lib/systemd/system/kivd.service"
echo "install tree complete"
