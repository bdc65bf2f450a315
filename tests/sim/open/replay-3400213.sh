#!/usr/bin/env bash
# Replays simulator seed 3400213 (failed at step 47: load reported success, P.n4 holds '1225ae', not its durable 'f96009' or newer),
# shortened to 12 steps.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["P.n0", 12, 16, "421ci3txyu5iof3"], ["P.n1", 4, 2, 15090], ["P.n2", 5, 2, 33209], ["SERVICE.OvRetain.KeepOld", 7, 4, 10], ["SERVICE.OvRetain.Migrate", 1, 1, 1], ["P.n3", 12, 8, "e2cxp93"], ["P.n4", 20, 3, "1225ae"], ["P.n5", 6, 4, -2029452826], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["SERVICE.OvRetain.AutoLoad", 1, 1, 0]]], ["settle"], ["write", "P.n4", "f96009"], ["start", "plain", 376], ["save"], ["write", "P.n2", 46924], ["layout", [["P.n0", 12, 16, "421ci3txyu5iof3"], ["P.n1", 4, 2, 15090], ["P.n2", 5, 2, 33209], ["SERVICE.OvRetain.KeepOld", 7, 4, 10], ["SERVICE.OvRetain.Migrate", 1, 1, 1], ["P.n3", 3, 1, 110], ["P.n4", 20, 3, "1225ae"], ["P.n5", 6, 4, -2029452826], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["SERVICE.OvRetain.AutoLoad", 1, 1, 0]]], ["start", "plain", 38], ["killsave", 56], ["start", "plain", 79], ["settle"], ["load"]]
set -u
export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)
D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x
mount -t tmpfs -o size=4m,mode=0755 tmpfs "$D" 2>/dev/null
# ready: the service counted Live twice (start-up check and any autoload done), or ended
ready() { local n=0 a b; a=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); while [ $n -lt 2 ] && kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); [ "$b" != "$a" ] && n=$((n + 1)) a=$b; done; }
# step 0: init
cat >"$L" <<'EOF'
name,type,size,value
P.n0,12,16,421ci3txyu5iof3
P.n1,4,,15090
P.n2,5,,33209
SERVICE.OvRetain.KeepOld,7,,10
SERVICE.OvRetain.Migrate,1,,1
P.n3,12,8,e2cxp93
P.n4,20,3,1225ae
P.n5,6,,-2029452826
SERVICE.OvRetain.AutoRun,1,,1
SERVICE.OvRetain.AutoLoad,1,,0
EOF
ovnode load-layout $L
# step 1: settle
sleep 0.2
# step 2: write P.n4 f96009
ovnode set P.n4 f96009
# step 3: start plain 376
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 4: save
ovnode save --wait --timeout 15
# step 5: write P.n2 46924
ovnode set P.n2 46924
# step 6: layout
cat >"$L" <<'EOF'
name,type,size,value
P.n0,12,16,421ci3txyu5iof3
P.n1,4,,15090
P.n2,5,,33209
SERVICE.OvRetain.KeepOld,7,,10
SERVICE.OvRetain.Migrate,1,,1
P.n3,3,,110
P.n4,20,3,1225ae
P.n5,6,,-2029452826
SERVICE.OvRetain.AutoRun,1,,1
SERVICE.OvRetain.AutoLoad,1,,0
EOF
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 7: start plain 38
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 8: killsave 56
ovnode set SERVICE.OvRetain.Save 1
sleep 0.056
kill -KILL $pid
wait $pid
# step 9: start plain 79
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 10: settle
sleep 0.2
# step 11: load
ovnode load --wait --timeout 15
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
