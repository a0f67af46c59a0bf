#!/bin/bash
# velmir-net load against its own mosquitto on loopback (run inside a network
# namespace of its own, see scripts/netns-run): the last line has the agreed
# form, and at this small size nothing owed is lost. Then once more with the
# broker's process id: the bare relay runs first and the headroom figures
# are known and sane.
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
# One run into $WORK/NAME: its output shown, its exit code checked, its
# last line in $last and that line's fixed first fields in $FORM.
load() {
  name=$1 pilots=$2
  shift 2
  timeout 60 "$NET" load --broker 127.0.0.1 --pilots "$pilots" --seed 3 "$@" >"$WORK/$name" 2>&1
  rc=$?
  cat "$WORK/$name"
  [ $rc = 0 ] || { echo "FAIL: velmir-net load $* exited $rc"; exit 1; }
  last=$(tail -n 1 "$WORK/$name")
  FORM="^pilots=$pilots published=[0-9]+ delivered=[0-9]+ lost=[0-9]+ p50_ms=[0-9.]+ p99_ms=[0-9.]+ broker_msgs_per_s=[0-9]+"
}
load out.txt "$PILOTS" --seconds "$SECONDS_RUN"
echo "$last" | grep -Eq "$FORM relay_msgs_per_cpu_s=unknown broker_cpu_s_per_pilot_s=unknown relay_share_pct=unknown half_share_pilots_est=unknown$" ||
  { echo "FAIL: last line has not the agreed form (without the broker's process id)"; exit 1; }
echo "$last" | grep -q " lost=0 " || { echo "FAIL: samples lost"; exit 1; }
echo "$last" | grep -q " published=0 " && { echo "FAIL: nothing published"; exit 1; }
grep -q " duplicates=0 " "$WORK/out.txt" || { echo "FAIL: duplicates"; exit 1; }
grep -q "^load: samples the pilots refused: 0$" "$WORK/out.txt" || { echo "FAIL: refused samples"; exit 1; }

# With the broker's process id: the relay first, then 20 pilots.
load relay.txt 20 --seconds 3 --broker-pid "$MQ"
echo "$last" | grep -Eq "$FORM relay_msgs_per_cpu_s=[0-9]+ broker_cpu_s_per_pilot_s=[0-9.]+ relay_share_pct=[0-9.]+ half_share_pilots_est=[0-9]+$" ||
  { echo "FAIL: headroom figures missing or unknown"; exit 1; }
field() { echo "$1" | grep -o " $2=[0-9.]*" | cut -d= -f2; }
relay=" $(grep '^relay_published=' "$WORK/relay.txt")"
# The bare relay carried each message to its 8 subscribers, none lost
# (stalls: the publishers waited for QoS 0 messages that never came; at
# either end of the measured span at most 4,000 deliveries are under way).
awk -v p="$(field "$relay" relay_published)" -v d="$(field "$relay" relay_delivered)" \
  -v s="$(field "$relay" relay_stalls)" 'BEGIN { exit !(p > 1000 && d >= 8 * p - 4000 && d <= 8 * p + 4000 && s == 0) }' ||
  { echo "FAIL: the relay did not carry each message to its 8 subscribers"; exit 1; }
# A broker relays thousands to a million messages per CPU-second; 20 pilots
# are a small share of that and the half mark lies beyond them; the share
# agrees with the messages and the capacity on the same line.
awk -v c="$(field "$last" relay_msgs_per_cpu_s)" -v m="$(field "$last" broker_msgs_per_s)" \
  -v share="$(field "$last" relay_share_pct)" -v half="$(field "$last" half_share_pilots_est)" \
  -v u="$(field "$last" broker_cpu_s_per_pilot_s)" \
  'BEGIN { exit !(c >= 5000 && c <= 1e7 && share > 0 && share < 10 &&
                  (share - 100 * m / c) ^ 2 < 0.01 && half > 20 && half < 1e6 && u < 0.05) }' ||
  { echo "FAIL: headroom figures out of range"; exit 1; }
echo "load: passed"
