#!/usr/bin/env bash
# Boots the Debian package under a real systemd: a Debian 12 container root
# made by debootstrap from the machine's configured package source, started
# with systemd-nspawn -b, into which the package is installed; then checks,
# as an operator and the package manager would meet it:
#   install enables and starts the service, READY reaches systemd; journal
#   priorities (a forced "ERR" line under -p err, no "DBG" there); the
#   watchdog restarts a stopped service; `systemctl stop` saves; `restart`
#   keeps the values; an upgrade restarts the service on the new program; a
#   reboot with the layout file and AutoLoad brings the values back with no
#   client; a bad layout file ends the unit "failed" without a restart loop;
#   the metrics timer's file parses as Prometheus text; remove and purge
#   leave no failed unit, no enable links and the retained values. Root's
#   ovnode is used throughout.
#
#   container_test.sh FILE.deb CACHE_DIR
#
# The container root is built once into CACHE_DIR (named after the suite,
# the mirror and the package list, so a change of any makes a new one) and
# copied for each run, so a second run takes minutes. OVRT_MIRROR overrides
# the mirror read from /etc/apt/sources.list*.
# Exit 77 (skipped) where the container cannot be made or booted: not root,
# no debootstrap/systemd-nspawn/nsenter, no Debian package source, or a boot
# that does not come up.
set -euo pipefail
# (grep reads its whole input in every pipe here: grep -q would leave the
# writer to a SIGPIPE, which pipefail takes for a failure.)

deb=$(realpath "$1")
cache=$(realpath -m "$2")
suite=bookworm

