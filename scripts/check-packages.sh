#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages with apt-get as a user would, builds the
# consumer example against the installed files only (through find_package and
# through pkg-config), runs it, zor-resolve --help and man -w zor-resolve,
# then purges the packages and checks that nothing of them is left under
# /usr. Needs root. Usage: check-packages.sh PACKAGE.deb...
set -euo pipefail
[[ $# -gt 0 ]] || { echo "usage: check-packages.sh PACKAGE.deb..." >&2; exit 2; }
debs=()
names=()
for deb in "$@"; do
    debs+=("$(realpath "$deb")")  # apt-get takes a package file by its path
    names+=("$(dpkg-deb -f "$deb" Package)")
done
cd "$(dirname "$0")/.."
work=$(mktemp -d)
# On a failure too, the machine is left without the packages.
trap 'rm -rf "$work"; apt-get purge -y -q "${names[@]}" >/dev/null 2>&1 || true' EXIT
export DEBIAN_FRONTEND=noninteractive
fail() { echo "package check: $*" >&2; exit 1; }

apt-get install -y -q --no-install-recommends "${debs[@]}" >/dev/null
mapfile -t installed < <(dpkg -L "${names[@]}" | sort -u)

host=127.3.0.2  # nothing listens here: both lookups come back nil
cmake -S examples/consumer -B "$work/consumer" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/zorclient_consumer" "$host"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/consumer-pc" examples/consumer/main.cpp $(pkg-config --cflags --libs zorclient)
"$work/consumer-pc" "$host"
for consumer in "$work/consumer/zorclient_consumer" "$work/consumer-pc"; do
    ldd "$consumer" | grep -qE "libzorclient.so.0 => (/usr)?/lib/" ||
        fail "$consumer does not use the installed libzorclient"
done
zor-resolve --help | grep -q "^usage: zor-resolve" || fail "zor-resolve --help"
man -w zor-resolve

apt-get purge -y -q "${names[@]}" >/dev/null
for path in "${installed[@]}"; do
    # Folders that other packages share (/usr, /usr/lib ...) stay; anything
    # of ours must be gone.
    if [[ -e $path && ( ! -d $path || $path == *zorclient* || $path == *zor-resolve* ) ]]; then
        fail "$path is left after the purge"
    fi
done
leftovers=$(find /usr -name '*zorclient*' -o -name 'zor-resolve*' | head)
[[ -z $leftovers ]] || fail "left under /usr: $leftovers"
echo "package check passed: installed, used through find_package and pkg-config, purged clean"
