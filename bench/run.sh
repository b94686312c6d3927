#!/usr/bin/env bash
# Builds an optimised tree and runs every benchmark in one go. Each prints its
# figures against a reference measured in the same run.
# Usage: bench/run.sh [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j "$(nproc)" >/dev/null
export AVAHI_COMPAT_NOWARN=1 QT_QPA_PLATFORM=offscreen
quick=()
[ "${1:-}" = "--quick" ] && quick=(--quick)
for bench in build-bench/bench/*/bench_*; do
    [ -x "$bench" ] || continue
    echo "=== $(basename "$bench") ==="
    case "$(basename "$bench")" in
    bench_zip) "$bench" $([ ${#quick[@]} -gt 0 ] && echo "--mb 40 --runs 3") ;;
    *) "$bench" "${quick[@]}" ;;
    esac
    echo
done