skip() {
  echo "SKIPPED: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "the container needs root"
for tool in debootstrap systemd-nspawn nsenter dpkg-deb; do
  command -v "$tool" >/dev/null || skip "$tool not installed (scripts/deps.sh debootstrap systemd-container)"
done

# The first source of Debian's $suite that apt is configured with, in either
# format: deb822 stanzas (*.sources) or one-line entries (*.list).
mirror_of_sources() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v suite="$suite" '
      BEGIN { RS = "" }
      {
        types = ""; uris = ""; suites = ""
        n = split($0, lines, "\n")
        for (i = 1; i <= n; i++) {
          if (lines[i] ~ /^#/) continue
          if (lines[i] ~ /^Types:/) types = " " substr(lines[i], 7) " "
          if (lines[i] ~ /^URIs:/) uris = substr(lines[i], 6)
          if (lines[i] ~ /^Suites:/) suites = " " substr(lines[i], 8) " "
        }
        gsub(/[ \t]+/, " ", types); gsub(/[ \t]+/, " ", suites)
        if (index(types, " deb ") && index(suites, " " suite " ")) {
          split(uris, u, " "); for (j in u) if (u[j] != "") { print u[j]; exit }
        }
      }' "$f"
  done
  cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk -v suite="$suite" '$1 == "deb" { for (i = 2; i < NF; i++) if ($i ~ /^[a-z+]+:\/\//) { if ($(i + 1) == suite) print $i; break } }' ||
    true
}
mirror=${OVRT_MIRROR:-$(mirror_of_sources | sed -n 1p)}
[ -n "$mirror" ] || skip "no package source for Debian $suite in /etc/apt/sources.list*"

# What the container needs beyond the base: systemd as init, the package's
# own dependencies (installed here so that the test runs without a network),
# and the parser that checks the metrics.
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/[[:space:]]//g' | grep -v '^$' | sort -u)
packages=$(printf '%s\n' systemd systemd-sysv dbus python3-prometheus-client $depends | sort -u | paste -sd, -)
key=$(printf '%s %s %s\n' "$suite" "$mirror" "$packages" | md5sum | cut -c1-12)
base=$cache/$suite-$key
mkdir -p "$cache"
if [ ! -d "$base/root" ]; then
  echo "container root: debootstrap $suite from $mirror (once; kept in $base)"
  rm -rf "$base.tmp"
  mkdir -p "$base.tmp"
  if ! debootstrap --variant=minbase --include="$packages" "$suite" "$base.tmp/root" "$mirror" \
    >"$base.tmp/debootstrap.log" 2>&1; then
    tail -n 20 "$base.tmp/debootstrap.log"
    skip "debootstrap from $mirror failed (log: $base.tmp/debootstrap.log)"
  fi
  root=$base.tmp/root
  echo ovrt-ci >"$root/etc/hostname"
  # Where node_exporter's textfile collector reads, as its package makes it.
  mkdir -p "$root/var/lib/prometheus/node-exporter"
  # The journal is kept across the container's reboot.
  mkdir -p "$root/var/log/journal"
  chroot "$root" apt-get clean
  mv "$base.tmp" "$base"
  # Older roots of other keys are not needed any more.
  find "$cache" -mindepth 1 -maxdepth 1 -name "$suite-*" ! -name "$suite-$key" -exec rm -rf {} +
fi

# --- The run's container: a copy of the cached root, booted --------------
run=$cache/run
log=$cache/run.log
rm -rf "$run"
cp -a --reflink=auto "$base/root" "$run"
: >"$log"
version=$(dpkg-deb -f "$deb" Version)
cp "$deb" "$run/root/ovretain.deb"
# The same package under a later version, for the upgrade.
repack=$(mktemp -d)
dpkg-deb -R "$deb" "$repack/pkg"
sed -i "s/^Version: .*/Version: $version+ci1/" "$repack/pkg/DEBIAN/control"
dpkg-deb -b "$repack/pkg" "$run/root/ovretain-upgrade.deb" >/dev/null
rm -rf "$repack"

nspawn_pid=
stop_container() {
  [ -n "$nspawn_pid" ] || return 0
  if kill -0 "$nspawn_pid" 2>/dev/null; then
    # SIGTERM asks the container's systemd to shut down in order.
    kill -TERM "$nspawn_pid" 2>/dev/null || true
    local end=$((SECONDS + 60))
    while kill -0 "$nspawn_pid" 2>/dev/null && ((SECONDS < end)); do sleep 0.5; done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
  fi
  wait "$nspawn_pid" 2>/dev/null || true
  nspawn_pid=
}
finish() {
  stop_container
  [ -n "${OVRT_KEEP_CONTAINER:-}" ] || rm -rf "$run"
}
trap finish EXIT

# The container's systemd: the child of systemd-nspawn (a new one after a
# reboot).
leader() { pgrep -P "$nspawn_pid" | head -n 1; }
# ct COMMAND...: runs a command in the container as its root.
ct() {
  local pid
  pid=$(leader) || true
  [ -n "$pid" ] || { echo "the container is not running" >&2; return 125; }
  nsenter -t "$pid" -m -u -i -n -p -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}
# wait_until SECONDS COMMAND...: polls the command until it succeeds; false
# when the deadline passes first.
wait_until() {
  local end=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < end)) || return 1
    sleep 0.3
  done
}
fail() {
  echo "FAILED: $*"
  if [ -n "$(leader 2>/dev/null)" ]; then
    echo "--- systemctl status ovretain"
    ct systemctl status --no-pager -n 0 ovretain 2>&1 | head -n 20 || true
    echo "--- journal of ovretain"
    ct journalctl -b -u ovretain --no-pager -n 40 2>&1 || true
  fi
  echo "--- console (last lines)"
  tail -n 20 "$log"
  exit 1
}
pass() { echo "ok: $*"; }
booted() {
  local state
  state=$(ct systemctl is-system-running 2>/dev/null) || true
  [ "$state" = running ] || [ "$state" = degraded ]
}

# systemd-nspawn, as systemd-nspawn@.service runs it but without a machine
# manager (none runs on a CI host): no registration, the caller's cgroup,
# no network. A reboot ends it with status 133; the caller boots again.
boot() {
  systemd-nspawn --quiet --register=no --keep-unit --private-network --console=read-only \
    -D "$run" -M ovrt-ci -b >>"$log" 2>&1 &
  nspawn_pid=$!
}
start=$SECONDS
boot
booted_or_ended() { booted || ! kill -0 "$nspawn_pid"; }
if ! wait_until 120 booted_or_ended || ! booted; then
  tail -n 20 "$log"
  skip "the container did not boot under systemd-nspawn -b (console: $log)"
