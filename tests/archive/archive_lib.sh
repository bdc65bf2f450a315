# Shared by the archive's end-to-end scripts and benchmarks (sourced, with $work set): a
# failure that shows the logs, and polls with a deadline.

# Prints the failure and the tail of every log in $work, and exits 1.
fail() {
  echo "FAILED: $*"
  for log in "$work"/*.log; do
    [ -f "$log" ] && { echo "--- $log"; tail -n 20 "$log"; }
  done
  exit 1
}

# wait_for WHAT SECONDS COMMAND...: polls COMMAND until it succeeds, failing
# with WHAT after SECONDS.
wait_for() {
  local what=$1 limit=$2
  shift 2
  local deadline=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || fail "$what: not within $limit s"
    sleep 0.2
  done
}

# write_conf FILE PREFIX RETAIN_DIR [KEY=VALUE...]: an archive configuration
# for the gateway in $OVRT_S3_* (BUCKET and SECRET, when set, replace its
# bucket and secret file), with the settings given after the directory.
write_conf() {
  local file=$1 prefix=$2 dir=$3 kv
  shift 3
  {
    echo "# written by $(basename "$0")"
    echo "endpoint = $OVRT_S3_ENDPOINT"
    echo "bucket = ${BUCKET:-$OVRT_S3_BUCKET}"
    echo "access_key = $OVRT_S3_ACCESS_KEY"
    echo "secret_key_file = ${SECRET:-$OVRT_S3_SECRET_FILE}"
    echo "prefix = $prefix"
    echo "retain_dir = $dir"
    for kv in "$@"; do echo "${kv%%=*} = ${kv#*=}"; done
  } >"$file"
}

# use_gateway DIR: without a gateway in the environment, starts one in DIR
# and exports its settings; sets own_gateway to 1 then (stop it on exit).
own_gateway=0
use_gateway() {
  [ -n "${OVRT_S3_ENDPOINT:-}" ] && return 0
  bash scripts/s3_gateway.sh start "$1" >/dev/null
  own_gateway=1
  set -a
  . "$1/env"
  set +a
}
