#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages with apt-get as a user would, runs the source
# package's autopkgtests against them (autopkgtest, null runner) with
# /usr/local hidden, so only the packaged files can serve them, then removes
# and purges the packages and checks that nothing of them is left: no file,
# no package state. Needs root. Usage: check-packages.sh PACKAGE.deb...
set -euo pipefail
[[ $# -gt 0 ]] || { echo "usage: check-packages.sh PACKAGE.deb..." >&2; exit 2; }
debs=()
names=()
for deb in "$@"; do
    debs+=("$(realpath "$deb")")  # apt-get takes a package file by its path
    names+=("$(dpkg-deb -f "$deb" Package)")
done
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
# On a failure too, the machine is left without the packages.
trap 'apt-get purge -y -q "${names[@]}" >/dev/null 2>&1 || true' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

apt-get install -y -q --no-install-recommends "${debs[@]}" >/dev/null
mapfile -t installed < <(dpkg -L "${names[@]}" | sort -u)
# A copy installed under /usr/local (cmake --install) must not stand in.
unshare --mount bash -c 'mount -t tmpfs none /usr/local && exec "$@"' autopkgtest \
    autopkgtest --no-built-binaries "${debs[@]}" "$PWD" -- null ||
    fail "autopkgtest failed"

# No maintainer scripts and no conffiles: removal leaves no package state.
apt-get remove -y -q "${names[@]}" >/dev/null
for name in "${names[@]}"; do
    state=$(dpkg-query -W -f='${db:Status-Abbrev}' "$name" 2>/dev/null || true)
    [[ -z $state || $state == un* ]] || fail "$name is left in state '$state' after apt-get remove"
done
apt-get purge -y -q "${names[@]}" >/dev/null
for path in "${installed[@]}"; do
    # Folders that other packages share (/usr, /usr/lib ...) stay; anything
    # of ours must be gone.
    if [[ -e $path && ( ! -d $path || $path == *zorclient* || $path == *zor-resolve* ) ]]; then
        fail "$path is left after the purge"
    fi
done
leftovers=$(find /usr -path /usr/local -prune -o \( -name '*zorclient*' -o -name 'zor-resolve*' \) -print)
[[ -z $leftovers ]] || fail "left under /usr: $leftovers"
echo "package check passed: installed, autopkgtests passed on the packaged files alone, removed and purged clean"
