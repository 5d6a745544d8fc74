#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian source package and its binary packages from the committed
# tree, as a packager would: the orig tarball, then dpkg-buildpackage -us -uc
# in a clean unpacked copy (dh_auto_test runs the tests), then once more with
# nocheck in another folder, whose .deb files must be identical to the first
# build's. lintian (pedantic, with info tags) must find no error and no
# warning in the first build's .changes. Prints the paths of the .deb files.
# Usage: package.sh [OUT-DIR]   (default build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-deb}")

ZORCLIENT_WITH_PACKAGING=1 bash scripts/install-deps.sh >&2
rm -rf "$out"
mkdir -p "$out/first" "$out/second"
orig=$(bash scripts/orig-tarball.sh "$out")
source_dir=$(basename "$orig" .orig.tar.gz | tr _ -)

# build DIR [DEB_BUILD_OPTIONS]: the source package unpacked in DIR and built there.
build() {
    cp "$orig" "$1/"
    tar -xzf "$orig" -C "$1"
    git archive HEAD debian | tar -x -C "$1/$source_dir"
    (cd "$1/$source_dir" && DEB_BUILD_OPTIONS=${2:-} dpkg-buildpackage -us -uc) >"$1/build.log" 2>&1 ||
        { tail -n 60 "$1/build.log" >&2; echo "package: the build in $1 failed" >&2; exit 1; }
}
build "$out/first"
build "$out/second" nocheck
for deb in "$out"/first/*.deb; do
    cmp -s "$deb" "$out/second/${deb##*/}" ||
        { echo "package: ${deb##*/} differs between two builds" >&2; exit 1; }
done
# The info tags that remain are explained in docs/packaging.md.
lintian --pedantic -I --fail-on error,warning --tag-display-limit 0 "$out"/first/*.changes >&2
ls "$out"/first/*.deb
