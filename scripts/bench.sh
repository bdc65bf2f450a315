#!/usr/bin/env bash
# Builds and runs the benchmarks: save, load, layout hash, start-up, trigger
# latency, private memory and writer wait of the retain service, beside the
# one-call file limit, OpenSSL's MD5, SQLite, LMDB and Redis; autosave's and the
# change journal's CPU share and bytes written per hour side by side.
#
#   scripts/bench.sh            sizes 10k, 100k and 1M; installs the peers
#                               (SQLite, LMDB, Redis) when missing; writes
#                               bench/RESULTS.md and bench/results.json
#   scripts/bench.sh --smoke    10k nodes, a few runs, no network, no peers
#                               that are not already there; writes into the
#                               build directory only
#   --sizes N,N,...  --reps N   override the sizes and the runs per size;
#                               sizes up to 10000000, those a node space
#                               cannot hold are skipped with a line that says so
#
# The cost per node of save, load, start-up check and migration at each size
# goes into a table of its own and, drawn log-log by scripts/bench_plot.py,
# into bench/scaling.svg.
#
# BUILD_DIR (default build-bench) is configured as a Release build. Scratch
# files go to a directory under the build directory (on disk, where the
# retain file would live), removed at the end; Redis is started on 127.0.0.1 on a free port
# and stopped, whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

smoke=0
sizes=""
reps=""
while (($#)); do
  case "$1" in
    --smoke) smoke=1 ;;
    --sizes) sizes=$2; shift ;;
    --reps) reps=$2; shift ;;
    -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
    *) echo "bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

build=${BUILD_DIR:-build-bench}

if ((!smoke)); then
  # The peers, from the distribution's packages, when missing.
  bash scripts/deps.sh libsqlite3-dev libssl-dev liblmdb-dev redis-server
  # The distribution starts its own server on 6379; ours uses a port of its own.
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOVRT_WERROR=ON -DOVRT_TESTS=OFF >/dev/null
if ! cmake --build "$build" --target help | grep -q '^ovrt_bench:'; then
  echo "bench.sh: there is no ovrt_bench target (the retain module is missing)" >&2
  exit 1
fi
cmake --build "$build" --target ovrt_bench -j 2  # builds ovretain too
bin=$build/bin

# Scratch files on disk, under the build directory, in a directory of the
# benchmark's own (mode 0700) that is the drive root of every retain
# directory: as root the service vets each directory from the drive root
# down, never the checkout's path from / (which may lie in /tmp).
work=$(mktemp -d "$root/$build/ovb-XXXXXX")
memdir=""
cleanup() {
  # Stops a Redis server left behind by an interrupted run, by its pid file.
  for pidfile in "$work"/C/n*/redis/redis.pid; do
    [ -f "$pidfile" ] || continue
    pid=$(cat "$pidfile" 2>/dev/null || true)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid" 2>/dev/null || true; fi
  done
  rm -rf "$work"
  [ -z "$memdir" ] || rm -rf "$memdir"
}
trap cleanup EXIT

args=(--dir "$work")
[ -x "$bin/ovretain" ] && args+=(--ovretain "$root/$bin/ovretain")
if ((smoke)); then
  # The journal's bytes per hour over a few seconds: its fold comes later.
  args+=(--sizes "${sizes:-10000}" --reps "${reps:-3}" --journal-window 3)
  out_md=$build/bench-smoke.md
  out_json=$build/bench-smoke.json
else
  [ -n "$sizes" ] && args+=(--sizes "$sizes")
  [ -n "$reps" ] && args+=(--reps "$reps")
  out_md=$build/bench-table.md
  out_json=bench/results.json
  # The save once more in tmpfs, to tell the storage's share from ours.
  if [ -d /dev/shm ]; then
    memdir=$(mktemp -d /dev/shm/ovbm-XXXXXX)
    args+=(--mem-dir "$memdir")
  fi
fi

redis_server=$(command -v redis-server || true)
if [ -n "$redis_server" ]; then
  # A free port on loopback: bind to port 0 and take what the kernel gives.
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null || true)
  [ -n "$port" ] && args+=(--redis-server "$redis_server" --redis-port "$port")
elif ((!smoke)); then
  echo "bench.sh: redis-server not found; Redis is left out" >&2
fi

"$bin/ovrt_bench" "${args[@]}" --markdown "$out_md" --json "$out_json"

if ((!smoke)); then
  python3 scripts/bench_plot.py "$out_json" bench/scaling.svg
  machine=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["machine"])' "$out_json")
  {
    echo "## Benchmark results"
    echo
    echo "Run by \`scripts/bench.sh\` on $(date -u +%Y-%m-%d): $machine."
    echo "Medians of repeated runs; a ratio is our median divided by the baseline's (below 1: we are faster)."
    echo
    cat "$out_md"
    echo
    if [ -f bench/NOTES.md ]; then cat bench/NOTES.md; fi
  } > bench/RESULTS.md
  echo "wrote bench/RESULTS.md and bench/results.json"
fi
