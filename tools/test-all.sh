#!/bin/bash
# Installs what the build and the tests need, builds kivd and runs the whole test suite (as root),
# then prints where the time went: apt, configure, build, the whole ctest run and each label.
set -euo pipefail
cd "$(dirname "$0")/.."

times=()
step() {
    local name=$1 start=$SECONDS status=0
    shift
    "$@" || status=$?
    times+=("$(printf '%-10s %5d s' "$name" $((SECONDS - start)))")
    return "$status"
}

step apt ./tools/install-deps.sh
# build/ from an earlier run with another generator is built afresh.
[ ! -f build/CMakeCache.txt ] || grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' build/CMakeCache.txt || rm -rf build
step configure cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
step build cmake --build build -j"$(nproc)"
status=0
# Most tests wait on timers, leases and daemons rather than the CPU: two per core. The full radio
# run is a deep check (tools/test-deep.sh radio).
step ctest ctest --test-dir build --output-on-failure -j"$((2 * $(nproc)))" -LE '^radio-all$' --output-junit junit.xml "$@" || status=$?

# Each label's summed test time, from the JUnit report.
for label in unit system radio; do
    names=$(ctest --test-dir build -N -L "^$label\$" | sed -n 's/^ *Test *#[0-9]*: //p')
    [ -n "$names" ] || continue
    seconds=$(echo "$names" | awk 'NR == FNR { want[$1] = 1; next }
        match($0, /<testcase name="[^"]*"/) {
            name = substr($0, RSTART + 16, RLENGTH - 17)
            if ((name in want) && match($0, /time="[0-9.]*"/)) sum += substr($0, RSTART + 6, RLENGTH - 7)
        }
        END { printf "%d", sum }' - build/junit.xml)
    times+=("$(printf '  %-8s %5d s (%d tests, summed)' "$label" "$seconds" "$(echo "$names" | wc -l)")")
done
echo "time table:"
printf '  %s\n' "${times[@]}"
exit "$status"
