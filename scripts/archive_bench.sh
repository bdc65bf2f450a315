#!/usr/bin/env bash
# The archive's figures at a large node space, against the real S3 gateway
# (scripts/s3_gateway.sh; started here and stopped at the end unless
# OVRT_S3_ENDPOINT and the rest of its env are set): the service's save time
# without and with ovretain-archive running, the time the archive takes to
# ship a set (its log line), and one curl PUT of the same retain file to the
# same gateway for comparison. Medians of REPS runs.
#
#   scripts/archive_bench.sh [NODES [REPS]]   default 1000000 nodes, 5 runs
#
# Uses the default build (build-ci-default); scratch files under it.
set -euo pipefail
cd "$(dirname "$0")/.."
nodes=${1:-1000000}
reps=${2:-5}
bin=$PWD/build-ci-default/bin
export PATH=$bin:$PATH
work=$PWD/build-ci-default/archive-bench
rm -rf "$work"
mkdir -p "$work"
space=ovab$$
export OVNODE_SPACE=$space
pids=()
cleanup() {
  local pid
  # The service's stop save first, so that nothing holds the node space.
  ovnode service stop --wait --timeout 120 >/dev/null 2>&1 || true
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done; done
  ovnode destroy >/dev/null 2>&1 || true
  rm -f "/dev/shm/ovstatus-$space"
  ((${own_gateway:-0})) && bash scripts/s3_gateway.sh stop "$work/gateway"
  rm -rf "$work/drives"
}
trap cleanup EXIT
# shellcheck source=tests/archive/archive_lib.sh
. tests/archive/archive_lib.sh
use_gateway "$work/gateway"
median() { sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

awk -v n="$nodes" 'BEGIN { print "name,type,size,value"; for (i = 0; i < n; i++) printf "PLANT.DEV%05d.SIG%04d,7,,%d\n", i / 1000, i % 1000, i }' \
  >"$work/layout.csv"
ovnode load-layout "$work/layout.csv" >/dev/null
OVRT_DRIVES=$work/drives setsid ovretain 2>"$work/service.log" </dev/null &
pids+=($!)
until [ "$(ovnode get SERVICE.OvRetain.Live 2>/dev/null || echo 0)" -gt 0 ]; do sleep 0.1; done
saves() {
  local i
  for ((i = 0; i < reps; i++)); do
    ovnode set PLANT.DEV00000.SIG0000 "$RANDOM"
    ovnode save --wait | sed -n 's/^save succeeded in \([0-9.]*\) s$/\1/p'
    [ -z "${1:-}" ] || "$1" "$i"
  done
}
without=$(saves | median)

umask 077
write_conf "$work/archive.conf" "bench-$space/" "$work/drives/C/Orvale" keep=2 "status_file=$work/archive.status"
umask 022
export OVRT_ARCHIVE_CONFIG=$work/archive.conf
setsid ovretain-archive 2>"$work/archive.log" </dev/null &
pids+=($!)
shipped() { grep -c ' shipped (' "$work/archive.log" || true; }
wait_shipped() {
  local want=$(($1 + 2)) deadline=$((SECONDS + 120))
  until [ "$(shipped)" -ge "$want" ]; do
    ((SECONDS < deadline)) || { echo "no set shipped within 120 s" >&2; exit 1; }
    sleep 0.1
  done
}
wait_shipped -1
with=$(saves wait_shipped | median)
ship=$(sed -n 's/.* shipped ([0-9]* bytes in \([0-9.]*\) s)$/\1/p' "$work/archive.log" | tail -n "$reps" | median)

file=$work/drives/C/Orvale/OvRetain.bin
cp "$file" "$work/put.bin"
secret=$(cat "$OVRT_S3_SECRET_FILE")
md5=$(openssl md5 -binary "$work/put.bin" | base64)
sha=$(sha256sum "$work/put.bin" | cut -d' ' -f1)
put=$(for ((i = 0; i < reps; i++)); do
  curl -sf -o /dev/null -w "%{time_total}\\n" -T "$work/put.bin" --aws-sigv4 aws:amz:us-east-1:s3 --user "$OVRT_S3_ACCESS_KEY:$secret" \
    -H "x-amz-content-sha256: $sha" -H "Content-MD5: $md5" \
    "$OVRT_S3_ENDPOINT/$OVRT_S3_BUCKET/bench-$space/curl-put"
done | median)
echo "nodes $nodes, retain file $(stat -c %s "$file") bytes, $reps runs, medians:"
echo "save without the archive  ${without} s"
echo "save with the archive     ${with} s"
echo "archive ships a set in    ${ship} s (file and manifest; the layout record once)"
echo "one curl PUT of the file  ${put} s"
