#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (preset "fuzz": clang, address and
# undefined sanitizers) and runs each one for a bounded time on a working copy
# of its seed corpus (fuzz/corpus/<target>/) and its past failures
# (fuzz/regressions/<target>/).
#
#   scripts/fuzz.sh [target...]      all targets when none is named
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_JOBS      libFuzzer processes per target (default 1)
#
# An input that fails is kept in build-ci-fuzz/artifacts/<target>/ and the
# script exits 1. Copy it into fuzz/regressions/<target>/ (the ctest entry
# FuzzReplay.<target> then runs it in every build) and fix the fault.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-1}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
build=$root/build-ci-fuzz

targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in "$build"/bin/*_fuzzer; do
    [ -x "$f" ] && targets+=("$(basename "$f" _fuzzer)")
  done
fi

failed=()
for t in "${targets[@]}"; do
  work=$build/corpus/$t
  artifacts=$build/artifacts/$t
  mkdir -p "$work" "$artifacts"
  cp -n "$root/fuzz/corpus/$t/"* "$work/" 2>/dev/null || true
  [ -d "$root/fuzz/regressions/$t" ] && cp -n "$root/fuzz/regressions/$t/"* "$work/" 2>/dev/null || true
  parallel=()
  # (with several jobs libFuzzer writes fuzz-N.log into the working directory)
  if ((jobs > 1)); then parallel=(-jobs="$jobs" -workers="$jobs"); fi
  dict=()
  [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
  echo "--- fuzz $t for ${seconds}s"
  # Leaks are the replay tests' business (LeakSanitizer runs there); here
  # they would only stop the search. Sanitizer findings still end the run.
  if ! (cd "$build" && ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/bin/${t}_fuzzer" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
      -max_len=4096 -print_final_stats=1 "${parallel[@]}" \
      -artifact_prefix="$artifacts/" "$work") >"$build/fuzz-$t.log" 2>&1; then
    failed+=("$t")
    tail -n 60 "$build/fuzz-$t.log"
    echo "!!! $t failed; the input is in $artifacts/"
  else
    grep -E "^stat::(number_of_executed_units|new_units_added)|^#[0-9]+ +DONE" "$build/fuzz-$t.log" | tr '\n' ' '
    echo
  fi
done
((${#failed[@]} == 0)) || { echo "fuzz failures: ${failed[*]}"; exit 1; }
