#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the upstream tarball that the Debian source package is built from:
# the committed tree without debian/, as zorclient_<version>.orig.tar.gz in
# DIR (default: the folder above the tree, where dpkg-buildpackage looks).
# The same commit always gives the same tarball. Prints its path.
# Usage: orig-tarball.sh [DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(dpkg-parsechangelog -SVersion)
upstream=${version%-*}
tarball=$(realpath "${1:-..}")/zorclient_$upstream.orig.tar.gz
git archive --format=tar.gz --prefix="zorclient-$upstream/" -o "$tarball" HEAD -- . ':(exclude)debian'
echo "$tarball"
