#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds with warnings as errors and runs every test.
# The tests start their own omniNames servers on loopback addresses.
# Extra configure options come from ZORCLIENT_CMAKE_ARGS, e.g. for a TAO build:
#   ZORCLIENT_CMAKE_ARGS="-DZORCLIENT_ORB=TAO -DTAO_ROOT=/opt/tao" ZORCLIENT_BUILD_DIR=build-tao
# (add ZORCLIENT_TEST_TAO_COSNAMING=/opt/tao/bin/tao_cosnaming to test against
# TAO's naming service instead of omniNames).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ZORCLIENT_BUILD_DIR:-build}

bash scripts/install-deps.sh
# shellcheck disable=SC2086
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORCLIENT_WARNINGS_AS_ERRORS=ON \
    ${ZORCLIENT_CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
