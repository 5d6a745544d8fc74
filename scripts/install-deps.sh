#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs, from Debian, whatever the build, the tests and the demo need and
# this machine lacks. Needs root (or sudo) only when something is missing.
set -euo pipefail

# nftables: the tests cut naming servers off as after a pulled cable (as root,
# in a network namespace of their own).
packages=(g++ cmake make pkgconf iproute2 libace-dev libidn2-dev libomniorb4-dev omniidl
          omniorb-nameserver libgtest-dev nftables)
[[ "${ZORCLIENT_WITH_BENCH:-0}" == 1 ]] && packages+=(libbenchmark-dev)
[[ "${ZORCLIENT_WITH_CHECKS:-0}" == 1 ]] &&
    packages+=(valgrind clang libclang-rt-14-dev clang-tidy clang-format cppcheck abigail-tools)
# What scripts/package.sh and check-packages.sh need: Debian's packaging tools
# and the source package's own build dependencies.
[[ "${ZORCLIENT_WITH_PACKAGING:-0}" == 1 ]] &&
    packages+=(dpkg-dev debhelper lintian autopkgtest pkgconf omniorb man-db)
# What ../shared/tao/build.sh needs to build ACE and TAO from source.
[[ "${ZORCLIENT_WITH_TAO_BUILD:-0}" == 1 ]] && packages+=(perl xz-utils)

# Node.js and npm run Mermaid's own parser over the pages' diagrams; a
# machine that has them from elsewhere keeps its own.
[[ "${ZORCLIENT_WITH_CHECKS:-0}" == 1 ]] && ! command -v npm >/dev/null && packages+=(nodejs npm)

missing=()
for package in "${packages[@]}"; do
    [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == "install ok installed" ]] ||
        missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "zorclient: installing ${missing[*]}"
sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
