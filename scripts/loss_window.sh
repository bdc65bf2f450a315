#!/usr/bin/env bash
# The long loss-window run: the real ovretain with AutoSave = 500 ms killed
# with SIGKILL at random moments while a client counts a node up every 10 ms;
# after each kill the retain file, and a restart's load of it, may be behind
# the count at the kill by one period and a poll at most (the
# CrashTest.AutoSaveLosesAtMostOnePeriodAndAPoll case of
# tests/e2e/crash_test.cpp, which CI runs with a few kills). Prints the
# worst and median loss.
#
#   scripts/loss_window.sh [kills]    default 500
#   PRESET   build to use: default (the default), asan or tsan
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-500}
preset=${PRESET:-default}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target crash_test ovretain ovnode
build=$(sed -n 's/^CMAKE_CACHEFILE_DIR:INTERNAL=//p' "build-ci-$preset/CMakeCache.txt")
OVRT_LOSS_KILLS=$kills "$build/bin/crash_test" --gtest_color=no --gtest_filter='CrashTest.AutoSaveLosesAtMostOnePeriodAndAPoll'
