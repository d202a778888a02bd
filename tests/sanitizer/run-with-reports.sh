#!/bin/sh
# Runs one test of a sanitizer build (KIV_SANITIZE or KIV_TSAN). Every sanitized process it starts (the test, kivd in the
# sandbox, the tools and doubles) writes its reports under the build tree; any report fails the test.
# kivd gets a leak check on SIGTERM (leak-check-on-term.so), as it ends on that signal.
# usage: run-with-reports.sh <build-dir> <test-name> <command> [args...]
set -u
build=$1 name=$2
shift 2
dir=$build/sanitizer-reports/$name
rm -rf "$dir" && mkdir -p "$dir"
# Processes the tests run as another user (kivctl as nobody) write their reports here too.
chmod 1777 "$dir"
here=$(cd "$(dirname "$0")" && pwd)
common="log_path=$dir/report:log_exe_name=1:print_suppressions=0"
export ASAN_OPTIONS="$common:detect_leaks=1:verify_asan_link_order=0"
export UBSAN_OPTIONS="$common:print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="$common:suppressions=$here/lsan.supp"
export TSAN_OPTIONS="$common:halt_on_error=0:second_deadlock_stack=1:suppressions=$here/tsan.supp"
shim=$build/tests/sanitizer/libkiv-leak-check-on-term.so
[ ! -f "$shim" ] || export LD_PRELOAD="$shim${LD_PRELOAD:+ $LD_PRELOAD}"
"$@"
status=$?
if ls "$dir"/report.* >/dev/null 2>&1; then
    tail -n +1 "$dir"/report.*
    echo "run-with-reports: sanitizer reports above; $name fails" >&2
    [ "$status" -eq 0 ] && status=1
fi
exit "$status"
