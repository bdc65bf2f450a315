#!/usr/bin/env bash
# Runs the README's "Quick start by hand" block, taken from README.md as it
# stands, as one script (bash -e: every line must succeed, as when pasted
# whole), and the example of ovnode(1) against a service started for it.
# Each runs on a node space and drive root of its own; the outputs the
# comments promise (SaveCount 1, BatchCount 73) are checked. Then the names
# the README and the man pages give (metrics, status kinds, signals, file
# names, SERVICE.OvRetain nodes) against the programs.
#
#   examples_run_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
dir=$(mktemp -d)
space=docex$$
cleanup() {
    OVNODE_SPACE=$space "$build/bin/ovnode" service stop --wait --timeout 20 >/dev/null 2>&1 || true
    OVNODE_SPACE=$space "$build/bin/ovnode" destroy --force >/dev/null 2>&1 || true
    rm -f "/dev/shm/ovstatus-$space"
    rm -rf "$dir"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The fenced block after a heading (README) or after a man page's EXAMPLES.
block() { awk -v h="$2" 'index($0, h) == 1 {s = 1} s && /^```/ {if (f) exit; f = 1; next} f' "$1"; }

quick=$(block "$src/README.md" "## Quick start by hand")
[ -n "$quick" ] || fail "README.md has no Quick start block"
grep -q '^export PATH=\$PWD/build-ci-default/bin:\$PATH OVNODE_SPACE=mine OVRT_DRIVES=/tmp/mine-drives$' <<<"$quick" ||
    fail "the Quick start's first line changed; adapt this test: $(head -1 <<<"$quick")"
# This build and a node space and drive root of its own; the rest verbatim.
script=${quick/\$PWD\/build-ci-default\/bin/$build/bin}
script=${script/OVNODE_SPACE=mine/OVNODE_SPACE=$space}
script=${script/OVRT_DRIVES=\/tmp\/mine-drives/OVRT_DRIVES=$dir/drives}
cp -r "$src/examples" "$dir/examples"
# Into a file, not a pipe: a service left running keeps its output open.
(cd "$dir" && bash -e -o pipefail -c "$script") >"$dir/out" 2>&1 || fail "the Quick start failed:
$(cat "$dir/out")
--- ovretain.log:
$(cat "$dir/ovretain.log" 2>/dev/null)"
out=$(cat "$dir/out")
# The outputs of the two gets (SaveCount, then BatchCount), in that order.
gets=$(grep -xE '[0-9]+' <<<"$out" | tr '\n' ' ')
[ "$gets" = "1 73 " ] || fail "Quick start: SaveCount and BatchCount were '$gets', not '1 73':
$out"
grep -q 'service ended; its stop save succeeded' <<<"$out" || fail "Quick start: no clean stop: $out"
[ ! -e "/dev/shm/ovns-$space" ] || fail "Quick start: the node space is still there"

man=$(block "$src/docs/man/ovnode.1.scd" "# EXAMPLES")
[ -n "$man" ] || fail "ovnode(1) has no example"
grep -q '/etc/ovretain/layout.csv' <<<"$man" || fail "ovnode(1)'s example names another layout; adapt this test"
export PATH=$build/bin:$PATH OVNODE_SPACE=$space OVRT_DRIVES=$dir/drives2
ovretain 2>"$dir/man.log" >/dev/null &
bash -e -o pipefail -c "${man//\/etc\/ovretain\/layout.csv/$src/examples/plant_layout.csv}" >"$dir/out" 2>&1 ||
    fail "ovnode(1)'s example failed: $(cat "$dir/out")"
out=$(cat "$dir/out")
[ "$(tail -1 <<<"$out")" = 1 ] || fail "ovnode(1)'s example: SaveCount is not 1: $out"

# The names the documents give are the program's: checked against what the
# running service's tools print and what the programs hold.
docs=("$src/README.md" "$src/docs/man/ovnode.1.scd" "$src/docs/man/ovretain.8.scd")
metrics=$(ovnode metrics)
status=$(ovnode status --json)
held=$(strings -n 3 "$build/bin/ovretain")
# Metrics: every name documented is one the tool prints (families written as
# ovretain_journal_* or ovretain_x_{a,b} are expanded or skipped, a name{labels}
# is the name), and every
# one it prints is documented.
for m in $(grep -ohE 'ovretain_[a-z_]+(\{[a-z_,]+\})?' "${docs[@]}" | sort -u); do
    if [[ $m == *"{"* && ${m%%\{*} != *_ ]]; then
        m=${m%%\{*}  # its labels
    fi
    if [[ $m == *"{"* ]]; then
        base=${m%%\{*}
        parts=${m#*\{}
        for p in $(tr ',' ' ' <<<"${parts%\}}"); do
            grep -q "^${base}${p} " <<<"$metrics" || fail "documented metric ${base}${p} is not printed"
        done
    elif [[ $m != *_ && $m != ovretain_journal_last_append_time_seconds ]]; then
        grep -qE "^$m[ {]" <<<"$metrics" || fail "documented metric $m is not printed by ovnode metrics"
    fi
done
for m in $(grep -oE '^ovretain_[a-z_]+' <<<"$metrics" | sort -u); do
    grep -qE "${m}|${m%_*}_\{|ovretain_journal_\*" "$src/README.md" || fail "metric $m is not in the README"
done
# Status kinds: the README lists each kind status --json shows, and no other.
kinds=$(grep -oE '"[a-z_]+": \{"outcome"' <<<"$status" | cut -d'"' -f2 | sort)
for k in $kinds; do grep -qF "\`$k\`" "$src/README.md" || fail "status kind $k is not in the README"; done
for k in $(grep -oE '[`]((trigger|stop|shutdown|journal)_(save|load)|auto(save|load))[`]' "$src/README.md" | tr -d '`' | sort -u); do
    grep -qx "$k" <<<"$kinds" || fail "the README names a status kind $k that status --json does not show"
done
# Signals: the ones ovretain --help names, in the README's table and the man page.
for s in $(ovretain --help | grep -oE 'SIG[A-Z]+'); do
    for d in "$src/README.md" "$src/docs/man/ovretain.8.scd"; do
        grep -q "$s" "$d" || fail "signal $s that ovretain ends on is not in $d"
    done
done
# Files and settings: each fixed file name and each SERVICE.OvRetain.<name> is
# a text the service holds.
for f in $(grep -ohE 'OvRetain\.(\$\$\$|[a-z]+)\b' "${docs[@]}" | sort -u); do
    grep -qF "$f" <<<"$held" || fail "documented file name $f is not one the service uses"
done
for n in $(grep -ohE 'SERVICE\.OvRetain\.[A-Z][A-Za-z]*' "${docs[@]}" | sort -u); do
    # The linker may keep "Load" as the tail of "AutoLoad".
    grep -qE "${n#SERVICE.OvRetain.}\$" <<<"$held" || grep -qF "$n" <<<"$held" ||
        fail "documented node $n is not one the service publishes or reads"
done

ovnode service stop --wait >/dev/null || fail "the service of ovnode(1)'s example did not stop cleanly"
wait
ovnode destroy >/dev/null || fail "destroy after stop --wait refused"
echo "README Quick start and ovnode(1) example ran"
