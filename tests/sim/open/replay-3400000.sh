#!/usr/bin/env bash
# Replays simulator seed 3400000 (failed at step 29: intact retain file refused: Retained file has no layout record of its length: none of the 1 layout records of its hash ce3fddc8 describes its 167 bytes; it is left as it is.; Retain file not loaded: none of the 1 layout records of its hash ce3fddc8 describes its 167 bytes.),
# shortened to 7 steps.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["P.n0", 12, 8, ""], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["P.n1", 3, 1, 38], ["P.n2", 5, 2, 303], ["P.n3", 1, 1, 244], ["P.n4", 4, 2, 4962], ["SERVICE.OvRetain.AutoLoad", 1, 1, 1], ["P.n5", 13, 4, "300e33fa"], ["SERVICE.OvRetain.Journal", 7, 4, 100], ["SERVICE.OvRetain.KeepOld", 7, 4, 8], ["P.n6", 12, 16, ""], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["SERVICE.OvRetain.Migrate", 1, 1, 0]]], ["start", "plain", 0], ["write", "P.n4", -11890], ["settle"], ["reboot"], ["damage", "layout", "flip", 3353723030, 443781635], ["start", "plain", 304]]
set -u
export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)
D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x
mount -t tmpfs -o size=4m,mode=0755 tmpfs "$D" 2>/dev/null
# ready: the service counted Live twice (start-up check and any autoload done), or ended
ready() { local n=0 a b; a=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); while [ $n -lt 2 ] && kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); [ "$b" != "$a" ] && n=$((n + 1)) a=$b; done; }
# step 0: init
cat >"$L" <<'EOF'
name,type,size,value
P.n0,12,8,
SERVICE.OvRetain.UseBackup,1,,1
P.n1,3,,38
P.n2,5,,303
P.n3,1,,244
P.n4,4,,4962
SERVICE.OvRetain.AutoLoad,1,,1
P.n5,13,4,300e33fa
SERVICE.OvRetain.Journal,7,,100
SERVICE.OvRetain.KeepOld,7,,8
P.n6,12,16,
SERVICE.OvRetain.AutoRun,1,,1
SERVICE.OvRetain.Migrate,1,,0
EOF
ovnode load-layout $L
# step 1: start plain 0
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 2: write P.n4 -11890
ovnode set P.n4 -11890
# step 3: settle
sleep 1.7   # autosave / journal period
# step 4: reboot
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 5: damage layout flip 3353723030 443781635
printf '\x72' | dd of="$R"/'OvRetain.8025a451.663e21da.layout' bs=1 seek=307 conv=notrunc status=none
# step 6: start plain 304
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
