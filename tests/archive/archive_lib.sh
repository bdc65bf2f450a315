# Shared by the archive's end-to-end scripts (sourced, with $work set): a
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
