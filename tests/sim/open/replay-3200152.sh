#!/usr/bin/env bash
# Replays simulator seed 3200152 (failed at step 52: intact retain file not loaded, nothing reported),
# shortened to 27 steps; the shortened run did not fail again.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["SERVICE.OvRetain.KeepOld", 7, 4, 0], ["P.n0", 6, 4, -236086741], ["P.n1", 1, 1, 9], ["P.n2", 3, 1, 106], ["P.n3", 5, 2, 13816], ["P.n4", 7, 4, 2372458070], ["P.n5", 13, 4, "d87e21ee"], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["SERVICE.OvRetain.Journal", 7, 4, 100]]], ["layout", [["P.n6", 13, 4, "f626b33b"], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["SERVICE.OvRetain.KeepOld", 7, 4, 0], ["P.n0", 6, 4, -236086741], ["P.n7", 4, 2, -18124], ["P.n1", 1, 1, 9], ["P.n2", 3, 1, 106], ["P.n10", 7, 4, 99766093], ["P.n3", 5, 2, 13816], ["P.n4", 7, 4, 2372458070], ["P.n5", 13, 4, "d87e21ee"], ["P.n8", 20, 3, "4c8673"], ["P.n9", 12, 8, ""], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["P.n11", 7, 4, 3503583906], ["SERVICE.OvRetain.Journal", 7, 4, 100]]], ["start", "plain", 0], ["write", "P.n7", 10021], ["settle"], ["layout", [["P.n6", 13, 4, "f626b33b"], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["SERVICE.OvRetain.KeepOld", 7, 4, 0], ["P.n0", 6, 4, -236086741], ["P.n7", 4, 2, -18124], ["P.n1", 1, 1, 9], ["P.n2", 3, 1, 106], ["P.n10", 7, 4, 99766093], ["P.n3", 5, 2, 13816], ["P.n4", 7, 4, 2372458070], ["P.n12", 12, 8, ""], ["P.n5", 13, 4, "d87e21ee"], ["P.n8", 20, 3, "4c8673"], ["P.n9", 12, 8, ""], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["P.n11", 7, 4, 3503583906], ["SERVICE.OvRetain.Journal", 7, 4, 100]]], ["start", "plain", 0], ["write", "P.n12", ""], ["settle"], ["settle"], ["write", "P.n11", 2781191450], ["write", "P.n7", -20663], ["killburst", 93], ["start", "nolink", 328], ["write", "P.n2", 51], ["setting", "UseBackup", 1, [["P.n6", 13, 4, "f626b33b"], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["SERVICE.OvRetain.KeepOld", 7, 4, 0], ["P.n0", 6, 4, -236086741], ["P.n7", 4, 2, -18124], ["P.n1", 1, 1, 9], ["P.n2", 3, 1, 106], ["P.n10", 7, 4, 99766093], ["P.n3", 5, 2, 13816], ["P.n4", 7, 4, 2372458070], ["P.n12", 12, 8, ""], ["P.n5", 13, 4, "d87e21ee"], ["P.n8", 20, 3, "4c8673"], ["P.n9", 12, 8, ""], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["P.n11", 7, 4, 3503583906], ["SERVICE.OvRetain.Journal", 7, 4, 100]]], ["setting", "Migrate", 0, [["P.n6", 13, 4, "f626b33b"], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["SERVICE.OvRetain.KeepOld", 7, 4, 0], ["P.n0", 6, 4, -236086741], ["P.n7", 4, 2, -18124], ["P.n1", 1, 1, 9], ["P.n2", 3, 1, 106], ["P.n10", 7, 4, 99766093], ["P.n3", 5, 2, 13816], ["P.n4", 7, 4, 2372458070], ["P.n12", 12, 8, ""], ["P.n5", 13, 4, "d87e21ee"], ["P.n8", 20, 3, "4c8673"], ["P.n9", 12, 8, ""], ["SERVICE.OvRetain.AutoRun", 1, 1, 1], ["P.n11", 7, 4, 3503583906], ["SERVICE.OvRetain.Journal", 7, 4, 100]]], ["write", "P.n3", 48675], ["kill"], ["write", "P.n7", -8984], ["start", "plain", 258], ["damage", "bin", "delete", 207804431, 2397479312], ["start", "plain", 158], ["write", "P.n7", -96], ["settle"], ["damage", "check", "cut", 55308183, 1913290810], ["load"]]
set -u
export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)
D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x
mount -t tmpfs -o size=4m,mode=0755 tmpfs "$D" 2>/dev/null
# ready: the service counted Live twice (start-up check and any autoload done), or ended
ready() { local n=0 a b; a=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); while [ $n -lt 2 ] && kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get SERVICE.OvRetain.Live 2>/dev/null); [ "$b" != "$a" ] && n=$((n + 1)) a=$b; done; }
# step 0: init
cat >"$L" <<'EOF'
name,type,size,value
SERVICE.OvRetain.UseBackup,1,,1
SERVICE.OvRetain.KeepOld,7,,0
P.n0,6,,-236086741
P.n1,1,,9
P.n2,3,,106
P.n3,5,,13816
P.n4,7,,2372458070
P.n5,13,4,d87e21ee
SERVICE.OvRetain.AutoRun,1,,1
SERVICE.OvRetain.Journal,7,,100
EOF
ovnode load-layout $L
# step 1: layout
cat >"$L" <<'EOF'
name,type,size,value
P.n6,13,4,f626b33b
SERVICE.OvRetain.UseBackup,1,,1
SERVICE.OvRetain.KeepOld,7,,0
P.n0,6,,-236086741
P.n7,4,,-18124
P.n1,1,,9
P.n2,3,,106
P.n10,7,,99766093
P.n3,5,,13816
P.n4,7,,2372458070
P.n5,13,4,d87e21ee
P.n8,20,3,4c8673
P.n9,12,8,
SERVICE.OvRetain.AutoRun,1,,1
P.n11,7,,3503583906
SERVICE.OvRetain.Journal,7,,100
EOF
ovnode destroy --force
ovnode load-layout $L
# step 2: start plain 0
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 3: write P.n7 10021
ovnode set P.n7 10021
# step 4: settle
sleep 1.7   # autosave / journal period
# step 5: layout
cat >"$L" <<'EOF'
name,type,size,value
P.n6,13,4,f626b33b
SERVICE.OvRetain.UseBackup,1,,1
SERVICE.OvRetain.KeepOld,7,,0
P.n0,6,,-236086741
P.n7,4,,-18124
P.n1,1,,9
P.n2,3,,106
P.n10,7,,99766093
P.n3,5,,13816
P.n4,7,,2372458070
P.n12,12,8,
P.n5,13,4,d87e21ee
P.n8,20,3,4c8673
P.n9,12,8,
SERVICE.OvRetain.AutoRun,1,,1
P.n11,7,,3503583906
SERVICE.OvRetain.Journal,7,,100
EOF
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 6: start plain 0
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 7: write P.n12 
ovnode set P.n12 ''
# step 8: settle
sleep 0.2
# step 9: settle
sleep 0.2
# step 10: write P.n11 2781191450
ovnode set P.n11 2781191450
# step 11: write P.n7 -20663
ovnode set P.n7 -20663
# step 12: killburst 93
ovnode set P.n4 3105068743
ovnode set P.n0 -1753168296
ovnode set P.n7 -10114
ovnode set P.n3 15976
ovnode set P.n11 1579948756
ovnode set P.n0 668578896
ovnode set P.n11 2070979352
ovnode set P.n5 9795ad6c
ovnode set P.n11 273830264
ovnode set P.n6 56352929
ovnode set P.n11 63632007
ovnode set P.n5 60c54ea7
sleep 0.093
kill -KILL $pid
wait $pid
# step 13: start nolink 328
OVRT_FAULT=link:1:EPERM:sticky ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 14: write P.n2 51
ovnode set P.n2 51
# step 15: setting
cat >"$L" <<'EOF'
name,type,size,value
P.n6,13,4,f626b33b
SERVICE.OvRetain.UseBackup,1,,1
SERVICE.OvRetain.KeepOld,7,,0
P.n0,6,,-236086741
P.n7,4,,-18124
P.n1,1,,9
P.n2,3,,106
P.n10,7,,99766093
P.n3,5,,13816
P.n4,7,,2372458070
P.n12,12,8,
P.n5,13,4,d87e21ee
P.n8,20,3,4c8673
P.n9,12,8,
SERVICE.OvRetain.AutoRun,1,,1
P.n11,7,,3503583906
SERVICE.OvRetain.Journal,7,,100
EOF
ovnode set SERVICE.OvRetain.UseBackup 1
# step 16: setting
cat >"$L" <<'EOF'
name,type,size,value
P.n6,13,4,f626b33b
SERVICE.OvRetain.UseBackup,1,,1
SERVICE.OvRetain.KeepOld,7,,0
P.n0,6,,-236086741
P.n7,4,,-18124
P.n1,1,,9
P.n2,3,,106
P.n10,7,,99766093
P.n3,5,,13816
P.n4,7,,2372458070
P.n12,12,8,
P.n5,13,4,d87e21ee
P.n8,20,3,4c8673
P.n9,12,8,
SERVICE.OvRetain.AutoRun,1,,1
P.n11,7,,3503583906
SERVICE.OvRetain.Journal,7,,100
EOF
# step 17: write P.n3 48675
ovnode set P.n3 48675
# step 18: kill
kill -KILL $pid
wait $pid
# step 19: write P.n7 -8984
ovnode set P.n7 -8984
# step 20: start plain 258
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 21: damage bin delete 207804431 2397479312
rm -f "$R"/'OvRetain.bin'
# step 22: start plain 158
# step 23: write P.n7 -96
ovnode set P.n7 -96
# step 24: settle
sleep 1.7   # autosave / journal period
# step 25: damage check cut 55308183 1913290810
truncate -s 10 "$R"/'OvRetain.check'
# step 26: load
ovnode load --wait --timeout 15
kill -KILL $pid
wait $pid
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
