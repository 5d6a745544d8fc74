#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the source package's autopkgtests against the Debian packages
# (autopkgtest, null runner, which installs them and takes them away again)
# with /usr/local hidden, so only the packaged files can serve them; then
# installs the packages with apt-get as a user would, removes and purges them
# and checks that nothing of them is left: no file, no package state.
# Needs root. Usage: check-packages.sh PACKAGE.deb...
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
log=
# On a failure too, the machine is left without the packages.
trap 'rm -f "$log"; dpkg --purge "${names[@]}" >/dev/null 2>&1 || true' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

# A copy installed under /usr/local (cmake --install) must not stand in.
log=$(mktemp)
unshare --mount bash -c 'mount -t tmpfs none /usr/local && exec "$@"' autopkgtest \
    autopkgtest --no-built-binaries "${debs[@]}" "$PWD" -- null >"$log" 2>&1 ||
    { cat "$log" >&2; fail "autopkgtest failed"; }
sed -n '/@@@@ summary/,/Binaries: resetting/{/Binaries: resetting/!p}' "$log"

# gone: nothing of the packages is left, neither a package state (they have
# no maintainer scripts and no conffiles) nor a file.
gone() {
    local name state path leftovers
    for name in "${names[@]}"; do
        state=$(dpkg-query -W -f='${db:Status-Abbrev}' "$name" 2>/dev/null || true)
        [[ -z $state || $state == un* ]] || fail "$name is left in state '$state' after apt-get $1"
    done
    for path in "${installed[@]}"; do
        # Folders that other packages share (/usr, /usr/lib ...) stay; anything
        # of ours must be gone.
        if [[ -e $path && ( ! -d $path || $path == *zorclient* || $path == *zor-resolve* ) ]]; then
            fail "$path is left after apt-get $1"
        fi
    done
    leftovers=$(find /usr -path /usr/local -prune -o \( -name '*zorclient*' -o -name 'zor-resolve*' \) -print)
    [[ -z $leftovers ]] || fail "left under /usr after apt-get $1: $leftovers"
}
for how in remove purge; do
    apt-get install -y -q --no-install-recommends "${debs[@]}" >/dev/null
    mapfile -t installed < <(dpkg -L "${names[@]}" | sort -u)
    apt-get "$how" -y -q "${names[@]}" >/dev/null
    gone "$how"
done
echo "package check passed: autopkgtests passed on the packaged files alone; removed and purged clean"
