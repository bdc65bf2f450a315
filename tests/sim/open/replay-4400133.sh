#!/usr/bin/env bash
# Replays simulator seed 4400133 (failed at step 44: status says the file awaits its first load after a load or save: autosave and journal stay off),
# shortened to 10 steps.
# Run as root from the build's bin directory on PATH.
# sim-steps: [["init", [["SERVICE.OvRetain.Journal", 7, 4, 100], ["P.n0", 6, 4, 169483182], ["P.n1", 20, 3, "e92c61"], ["P.n2", 13, 4, "97e03f35"], ["P.n3", 4, 2, 9976], ["P.n4", 1, 1, 72], ["P.n5", 12, 16, "6"], ["SERVICE.OvRetain.UseBackup", 1, 1, 1], ["SERVICE.OvRetain.AutoRun", 1, 1, 1]]], ["start", "killstart", 269], ["start", "plain", 147], ["reboot"], ["full", 512], ["start", "nolink", 6], ["damage", "bin", "flip", 2743311300, 3878132307], ["load"], ["write", "P.n1", "814bf2"], ["settle"]]
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
P.n0,6,,169483182
P.n1,20,3,e92c61
P.n2,13,4,97e03f35
P.n3,4,,9976
P.n4,1,,72
P.n5,12,16,6
SERVICE.OvRetain.UseBackup,1,,1
SERVICE.OvRetain.AutoRun,1,,1
EOF
ovnode load-layout $L
# step 1: start killstart 269
ovretain 2>>"$LOG" >/dev/null & pid=$!
sleep 0.269
kill -KILL $pid
wait $pid
# step 2: start plain 147
ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 3: reboot
kill -KILL $pid
wait $pid
ovnode destroy --force
ovnode load-layout $L
# step 4: full 512
fallocate -l 4169216 "$D/filler"
# step 5: start nolink 6
OVRT_FAULT=link:1:EPERM:sticky ovretain 2>>"$LOG" >/dev/null & pid=$!
ready
# step 6: damage bin flip 2743311300 3878132307
printf '\x80' | dd of="$R"/'OvRetain.bin' bs=1 seek=62 conv=notrunc status=none
# step 7: load
ovnode load --wait --timeout 15
# step 8: write P.n1 814bf2
ovnode set P.n1 814bf2
# step 9: settle
sleep 1.7   # autosave / journal period
cat "$LOG"; ls -l "$R"
kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null
umount "$D" 2>/dev/null; rm -rf "$D" "$L" "$LOG"