fi
[ -z "$(ct systemctl list-units --failed --plain --no-legend)" ] || fail "units failed at boot: $(ct systemctl --failed)"
pass "container booted in $((SECONDS - start)) s"

# --- Install: enabled per preset, started, ready -------------------------
service_is() { [ "$(ct systemctl show -P ActiveState ovretain)" = "$1" ]; }
main_pid() { ct systemctl show -P MainPID ovretain; }
value() { ct ovnode get "$1"; }
mkdir -p "$run/etc/ovretain"
cat >"$run/etc/ovretain/layout.csv" <<'CSV'
name,type,size,value
PLANT.Counter,7,,0
PLANT.Recipe,12,24,Rye
CSV
ct dpkg -i /root/ovretain.deb >>"$log" 2>&1 || fail "dpkg -i failed"
[ "$(ct systemctl is-enabled ovretain.service)" = enabled ] || fail "install did not enable ovretain.service"
[ "$(ct systemctl is-enabled ovretain-metrics.timer)" = enabled ] || fail "install did not enable the metrics timer"
# Enabled, and skipped until /etc/ovretain/archive.conf exists (no failed unit).
[ "$(ct systemctl is-enabled ovretain-archive.service)" = enabled ] || fail "install did not enable the archive"
wait_until 30 service_is active || fail "ovretain.service did not become active"
# Type=notify: active (running) only after READY=1.
ct systemctl status --no-pager ovretain >/dev/null || fail "systemctl status ovretain is not 0"
[ "$(ct systemctl show -P SubState ovretain)" = running ] || fail "not running after READY"
[ "$(ct systemctl is-active ovretain-metrics.timer)" = active ] || fail "the metrics timer was not started"
status=$(ct ovnode status) || fail "root's ovnode status failed: $status"
grep -q "running, pid $(main_pid)" <<<"$status" || fail "ovnode status does not name the service: $status"
[ "$(value SERVICE.OvRetain.AutoRun)" = 1 ] && [ "$(value SERVICE.OvRetain.AutoLoad)" = 1 ] ||
  fail "the start-up steps did not set AutoRun and AutoLoad"
[ "$(value PLANT.Recipe)" = Rye ] || fail "the layout file was not loaded"
pass "install enables and starts the service; READY; root's ovnode sees it"

# Real-time scheduling asked for (OVRT_REALTIME=1): a "WRN" line exactly
# when the threads are not under SCHED_FIFO.
policy=$(ct chrt -p "$(main_pid)" | sed -n 's/.*scheduling policy: //p')
warned=$(ct journalctl -b -u ovretain -p warning -o cat | grep -c 'Real-time scheduling not granted' || true)
case "$policy:$warned" in
  SCHED_FIFO:0) pass "real-time scheduling granted, nothing said" ;;
  SCHED_OTHER:1) pass "real-time scheduling refused: one WRN line" ;;
  *) fail "scheduling policy $policy with $warned WRN lines" ;;
esac

# --- stop saves, restart keeps -------------------------------------------
retain=/var/lib/ovretain/drives/C/Orvale/OvRetain.bin
ct ovnode set PLANT.Counter 4242 >/dev/null || fail "root's ovnode set failed"
ct systemctl stop ovretain || fail "systemctl stop failed"
service_is inactive || fail "the stop did not end the service cleanly: $(ct systemctl show -P Result ovretain)"
ct ovnode retain-dump "$retain" | grep -E '^[0-9]+ +PLANT\.Counter +7 +4242$' >/dev/null ||
  fail "the stop did not save 4242: $(ct ovnode retain-dump "$retain")"
pass "systemctl stop saves"
ct systemctl start ovretain || fail "systemctl start failed"
ct ovnode set PLANT.Counter 4343 >/dev/null
before=$(main_pid)
ct systemctl restart ovretain || fail "systemctl restart failed"
service_is active && [ "$(main_pid)" != "$before" ] || fail "restart did not start a new service"
[ "$(value PLANT.Counter)" = 4343 ] || fail "restart lost the value: $(value PLANT.Counter)"
pass "restart keeps the values"

