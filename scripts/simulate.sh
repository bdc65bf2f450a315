#!/usr/bin/env bash
# The plant-life simulator (tests/sim): seeded random histories of client
# actions, service starts, stops and kills, reboots, layout changes, settings
# and faults against the real ovretain and ovnode, each step checked by a model
# of what must survive. A failure prints its seed, its step and a shortened
# replay script. Exit status 0 when no history failed, 1 when one did.
#
#   scripts/simulate.sh [--seed N] [--steps N] [--minutes N] [--bin DIR] [more, see --help]
#
# Without --bin it builds and uses build-ci-default/bin. Run as root, it mounts
# a small tmpfs as the drive root for the full-disk fault.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
args=("$@")
if [[ " $* " != *" --bin "* ]]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target ovretain ovnode >/dev/null
  args+=(--bin build-ci-default/bin)
fi
exec python3 tests/sim/sim.py "${args[@]}"
