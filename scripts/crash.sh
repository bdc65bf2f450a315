#!/usr/bin/env bash
# The long crash run: the real ovretain killed with SIGKILL hundreds of times
# while it saves in a loop, with and without UseBackup, while it writes new
# layout records, and with the journal, UseBackup, AutoLoad and Migrate on
# across layout flips (tests/e2e/crash_test.cpp; CI runs a few dozen kills of
# each case as part of the test suite).
#
#   scripts/crash.sh [kills per case]    default 200 (200 a case, half that
#                                        for the layout-record case: 800 kills
#                                        in all, 200 with every protection on)
#   PRESET   build to use: default (the default), asan or tsan
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-200}
preset=${PRESET:-default}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target crash_test ovretain ovnode
build=$(sed -n 's/^CMAKE_CACHEFILE_DIR:INTERNAL=//p' "build-ci-$preset/CMakeCache.txt")
OVRT_CRASH_ITERATIONS=$kills "$build/bin/crash_test" --gtest_color=no
