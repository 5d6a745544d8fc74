#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages libzorclient0, libzorclient-dev and
# zorclient-tools: a Release build on Debian's omniORB and ACE with Debian's
# own build flags, cut into packages by cpack, then checked by lintian, which
# must find no error. Prints the paths of the packages.
# Usage: package.sh [build-dir]   (default build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}

ZORCLIENT_WITH_PACKAGING=1 bash scripts/install-deps.sh >&2
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# Installed under /usr, the library and the pkg-config file go to Debian's
# multiarch folder.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DZORCLIENT_BUILD_TESTS=OFF \
    -DZORCLIENT_DEB_PACKAGING=ON \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >&2
cmake --build "$build" -j"$(nproc)" >&2
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >&2)
# The warnings accepted here are listed, with the reason, in the README.
lintian --fail-on error --tag-display-limit 0 "$build"/*.deb >&2
ls "$PWD/$build"/*.deb
