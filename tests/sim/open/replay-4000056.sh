#!/usr/bin/env bash
# Replays simulator seed 4000056 (failed at step 54: durable value lost: P.n2 = 27206 is in no node and no file),
# shortened to 42 steps.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["P.n0", 20, 3, "ec1ba8"], ["P.n1", 7, 4, 942570896], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["P.n2", 4, 2, 21024], ["SERVICE.OvRetain.AutoSave", 7, 4, 100], ["P.n3", 12, 8, "h4hrxcq"], ["P.n4", 1, 1, 11], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["write", "P.n1", 4142311657], ["start", "plain", 214], ["reboot"], ["damage", "backup", "cut", 365454230, 3888587357], ["reboot"], ["start", "killstart", 358], ["write", "P.n3", "cx2nfpv"], ["start", "nolink", 198], ["write", "P.n2", 27206], ["stop"], ["settle"], ["start", "nolink", 152], ["load"], ["write", "P.n3", "5v9k4q9"], ["kill"], ["start", "plain", 203], ["reboot"], ["reboot"], ["save"], ["start", "nolink", 185], ["term"], ["write", "P.n4", 76], ["free"], ["layout", [["P.n0", 20, 3, "ec1ba8"], ["P.n1", 7, 4, 942570896], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["P.n5", 13, 4, "ba410ae0"], ["P.n2", 4, 2, 21024], ["SERVICE.OvRetain.AutoSave", 7, 4, 100], ["P.n3", 12, 8, "h4hrxcq"], ["P.n4", 1, 1, 11], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["start", "plain", 0], ["write", "P.n1", 428340084], ["settle"], ["layout", [["P.n0", 20, 3, "ec1ba8"], ["P.n1", 7, 4, 942570896], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["P.n5", 13, 4, "ba410ae0"], ["P.n6", 4, 2, -20910], ["P.n2", 4, 2, 21024], ["SERVICE.OvRetain.AutoSave", 7, 4, 100], ["P.n3", 12, 8, "h4hrxcq"], ["P.n4", 1, 1, 11], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["start", "plain", 0], ["write", "P.n1", 1242404396], ["settle"], ["layout", [["P.n0", 20, 3, "ec1ba8"], ["P.n1", 7, 4, 942570896], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["P.n5", 13, 4, "ba410ae0"], ["P.n6", 4, 2, -20910], ["P.n2", 4, 2, 21024], ["SERVICE.OvRetain.AutoSave", 7, 4, 100], ["P.n7", 13, 4, "9547fa3e"], ["P.n3", 12, 8, "h4hrxcq"], ["P.n4", 1, 1, 11], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["start", "plain", 0], ["write", "P.n6", 21011], ["settle"], ["layout", [["P.n0", 20, 3, "ec1ba8"], ["P.n1", 7, 4, 942570896], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["P.n5", 13, 4, "ba410ae0"], ["P.n6", 4, 2, -20910], ["P.n2", 4, 2, 21024], ["SERVICE.OvRetain.AutoSave", 7, 4, 100], ["P.n8", 20, 3, "44d2e7"], ["P.n7", 13, 4, "9547fa3e"], ["P.n3", 12, 8, "h4hrxcq"], ["P.n4", 1, 1, 11], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["start", "plain", 0], ["write", "P.n0", "398bfc"], ["settle"], ["layout", [["P.n0", 20, 3, "ec1ba8"], ["P.n1", 7, 4, 942570896], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["P.n5", 13, 4, "ba410ae0"], ["P.n6", 4, 2, -20910], ["P.n2", 4, 2, 21024], ["SERVICE.OvRetain.AutoSave", 7, 4, 100], ["P.n9", 3, 1, 154], ["P.n8", 20, 3, "44d2e7"], ["P.n7", 13, 4, "9547fa3e"], ["P.n3", 12, 8, "h4hrxcq"], ["P.n4", 1, 1, 11], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["start", "plain", 0]]
set -u
export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)
D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x
mount -t tmpfs -o size=4m,mode=0755 tmpfs "$D" 2>/dev/null
# ready: the service counted Live twice (start-up check and any autoload done), or ended
ready() { local n=0 a b; a=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); while [ $n -lt 2 ] && kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); [ "$b" != "$a" ] && n=$((n + 1)) a=$b; done; }
# step 0: init
cat >"$L" <<'EOF'
name,type,size,value
P.n0,20,3,ec1ba8
P.n1,7,,942570896
SERVICE.OvRetain.UseBackup,1,,1
P.n2,4,,21024
SERVICE.OvRetain.AutoSave,7,,100
P.n3,12,8,h4hrxcq
P.n4,1,,11
SERVICE.OvRetain.AutoRun,1,,1
EOF
ovnode load-layout $L
# step 1: write P.n1 4142311657
ovnode set P.n1 4142311657
# step 2: start plain 214
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 3: reboot
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 4: damage backup cut 365454230 3888587357
# no backup file to damage
# step 5: reboot
ovnode destroy --force
ovnode load-layout $L
# step 6: start killstart 358
ovretain 2>>"$LOG" >/dev/null & pid=$!
sleep 0.358
kill -KILL $pid
wait $pid
# step 7: write P.n3 cx2nfpv
ovnode set P.n3 cx2nfpv
# step 8: start nolink 198
OVRT_FAULT=link:1:EPERM:sticky ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 9: write P.n2 27206
ovnode set P.n2 27206
# step 10: stop
sleep 0.50
ovnode service stop --wait --timeout 20
wait $pid
# step 11: settle
sleep 0.2
# step 12: start nolink 152
OVRT_FAULT=link:1:EPERM:sticky ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 13: load
ovnode load --wait --timeout 15
# step 14: write P.n3 5v9k4q9
ovnode set P.n3 5v9k4q9
# step 15: kill
kill -KILL $pid
wait $pid
# step 16: start plain 203
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 17: reboot
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 18: reboot
ovnode destroy --force
ovnode load-layout $L
# step 19: save
# service not running
# step 20: start nolink 185
OVRT_FAULT=link:1:EPERM:sticky ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 21: term
sleep 0.50
kill -TERM $pid
wait $pid
# step 22: write P.n4 76
ovnode set P.n4 76
# step 23: free
rm -f "$D/filler"
# step 24: layout
cat >"$L" <<'EOF'
name,type,size,value
P.n0,20,3,ec1ba8
P.n1,7,,942570896
SERVICE.OvRetain.UseBackup,1,,1
P.n5,13,4,ba410ae0
P.n2,4,,21024
SERVICE.OvRetain.AutoSave,7,,100
P.n3,12,8,h4hrxcq
P.n4,1,,11
SERVICE.OvRetain.AutoRun,1,,1
EOF
ovnode destroy --force
ovnode load-layout $L
# step 25: start plain 0
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 26: write P.n1 428340084
ovnode set P.n1 428340084
# step 27: settle
sleep 1.7   # autosave / journal period
# step 28: layout
cat >"$L" <<'EOF'
name,type,size,value
P.n0,20,3,ec1ba8
P.n1,7,,942570896
SERVICE.OvRetain.UseBackup,1,,1
P.n5,13,4,ba410ae0
P.n6,4,,-20910
P.n2,4,,21024
SERVICE.OvRetain.AutoSave,7,,100
P.n3,12,8,h4hrxcq
P.n4,1,,11
SERVICE.OvRetain.AutoRun,1,,1
EOF
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 29: start plain 0
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 30: write P.n1 1242404396
ovnode set P.n1 1242404396
# step 31: settle
sleep 1.7   # autosave / journal period
# step 32: layout
cat >"$L" <<'EOF'
name,type,size,value
P.n0,20,3,ec1ba8
P.n1,7,,942570896
SERVICE.OvRetain.UseBackup,1,,1
P.n5,13,4,ba410ae0
P.n6,4,,-20910
P.n2,4,,21024
SERVICE.OvRetain.AutoSave,7,,100
P.n7,13,4,9547fa3e
P.n3,12,8,h4hrxcq
P.n4,1,,11
SERVICE.OvRetain.AutoRun,1,,1
EOF
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 33: start plain 0
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 34: write P.n6 21011
ovnode set P.n6 21011
# step 35: settle
sleep 1.7   # autosave / journal period
# step 36: layout
cat >"$L" <<'EOF'
name,type,size,value
P.n0,20,3,ec1ba8
P.n1,7,,942570896
SERVICE.OvRetain.UseBackup,1,,1
P.n5,13,4,ba410ae0
P.n6,4,,-20910
P.n2,4,,21024
SERVICE.OvRetain.AutoSave,7,,100
P.n8,20,3,44d2e7
P.n7,13,4,9547fa3e
P.n3,12,8,h4hrxcq
P.n4,1,,11
SERVICE.OvRetain.AutoRun,1,,1
EOF
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 37: start plain 0
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 38: write P.n0 398bfc
ovnode set P.n0 398bfc
# step 39: settle
sleep 1.7   # autosave / journal period
# step 40: layout
cat >"$L" <<'EOF'
name,type,size,value
P.n0,20,3,ec1ba8
P.n1,7,,942570896
SERVICE.OvRetain.UseBackup,1,,1
P.n5,13,4,ba410ae0
P.n6,4,,-20910
P.n2,4,,21024
SERVICE.OvRetain.AutoSave,7,,100
P.n9,3,,154
P.n8,20,3,44d2e7
P.n7,13,4,9547fa3e
P.n3,12,8,h4hrxcq
P.n4,1,,11
SERVICE.OvRetain.AutoRun,1,,1
EOF
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 41: start plain 0
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
