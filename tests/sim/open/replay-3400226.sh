#!/usr/bin/env bash
# Replays simulator seed 3400226 (failed at step 45: durable value lost: P.n2 = 2132578919 is in no node and no file),
# shortened to 7 steps.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["SERVICE.OvRetain.Journal", 7, 4, 100], ["P.n0", 12, 8, ""], ["SERVICE.OvRetain.KeepOld", 7, 4, 10], ["P.n1", 12, 16, "p60mzqbg99bu2bo"], ["P.n2", 6, 4, 2020114415], ["SERVICE.OvRetain.AutoSave", 7, 4, 1000], ["SERVICE.OvRetain.Migrate", 1, 1, 1], ["P.n3", 20, 3, "643791"], ["P.n4", 4, 2, 3260], ["P.n5", 7, 4, 4040250636], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["SERVICE.OvRetain.AutoLoad", 1, 1, 0]]], ["start", "plain", 86], ["damage", "bin", "cut", 3022249426, 3517503031], ["write", "P.n1", ""], ["settle"], ["reboot"], ["start", "plain", 229]]
set -u
export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)
D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x
mount -t tmpfs -o size=4m,mode=0755 tmpfs "$D" 2>/dev/null
# ready: the service counted Live twice (start-up check and any autoload done), or ended
ready() { local n=0 a b; a=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); while [ $n -lt 2 ] && kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); [ "$b" != "$a" ] && n=$((n + 1)) a=$b; done; }
# step 0: init
cat >"$L" <<'EOF'
name,type,size,value
SERVICE.OvRetain.Journal,7,,100
P.n0,12,8,
SERVICE.OvRetain.KeepOld,7,,10
P.n1,12,16,p60mzqbg99bu2bo
P.n2,6,,2020114415
SERVICE.OvRetain.AutoSave,7,,1000
SERVICE.OvRetain.Migrate,1,,1
P.n3,20,3,643791
P.n4,4,,3260
P.n5,7,,4040250636
SERVICE.OvRetain.AutoRun,1,,1
SERVICE.OvRetain.AutoLoad,1,,0
EOF
ovnode load-layout $L
# step 1: start plain 86
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 2: damage bin cut 3022249426 3517503031
truncate -s 7 "$R"/'OvRetain.bin'
# step 3: write P.n1 
ovnode set P.n1 ''
# step 4: settle
sleep 3.5   # autosave / journal period
# step 5: reboot
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 6: start plain 229
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
