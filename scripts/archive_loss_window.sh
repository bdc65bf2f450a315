#!/usr/bin/env bash
# The off-box loss window: what a controller loses when it dies at once
# (the service and the archive killed with SIGKILL together) and only the
# store is left. A client counts a node up every few ms with the change
# journal on (100 ms); after each kill the newest set, its journal applied,
# is read back from the store, and the time from the newest counted value it
# holds to the kill is the loss. Then both are started again (the service
# loads its file and journal) and the next kill follows at a random moment.
# Prints the worst and median loss against the bound journal_period + 5 s,
# and fails when the worst is past it.
#
#   scripts/archive_loss_window.sh [KILLS [JOURNAL_PERIOD]]   default 50, 2 s
#
# Uses the default build and the gateway of scripts/s3_gateway.sh (started
# here unless OVRT_S3_ENDPOINT and the rest of its env are set).
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-50}
period=${2:-2}
export PATH=$PWD/build-ci-default/bin:$PATH
work=$PWD/build-ci-default/archive-loss
rm -rf "$work"
mkdir -p "$work"
export OVNODE_SPACE=oal$$
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  ovnode destroy >/dev/null 2>&1 || true
  ((${own_gateway:-0})) && bash scripts/s3_gateway.sh stop "$work/gateway"
  true
}
trap cleanup EXIT
# shellcheck source=tests/archive/archive_lib.sh
. tests/archive/archive_lib.sh
use_gateway "$work/gateway"
umask 077
write_conf "$work/archive.conf" "loss-$OVNODE_SPACE/" "$work/drives/C/Orvale" "journal_period=$period" keep=3 "status_file=$work/archive.status"
umask 022
export OVRT_ARCHIVE_CONFIG=$work/archive.conf
node=AREA01.LINE01.BatchCount
ovnode load-layout examples/plant_layout.csv >/dev/null
ovnode create SERVICE.OvRetain.Journal 7 && ovnode set SERVICE.OvRetain.Journal 100
now() { date +%s.%N; }
start_both() {
  OVRT_DRIVES=$work/drives setsid ovretain 2>>"$work/service.log" </dev/null &
  service=$!
  until [ "$(ovnode get SERVICE.OvRetain.Live 2>/dev/null || echo 0)" -gt 0 ]; do sleep 0.05; done
  if [ -f "$work/drives/C/Orvale/OvRetain.bin" ]; then ovnode load --wait >/dev/null; else ovnode save --wait >/dev/null; fi
  setsid ovretain-archive 2>>"$work/archive.log" </dev/null &
  archive=$!
  pids=("$service" "$archive")
}
count=$(ovnode get "$node")
losses=()
for ((k = 1; k <= kills; k++)); do
  start_both
  : >"$work/counts"
  # Count for a random 1 to 4 journal periods, then kill both at once.
  deadline=$(awk -v t="$(now)" -v p="$period" -v r="$RANDOM" 'BEGIN { printf "%.3f", t + p * (1 + 3 * r / 32767) }')
  while awk -v t="$(now)" -v d="$deadline" 'BEGIN { exit !(t < d) }'; do
    count=$((count + 1))
    ovnode set "$node" "$count"
    echo "$count $(now)" >>"$work/counts"
  done
  killed=$(now)
  kill -KILL "$service" "$archive"
  wait "$service" "$archive" 2>/dev/null || true
  rm -rf "$work/pull"
  ovnode archive pull latest "$work/pull" >/dev/null
  held=$(ovnode retain-dump "$work/pull/OvRetain.bin" --journal | awk -v n="$node" '$2 == n { print $4 }')
  # The first value the store lacks was written at...
  lost_from=$(awk -v h="$held" '$1 == h + 1 { print $2 }' "$work/counts")
  loss=$(awk -v k="$killed" -v f="${lost_from:-$killed}" 'BEGIN { printf "%.3f", k - f }')
  losses+=("$loss")
  echo "kill $k: store holds $held of $count, loss ${loss} s"
done
sorted=$(printf '%s\n' "${losses[@]}" | sort -g)
worst=$(tail -n 1 <<<"$sorted")
median=$(awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}' <<<"$sorted")
bound=$((period + 5))
echo "off-box loss over $kills kills (journal_period $period s): median ${median} s, worst ${worst} s, bound ${bound} s"
awk -v w="$worst" -v b="$bound" 'BEGIN { exit !(w <= b) }' || { echo "worst past the bound"; exit 1; }
