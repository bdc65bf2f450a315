#!/usr/bin/env bash
# Builds the Debian package ovretain_<version>_<arch>.deb and checks it
# (tests/packaging/verify_deb.sh: contents, stripped and hardened programs,
# the maintainer scripts, lintian where installed, the programs run from a
# scratch root). The programs are built as Debian builds its packages: the
# preset "package" (build-deb, no tests) with the compiler and linker flags
# of dpkg-buildflags and every hardening feature (PIE, relro, bindnow,
# fortify, stack protector). The package is left in build-deb/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
flag() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
# CMake reads no CPPFLAGS: the preprocessor's flags (_FORTIFY_SOURCE) go
# with the compiler's.
cmake --preset package \
  -DCMAKE_C_FLAGS="$(flag CFLAGS) $(flag CPPFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(flag CXXFLAGS) $(flag CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flag LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(flag LDFLAGS)" >/dev/null
cmake --build --preset package
rm -rf build-deb/package
(cd build-deb && cpack -G DEB -B package >/dev/null)
deb=$(ls build-deb/package/ovretain_*.deb)
bash tests/packaging/verify_deb.sh --hardened "$deb"
echo "built $deb"
