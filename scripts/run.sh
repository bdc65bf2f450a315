#!/usr/bin/env bash
# Builds the service and the ovnode tool, then runs the demonstration:
# a node space is filled, saved by the retain service, wiped, and restored.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target ovretain ovnode
exec bash examples/demo.sh build/bin
