#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, the address/
# undefined-behaviour and thread sanitizer builds, the fuzz targets for a
# bounded time and the benchmarks' smoke run (scripts/ci.sh). CI runs this.
#
#   scripts/test.sh --quick   only the normal build's tests (about a minute)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--quick" ]; then
  bash scripts/deps.sh
  build=${BUILD_DIR:-build}
  cmake -S . -B "$build" -G Ninja -DOVRT_WERROR=ON >/dev/null
  cmake --build "$build"
  exec ctest --test-dir "$build" --output-on-failure -j2 --timeout 300
fi
exec bash scripts/ci.sh
