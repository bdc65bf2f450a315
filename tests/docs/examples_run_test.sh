#!/usr/bin/env bash
# Runs the README's "Quick start by hand" block, taken from README.md as it
# stands, as one script (bash -e: every line must succeed, as when pasted
# whole), and the example of ovnode(1) against a service started for it.
# Each runs on a node space and drive root of its own; the outputs the
# comments promise (SaveCount 1, BatchCount 73) are checked. Then the names
# the README and the man pages give (metrics, status kinds, signals, file
# names, SERVICE.OvRetain nodes) against the list the programs use, both
# ways.
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

# The names the documents give are the program's, both ways: checked against
# the one list the programs use (ovnode --print-names: KIND NAME lines of
# files, nodes, settings, status kinds, metrics and signals).
docs=("$src/README.md" "$src/docs/man/ovnode.1.scd" "$src/docs/man/ovretain.8.scd")
names=$(ovnode --print-names)
[ "$(grep -c . <<<"$names")" -gt 40 ] || fail "ovnode --print-names printed too little: $names"
listed() { awk -v k="$1" '$1 == k {print $2}' <<<"$names"; }
is() { grep -qxF "$1 $2" <<<"$names"; }
# Metrics: every name documented is in the list (families written as
# ovretain_journal_* are skipped, ovretain_x_{a,b} expanded, a name{labels}
# is the name), and the README documents every one listed.
for m in $(grep -ohE 'ovretain_[a-z_]+(\{[a-z_,]+\})?' "${docs[@]}" | sort -u); do
    if [[ $m == *"{"* && ${m%%\{*} != *_ ]]; then
        m=${m%%\{*}  # its labels
    fi
    if [[ $m == *"{"* ]]; then
        base=${m%%\{*}
        parts=${m#*\{}
        for p in $(tr ',' ' ' <<<"${parts%\}}"); do
            is metric "${base}${p}" || fail "documented metric ${base}${p} is not one ovnode metrics prints"
        done
    elif [[ $m != *_ ]]; then
        is metric "$m" || fail "documented metric $m is not one ovnode metrics prints"
    fi
done
for m in $(listed metric); do
    grep -qE "${m}|${m%_*}_\{|ovretain_journal_\*" "$src/README.md" || fail "metric $m is not in the README"
done
# Status kinds: the README and ovnode(1) name each kind, and no other.
for k in $(listed status_kind); do
    grep -qF "\`$k\`" "$src/README.md" || fail "status kind $k is not in the README"
    grep -qw "$k" "$src/docs/man/ovnode.1.scd" || fail "status kind $k is not in ovnode(1)"
done
for k in $(grep -ohwE '((trigger|stop|shutdown|journal)_(save|load)|auto(save|load))' "${docs[@]}" | sort -u); do
    is status_kind "$k" || fail "the documents name a status kind $k that the programs do not have"
done
# Signals: each that ends the service with a save is in the README's table
# and ovretain(8); each named there is one of them (SIGKILL, which cannot be
# caught, is named as the one that skips the save).
for s in $(listed signal); do
    for d in "$src/README.md" "$src/docs/man/ovretain.8.scd"; do
        grep -qw "$s" "$d" || fail "signal $s that ovretain ends on is not in $d"
    done
done
for s in $(grep -ohwE 'SIG[A-Z0-9]+' "${docs[@]}" | sort -u); do
    [[ $s == SIGKILL || $s == SIGNALS ]] || is signal "$s" || fail "the documents name a signal $s that ovretain does not handle"
done
# Files: each fixed name documented is one the service uses, and each it uses
# is documented.
# (no \b: a man page underlines as _OvRetain.bin_)
for f in $(grep -ohE 'OvRetain\.(\$\$\$|[a-z]+)' "${docs[@]}" | sort -u); do
    is file "$f" || fail "documented file name $f is not one the service uses"
done
for f in $(listed file); do
    grep -qF "$f" "$src/README.md" "$src/docs/man/ovretain.8.scd" || fail "file $f is in neither the README nor ovretain(8)"
done
# Nodes and settings: each SERVICE.OvRetain.<name> documented is one the
# service publishes or reads; each setting read by name is in the README and
# ovretain(8), each published node in the README.
for n in $(grep -ohE 'SERVICE\.OvRetain\.[A-Z][A-Za-z]*' "${docs[@]}" | sort -u); do
    is node "$n" || is setting "$n" || fail "documented node $n is not one the service publishes or reads"
done
for n in $(listed setting); do
    grep -qF "$n" "$src/README.md" || fail "setting $n is not in the README"
    grep -qF "$n" "$src/docs/man/ovretain.8.scd" || fail "setting $n is not in ovretain(8)"
done
for n in $(listed node); do
    grep -qF "\`${n#SERVICE.OvRetain.}\`" "$src/README.md" || fail "node $n is not in the README"
done

ovnode service stop --wait >/dev/null || fail "the service of ovnode(1)'s example did not stop cleanly"
wait
ovnode destroy >/dev/null || fail "destroy after stop --wait refused"
echo "README Quick start and ovnode(1) example ran"
