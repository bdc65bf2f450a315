#!/usr/bin/env bash
# Replays simulator seed 716328022 (failed at step 54: durable value lost: P.n3 = 62558 is in no node and no file),
# shortened to 7 steps.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["P.n0", 12, 16, "2627mf43"], ["P.n1", 7, 4, 1377493751], ["P.n2", 13, 4, "a228c7af"], ["P.n3", 5, 2, 4825], ["P.n4", 4, 2, -27055], ["P.n5", 20, 3, "e313d3"], ["P.n6", 3, 1, 71], ["P.n7", 1, 1, 255], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["SERVICE.OvRetain.Journal", 7, 4, 100]]], ["write", "P.n4", -21214], ["start", "nolink", 8], ["term"], ["layout", [["P.n0", 12, 16, "2627mf43"], ["P.n1", 7, 4, 1377493751], ["P.n2", 13, 4, "a228c7af"], ["P.n3", 5, 2, 4825], ["P.n4", 4, 2, -27055], ["P.n5", 20, 3, "e313d3"], ["P.n6", 3, 1, 71], ["P.n7", 1, 1, 255], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["SERVICE.OvRetain.Journal", 7, 4, 100]]], ["damage", "bin", "delete", 4136722050, 1530074676], ["start", "plain", 56]]
set -u
export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)
D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x
mount -t tmpfs -o size=4m,mode=0755 tmpfs "$D" 2>/dev/null
# ready: the service counted Live twice (start-up check and any autoload done), or ended
ready() { local n=0 a b; a=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); while [ $n -lt 2 ] && kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); [ "$b" != "$a" ] && n=$((n + 1)) a=$b; done; }
# step 0: init
cat >"$L" <<'EOF'
name,type,size,value
P.n0,12,16,2627mf43
P.n1,7,,1377493751
P.n2,13,4,a228c7af
P.n3,5,,4825
P.n4,4,,-27055
P.n5,20,3,e313d3
P.n6,3,,71
P.n7,1,,255
SERVICE.OvRetain.AutoRun,1,,1
SERVICE.OvRetain.Journal,7,,100
EOF
ovnode load-layout $L
# step 1: write P.n4 -21214
ovnode set P.n4 -21214
# step 2: start nolink 8
OVRT_FAULT=link:1:EPERM:sticky ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 3: term
sleep 0.3
kill -TERM $pid
wait $pid
# step 4: layout
cat >"$L" <<'EOF'
name,type,size,value
P.n0,12,16,2627mf43
P.n1,7,,1377493751
P.n2,13,4,a228c7af
P.n3,5,,4825
P.n4,4,,-27055
P.n5,20,3,e313d3
P.n6,3,,71
P.n7,1,,255
SERVICE.OvRetain.AutoRun,1,,1
SERVICE.OvRetain.Journal,7,,100
EOF
ovnode destroy --force
ovnode load-layout $L
# step 5: damage bin delete 4136722050 1530074676
rm -f "$R"/'OvRetain.bin'
# step 6: start plain 56
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
