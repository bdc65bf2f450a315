#!/usr/bin/env bash
# A guided round trip: values written into the node space survive a restart
# of the whole runtime through the retain file.
#
#   examples/demo.sh [BINDIR]     (BINDIR defaults to build-ci-default/bin)
#
# It uses a node space of its own ("demo-<pid>") and keeps its files in demo/
# beside BINDIR, so it never touches a real installation.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
bin=$(cd "${1:-$root/build-ci-default/bin}" && pwd)
demo=$(dirname "$bin")/demo
export OVNODE_SPACE=demo-$$
export OVRT_DRIVES=$demo/drives
ovnode() { "$bin/ovnode" "$@"; }
log=$demo/ovretain.log
layout=$here/plant_layout.csv
service_pid=""

# Bold headings on a terminal only; a log or a pipe gets plain text.
if [ -t 1 ]; then
  bold() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  bold() { printf '\n== %s\n' "$*"; }
fi
cleanup() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then kill -KILL "$service_pid"; fi
  ovnode destroy >/dev/null 2>&1 || true
}
trap cleanup EXIT

# Polls until node $1 reads $2, for at most 10 s.
wait_value() {
  for _ in $(seq 1 200); do
    [ "$(ovnode get "$1" 2>/dev/null)" = "$2" ] && return 0
    sleep 0.05
  done
  echo "timed out waiting for $1 = $2 (it reads '$(ovnode get "$1" 2>/dev/null)')" >&2
  exit 1
}
wait_running() {
  for _ in $(seq 1 200); do
    live=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null || echo 0)
    [ "${live:-0}" -gt 0 ] && return 0
    sleep 0.05
  done
  echo "the service did not come up; its log:" >&2; cat "$log" >&2; exit 1
}
start_service() {
  "$bin/ovretain" >>"$log" 2>&1 &
  service_pid=$!
  wait_running
  echo "ovretain runs as process $service_pid (log: $log)"
}
stop_service() {
  ovnode service stop
  wait "$service_pid" && echo "ovretain ended with status 0"
  service_pid=""
}
show() {
  for n in "$@"; do printf '  %-40s %s\n' "$n" "$(ovnode get "$n")"; done
}
watched=(AREA01.LINE01.MOTOR01.SpeedSetpoint AREA01.LINE01.BatchCount AREA01.LINE01.Recipe
         AREA01.LINE01.Running AREA01.LINE01.Calibration)
changed=(-1450 73 "Dark roast #7" 1 00112233445566778899aabbccddeeff)

rm -rf "$demo"; mkdir -p "$demo"
bold "1. Create the node space '$OVNODE_SPACE' from $(basename "$layout")"
ovnode load-layout "$layout"
show "${watched[@]}"

bold "2. Start the retain service"
start_service
ovnode catalog

bold "3. A control program changes some values"
for i in "${!watched[@]}"; do ovnode set -- "${watched[$i]}" "${changed[$i]}"; done
show "${watched[@]}"

bold "4. Save through the Save trigger"
ovnode set SERVICE.OvRetain.Save 1
wait_value SERVICE.OvRetain.SaveCount 1
show SERVICE.OvRetain.Save SERVICE.OvRetain.SaveCount
file=$OVRT_DRIVES/C/Orvale/OvRetain.bin
echo "  retain file: $file ($(stat -c %s "$file") bytes); its first slots:"
ovnode retain-dump "$file" | sed -n '1,8s/^/  /p'

bold "5. Stop the service (it saves once more on the way out)"
stop_service

bold "6. Power cut: the node space is wiped and built again from the layout"
ovnode destroy
ovnode load-layout "$layout"
show "${watched[@]}"

bold "7. Start the service again and load through the Load trigger"
start_service
ovnode set SERVICE.OvRetain.Load 1
wait_value SERVICE.OvRetain.LoadCount 1
show "${watched[@]}"

bold "8. Stop"
stop_service
for i in "${!watched[@]}"; do
  got=$(ovnode get "${watched[$i]}")
  if [ "$got" != "${changed[$i]}" ]; then
    echo "FAILED: ${watched[$i]} reads '$got', expected '${changed[$i]}'" >&2
    exit 1
  fi
done
echo
echo "All ${#watched[@]} changed values came back. The service's log:"
sed 's/^/  /' "$log"
