#!/usr/bin/env bash
# Replays simulator seed 4400213 (failed at step 31: intact retain file refused: Layout record write failed: No space left on device; Retained file has no layout record of its length: none of the 1 layout records of its hash 24792ef0 describes its 167 bytes; it is left as it is.; Retain file not loaded: none of the 1 layout records of its hash 24792ef0 describes its 167 bytes.; ),
# shortened to 7 steps.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["SERVICE.OvRetain.KeepOld", 7, 4, 0], ["P.n0", 3, 1, 12], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["P.n1", 13, 4, "285730e5"], ["P.n2", 6, 4, 634773157], ["P.n3", 12, 16, "b8n1nhs3lf9ixrl"], ["P.n4", 20, 3, "8a9b04"], ["P.n5", 7, 4, 3502215675], ["P.n6", 12, 8, "b9818eo"], ["P.n7", 4, 2, -18468], ["SERVICE.OvRetain.AutoLoad", 1, 1, 1], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["start", "plain", 186], ["term"], ["damage", "layout", "cut", 533112599, 428431342], ["full", 64], ["reboot"], ["start", "nolink", 349]]
set -u
export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)
D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x
mount -t tmpfs -o size=4m,mode=0755 tmpfs "$D" 2>/dev/null
# ready: the service counted Live twice (start-up check and any autoload done), or ended
ready() { local n=0 a b; a=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); while [ $n -lt 2 ] && kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); [ "$b" != "$a" ] && n=$((n + 1)) a=$b; done; }
# step 0: init
cat >"$L" <<'EOF'
name,type,size,value
SERVICE.OvRetain.KeepOld,7,,0
P.n0,3,,12
SERVICE.OvRetain.UseBackup,1,,1
P.n1,13,4,285730e5
P.n2,6,,634773157
P.n3,12,16,b8n1nhs3lf9ixrl
P.n4,20,3,8a9b04
P.n5,7,,3502215675
P.n6,12,8,b9818eo
P.n7,4,,-18468
SERVICE.OvRetain.AutoLoad,1,,1
SERVICE.OvRetain.AutoRun,1,,1
EOF
ovnode load-layout $L
# step 1: start plain 186
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 2: term
sleep 0.10
kill -TERM $pid
wait $pid
# step 3: damage layout cut 533112599 428431342
truncate -s 58 "$R"/'OvRetain.3ab3e1aa.ef4aad63.layout'
# step 4: full 64
fallocate -l 4177856 "$D/filler"
# step 5: reboot
ovnode destroy --force
ovnode load-layout $L
# step 6: start nolink 349
OVRT_FAULT=link:1:EPERM:sticky ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
