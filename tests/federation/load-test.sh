#!/bin/bash
# velmir-net load against its own mosquitto on loopback (run inside a network
# namespace of its own, see scripts/netns-run): the last line has the agreed
# form, and at this small size nothing owed is lost.
# Usage: load-test.sh VELMIR_NET [PILOTS] [SECONDS]
set -u
NET=$1
PILOTS=${2:-60}
SECONDS_RUN=${3:-4}
WORK=$(mktemp -d /tmp/velmir-load-XXXXXX)
trap 'kill "$MQ" 2>/dev/null; wait "$MQ" 2>/dev/null; rm -rf "$WORK"' EXIT
MOSQUITTO=$(command -v mosquitto || echo /usr/sbin/mosquitto)
[ -x "$MOSQUITTO" ] || { echo "skipped: mosquitto not installed"; exit 77; }
printf 'listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\n' \
  >"$WORK/broker.conf"
"$MOSQUITTO" -c "$WORK/broker.conf" >"$WORK/broker.log" 2>&1 &
MQ=$!
sleep 0.5
timeout 60 "$NET" load --broker 127.0.0.1 --pilots "$PILOTS" --seconds "$SECONDS_RUN" --seed 3 \
  >"$WORK/out.txt" 2>&1
rc=$?
cat "$WORK/out.txt"
[ $rc = 0 ] || { echo "FAIL: velmir-net load exited $rc"; exit 1; }
last=$(tail -n 1 "$WORK/out.txt")
echo "$last" | grep -Eq "^pilots=$PILOTS published=[0-9]+ delivered=[0-9]+ lost=[0-9]+ p50_ms=[0-9.]+ p99_ms=[0-9.]+ broker_msgs_per_s=[0-9]+$" ||
  { echo "FAIL: last line has not the agreed form"; exit 1; }
echo "$last" | grep -q " lost=0 " || { echo "FAIL: samples lost"; exit 1; }
echo "$last" | grep -q " published=0 " && { echo "FAIL: nothing published"; exit 1; }
grep -q " duplicates=0 " "$WORK/out.txt" || { echo "FAIL: duplicates"; exit 1; }
grep -q "^load: samples the pilots refused: 0$" "$WORK/out.txt" || { echo "FAIL: refused samples"; exit 1; }
echo "load: passed"
