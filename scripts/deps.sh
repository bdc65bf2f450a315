#!/usr/bin/env bash
# Installs the build and test dependencies that a fresh machine lacks.
# Does nothing when everything is present already.
set -euo pipefail
need=()
for pkg in cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libssl-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
