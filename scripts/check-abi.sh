#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares the ABI of the shared object in a build tree with the description
# stored for its SONAME in abi/ (libabigail: abidw wrote it, abidiff compares),
# and fails on any change to the exported functions or to the types they take
# and return, omniORB's and the standard library's included. A break comes
# with a new SONAME, and that SONAME's description is committed with it; an
# addition rewrites the description in the commit that makes it.
# The omniORB build is described, as the Debian packages ship it.
#   check-abi.sh [BUILD-DIR]            compare (default: build)
#   check-abi.sh --write [BUILD-DIR]    store the build's description
set -euo pipefail
cd "$(dirname "$0")/.."
write=0
if [[ ${1:-} == --write ]]; then
    write=1
    shift
fi
build=${1:-build}
library=$build/exports/libzorclient.so
[[ -f $library ]] || { echo "check-abi: no $library; build first" >&2; exit 2; }
# Without debug information libabigail sees the symbols but not their types:
# a changed parameter would pass unseen.
if ! readelf -S --wide "$library" | awk '/ \.debug_info / { found = 1 } END { exit !found }'; then
    echo "check-abi: $library has no debug information, so its types cannot be compared;" \
        "build it with -g (CMAKE_BUILD_TYPE=RelWithDebInfo or Debug) and run the check again" >&2
    exit 2
fi
soname=$(objdump -p "$library" | sed -n 's/^ *SONAME *//p')
baseline=abi/$soname.abi
describe() {
    abidw --no-corpus-path --no-show-locs --no-comp-dir-path --drop-undefined-syms "$library"
}

if [[ $write -eq 1 ]]; then
    mkdir -p abi
    describe >"$baseline"
    echo "check-abi: wrote $baseline"
    exit 0
fi
if [[ ! -f $baseline ]]; then
    echo "check-abi: no description of $soname in abi/: a new SONAME needs one, written with" \
        "'scripts/check-abi.sh --write $build' and committed with the change" >&2
    exit 1
fi
status=0
report=$(abidiff "$baseline" "$library") || status=$?
if [[ $status -ne 0 ]]; then
    printf '%s\n' "$report" >&2
    echo "check-abi: the ABI of $soname differs from $baseline (abidiff status $status):" \
        "a break takes a new SONAME (ZORCLIENT_SOVERSION), an addition a new description" >&2
    exit 1
fi
echo "check-abi: $soname matches $baseline"
