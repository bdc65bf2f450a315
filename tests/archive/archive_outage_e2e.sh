#!/usr/bin/env bash
# The archive while its store is down for 30 s (the gateway of
# scripts/s3_gateway.sh stopped and started again, the cluster kept): the
# plant's saves go on succeeding, the archive writes one "WRN" line at the
# first failure and one when the store answers again, the newest file is
# shipped once it is back, and a reader listing the sets every 100 ms
# throughout never sees a set whose file is missing. Exit 77 (skipped,
# saying why) without a gateway this test may stop (OVRT_S3_DIR).
#
#   archive_outage_e2e.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
if [ -z "${OVRT_S3_ENDPOINT:-}" ] || [ -z "${OVRT_S3_DIR:-}" ]; then
  echo "skipped: no S3 gateway (OVRT_S3_ENDPOINT, OVRT_S3_DIR unset): start one with" \
    "scripts/s3_gateway.sh start DIR and export the lines of DIR/env, as scripts/ci.sh's store stage does"
  exit 77
fi
export PATH=$build/bin:$PATH
work=$(mktemp -d)
space=ao$$
export OVNODE_SPACE=$space
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  bash "$src/scripts/s3_gateway.sh" gateway-up "$OVRT_S3_DIR" >/dev/null 2>&1 || true
  ovnode destroy >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=tests/archive/archive_lib.sh
. "$src/tests/archive/archive_lib.sh"

umask 077
write_conf "$work/archive.conf" "outage-$space/" "$work/drives/C/Orvale" journal_period=1 \
  "status_file=$work/archive.status"
umask 022
export OVRT_ARCHIVE_CONFIG=$work/archive.conf

ovnode load-layout "$src/examples/plant_layout.csv" >/dev/null
OVRT_DRIVES=$work/drives setsid ovretain 2>"$work/service.log" </dev/null &
pids+=($!)
live() { [ "$(ovnode get SERVICE.OvRetain.Live 2>/dev/null || echo 0)" -gt 0 ]; }
wait_for "service live" 30 live
save() {
  ovnode set AREA01.LINE01.ThroughputSetpoint "$1"
  ovnode save --wait >/dev/null || fail "the save with $1 failed"
}
newest_shipped() {
  local md5
  md5=$(md5sum "$work/drives/C/Orvale/OvRetain.bin" | cut -d' ' -f1)
  ovnode archive list | grep -q "\.$md5  "
}
save 2001
setsid ovretain-archive 2>"$work/archive.log" </dev/null &
pids+=($!)
wait_for "the first set" 30 newest_shipped

# The reader: every 100 ms, every set it lists must have its file.
(
  while :; do
    if out=$(ovnode archive list --json 2>/dev/null); then
      echo ok >>"$work/listings"
      [[ $out != *'"verified":false'* ]] || echo "$out" >>"$work/partial"
    fi
    sleep 0.1
  done
) &
reader=$!
pids+=($reader)
listings() { [ "$(wc -l <"$work/listings" 2>/dev/null || echo 0)" -gt "$1" ]; }
wait_for "a listing before the outage" 30 listings 0

bash "$src/scripts/s3_gateway.sh" gateway-down "$OVRT_S3_DIR"
for value in 2002 2003 2004; do
  save "$value"
  sleep 10
done
bash "$src/scripts/s3_gateway.sh" gateway-up "$OVRT_S3_DIR" >/dev/null
wait_for "the newest file shipped after the outage" 60 newest_shipped
# The pass that shipped it says so once it has ended.
wait_for "the recovery line" 30 grep -q 'WRN Archive store answers again' "$work/archive.log"
wait_for "the status file's state ok" 30 grep -q '^state ok' "$work/archive.status"
wait_for "a listing after the outage" 30 listings "$(wc -l <"$work/listings")"
kill "$reader"

[ "$(grep -c 'WRN Archive store failed' "$work/archive.log")" = 1 ] || fail "not one WRN line at the failure"
[ "$(grep -c 'WRN Archive store answers again' "$work/archive.log")" = 1 ] || fail "not one WRN line at the recovery"
[ ! -f "$work/partial" ] || fail "a reader saw a set without its file: $(head -n 3 "$work/partial")"
echo "archive outage: passed"
