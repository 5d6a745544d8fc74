#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs each entry-point and fault test case under valgrind memcheck, each in a
# process of its own as under ctest, and fails on any memory error or on any
# byte definitely or indirectly lost. Usage: check-memory.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

ZORCLIENT_WITH_CHECKS=1 bash scripts/install-deps.sh
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target entry_points_test faults_test >/dev/null

for binary in "$build/tests/entry_points_test" "$build/tests/faults_test"; do
    listing=$("$binary" --gtest_list_tests)
    mapfile -t cases < <(awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}' <<<"$listing")
    [[ ${#cases[@]} -gt 0 ]] || { echo "memcheck: no test cases in $binary"; exit 1; }
    for case in "${cases[@]}"; do
        valgrind --quiet --error-exitcode=9 --leak-check=full --show-leak-kinds=definite,indirect \
            --errors-for-leak-kinds=definite,indirect \
            --suppressions=tests/sanitizers/valgrind.supp \
            "$binary" --gtest_filter="$case" >"$build/memcheck.log" 2>&1 ||
            { cat "$build/memcheck.log"; echo "memcheck: $case FAILED"; exit 1; }
        echo "memcheck: $case clean"
    done
done
