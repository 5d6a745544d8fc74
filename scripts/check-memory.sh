#!/usr/bin/env bash
# Runs each entry-point and fault test case under valgrind memcheck, each in a process of
# its own as under ctest, and fails on any memory error or on any byte
# definitely or indirectly lost. Usage: check-memory.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

for binary in "$build/tests/entry_points_test" "$build/tests/faults_test"; do
    mapfile -t cases < <("$binary" --gtest_list_tests | awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}')
    for case in "${cases[@]}"; do
        valgrind --quiet --error-exitcode=9 --leak-check=full --show-leak-kinds=definite,indirect \
            --errors-for-leak-kinds=definite,indirect \
            --suppressions=tests/sanitizers/valgrind.supp \
            "$binary" --gtest_filter="$case" >"$build/memcheck.log" 2>&1 ||
            { cat "$build/memcheck.log"; echo "memcheck: $case FAILED"; exit 1; }
        echo "memcheck: $case clean"
    done
done
