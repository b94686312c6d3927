#!/usr/bin/env bash
# Builds an optimised tree and runs every benchmark in one go, or those named
# (bench/run.sh midi runs bench_midi). Each prints its figures against a
# reference measured in the same run.
# Usage: bench/run.sh [--quick] [NAME...]   (--quick: shorter runs)
set -euo pipefail
quick=()
only=()
for arg in "$@"; do
    case $arg in
    --quick) quick=(--quick) ;;
    -h | --help)
        sed -n '2,5s/^# \{0,1\}//p' "$0"
        exit 0
        ;;
    -*)
        echo "bench/run.sh: unknown option \"$arg\" (see --help)" >&2
        exit 2
        ;;
    *) only+=("$arg") ;;
    esac
done
cd "$(dirname "$0")/.."
log=$(mktemp /tmp/pallorwind-bench-build.XXXXXX)
trap 'rm -f "$log"' EXIT
# The build's output is shown only when it fails, and then all of it.
build() {
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        echo "bench/run.sh: failed: $*" >&2
        exit 1
    fi
}
build cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release
build cmake --build build-bench -j "$(nproc)"
export AVAHI_COMPAT_NOWARN=1 QT_QPA_PLATFORM=offscreen
status=0
# Only the benchmark programs themselves: regular executable files named
# bench_* (not the *_autogen folders beside them).
for bench in build-bench/bench/*/bench_*; do
    [ -f "$bench" ] && [ -x "$bench" ] || continue
    name=$(basename "$bench")
    if [ ${#only[@]} -gt 0 ] && ! printf '%s\n' "${only[@]}" | grep -qx "${name#bench_}"; then
        continue
    fi
    echo "=== $name ==="
    rc=0
    case "$name" in
    bench_zip) "$bench" $([ ${#quick[@]} -gt 0 ] && echo "--mb 40 --runs 3") || rc=$? ;;
    *) "$bench" "${quick[@]}" || rc=$? ;;
    esac
    if [ "$rc" -ne 0 ]; then
        echo "bench/run.sh: $name exited with status $rc" >&2
        status=1
    fi
    echo
done
exit "$status"
