#!/bin/sh
# The deep checks (README "Deep checks"), as root from the checkout, after tools/install-deps.sh:
#   1. the unit and system labels built with ASan, UBSan and LeakSanitizer (build-asan/);
#   2. the tests that touch the supplicant worker thread built with ThreadSanitizer (build-tsan/);
#   3. the churn soak bench/churn_soak.sh against a plain build with the benchmarks (build-bench/);
#   4. a short libFuzzer pass of every fuzz target (build-fuzz/, clang), FUZZ_SECONDS each (30);
#   5. every radio scenario in one guest boot (build-bench/; ctest runs only the connection one);
#   and, only when asked for by name, the convergence explorer's search to 6 events (build-bench/).
# Builds go through ccache when it is installed, so a second run rebuilds only what changed.
# Ends with a table of each part's time and result, and the executions of every fuzz target.
# Exit status 0 only when every part passed. Arguments pick parts (asan tsan soak fuzz radio explorer; default all but explorer).
set -u
cd "$(dirname "$0")/.."
root=$(pwd)
fuzz_seconds=${FUZZ_SECONDS:-30}
jobs=$(nproc)
logs=$root/build-deep-logs
rm -rf "$logs"
mkdir -p "$logs"
table=$logs/table
failed=0
started=$(date +%s)
parts=${*:-asan tsan soak fuzz radio}
wanted() { case " $parts " in *" $1 "*) return 0 ;; esac; return 1; }

# Tests that run supplicant code on its worker thread, or the daemon in wireless mode.
tsan_tests='tst_supplicant$|tsan_supplicantmessagequeue|wpasupplicant_client|tst_manager_system$'

row()
{
    printf '%-28s %6ss  %-4s  %s\n' "$1" "$2" "$3" "$4" >> "$table"
}

# step NAME DETAIL command...: runs the command with its output in $logs/NAME.log.
step()
{
    name=$1
    detail=$2
    shift 2
    echo "== $name ($logs/$name.log)"
    t0=$(date +%s)
    if "$@" > "$logs/$name.log" 2>&1; then
        result=pass
    else
        result=FAIL
        failed=1
        tail -n 30 "$logs/$name.log"
    fi
    row "$name" "$(( $(date +%s) - t0 ))" "$result" "$detail"
}

launcher=""
if command -v ccache > /dev/null; then
    launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
fi

# configure DIR TARGETS cmake-options...: builds TARGETS (all when empty).
configure()
{
    dir=$1
    targets=$2
    shift 2
    # shellcheck disable=SC2086
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo $launcher "$@" &&
        cmake --build "$dir" -j"$jobs" ${targets:+--target $targets}
}

# The targets of the tests matching a pattern (the test's name or a program on its command line),
# plus what every daemon test needs; everything when a test has no target.
tests_matching()
{
    all=$(cmake --build "$1" --target help | sed -n 's/^\.\.\. //p')
    wanted="kivd kiv-sim-supplicant kiv_sandbox"
    for words in $(ctest --test-dir "$1" --show-only=json-v1 -R "$2" |
            jq -r '.tests[] | [.name] + (.command // []) | map(sub(".*/"; "")) | join(",")'); do
        found=""
        for word in $(echo "$words" | tr ',' ' '); do
            if echo "$all" | grep -qx -- "$word"; then
                found=1
                wanted="$wanted $word"
            fi
        done
        [ -n "$found" ] || return 0
    done
    echo "$wanted"
}

ctest_in()
{
    dir=$1
    shift
    ctest --test-dir "$dir" --output-on-failure -j2 "$@"
}

if wanted asan; then
    step asan-build "ASan+UBSan+LSan" configure build-asan "" -DKIV_SANITIZE=ON
    step asan-unit "label unit" ctest_in build-asan -L unit
    step asan-system "label system" ctest_in build-asan -L system
fi

if wanted tsan; then
    cmake -S . -B build-tsan -DKIV_TSAN=ON > /dev/null
    step tsan-build "TSan" configure build-tsan "$(tests_matching build-tsan "$tsan_tests")" -DKIV_TSAN=ON
    step tsan-tests "supplicant thread" ctest_in build-tsan -R "$tsan_tests"
fi

if ! wanted soak; then
    :
elif [ -f bench/churn_soak.sh ]; then
    step soak-build "plain, with benchmarks" configure build-bench churn_soak -DKIV_BENCHMARKS=ON
    step churn-soak "bench/churn_soak.sh" sh bench/churn_soak.sh "$root/build-bench"
else
    row churn-soak 0 skip "bench/churn_soak.sh not present"
fi

# The convergence explorer at its full bound (ctest explores a shorter one).
if wanted explorer; then
    step explorer-build "plain" configure build-bench tst_convergence -DKIV_BENCHMARKS=ON
    step explorer "every sequence up to 6 events" env KIV_EXPLORER_BOUND=6 QTEST_FUNCTION_TIMEOUT=3600000 \
        build-bench/tests/unit/tst_convergence
fi

if wanted radio; then
    step radio-build "plain" configure build-bench "" -DKIV_BENCHMARKS=ON
    step radio "every scenario, one guest" ctest_in build-bench -L '^radio-all$'
fi

if wanted fuzz; then
    fuzz_targets=$(sed -n 's/^kiv_fuzz_target(\([a-z_0-9]*\) .*/\1/p' tests/fuzz/CMakeLists.txt)
    targets=""
    for target in $fuzz_targets; do
        targets="$targets fuzz_$target"
    done
    step fuzz-build "clang, libFuzzer" env CC=clang CXX=clang++ sh -c \
        "cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo $launcher -DKIV_FUZZ=ON && cmake --build build-fuzz -j$jobs --target$targets"
    for target in $fuzz_targets; do
        max_len=$(sed -n "s/^kiv_fuzz_target($target MAX_LEN \([0-9]*\).*/\1/p" tests/fuzz/CMakeLists.txt)
        work=build-fuzz/tests/fuzz/corpus/$target
        mkdir -p "$work"
        step "fuzz-$target" "" build-fuzz/tests/fuzz/fuzz_"$target" -max_total_time="$fuzz_seconds" -max_len="$max_len" \
            -print_final_stats=1 -artifact_prefix="$logs/$target-" "$work" "tests/fuzz/corpus/$target"
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/fuzz-$target.log")
        cov=$(grep -a -o 'cov: [0-9]* ft: [0-9]*' "$logs/fuzz-$target.log" | tail -n 1)
        sed -i "\$s/\$/${runs:-0} execs, $cov/" "$table"
    done
fi

echo
echo "Deep checks ($(( $(date +%s) - started )) s in total; logs in $logs)"
printf '%-28s %7s  %-4s  %s\n' part time result detail
cat "$table"
exit "$failed"
