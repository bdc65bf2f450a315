#!/usr/bin/env bash
# Installs Debian packages that this machine lacks, with apt-get; does nothing
# when all are present.
#
#   scripts/deps.sh              the build and test dependencies
#   scripts/deps.sh PKG...       the packages named
set -euo pipefail
if (($#)); then
  wanted=("$@")
else
  wanted=(git cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
          scdoc dpkg-dev systemd python3 libcurl4-openssl-dev libexpat1-dev curl)
fi
need=()
for pkg in "${wanted[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
