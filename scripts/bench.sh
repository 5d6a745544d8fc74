#!/usr/bin/env bash
# Benchmarks zorclient against the hand-written ORB calls it stands for, in a
# Release build, against a private omniNames on 127.0.8.1:9999, and prints the
# table of medians, spreads and ratios. Usage: bench.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
host=127.0.8.1
build=${ZORCLIENT_BENCH_DIR:-build-bench}
work=$(mktemp -d)
# shellcheck source=naming-service.sh
source scripts/naming-service.sh
trap '[[ -n ${NAMING_SERVICE_PID:-} ]] && stop_process "$NAMING_SERVICE_PID"; rm -rf "$work"' EXIT

ZORCLIENT_WITH_BENCH=1 bash scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZORCLIENT_BUILD_BENCH=ON \
    -DZORCLIENT_BUILD_TESTS=OFF -DZORCLIENT_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target zorclient_bench >/dev/null

start_naming_service "$host" "$work" || { echo "bench: $NAMING_SERVICE_PROBLEM" >&2; exit 1; }
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
"$build/bench/zorclient_bench" "$host" "${1:-5}"
