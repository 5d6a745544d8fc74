#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs a built tree into a temporary prefix, then builds and runs the
# consumer example against it twice: through find_package, and through
# pkg-config once the install is moved to another prefix; and once more with zorclient added from source through
# add_subdirectory. Usage: check-install.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix"
export LD_LIBRARY_PATH="$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
host=127.3.0.1  # nothing listens here: both lookups must come back nil

cmake -S examples/consumer -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$prefix/consumer"
"$prefix/consumer/zorclient_consumer" "$host"

# An install moved to another prefix is found through pkg-config alone.
moved=$prefix/moved
mkdir "$moved"
mv "$prefix/include" "$prefix/lib" "$moved/"
export LD_LIBRARY_PATH="$moved/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export PKG_CONFIG_PATH="$moved/lib/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$prefix/consumer-pc" examples/consumer/main.cpp \
    $(pkg-config --cflags --libs zorclient)
"$prefix/consumer-pc" "$host"
# The subproject builds on the same ORB as the build tree.
orb_args=("-DZORCLIENT_ORB=$(sed -n 's/^ZORCLIENT_ORB:STRING=//p' "$build/CMakeCache.txt")")
tao_root=$(sed -n 's/^TAO_ROOT:PATH=//p' "$build/CMakeCache.txt")
[[ -n $tao_root ]] && orb_args+=("-DTAO_ROOT=$tao_root")
cmake -S examples/subproject -B "$prefix/subproject" "${orb_args[@]}" >/dev/null
# The library alone needs neither an IDL compiler nor GoogleTest.
if grep -E '^(ZORCLIENT_IDL_COMPILER|GTest_DIR):' "$prefix/subproject/CMakeCache.txt"; then
    echo "install check: the add_subdirectory build looked for what only the examples and tests need"
    exit 1
fi
cmake --build "$prefix/subproject" -j"$(nproc)" >/dev/null
"$prefix/subproject/zorclient_subproject" "$host"
echo "install check passed: find_package, pkg-config and add_subdirectory consumers built and ran"
