#!/usr/bin/env bash
# Builds and runs the whole test suite: the normal build, the same suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, and a short run of every fuzz target.
#
# Usage: tools/run-tests.sh [--quick]   (--quick: normal build only)
set -euo pipefail
quick=""
case ${1:-} in
"") ;;
--quick) quick=1 ;;
-h | --help)
    sed -n '2,7s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
*)
    echo "run-tests.sh: unknown option \"$1\" (see --help)" >&2
    exit 2
    ;;
esac
if [ $# -gt 1 ]; then
    echo "run-tests.sh: one option at most (see --help)" >&2
    exit 2
fi
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=$(nproc)
export QT_QPA_PLATFORM=offscreen
export AVAHI_COMPAT_NOWARN=1
export CTEST_OUTPUT_ON_FAILURE=1
RUNTIME=$(mktemp -d /tmp/pallorwind-xdg.XXXXXX)
chmod 700 "$RUNTIME"
export XDG_RUNTIME_DIR=$RUNTIME
trap 'rm -rf "$RUNTIME"' EXIT

build() { # dir, extra cmake args...
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

summary=()
passed_total=0
failed_total=0
run_ctest() { # name, dir, extra ctest args...
    local name=$1 dir=$2 log status=0
    shift 2
    echo "=== $name ==="
    log=$(mktemp)
    (cd "$dir" && ctest -j "$JOBS" --timeout 600 "$@") 2>&1 | tee "$log" || status=$?
    # "100% tests passed, 0 tests failed out of 137"
    local counts
    counts=$(sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' "$log" | tail -1)
    rm -f "$log"
    if [ -n "$counts" ]; then
        set -- $counts
        failed_total=$((failed_total + $1))
        passed_total=$((passed_total + $2 - $1))
    fi
    if [ "$status" -eq 0 ]; then
        summary+=("$name: ok")
    else
        summary+=("$name: FAILED")
        failed=1
    fi
}

failed=0
build build
run_ctest "tests" build

if [ -z "$quick" ]; then
    build build-asan -DPALLORWIND_SANITIZE=address
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest "tests under ASan+UBSan" build-asan

    build build-tsan -DPALLORWIND_SANITIZE=thread
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        run_ctest "threaded tests under TSan" build-tsan -L threads

    CC=clang CXX=clang++ build build-fuzz -DPALLORWIND_FUZZ=ON
    run_ctest "fuzz targets" build-fuzz
fi

printf '%s\n' "${summary[@]}"
echo "total: $passed_total passed, $failed_total failed"
exit $failed
