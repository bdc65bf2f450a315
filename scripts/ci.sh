#!/usr/bin/env bash
# The whole CI run: the test suite in the normal build (with the plant-life
# simulator's bounded run on it, and the archive's tests against a real S3
# gateway started for them), under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer (the presets of
# CMakePresets.json), then the Debian package and its boot under systemd in a
# container, then every fuzz target for a bounded time, then the benchmarks'
# smoke run. Stops at the first stage that fails and prints how long each
# stage took.
#
#   CI_PRESETS   presets to build and test (default "default asan tsan")
#   FUZZ_SECONDS seconds per fuzz target (default 60; 0 skips fuzzing)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
# The fuzz targets are built with clang and its libFuzzer runtime.
if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
  bash scripts/deps.sh clang-14 libclang-rt-14-dev
fi

timings=()
passed=0
failed=0
report_timings() {
  echo "=== CI stages"
  printf '%s\n' "${timings[@]}"
  echo "total                  ${SECONDS}s"
  # One closing line over every ctest run of the three builds.
  echo "tests: $passed passed, $failed failed"
}
trap 'stop_hogs; bash scripts/s3_gateway.sh stop build-ci-default/s3-gateway; report_timings' EXIT
stage() {
  local name=$1
  shift
  local start=$SECONDS
  echo "=== $name"
  "$@"
  timings+=("$(printf '%-22s %4ds' "$name" $((SECONDS - start)))")
}

# Passing tests are left out of the log; failing ones come with their output.
# Arguments after the preset go to ctest.
run_tests() {
  local log
  log=$(mktemp)
  local status=0
  ctest --preset "$@" >"$log" 2>&1 || status=$?
  grep -vE '^ +Start +[0-9]+: |Passed +[0-9.]+ sec$' "$log" || true
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  return $status
}

# The container stage's exit 77 is a skip: said, and counted as neither.
run_container_stage() {
  local status=0
  bash tests/packaging/container_test.sh build-deb/package/ovretain_*.deb build-deb/container || status=$?
  case $status in
    0) passed=$((passed + 1)) ;;
    77) ;;
    *) failed=$((failed + 1)); return "$status" ;;
  esac
}

# The end-to-end, crash and fault suites once more while both cores are kept
# busy by two spinning shells: a test that passes only on a quiet machine (or
# only on a busy one) fails one of the two runs.
hogs=()
stop_hogs() {
  if ((${#hogs[@]})); then
    kill "${hogs[@]}" 2>/dev/null || true
    wait "${hogs[@]}" 2>/dev/null || true
  fi
  hogs=()
}
run_tests_busy() {
  local i
  for i in 1 2; do
    (while :; do :; done) &
    hogs+=($!)
  done
  local status=0
  run_tests "$1" -R '^(ServiceTest|Service/|ThreadsTest|Threads/|CrashTest|Crash/|FaultRuns|Fault/|FaultInputs|Inputs/|Ovnode)' ||
    status=$?
  stop_hogs
  return $status
}

# Counted as one test: passed when no history failed.
run_simulation() {
  local status=0
  bash scripts/simulate.sh --bin build-ci-default/bin --seeds-file tests/sim/seeds.txt --steps 2000 \
    --seed "${SIM_SEED:-2000000}" --minutes 4.5 --shrink-seconds 40 --jobs 2 --out build-ci-default/simulate || status=$?
  if ((status == 0)); then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  return $status
}

# The archive's tests against a real S3 store: a one-node Ceph cluster with
# its gateway on loopback (about 2 s to start), started once here and
# stopped by its recorded pids whatever the tests do. Where it cannot start
# the script says why and the tests skip, saying so too.
run_store_tests() {
  local dir=build-ci-default/s3-gateway status=0
  bash scripts/deps.sh ceph-mon ceph-osd radosgw ceph-common
  if bash scripts/s3_gateway.sh start "$dir" >/dev/null; then
    set -a
    # shellcheck disable=SC1091
    . "$dir/env"
    set +a
  else
    echo "archive store: the gateway did not start; the Archive tests skip"
  fi
  run_tests "$1" -R '^Archive\.' || status=$?
  bash scripts/s3_gateway.sh stop "$dir"
  unset OVRT_S3_ENDPOINT OVRT_S3_BUCKET OVRT_S3_ACCESS_KEY OVRT_S3_SECRET_FILE OVRT_S3_DIR
  return $status
}

# Every C++ source keeps the checked-in .clang-format style.
check_format() {
  bash scripts/deps.sh clang-format
  git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
}
stage "format" check_format

# The sanitizers' reports end the test that triggers them (halt_on_error):
# the options are in the test presets. ctest's own -j2 matches CI's cores.
for preset in ${CI_PRESETS:-default asan tsan}; do
  stage "configure $preset" cmake --preset "$preset" >/dev/null
  stage "build $preset" cmake --build --preset "$preset"
  stage "test $preset" run_tests "$preset"
  if [ "$preset" = default ]; then
    stage "test busy machine" run_tests_busy "$preset"
    # The plant-life simulator on the normal build: the regression seeds, then
    # histories from SIM_SEED (a fixed block by default, so that a red run
    # replays; scripts/simulate.sh --minutes 60 explores fresh ones) up to
    # 2,000 steps, bounded to about five minutes.
    stage "simulate" run_simulation
    stage "archive store" run_store_tests "$preset"
  fi
done

# The package, built with Debian's hardening flags and checked with dpkg-deb
# and lintian (installed for it here); then booted under a real systemd in a
# Debian 12 container (its root is kept in build-deb/container, so only the
# first run pays for debootstrap). The container stage skips, saying why,
# where the machine cannot boot one.
if [[ " ${CI_PRESETS:-default asan tsan} " == *" default "* ]]; then
  bash scripts/deps.sh lintian
  stage "package" bash scripts/package.sh
  bash scripts/deps.sh debootstrap systemd-container procps
  stage "systemd container" run_container_stage
fi

if [ "${FUZZ_SECONDS:-60}" != 0 ]; then
  stage "fuzz" env FUZZ_SECONDS="${FUZZ_SECONDS:-60}" bash scripts/fuzz.sh
fi

if [ -x scripts/bench.sh ] || [ -f scripts/bench.sh ]; then
  stage "bench smoke" bash scripts/bench.sh --smoke
fi