# --- journal priorities ----------------------------------------------------
# A save into a directory the service may not write: one "ERR" line.
dir=$(dirname "$retain")
ct chmod a-w "$dir"
ct ovnode save --wait --timeout 10 >/dev/null 2>&1 && fail "a save into a read-only directory succeeded"
ct chmod u+w "$dir"
errors=$(ct journalctl -b -u ovretain -p err -o cat)
grep -q '^ERR ovretain: ' <<<"$errors" || fail "journalctl -p err shows no ERR line: $errors"
if grep -q 'DBG' <<<"$errors"; then fail "journalctl -p err shows DBG lines: $errors"; fi
ct journalctl -b -u ovretain -p debug..debug -o cat | grep '^DBG ovretain: ' >/dev/null || fail "the DBG lines are not at priority debug"
pass "journal priorities: ERR under -p err, DBG only at debug"

# --- the watchdog ----------------------------------------------------------
# A short watchdog in a runtime drop-in (gone at the reboot); the abort that
# a stopped process cannot take is followed by SIGKILL after 2 s.
ct systemctl reset-failed ovretain
ct sh -c 'mkdir -p /run/systemd/system/ovretain.service.d &&
  printf "[Service]\nWatchdogSec=2s\nTimeoutAbortSec=2s\n" >/run/systemd/system/ovretain.service.d/watchdog.conf'
ct systemctl daemon-reload
ct systemctl restart ovretain
before=$(main_pid)
restarts=$(ct systemctl show -P NRestarts ovretain)
ct systemctl kill --kill-whom=main --signal=SIGSTOP ovretain
restarted() { service_is active && [ "$(main_pid)" != "$before" ] && [ "$(ct systemctl show -P NRestarts ovretain)" -gt "$restarts" ]; }
wait_until 40 restarted || fail "the watchdog did not restart the stopped service"
ct journalctl -b -u ovretain -o cat | grep 'Watchdog timeout' >/dev/null || fail "no watchdog timeout in the journal"
[ "$(value PLANT.Counter)" = 4343 ] || fail "the value is lost after the watchdog's restart"
ct rm -r /run/systemd/system/ovretain.service.d
ct systemctl daemon-reload
pass "the watchdog restarts a stopped service"

# --- metrics, through a real parser ---------------------------------------
ct systemctl start ovretain-metrics.service || fail "the metrics service failed"
prom=/var/lib/prometheus/node-exporter/ovretain.prom
ct python3 - "$prom" <<'PY' || fail "the metrics do not parse or say the service is down"
import sys
from prometheus_client.parser import text_string_to_metric_families
families = {f.name: f for f in text_string_to_metric_families(open(sys.argv[1]).read())}
def value(name):
    return [s.value for s in families[name].samples]
assert value("ovretain_up") == [1.0], value("ovretain_up")
assert value("ovretain_retain_file_present") == [1.0], value("ovretain_retain_file_present")
print(len(families), "metric families parsed")
PY
pass "metrics parse as Prometheus text"

# --- upgrade: the new program runs ---------------------------------------
ct systemctl reset-failed ovretain
before=$(main_pid)
ct dpkg -i /root/ovretain-upgrade.deb >>"$log" 2>&1 || fail "the upgrade failed"
[ "$(ct dpkg-query -W -f '${Version}' ovretain)" = "$version+ci1" ] || fail "the upgrade did not install"
wait_until 30 service_is active || fail "not active after the upgrade"
pid=$(main_pid)
[ "$pid" != "$before" ] || fail "the upgrade did not restart the service"
exe=$(ct readlink "/proc/$pid/exe")
[ "$exe" = /usr/bin/ovretain ] || fail "the service runs $exe after the upgrade"
[ "$(value PLANT.Counter)" = 4343 ] || fail "the upgrade lost the value"
[ "$(ct systemctl is-enabled ovretain.service)" = enabled ] || fail "the upgrade changed the enable state"
pass "upgrade restarts the service on the new program"

