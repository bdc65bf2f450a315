#!/usr/bin/env bash
# Replays simulator seed 3400209 (failed at step 58: intact retain file refused: Hashfile seek point set err.; Retain file seek failed: No space left on device),
# shortened to 8 steps.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["P.n0", 1, 1, 73], ["P.n1", 7, 4, 4271028262], ["P.n2", 3, 1, 115], ["P.n3", 13, 4, "f8b4d607"], ["P.n4", 12, 8, "w"], ["P.n5", 4, 2, 31406], ["P.n6", 5, 2, 40978], ["P.n7", 20, 3, "d5613a"], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["SERVICE.OvRetain.AutoLoad", 1, 1, 1]]], ["start", "nolink", 266], ["create", "Journal", 7, 100], ["save"], ["killsave", 2], ["full", 64], ["start", "plain", 250], ["load"]]
set -u
export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)
D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x
mount -t tmpfs -o size=4m,mode=0755 tmpfs "$D" 2>/dev/null
# ready: the service counted Live twice (start-up check and any autoload done), or ended
ready() { local n=0 a b; a=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); while [ $n -lt 2 ] && kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); [ "$b" != "$a" ] && n=$((n + 1)) a=$b; done; }
# step 0: init
cat >"$L" <<'EOF'
name,type,size,value
P.n0,1,,73
P.n1,7,,4271028262
P.n2,3,,115
P.n3,13,4,f8b4d607
P.n4,12,8,w
P.n5,4,,31406
P.n6,5,,40978
P.n7,20,3,d5613a
SERVICE.OvRetain.AutoRun,1,,1
SERVICE.OvRetain.UseBackup,1,,1
SERVICE.OvRetain.AutoLoad,1,,1
EOF
ovnode load-layout $L
# step 1: start nolink 266
OVRT_FAULT=link:1:EPERM:sticky ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 2: create Journal 7 100
ovnode create SERVICE.OvRetain.Journal 7
ovnode set SERVICE.OvRetain.Journal 100
# step 3: save
ovnode save --wait --timeout 15
# step 4: killsave 2
ovnode set SERVICE.OvRetain.Save 1
sleep 0.002
kill -KILL $pid
wait $pid
# step 5: full 64
fallocate -l 4173760 "$D/filler"
# step 6: start plain 250
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 7: load
ovnode load --wait --timeout 15
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
