#!/usr/bin/env bash
# The long soak: the real ovretain for a set time under two clients writing
# Save and Load as fast as they can and a third changing values
# (tests/e2e/soak_test.cpp; CI runs it for a few seconds in the test suite).
# Checks that the service stays up, its private memory does not grow, every
# retain file in place is complete, and it stops cleanly.
#
#   scripts/soak.sh [seconds]    default 60
#   PRESET   build to use: default (the default), asan or tsan
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
preset=${PRESET:-default}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target soak_test ovretain ovnode
build=$(sed -n 's/^CMAKE_CACHEFILE_DIR:INTERNAL=//p' "build-ci-$preset/CMakeCache.txt")
OVRT_SOAK_SECONDS=$seconds "$build/bin/soak_test" --gtest_color=no
