#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, the address/
# undefined-behaviour and thread sanitizer builds, the fuzz targets for a
# bounded time and the benchmarks' smoke run (scripts/ci.sh). CI runs this.
#
#   scripts/test.sh --quick   only the normal build (preset default) and its tests
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--quick" ]; then
  bash scripts/deps.sh
  cmake --preset default >/dev/null
  cmake --build --preset default
  exec ctest --preset default
fi
exec bash scripts/ci.sh
