#!/usr/bin/env bash
# The archive end to end against a real S3 gateway (scripts/s3_gateway.sh;
# scripts/ci.sh starts it once and runs this with its DIR/env): the real
# service on controller A and ovretain-archive shipping A's retain directory;
# a refused configuration, wrong credentials and a missing bucket each end
# the archive with exit status 1 and no secret in what it prints; retention
# keeps the newest `keep` sets; A's drive root is deleted and controller B
# (another node space, an empty drive root, the same layout) restores A's
# newest set by A's prefix, with a value that only the journal had shipped;
# ovnode status and metrics show the archive's state.
# Exit 77 (skipped, saying why) without a gateway.
#
#   archive_e2e.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
if [ -z "${OVRT_S3_ENDPOINT:-}" ]; then
  echo "skipped: no S3 gateway (OVRT_S3_ENDPOINT unset): start one with scripts/s3_gateway.sh start DIR" \
    "and export the lines of DIR/env, as scripts/ci.sh's store stage does"
  exit 77
fi
export PATH=$build/bin:$PATH
work=$(mktemp -d)
tag=ar$$
spaceA=${tag}a
spaceB=${tag}b
prefixA=e2e-$tag/controller-a/
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  OVNODE_SPACE=$spaceA ovnode destroy >/dev/null 2>&1 || true
  OVNODE_SPACE=$spaceB ovnode destroy >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=tests/archive/archive_lib.sh
. "$src/tests/archive/archive_lib.sh"

secret=$(cat "$OVRT_S3_SECRET_FILE")
umask 077
cp "$OVRT_S3_SECRET_FILE" "$work/secret"
# conf NAME: controller A's configuration (BUCKET and SECRET may replace its own).
conf() {
  SECRET=${SECRET:-$work/secret} write_conf "$work/$1" "$prefixA" "$work/drivesA/C/Orvale" \
    journal_period=1 keep=2 "status_file=$work/archive-a.status"
  echo "$work/$1"
}

# Refusals: exit status 1, a reason, never the secret.
refused() {
  local what=$1 expect=$2 config=$3 out status=0
  out=$(OVRT_ARCHIVE_CONFIG=$config ovretain-archive --check 2>&1) || status=$?
  [ "$status" = 1 ] || fail "$what: exit status $status, not 1 ($out)"
  [[ $out == *"$expect"* ]] || fail "$what: '$expect' not in: $out"
  [[ $out != *"$secret"* ]] || fail "$what: the secret was printed"
}
open=$(conf open.conf)
chmod 644 "$open"
refused "a configuration others may read" "may be read by others" "$open"
printf 'wrong%s\n' "$secret" >"$work/wrong"
refused "wrong credentials" "refuses the credentials" "$(SECRET=$work/wrong conf wrong.conf)"
refused "a missing bucket" "does not exist" "$(BUCKET=no-such-bucket-$tag conf nobucket.conf)"
config=$(conf archive.conf)
umask 022
export OVRT_ARCHIVE_CONFIG=$config
OVRT_ARCHIVE_CONFIG=$config ovretain-archive --check >/dev/null || fail "a good configuration refused"

# Controller A: the service, with the journal on, and the archive.
a() { OVNODE_SPACE=$spaceA ovnode "$@"; }
b() { OVNODE_SPACE=$spaceB ovnode "$@"; }
a load-layout "$src/examples/plant_layout.csv" >/dev/null
a create SERVICE.OvRetain.Journal 7 && a set SERVICE.OvRetain.Journal 100
OVNODE_SPACE=$spaceA OVRT_DRIVES=$work/drivesA setsid ovretain 2>"$work/service-a.log" </dev/null &
pids+=($!)
live() { [ "$(a get SERVICE.OvRetain.Live 2>/dev/null || echo 0)" -gt 0 ]; }
wait_for "service A live" 30 live
setsid ovretain-archive 2>"$work/archive-a.log" </dev/null &
archive=$!
pids+=($archive)

# Each save becomes a set (waited for before the next); keep = 2 leaves two.
sets() { a archive list --json | grep -o '"set":' | wc -l; }
has_set_of() { a archive list | grep -q "\.$1  "; }
for value in 1001 1002 1003; do
  a set AREA01.LINE01.ThroughputSetpoint "$value"
  a save --wait >/dev/null || fail "save on A"
  md5=$(md5sum "$work/drivesA/C/Orvale/OvRetain.bin" | cut -d' ' -f1)
  wait_for "set of the save with $value" 30 has_set_of "$md5"
done
[ "$(sets)" = 2 ] || fail "keep = 2 left $(sets) sets: $(a archive list)"
grep -q "removed (retention)" "$work/archive-a.log" || fail "no retention line in the archive's log"
a archive verify >"$work/verify.out" || fail "verify: $(cat "$work/verify.out")"
a status >"$work/status.out" || true
grep -q '^archive  *ok, last shipped 20' "$work/status.out" || fail "status: $(cat "$work/status.out")"
a metrics >"$work/metrics.out" || fail "metrics failed"
for metric in last_success_timestamp_seconds pending_bytes uploads_total errors_total; do
  grep -q "^ovretain_archive_$metric [0-9]" "$work/metrics.out" || fail "no metric ovretain_archive_$metric"
done

# A change only the journal holds, then A's service is killed and its drive
# root deleted.
a set AREA01.LINE01.BatchCount 7777
journal_shipped() { a archive verify | grep -q ' ok ([1-9][0-9]* journal groups)'; }
pulled_batch() {
  rm -rf "$work/pull"
  a archive pull latest "$work/pull" >/dev/null &&
    OVNODE_SPACE=$spaceA ovnode retain-dump "$work/pull/OvRetain.bin" --journal | grep -q 'AREA01.LINE01.BatchCount .*7777'
}
wait_for "the journal's change shipped" 30 pulled_batch
kill -KILL "${pids[0]}"
kill -TERM "$archive"
wait "$archive" || fail "the archive did not end with status 0 on SIGTERM"
rm -rf "$work/drivesA"

# Controller B: empty drive root, the same layout, A's values from the store.
b load-layout "$src/examples/plant_layout.csv" >/dev/null
b archive restore latest --from "$prefixA" --dry-run >"$work/dry.out" || fail "dry run: $(cat "$work/dry.out")"
[ "$(b get AREA01.LINE01.BatchCount)" != 7777 ] || fail "the dry run wrote a value"
b archive restore latest --from "$prefixA" >"$work/restore.out" || fail "restore: $(cat "$work/restore.out")"
grep -q 'journal OvRetain.journal: [1-9]' "$work/restore.out" || fail "no journal applied: $(cat "$work/restore.out")"
[ "$(b get AREA01.LINE01.ThroughputSetpoint)" = 1003 ] || fail "B holds ThroughputSetpoint $(b get AREA01.LINE01.ThroughputSetpoint)"
[ "$(b get AREA01.LINE01.BatchCount)" = 7777 ] || fail "B holds BatchCount $(b get AREA01.LINE01.BatchCount)"
b archive list --all | grep -q "^$prefixA " || fail "the fleet view lacks $prefixA"
if grep -r "$secret" "$work"/*.log "$work"/*.out "$work/archive-a.status"; then fail "the secret was written"; fi
echo "archive end to end: passed"
