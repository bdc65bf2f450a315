#!/usr/bin/env bash
# Writes a plant layout of N nodes for `ovnode load-layout` to standard
# output: the header name,type,size,value, then N nodes named
# PLANT.A<area>.DEV<device>.SIG<signal>, 1000 signals a device, mostly
# 32-bit counters (type 7) with flags (1), signed words (4) and a short text
# (12, 32 bytes) here and there, each with a value. About 37 bytes a node:
# 10,000,000 nodes make some 373 MB.
#
#   scripts/make_layout.sh 10000000 > layout.csv
#   ovnode load-layout layout.csv --capacity 10100000 --progress
# (room beside the layout for the service's own nodes).
set -euo pipefail
n=${1:?usage: make_layout.sh NODES}
[[ $n =~ ^[0-9]+$ ]] || { echo "make_layout.sh: NODES must be a number, not '$n'" >&2; exit 2; }
exec awk -v n="$n" 'BEGIN {
  print "name,type,size,value"
  for (i = 0; i < n; i++) {
    name = sprintf("PLANT.A%03d.DEV%05d.SIG%03d", int(i / 1000000), int(i / 1000), i % 1000)
    k = i % 100
    if (k == 0) printf "%s,12,32,Unit %d\n", name, i
    else if (k < 10) printf "%s,1,,%d\n", name, i % 2
    else if (k < 20) printf "%s,4,,%d\n", name, (i % 65536) - 32768
    else printf "%s,7,,%d\n", name, i
  }
}'
