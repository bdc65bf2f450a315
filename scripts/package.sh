#!/usr/bin/env bash
# Builds the Debian package ovretain_<version>_<arch>.deb from the normal
# build (preset "default", build-ci-default) and checks it
# (tests/packaging/verify_deb.sh: contents, stripped programs, lintian where
# installed, the programs run from a scratch root). The package is left in
# build-ci-default/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
rm -rf build-ci-default/package
(cd build-ci-default && cpack -G DEB -B package >/dev/null)
deb=$(ls build-ci-default/package/ovretain_*.deb)
bash tests/packaging/verify_deb.sh "$deb"
echo "built $deb"
