#!/usr/bin/env bash
# Replays simulator seed 4400164 (failed at step 34: intact retain file refused: Retain file not loaded: none of the 1 layout records of its hash a3f21027 describes its 161 bytes.),
# shortened to 7 steps.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["P.n0", 1, 1, 48], ["P.n1", 3, 1, 32], ["P.n2", 4, 2, 29750], ["P.n3", 7, 4, 2034738917], ["SERVICE.OvRetain.UseBackup", 1, 1, 0], ["P.n4", 12, 8, "0qhdage"], ["SERVICE.OvRetain.AutoSave", 7, 4, 0], ["P.n5", 12, 16, ""], ["P.n6", 20, 3, "459530"], ["SERVICE.OvRetain.AutoLoad", 1, 1, 1], ["P.n7", 13, 4, "81654cce"], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["start", "plain", 60], ["term"], ["full", 0], ["damage", "layout", "cut", 2245475947, 993862046], ["start", "plain", 241], ["load"]]
set -u
export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)
D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x
mount -t tmpfs -o size=4m,mode=0755 tmpfs "$D" 2>/dev/null
# ready: the service counted Live twice (start-up check and any autoload done), or ended
ready() { local n=0 a b; a=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); while [ $n -lt 2 ] && kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); [ "$b" != "$a" ] && n=$((n + 1)) a=$b; done; }
# step 0: init
cat >"$L" <<'EOF'
name,type,size,value
P.n0,1,,48
P.n1,3,,32
P.n2,4,,29750
P.n3,7,,2034738917
SERVICE.OvRetain.UseBackup,1,,0
P.n4,12,8,0qhdage
SERVICE.OvRetain.AutoSave,7,,0
P.n5,12,16,
P.n6,20,3,459530
SERVICE.OvRetain.AutoLoad,1,,1
P.n7,13,4,81654cce
SERVICE.OvRetain.AutoRun,1,,1
EOF
ovnode load-layout $L
# step 1: start plain 60
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 2: term
sleep 0.10
kill -TERM $pid
wait $pid
# step 3: full 0
fallocate -l 4177920 "$D/filler"
# step 4: damage layout cut 2245475947 993862046
truncate -s 201 "$R"/'OvRetain.a3f21027.d1ec603d.layout'
# step 5: start plain 241
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 6: load
ovnode load --wait --timeout 15
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
