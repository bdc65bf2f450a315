#!/usr/bin/env bash
# Installs the build into a scratch prefix with `cmake --install` and checks
# what is installed there: each systemd unit passes systemd-analyze verify,
# the metrics unit's command writes a whole ovretain.prom,
# ovretain.service starts the installed service through its start script
# (which refuses a bad layout file with exit status 78) and is hardened to an
# exposure of 2.0 or better (systemd-analyze security); the man page of
# ovnode and its bash completion know every command of the installed tool.
# Exit 77 (skipped) where systemd-analyze is absent.
#
#   verify_unit.sh BUILD_DIR
set -euo pipefail
build=$1
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
prefix=$dir/usr/local
cmake --install "$build" --prefix "$prefix" >/dev/null
units=$prefix/lib/systemd/system
unit=$units/ovretain.service
[ -f "$unit" ] || { echo "cmake --install put no ovretain.service into $units"; exit 1; }

fail() { echo "ovretain.service: $*"; exit 1; }
start=$prefix/libexec/ovretain/ovretain-start
grep -qx "ExecStart=$start" "$unit" || fail "ExecStart is not the installed start script"
[ -x "$start" ] || fail "the installed start script is missing"
grep -qx "bindir='$prefix/bin'" "$start" || fail "the start script does not run the installed programs"
[ -x "$prefix/bin/ovretain" ] || fail "the installed service is missing"
for line in Type=notify Restart=on-failure RestartPreventExitStatus=78 KillSignal=SIGTERM User=ovretain Group=ovretain \
  StateDirectory=ovretain EnvironmentFile=-/etc/default/ovretain; do
  grep -qx "$line" "$unit" || fail "$line is missing"
done
grep -q '^WatchdogSec=' "$unit" || fail "WatchdogSec= is missing"
# These remove the node space or forbid SCHED_FIFO.
if grep -E '^(DynamicUser|RemoveIPC|RestrictRealtime)=' "$unit"; then fail "sets an option it must not"; fi
if grep -l '@[A-Z_]*@' "$units"/* "$start"; then echo "a placeholder was left in an installed unit"; exit 1; fi

# verify runs man for the Documentation= pages: look in the installed ones.
man=(--man=no)
[ -d "$prefix/share/man" ] && man=()
for u in "$units"/*; do
  out=$(MANPATH="$prefix/share/man:" systemd-analyze verify "${man[@]}" "$u" 2>&1) || { echo "$out"; exit 1; }
  # verify exits 0 on some warnings: treat any line about the unit as a failure.
  if echo "$out" | grep -q "$(basename "$u")"; then echo "$out"; exit 1; fi
done
systemd-analyze security --offline=true --threshold=20 "$unit" >"$dir/security" 2>&1 ||
  { cat "$dir/security"; fail "exposure above 2.0"; }
tail -n 1 "$dir/security"

# The metrics unit's command, run against a scratch collector directory and
# a node space that does not exist: the file is in place, whole, and the
# temporary one gone.
metrics=$units/ovretain-metrics.service
[ -f "$metrics" ] || { echo "cmake --install put no ovretain-metrics.service into $units"; exit 1; }
mkdir "$dir/collector"
# It hands the file to ovretain; here to whoever runs the check.
command=$(sed -n "s|^ExecStart=/bin/sh -c '\(.*\)'$|\1|p" "$metrics" | sed "s|/var/lib/prometheus/node-exporter|$dir/collector|g
  s|chown -h ovretain:ovretain|chown -h $(id -u):$(id -g)|
  s|setpriv --reuid=ovretain --regid=ovretain --init-groups|setpriv --reuid=$(id -u) --regid=$(id -g) --keep-groups|")
OVNODE_SPACE=ovrt-no-such-space /bin/sh -c "$command" || { echo "ovretain-metrics.service: its command failed"; exit 1; }
[ "$(ls "$dir/collector")" = ovretain.prom ] && grep -qx 'ovretain_up 0' "$dir/collector/ovretain.prom" ||
  { echo "ovretain-metrics.service: no complete ovretain.prom"; ls -l "$dir/collector"; exit 1; }

# The start script with a layout file that cannot be loaded: exit status 78
# (the unit's RestartPreventExitStatus), one ERR line, no service started.
printf 'garbage\n' >"$dir/layout.csv"
status=0
OVNODE_SPACE=ovrt-verify-$$ OVRT_LAYOUT=$dir/layout.csv "$start" >"$dir/start.out" 2>&1 || status=$?
[ "$status" = 78 ] || { cat "$dir/start.out"; fail "ovretain-start with a bad layout file exited $status, not 78"; }
[ "$(wc -l <"$dir/start.out")" = 1 ] && grep -q "^ERR ovretain-start: Layout file $dir/layout.csv not loaded" "$dir/start.out" ||
  { cat "$dir/start.out"; fail "ovretain-start did not say in one ERR line why it stopped"; }

ovnode=$prefix/bin/ovnode
commands=$("$ovnode" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\).*/\1/p')
[ -n "$commands" ] || { echo "no commands found in ovnode --help"; exit 1; }
page=$prefix/share/man/man1/ovnode.1.gz
if [ -f "$page" ]; then
  # Each command opens a tagged paragraph of its own: a line starting \fBNAME\fR.
  for c in $commands; do
    zcat "$page" | awk -v c="$c" 'index($0, "\\fB" c "\\fR") == 1 { found = 1 } END { exit !found }' ||
      { echo "docs/man/ovnode.1.scd has no paragraph *$c* for the command $c: add one"; exit 1; }
  done
fi
completed=$(bash -c 'source "$1"; COMP_WORDS=("$2" ""); COMP_CWORD=1; _ovnode; printf "%s\n" "${COMPREPLY[@]}"' \
  _ "$prefix/share/bash-completion/completions/ovnode" "$ovnode")
[ "$completed" = "$commands" ] || { echo "completion offers '$completed', the tool has '$commands'"; exit 1; }
# Node names come from the tool by prefix.
space=vucomp$$
OVNODE_SPACE=$space "$ovnode" create A.B1 1 >/dev/null && OVNODE_SPACE=$space "$ovnode" create A.B2 1 >/dev/null &&
  OVNODE_SPACE=$space "$ovnode" create C 1 >/dev/null
names=$(OVNODE_SPACE=$space bash -c 'source "$1"; COMP_WORDS=("$2" get A.); COMP_CWORD=2; _ovnode; printf "%s\n" "${COMPREPLY[@]}"' \
  _ "$prefix/share/bash-completion/completions/ovnode" "$ovnode")
OVNODE_SPACE=$space "$ovnode" destroy >/dev/null
[ "$names" = $'A.B1\nA.B2' ] || { echo "completion of 'get A.' offers '$names', not A.B1 and A.B2"; exit 1; }
echo "units, man page and completion verified"
