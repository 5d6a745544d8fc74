#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer target with Clang, AddressSanitizer and UBSan and runs
# it from the corpus in tests/fuzz/corpus for a bounded time (default 60 s).
# New inputs go to a temporary folder, not into the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${ZORCLIENT_FUZZ_DIR:-build-fuzz}
ZORCLIENT_WITH_CHECKS=1 bash scripts/install-deps.sh
CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORCLIENT_BUILD_FUZZ=ON \
    -DZORCLIENT_BUILD_TESTS=OFF -DZORCLIENT_BUILD_TOOLS=OFF -DZORCLIENT_BUILD_EXAMPLES=OFF -DZORCLIENT_INSTALL=OFF \
    -DZORCLIENT_SANITIZE=fuzzer-no-link,address,undefined >/dev/null
cmake --build "$build" -j"$(nproc)" --target naming_fuzz >/dev/null
found=$(mktemp -d)
trap 'rm -rf "$found"' EXIT
"$build/tests/fuzz/naming_fuzz" -artifact_prefix="$build/" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    "$found" tests/fuzz/corpus 2>&1 | tail -n 12
echo "fuzz: ${seconds}s without a finding"
