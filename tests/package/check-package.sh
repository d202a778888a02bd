#!/bin/sh
# Checks the built Debian packages in DIR (tools/build-package.sh) with dpkg-deb only: their file
# lists with modes, the unit shipped, and maintainer scripts that enable kivd but never start it.
# Nothing is installed. Exits 77 (skipped) when DIR holds no packages.
set -eu
dir=$1
kivd=$(ls "$dir"/kivd_*.deb 2>/dev/null | head -n 1)
kivctl=$(ls "$dir"/kivctl_*.deb 2>/dev/null | head -n 1)
if [ -z "$kivd" ] || [ -z "$kivctl" ]; then
    echo "no packages in $dir: build them with tools/build-package.sh"
    exit 77
fi
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
fail() { echo "check-package: $*"; exit 1; }

# "mode owner path" of every file and link, directories left out.
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | LC_ALL=C sort; }

expected='-rw-r--r-- root/root ./lib/systemd/system/kivd.service
-rw-r--r-- root/root ./usr/share/dbus-1/interfaces/com.tarvel.kiv.xml
-rw-r--r-- root/root ./usr/share/dbus-1/system.d/com.tarvel.kiv.conf
-rw-r--r-- root/root ./usr/share/doc/kivd/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/kivd/copyright
-rw-r--r-- root/root ./usr/share/man/man8/kivd.8.gz
-rwxr-xr-x root/root ./usr/sbin/kivd
-rwxr-xr-x root/root ./usr/share/kivd/kivd_udhcpc.sh'
[ "$(files "$kivd")" = "$expected" ] || fail "kivd files differ:
$(files "$kivd")"

expected='-rw-r--r-- root/root ./usr/share/bash-completion/completions/kivctl
-rw-r--r-- root/root ./usr/share/doc/kivctl/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/kivctl/copyright
-rw-r--r-- root/root ./usr/share/man/man1/kivctl.1.gz
-rwxr-xr-x root/root ./usr/bin/kivctl'
[ "$(files "$kivctl")" = "$expected" ] || fail "kivctl files differ:
$(files "$kivctl")"

# The shipped unit is the hardened one of the tree (check-install.sh: it starts the installed daemon).
dpkg-deb -x "$kivd" "$work/root"
cmp -s "$work/root/lib/systemd/system/kivd.service" "$source/src/kivd/kivd.service" || fail "kivd.service differs from the tree's"
gzip -dc "$work/root/usr/share/man/man8/kivd.8.gz" | grep -q '^\.SH "*NAME' || fail "kivd.8 is no manual page"

# Maintainer scripts: the unit is enabled on configure and cleaned up on purge; the package never
# starts, restarts or stops kivd itself (it takes over the machine's interfaces).
dpkg-deb -e "$kivd" "$work/control"
grep -q 'deb-systemd-helper.*enable.*kivd.service' "$work/control/postinst" || fail "postinst does not enable kivd.service"
grep -q 'deb-systemd-helper purge.*kivd.service' "$work/control/postrm" || fail "postrm does not purge kivd.service"
! grep -hE 'deb-systemd-invoke|invoke-rc.d|systemctl (start|restart|stop)' "$work/control"/p* ||
    fail "a maintainer script starts or stops kivd"
dpkg-deb -e "$kivctl" "$work/kivctl-control"
[ -z "$(ls "$work/kivctl-control" | grep -v -e '^control$' -e '^md5sums$')" ] || fail "kivctl has maintainer scripts"
echo "packages complete: $(basename "$kivd") $(basename "$kivctl")"
