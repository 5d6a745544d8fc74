#!/usr/bin/env bash
# Benchmarks zorclient against the hand-written ORB calls it stands for, in a
# Release build, against a private omniNames on 127.0.8.1:9999, and prints the
# table of medians, spreads and ratios. With ZORCLIENT_TAO_ROOT set to a TAO
# prefix, the same cases then run on a TAO build too, in the same run.
# Usage: bench.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
host=127.0.8.1
rounds=${1:-5}
work=$(mktemp -d)
# shellcheck source=naming-service.sh
source scripts/naming-service.sh
trap '[[ -n ${NAMING_SERVICE_PID:-} ]] && stop_process "$NAMING_SERVICE_PID"; rm -rf "$work"' EXIT

ZORCLIENT_WITH_BENCH=1 bash scripts/install-deps.sh

# build_bench DIR [CMAKE-ARGS...]
build_bench() {
    local build=$1
    shift
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZORCLIENT_BUILD_BENCH=ON \
        -DZORCLIENT_BUILD_TESTS=OFF -DZORCLIENT_BUILD_TOOLS=OFF "$@" >/dev/null
    cmake --build "$build" -j"$(nproc)" --target zorclient_bench >/dev/null
}

builds=("${ZORCLIENT_BENCH_DIR:-build-bench}")
build_bench "${builds[0]}"
if [[ -n ${ZORCLIENT_TAO_ROOT:-} ]]; then
    builds+=("${ZORCLIENT_BENCH_DIR:-build-bench}-tao")
    build_bench "${builds[1]}" -DZORCLIENT_ORB=TAO -DTAO_ROOT="$ZORCLIENT_TAO_ROOT"
fi

start_naming_service "$host" "$work" || { echo "bench: $NAMING_SERVICE_PROBLEM" >&2; exit 1; }
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
for build in "${builds[@]}"; do
    orb=$(sed -n 's/^ZORCLIENT_ORB:STRING=//p' "$build/CMakeCache.txt")
    echo "== zorclient on $orb"
    "$build/bench/zorclient_bench" "$host" "$rounds" >"$work/bench.out" 2>"$work/bench.err" ||
        { cat "$work/bench.err" "$work/bench.out" >&2; exit 1; }
    sed -n '/^case /,$p' "$work/bench.out"
done
