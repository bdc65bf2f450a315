#!/usr/bin/env bash
# Builds the service and the ovnode tool, then runs the demonstration:
# a node space is filled, saved by the retain service, wiped, and restored.
# The build is the normal one (preset "default", build-ci-default), the same
# directory and flags as scripts/test.sh, so running both builds once.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ovretain ovnode
exec bash examples/demo.sh build-ci-default/bin
