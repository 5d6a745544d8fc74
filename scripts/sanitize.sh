#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole test suite under AddressSanitizer + UndefinedBehaviorSanitizer
# (LeakSanitizer on), and the concurrent tests under ThreadSanitizer. Our code
# is instrumented; the ORB and ACE come uninstrumented from the system.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

run_suite() {
    local build=$1 sanitize=$2 filter=$3
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZORCLIENT_SANITIZE="$sanitize" \
        -DZORCLIENT_WARNINGS_AS_ERRORS=ON -DZORCLIENT_INSTALL=OFF >/dev/null
    cmake --build "$build" -j"$(nproc)" >/dev/null
    # One test at a time: the instrumented timing tests keep their slack only
    # without another instrumented test beside them.
    ctest --test-dir "$build" --output-on-failure -R "$filter"
}

run_suite build-asan address,undefined '.'
run_suite build-tsan thread 'Stress|Concurrency|Racing|OrbLoop|EntryPoints|Faults|Takeover|SlowLink|NameWithTwoAddresses'
