#!/bin/sh
# Line, branch and function coverage of src/kivd by the unit and system tests (as root, like them).
#   tools/coverage.sh [-B BUILD_DIR] [-n] [CTEST_ARGS...]
# Builds with -DKIV_COVERAGE=ON in build-coverage/ (or BUILD_DIR), runs `ctest -L 'unit|system'` and
# prints a per-file table, then the totals. -n skips the build and the tests and reports the
# counters of the last run. Counters of every process, including the daemon inside the device
# sandbox and the programs tests run as nobody, go to BUILD_DIR/gcov-prefix (GCOV_PREFIX), whose
# folders anyone may write; they are then added to the build tree's counters (gcov-tool merge). Radio scenarios run in a guest that cannot write to this machine: not
# counted.
set -eu
cd "$(dirname "$0")/.."
source_dir=$(pwd)
build=build-coverage
run=1
while getopts B:n opt; do
    case $opt in
    B) build=$OPTARG ;;
    n) run="" ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
command -v gcovr >/dev/null || { echo "coverage: gcovr is not installed (apt-get install gcovr)" >&2; exit 1; }
mkdir -p "$build"
build=$(cd "$build" && pwd)
prefix=$build/gcov-prefix
report=$build/coverage

if [ -n "$run" ]; then
    launcher=""
    command -v ccache >/dev/null && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
    # shellcheck disable=SC2086
    cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKIV_COVERAGE=ON $launcher >/dev/null
    cmake --build "$build" -j"$(nproc)"
    find "$build" -name '*.gcda' -delete
    rm -rf "$prefix"
    # The prefix mirrors the build tree's object folders; GCOV_PREFIX_STRIP drops the build path.
    find "$build" -name '*.gcno' -printf '%h\n' | sort -u | while read -r dir; do
        mkdir -p "$prefix${dir#"$build"}"
    done
    chmod -R a+rwx "$prefix"
    strip=$(echo "$build" | tr -cd / | wc -c)
    status=0
    (umask 000 && GCOV_PREFIX=$prefix GCOV_PREFIX_STRIP=$strip \
        ctest --test-dir "$build" -L 'unit|system' -j2 --output-on-failure "$@") || status=$?
    [ "$status" -eq 0 ] || echo "coverage: some tests failed (status $status); the figures count what ran" >&2
fi

# Counters from the prefix go back into the build tree, added to any written there directly.
find "$prefix" -name '*.gcda' 2>/dev/null | while read -r counters; do
    target=$build${counters#"$prefix"}
    if [ -e "$target" ]; then
        merge=$(mktemp -d)
        mkdir "$merge/a" "$merge/b"
        cp "$counters" "$merge/a/" && cp "$target" "$merge/b/"
        gcov-tool merge -o "$merge/out" "$merge/a" "$merge/b" && cp "$merge/out/$(basename "$target")" "$target"
        rm -rf "$merge"
    else
        cp "$counters" "$target"
    fi
    rm -f "$counters"
done
rm -rf "$report"
mkdir -p "$report"
# gcov runs from each target's own build folder, which relative source paths (ccache) start from.
tracefiles=""
part=0
for dir in $(find "$build" -path "$prefix" -prune -o -name '*.gcda' -print | sed 's|/CMakeFiles/.*||' | sort -u); do
    part=$((part + 1))
    gcovr -r "$source_dir" --filter "$source_dir/src/kivd/" --object-directory "$dir" \
        --json "$report/part$part.json" "$dir/CMakeFiles"
    tracefiles="$tracefiles -a $report/part$part.json"
done
[ -n "$tracefiles" ] || { echo "coverage: no counters found under $build" >&2; exit 1; }
# shellcheck disable=SC2086
gcovr -r "$source_dir" $tracefiles --json-summary "$report/summary.json"
python3 - "$report/summary.json" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
def pct(c, t):
    return "%6.1f%%" % (100.0 * c / t) if t else "     -"
print("%-34s %16s %16s %16s" % ("file", "lines", "branches", "functions"))
for f in sorted(s["files"], key=lambda f: f["filename"]):
    print("%-34s %s %7s %s %7s %s %7s" % (
        f["filename"].replace("src/kivd/", ""),
        pct(f["line_covered"], f["line_total"]), "%d/%d" % (f["line_covered"], f["line_total"]),
        pct(f["branch_covered"], f["branch_total"]), "%d/%d" % (f["branch_covered"], f["branch_total"]),
        pct(f["function_covered"], f["function_total"]), "%d/%d" % (f["function_covered"], f["function_total"])))
print("%-34s %s %7s %s %7s %s %7s" % (
    "TOTAL",
    pct(s["line_covered"], s["line_total"]), "%d/%d" % (s["line_covered"], s["line_total"]),
    pct(s["branch_covered"], s["branch_total"]), "%d/%d" % (s["branch_covered"], s["branch_total"]),
    pct(s["function_covered"], s["function_total"]), "%d/%d" % (s["function_covered"], s["function_total"])))
PY
