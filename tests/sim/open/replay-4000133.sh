#!/usr/bin/env bash
# Replays simulator seed 4000133 (failed at step 45: load reported success, P.n5 holds 'eah77cb', not its durable 'd7k6zlj' or newer),
# shortened to 28 steps.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["SERVICE.OvRetain.Migrate", 1, 1, 1], ["P.n0", 20, 3, "631bdc"], ["P.n1", 4, 2, -13853], ["P.n2", 12, 16, "ft"], ["P.n3", 13, 4, "2fba3c7b"], ["P.n4", 3, 1, 142], ["SERVICE.OvRetain.KeepOld", 7, 4, 2], ["P.n5", 12, 8, "eah77cb"], ["SERVICE.OvRetain.UseBackup", 1, 1, 0], ["P.n6", 5, 2, 39641], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["write", "P.n5", "d7k6zlj"], ["damage", "journal", "cut", 2226824319, 2690895818], ["start", "plain", 217], ["killsave", 82], ["write", "P.n4", 87], ["reboot"], ["start", "nolink", 357], ["write", "P.n2", "ber39cdu7s2b75f"], ["write", "P.n3", "ea53ac47"], ["save"], ["layout", [["SERVICE.OvRetain.Migrate", 1, 1, 1], ["P.n0", 20, 3, "631bdc"], ["P.n1", 4, 2, -13853], ["P.n2", 12, 16, "ft"], ["P.n3", 13, 4, "2fba3c7b"], ["P.n4", 3, 1, 142], ["SERVICE.OvRetain.KeepOld", 7, 4, 2], ["P.n5", 12, 8, "eah77cb"], ["SERVICE.OvRetain.UseBackup", 1, 1, 0], ["P.n6", 5, 2, 39641], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["save"], ["restore", 56953], ["start", "nolink", 398], ["copy", 9738], ["save"], ["load"], ["write", "P.n5", "dc0b"], ["write", "P.n4", 223], ["settle"], ["layout", [["SERVICE.OvRetain.Migrate", 1, 1, 1], ["P.n1", 4, 2, -13853], ["P.n0", 20, 3, "631bdc"], ["P.n2", 12, 16, "ft"], ["P.n3", 13, 4, "2fba3c7b"], ["P.n4", 3, 1, 142], ["SERVICE.OvRetain.KeepOld", 7, 4, 2], ["P.n5", 12, 8, "eah77cb"], ["SERVICE.OvRetain.UseBackup", 1, 1, 0], ["P.n6", 5, 2, 39641], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["settle"], ["settle"], ["start", "plain", 117], ["write", "P.n0", "223be5"], ["restore", 26422], ["load"]]
set -u
export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)
D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x
mount -t tmpfs -o size=4m,mode=0755 tmpfs "$D" 2>/dev/null
# ready: the service counted Live twice (start-up check and any autoload done), or ended
ready() { local n=0 a b; a=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); while [ $n -lt 2 ] && kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); [ "$b" != "$a" ] && n=$((n + 1)) a=$b; done; }
# step 0: init
cat >"$L" <<'EOF'
name,type,size,value
SERVICE.OvRetain.Migrate,1,,1
P.n0,20,3,631bdc
P.n1,4,,-13853
P.n2,12,16,ft
P.n3,13,4,2fba3c7b
P.n4,3,,142
SERVICE.OvRetain.KeepOld,7,,2
P.n5,12,8,eah77cb
SERVICE.OvRetain.UseBackup,1,,0
P.n6,5,,39641
SERVICE.OvRetain.AutoRun,1,,1
EOF
ovnode load-layout $L
# step 1: write P.n5 d7k6zlj
ovnode set P.n5 d7k6zlj
# step 2: damage journal cut 2226824319 2690895818
# no journal file to damage
# step 3: start plain 217
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 4: killsave 82
ovnode set SERVICE.OvRetain.Save 1
sleep 0.082
kill -KILL $pid
wait $pid
# step 5: write P.n4 87
ovnode set P.n4 87
# step 6: reboot
ovnode destroy --force
ovnode load-layout $L
# step 7: start nolink 357
OVRT_FAULT=link:1:EPERM:sticky ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 8: write P.n2 ber39cdu7s2b75f
ovnode set P.n2 ber39cdu7s2b75f
# step 9: write P.n3 ea53ac47
ovnode set P.n3 ea53ac47
# step 10: save
ovnode save --wait --timeout 15
# step 11: layout
cat >"$L" <<'EOF'
name,type,size,value
SERVICE.OvRetain.Migrate,1,,1
P.n0,20,3,631bdc
P.n1,4,,-13853
P.n2,12,16,ft
P.n3,13,4,2fba3c7b
P.n4,3,,142
SERVICE.OvRetain.KeepOld,7,,2
P.n5,12,8,eah77cb
SERVICE.OvRetain.UseBackup,1,,0
P.n6,5,,39641
SERVICE.OvRetain.AutoRun,1,,1
EOF
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 12: save
# service not running
# step 13: restore 56953
ovnode retain-restore $R/OvRetain.0000000001.de385a41.8bb5b9dc.old
# step 14: start nolink 398
OVRT_FAULT=link:1:EPERM:sticky ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 15: copy 9738
cp "$R/OvRetain.0000000001.de385a41.8bb5b9dc.old" "$R/copy.bin"
ovnode retain-dump $R/OvRetain.0000000001.de385a41.8bb5b9dc.old --json
ovnode retain-dump $R/copy.bin --json
rm -f "$R/copy.bin"
# step 16: save
ovnode save --wait --timeout 15
# step 17: load
ovnode load --wait --timeout 15
# step 18: write P.n5 dc0b
ovnode set P.n5 dc0b
# step 19: write P.n4 223
ovnode set P.n4 223
# step 20: settle
sleep 0.2
# step 21: layout
cat >"$L" <<'EOF'
name,type,size,value
SERVICE.OvRetain.Migrate,1,,1
P.n1,4,,-13853
P.n0,20,3,631bdc
P.n2,12,16,ft
P.n3,13,4,2fba3c7b
P.n4,3,,142
SERVICE.OvRetain.KeepOld,7,,2
P.n5,12,8,eah77cb
SERVICE.OvRetain.UseBackup,1,,0
P.n6,5,,39641
SERVICE.OvRetain.AutoRun,1,,1
EOF
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 22: settle
sleep 0.2
# step 23: settle
sleep 0.2
# step 24: start plain 117
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 25: write P.n0 223be5
ovnode set P.n0 223be5
# step 26: restore 26422
ovnode retain-restore $R/OvRetain.0000000002.de385a41.8bb5b9dc.old
# step 27: load
ovnode load --wait --timeout 15
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
