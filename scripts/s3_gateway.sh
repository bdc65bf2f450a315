#!/usr/bin/env bash
# A one-node Ceph cluster with its RADOS Gateway on loopback, for the archive's
# tests: one monitor, one OSD keeping its objects in memory (memstore) and the
# gateway's S3 endpoint on 127.0.0.1, all from Debian's own packages
# (ceph-mon ceph-osd radosgw ceph-common; scripts/deps.sh installs them).
#
#   scripts/s3_gateway.sh start DIR   start it, keeping everything in DIR
#                                     (made empty first); prints the lines of
#                                     DIR/env (OVRT_S3_ENDPOINT, _BUCKET,
#                                     _ACCESS_KEY, _SECRET_FILE) once the
#                                     gateway answers and the bucket exists
#   scripts/s3_gateway.sh stop DIR    stops the daemons by the pids that
#                                     start recorded in DIR/pids
#   scripts/s3_gateway.sh gateway-down DIR | gateway-up DIR
#                                     stops / starts the gateway alone (the
#                                     store unreachable, then back)
#
# Exit status of start: 0 running; 77 when this machine cannot run the
# cluster (the packages missing, not root), saying why; 1 on a failure, with
# the daemons' log tails. Nothing listens beyond 127.0.0.1, nothing is written
# outside DIR. The daemons run in a session of their own, so that a timeout
# that kills the caller's process group leaves them to `stop`.
#
# What makes the start take about a second instead of a quarter of a minute:
# the monitor proposes every 10 ms (paxos propose interval), the cluster has
# no authentication (then the gateway needs "ms mon client mode = crc"), the
# OSD keeps its objects in memory, pools start with one placement group, and
# no manager daemon runs (the gateway does not need one).
set -euo pipefail

cmd=${1:-}
dir=${2:-}
if [ -z "$cmd" ] || [ -z "$dir" ]; then
  echo "usage: $0 start|stop DIR" >&2
  exit 2
fi