# --- reboot: the layout and AutoLoad bring the values back ----------------
ct ovnode set PLANT.Counter 777777 >/dev/null
ct systemctl reboot || true
ended() { ! kill -0 "$nspawn_pid"; }
wait_until 90 ended || fail "the container did not shut down for the reboot"
status=0
wait "$nspawn_pid" || status=$?
[ "$status" = 133 ] || fail "systemd-nspawn ended with $status, not 133 (reboot)"
boot
wait_until 120 booted || fail "the container did not come back from the reboot"
wait_until 30 service_is active || fail "not active after the reboot"
[ "$(value PLANT.Counter)" = 777777 ] || fail "after the reboot PLANT.Counter is $(value PLANT.Counter), not 777777"
[ "$(value SERVICE.OvRetain.LoadCount)" = 0 ] || fail "a load was counted after the reboot"
pass "a reboot brings the values back with no client (layout file and AutoLoad)"

# --- a bad layout file ends in "failed", not a restart loop ---------------
ct systemctl reset-failed ovretain
kept=$(value PLANT.Counter)
ct cp /etc/ovretain/layout.csv /root/layout.good
printf 'garbage\n' >"$run/etc/ovretain/layout.csv"
since=$(ct date +%s)
ct systemctl restart ovretain >/dev/null 2>&1 && fail "a start with a bad layout file succeeded"
wait_until 20 service_is failed || fail "a bad layout file did not end in failed"
[ "$(ct systemctl show -P NRestarts ovretain)" = 0 ] || fail "a bad layout file was restarted"
[ "$(ct systemctl show -P ExecMainStatus ovretain)" = 78 ] || fail "the exit status is not 78"
lines=$(ct journalctl -u ovretain -p err -o cat --since "@$since" | grep -c 'ovretain-start: Layout file' || true)
[ "$lines" = 1 ] || fail "$lines ERR lines for the bad layout file, not one"
ct cp /root/layout.good /etc/ovretain/layout.csv
ct systemctl reset-failed ovretain
ct systemctl start ovretain || fail "no start after mending the layout file"
[ "$(value PLANT.Counter)" = "$kept" ] || fail "the failed start lost the value"
pass "a bad layout file ends in failed with one ERR line"

# --- remove and purge ------------------------------------------------------
ct test -f "$prom" || fail "no metrics file before the removal"
# A copy of ovnode reads the retain file once the package is gone.
ct cp /usr/bin/ovnode /root/ovnode
saved() { ct /root/ovnode retain-dump "$retain" | grep -E '^[0-9]+ +PLANT\.Counter +7 +31337$' >/dev/null; }
ct ovnode set PLANT.Counter 31337 >/dev/null
ct dpkg -r ovretain >>"$log" 2>&1 || fail "dpkg -r failed"
saved || fail "the removal's stop did not save"
sum=$(ct md5sum "$retain")
[ -z "$(ct systemctl list-units --failed --plain --no-legend)" ] || fail "failed units after removal: $(ct systemctl --failed)"
[ "$(ct systemctl show -P ActiveState ovretain)" != active ] || fail "the service runs after removal"
[ "$(ct systemctl show -P ActiveState ovretain-metrics.timer)" != active ] || fail "the timer runs after removal"
ct test ! -e "$prom" || fail "the metrics file is left after removal"
pass "remove: stopped (saved), no failed unit, no metrics file"
ct dpkg -P ovretain >>"$log" 2>&1 || fail "dpkg -P failed"
[ -z "$(ct systemctl list-units --failed --plain --no-legend)" ] || fail "failed units after purge"
links=$(ct find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-helper-masked \
  -name '*ovretain*' 2>/dev/null || true)
[ -z "$links" ] || fail "purge left: $links"
[ "$(ct md5sum "$retain")" = "$sum" ] && saved || fail "purge removed or changed the retained values"
state=$(ct systemctl is-system-running || true)
[ "$state" = running ] || fail "the system is $state after purge"
pass "purge: no links, no unit state, the retained values kept"

echo "container stage passed in $((SECONDS - start)) s (container root: $base)"
