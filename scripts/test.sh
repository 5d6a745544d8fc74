#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test.
# The tests start their own omniNames servers on loopback addresses.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ZORCLIENT_BUILD_DIR:-build}

bash scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORCLIENT_WARNINGS_AS_ERRORS=ON
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