# Stops the recorded daemons (all, or those named $1) and forgets them.
stop() {
  [ -f "$dir/pids" ] || return 0
  local name pid
  local pids=() keep=()
  while read -r name pid; do
    if [ -n "${1:-}" ] && [ "$name" != "$1" ]; then
      keep+=("$name $pid")
      continue
    fi
    [[ $pid =~ ^[0-9]+$ ]] && kill -0 "$pid" 2>/dev/null && pids+=("$pid")
  done <"$dir/pids"
  if ((${#pids[@]})); then
    kill -TERM "${pids[@]}" 2>/dev/null || true
    local i
    for ((i = 0; i < 100; i++)); do
      local alive=0
      for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
      ((alive)) || break
      sleep 0.1
    done
    kill -KILL "${pids[@]}" 2>/dev/null || true
  fi
  if ((${#keep[@]})); then printf '%s\n' "${keep[@]}" >"$dir/pids"; else rm -f "$dir/pids"; fi
}

if [ "$cmd" = stop ]; then
  stop
  exit 0
fi
if [ "$cmd" = gateway-down ]; then
  stop rgw
  exit 0
fi
if [ "$cmd" != start ] && [ "$cmd" != gateway-up ]; then
  echo "usage: $0 start|stop DIR" >&2
  exit 2
fi

skip() {
  echo "s3 gateway: skipped: $*" >&2
  exit 77
}
for prog in ceph-mon ceph-osd radosgw radosgw-admin monmaptool ceph curl uuidgen; do
  command -v "$prog" >/dev/null || skip "$prog is not installed (scripts/deps.sh ceph-mon ceph-osd radosgw ceph-common)"
done
[ "$(id -u)" -eq 0 ] || skip "the cluster's daemons are started as root"

# A port that nothing listens on, for each daemon.
free_port() {
  local port
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 20000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return
    fi
  done
  return 1
}

fail() {
  echo "s3 gateway: $*" >&2
  local log
  for log in "$dir"/log/*.log "$dir"/log/*.out; do
    [ -f "$log" ] || continue
    echo "--- $log" >&2
    tail -n 15 "$log" >&2
  done
  [ "$cmd" = start ] && stop
  exit 1
}

# Starts a daemon in the foreground of a session of its own and records its pid.
run_daemon() {
  local name=$1
  shift
  setsid "$@" -f -c "$conf" >>"$dir/log/$name.out" 2>&1 </dev/null &
  echo "$name $!" >>"$dir/pids"
}

# Waits (at most 60 s) until "$@" succeeds.
wait_for() {
  local what=$1
  shift
  local deadline=$((SECONDS + 60))
  while ((SECONDS < deadline)); do
    timeout 10 "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  fail "$what: no answer within 60 s"
}

if [ "$cmd" = gateway-up ]; then
  dir=$(cd "$dir" && pwd)
  conf=$dir/ceph.conf
  rgw_port=$(sed -n 's/^rgw frontends = beast endpoint=127.0.0.1:\([0-9]*\)$/\1/p' "$conf")
  run_daemon rgw radosgw -n client.rgw.gw
  wait_for "gateway" curl -sf -o /dev/null "http://127.0.0.1:$rgw_port/"
  exit 0
fi

stop
rm -rf "$dir"
mkdir -p "$dir"/{run,log,mon,osd/ceph-0,rgw}
dir=$(cd "$dir" && pwd)
conf=$dir/ceph.conf

mon_port=$(free_port)
rgw_port=$(free_port)
fsid=$(uuidgen)
conf=$dir/ceph.conf
cat >"$conf" <<EOF
[global]
fsid = $fsid
mon host = [v2:127.0.0.1:$mon_port]
public addr = 127.0.0.1
cluster addr = 127.0.0.1
auth cluster required = none
auth service required = none
auth client required = none
ms mon client mode = crc
run dir = $dir/run
admin socket = $dir/run/\$name.asok
pid file = $dir/run/\$name.pid
log file = $dir/log/\$name.log
keyring = $dir/keyring
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 1
osd pool default pgp num = 1
osd pool default pg autoscale mode = off
mon allow pool size one = true
mon max pg per osd = 1000
osd crush chooseleaf type = 0
mon data avail crit = 1
mon data avail warn = 2
mon warn on pool no redundancy = false

[mon]
mon data = $dir/mon/\$cluster-\$id
paxos propose interval = 0.01

[osd]
osd data = $dir/osd/\$cluster-\$id
osd objectstore = memstore
memstore device bytes = 2147483648

[client.rgw.gw]
rgw frontends = beast endpoint=127.0.0.1:$rgw_port
rgw data = $dir/rgw
rgw dns name = 127.0.0.1
EOF

ceph=(ceph -c "$conf" --connect-timeout 10)
monmaptool --create --addv a "[v2:127.0.0.1:$mon_port]" --fsid "$fsid" "$dir/monmap" >/dev/null
ceph-mon -c "$conf" --mkfs -i a --monmap "$dir/monmap" >"$dir/log/mkfs-mon.out" 2>&1 || fail "monitor mkfs failed"
run_daemon mon ceph-mon -i a
wait_for "monitor" "${ceph[@]}" mon stat

osd_uuid=$(uuidgen)
osd_id=$("${ceph[@]}" osd new "$osd_uuid") || fail "osd new failed"
[ "$osd_id" = 0 ] || fail "unexpected OSD id '$osd_id'"
ceph-osd -c "$conf" -i 0 --mkfs --osd-uuid "$osd_uuid" >"$dir/log/mkfs-osd.out" 2>&1 || fail "OSD mkfs failed"
run_daemon osd ceph-osd -i 0

run_daemon rgw radosgw -n client.rgw.gw
wait_for "gateway" curl -sf -o /dev/null "http://127.0.0.1:$rgw_port/"

access=ovrtci$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')
secret=$(od -An -N20 -tx1 /dev/urandom | tr -d ' \n')
radosgw-admin -c "$conf" -n client.admin user create --uid=ovrt-ci --display-name="ovretain CI" \
  --access-key="$access" --secret-key="$secret" >"$dir/log/user.out" 2>&1 || fail "user create failed"
umask 077
printf '%s\n' "$secret" >"$dir/secret"
bucket=ovretain-ci
empty_sha=e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855
code=$(curl -s -o "$dir/log/bucket.out" -w '%{http_code}' -X PUT --aws-sigv4 "aws:amz:us-east-1:s3" \
  --user "$access:$secret" -H "x-amz-content-sha256: $empty_sha" "http://127.0.0.1:$rgw_port/$bucket")
[ "$code" = 200 ] || fail "bucket create answered $code"

cat >"$dir/env" <<EOF
OVRT_S3_ENDPOINT=http://127.0.0.1:$rgw_port
OVRT_S3_BUCKET=$bucket
OVRT_S3_ACCESS_KEY=$access
OVRT_S3_SECRET_FILE=$dir/secret
OVRT_S3_DIR=$dir
EOF
cat "$dir/env"
