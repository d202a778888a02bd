#!/bin/sh
# Builds the Debian packages (dpkg-buildpackage -b -us -uc) from a copy of this tree, puts them
# into build-deb/, runs lintian on them and checks their contents (tests/package/check-package.sh).
# Installs debhelper, lintian and the build dependencies on first use (as root).
set -eu
cd "$(dirname "$0")/.."
out=$PWD/build-deb

if ! command -v dh >/dev/null || ! command -v lintian >/dev/null || ! dpkg-checkbuilddeps >/dev/null 2>&1; then
    [ "$(id -u)" -eq 0 ] || { echo "build-package: run as root to install debhelper, lintian and the build dependencies" >&2; exit 1; }
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q --no-install-recommends debhelper lintian cmake pkgconf qtbase5-dev qtbase5-dev-tools \
        libnl-3-dev libnl-route-3-dev libudev-dev
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
# The tracked and new files of this tree, without build directories (dpkg-buildpackage writes to ..).
mkdir "$work/kivd"
git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$work/kivd"
[ -d /usr/lib/ccache ] && PATH=/usr/lib/ccache:$PATH && export CCACHE_BASEDIR="$work"
(cd "$work/kivd" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" nice -n 10 \
    dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1) || { tail -n 40 "$work/build.log"; exit 1; }

rm -rf "$out"
mkdir -p "$out"
cp "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes "$out"/
echo "packages: $(cd "$out" && ls ./*.deb | tr '\n' ' ')"
lintian --fail-on error,warning "$out"/*.changes && echo "lintian: no errors or warnings"
sh tests/package/check-package.sh "$out"
