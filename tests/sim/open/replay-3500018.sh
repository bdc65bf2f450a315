#!/usr/bin/env bash
# Replays simulator seed 3500018 (failed at step 29: intact retain file refused: Check record OvRetain.check is damaged: written anew for the 1 files its layout records describe.; Check record write failed: No space left on device; Retained file does not verify: its check record is damaged; it is left as it is.; Check record OvRetain.check is damaged: written anew for the 1 file),
# shortened to 14 steps.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["SERVICE.OvRetain.AutoLoad", 1, 1, 1], ["SERVICE.OvRetain.UseBackup", 1, 1, 0], ["P.n0", 13, 4, "0599b889"], ["SERVICE.OvRetain.Journal", 7, 4, 100], ["P.n1", 3, 1, 128], ["P.n2", 12, 8, "904tvp0"], ["P.n3", 12, 16, "dooobxnrojuy9hz"], ["SERVICE.OvRetain.Migrate", 1, 1, 1], ["P.n4", 5, 2, 24916], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["reboot"], ["start", "plain", 31], ["intruder", 0], ["full", 64], ["full", 64], ["write", "P.n4", 64516], ["write", "P.n2", "rtn1o0u"], ["settle"], ["write", "P.n4", 64846], ["settle"], ["damage", "check", "flip", 1984776113, 481594410], ["reboot"], ["start", "plain", 0]]
set -u
export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)
D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x
mount -t tmpfs -o size=4m,mode=0755 tmpfs "$D" 2>/dev/null
# ready: the service counted Live twice (start-up check and any autoload done), or ended
ready() { local n=0 a b; a=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); while [ $n -lt 2 ] && kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); [ "$b" != "$a" ] && n=$((n + 1)) a=$b; done; }
# step 0: init
cat >"$L" <<'EOF'
name,type,size,value
SERVICE.OvRetain.AutoLoad,1,,1
SERVICE.OvRetain.UseBackup,1,,0
P.n0,13,4,0599b889
SERVICE.OvRetain.Journal,7,,100
P.n1,3,,128
P.n2,12,8,904tvp0
P.n3,12,16,dooobxnrojuy9hz
SERVICE.OvRetain.Migrate,1,,1
P.n4,5,,24916
SERVICE.OvRetain.AutoRun,1,,1
EOF
ovnode load-layout $L
# step 1: reboot
ovnode destroy --force
ovnode load-layout $L
# step 2: start plain 31
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 3: intruder 0
OVNODE_SPACE=$S2 ovnode destroy --force
OVNODE_SPACE=$S2 ovnode load-layout $L
OVNODE_SPACE=$S2 ovnode set P.n0 eeeeeeee
OVNODE_SPACE=$S2 ovnode set P.n2 INTRUDE
OVNODE_SPACE=$S2 ovnode set P.n3 INTRUDER
OVNODE_SPACE=$S2 ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
wait $pid
OVNODE_SPACE=$S2 ovnode destroy --force
# step 4: full 64
fallocate -l 4173760 "$D/filler"
# step 5: full 64
fallocate -l 0 "$D/filler"
# step 6: write P.n4 64516
ovnode set P.n4 64516
# step 7: write P.n2 rtn1o0u
ovnode set P.n2 rtn1o0u
# step 8: settle
sleep 1.7   # autosave / journal period
# step 9: write P.n4 64846
ovnode set P.n4 64846
# step 10: settle
sleep 1.7   # autosave / journal period
# step 11: damage check flip 1984776113 481594410
printf '\x10' | dd of="$R"/'OvRetain.check' bs=1 seek=10 conv=notrunc status=none
# step 12: reboot
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 13: start plain 0
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
