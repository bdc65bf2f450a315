#!/usr/bin/env bash
# Checks the systemd unit with systemd-analyze verify, pointing ExecStart at
# the freshly built service. Exit 77 (skipped) where systemd-analyze is absent.
set -euo pipefail
unit=$1
binary=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
grep -q '^ExecStart=/usr/local/bin/ovretain$' "$unit" || { echo "ExecStart is not the installed service"; exit 1; }
grep -q '^KillSignal=SIGTERM$' "$unit" || { echo "the unit must stop the service with SIGTERM"; exit 1; }
grep -q '^Restart=on-failure$' "$unit" || { echo "the unit must restart the service on failure"; exit 1; }
sed "s|^ExecStart=.*|ExecStart=$binary|" "$unit" >"$dir/ovretain.service"
out=$(systemd-analyze verify "$dir/ovretain.service" 2>&1) || { echo "$out"; exit 1; }
# verify exits 0 on some warnings: treat any line about the unit as a failure.
if echo "$out" | grep -q 'ovretain.service'; then echo "$out"; exit 1; fi
echo "unit verified"
