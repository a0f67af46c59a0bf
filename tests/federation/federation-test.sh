#!/bin/bash
# Three brokers, one per network namespace ("regions" a, b, c on
# 10.74.73.0/24), every pair joined by a mosquitto bridge with the origin
# prefix rule of config/federation/. Checks, with the stock MQTT clients:
#   - a sample published on one broker reaches the other two, once each;
#   - nothing goes round the triangle (every payload arrives exactly once);
#   - with broker b stopped, a and c still see each other.
# Then, when a velmir-net binary is given, its load generator spreads pilots
# over the three brokers, b is stopped midway, and only b's pilots may move.
#
# Usage: federation-test.sh CONFIG_DIR [VELMIR_NET]   (needs root: ip netns)
# Exit 77 (skipped) without the rights to make namespaces.
set -u
CONFIG=$(cd "$1" && pwd)
NET=${2:-}
TAG=vf$$
WORK=$(mktemp -d /tmp/velmir-federation-XXXXXX)
PIDS=()

fail() {
  echo "FAIL: $*"
  tail -n 5 "$WORK"/broker-*.log
  exit 1
}
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  # Whatever still runs in our namespaces was started here: end it too.
  for ns in hub a b c; do
    for pid in $(ip netns pids "$TAG-$ns" 2>/dev/null); do kill "$pid" 2>/dev/null; done
  done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  for ns in hub a b c; do ip netns del "$TAG-$ns" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT

if [ "$(id -u)" != 0 ] || ! ip netns add "$TAG-hub" 2>/dev/null; then
  echo "skipped: needs root to create network namespaces"
  exit 77
fi
command -v mosquitto >/dev/null || command -v /usr/sbin/mosquitto >/dev/null || {
  echo "skipped: mosquitto not installed"; exit 77; }
MOSQUITTO=$(command -v mosquitto || echo /usr/sbin/mosquitto)

# A switch in the hub namespace, one veth from it into each region.
ip -n "$TAG-hub" link add br0 type bridge && ip -n "$TAG-hub" link set br0 up || fail "bridge"
i=0
for r in a b c; do
  i=$((i + 1))
  ns=$TAG-$r
  ip netns add "$ns" || fail "netns $r"
  ip -n "$TAG-hub" link add "v$r" type veth peer name eth0 netns "$ns" || fail "veth $r"
  ip -n "$TAG-hub" link set "v$r" master br0 up
  ip -n "$ns" link set lo up
  ip -n "$ns" addr add "10.74.73.$i/24" dev eth0
  ip -n "$ns" link set eth0 up
done
addr() { case $1 in a) echo 10.74.73.1 ;; b) echo 10.74.73.2 ;; c) echo 10.74.73.3 ;; esac; }
in_ns() { local r=$1; shift; ip netns exec "$TAG-$r" "$@"; }

start_broker() {
  # Not through in_ns: $! must be the broker itself, not a subshell.
  ip netns exec "$TAG-$1" "$MOSQUITTO" -c "$CONFIG/$1.conf" >"$WORK/broker-$1.log" 2>&1 &
  eval "BROKER_$1=$!"
  PIDS+=($!)
}
for r in a b c; do start_broker "$r"; done

# Bridges are up when a probe from each region reaches each other one.
# Bounded: 20 s.
probe_ok() {  # from to
  local got
  got=$(in_ns "$2" timeout 3 mosquitto_sub -h "$(addr "$2")" -t "velmir/v1/$1/pos/probe/+" \
    -C 1 -W 2 2>/dev/null &
    sleep 0.3
    in_ns "$1" mosquitto_pub -h "$(addr "$1")" -t "velmir/v1/local/pos/probe/P$1" -m x 2>/dev/null
    wait)
  [ "$got" = x ]
}
deadline=$((SECONDS + 20))
for pair in a:b a:c b:a b:c c:a c:b; do
  until probe_ok "${pair%:*}" "${pair#*:}"; do
    [ $SECONDS -lt $deadline ] || fail "bridge ${pair%:*} -> ${pair#*:} not up in 20 s"
    sleep 0.5
  done
done
echo "bridges up: a, b, c joined pairwise"

# Every region listens to everyone with the origin wildcard while each region
# publishes COUNT samples, ten a second. Expected per listener: COUNT from
# each of the three regions, once.
COUNT=100
for r in a b c; do
  in_ns "$r" timeout 30 mosquitto_sub -h "$(addr "$r")" -t 'velmir/v1/+/pos/47_8/+' \
    -F '%t %p' -C $((3 * COUNT)) -W 25 >"$WORK/heard-$r.txt" 2>/dev/null &
  PIDS+=($!)
  eval "SUB_$r=$!"
done
sleep 1
for r in a b c; do
  (for n in $(seq 1 $COUNT); do echo "$r-$n"; sleep 0.1; done) |
    in_ns "$r" mosquitto_pub -h "$(addr "$r")" -t "velmir/v1/local/pos/47_8/PILOT-${r^^}" -l &
  PIDS+=($!)
done
for r in a b c; do eval "wait \$SUB_$r"; done

for r in a b c; do
  f=$WORK/heard-$r.txt
  for from in a b c; do
    want="velmir/v1/local/pos/47_8/PILOT-${from^^}"
    [ "$from" = "$r" ] || want="velmir/v1/$from/pos/47_8/PILOT-${from^^}"
    n=$(awk -v t="$want" '$1 == t' "$f" | wc -l)
    [ "$n" = $COUNT ] || fail "region $r heard $n of $COUNT samples from $from on $want"
  done
  dups=$(awk '{print $2}' "$f" | sort | uniq -d | wc -l)
  [ "$dups" = 0 ] || fail "region $r heard $dups samples twice"
done
echo "every region heard every sample of the others once: no loop, no duplicate"

# Stop b: a and c still hear each other.
kill "$BROKER_b"; wait "$BROKER_b" 2>/dev/null
probe_ok a c || fail "a -> c lost with b stopped"
probe_ok c a || fail "c -> a lost with b stopped"
echo "with b stopped, a and c still hear each other"

# velmir-net: pilots on all three brokers, b stopped midway.
if [ -n "$NET" ]; then
  start_broker b
  deadline=$((SECONDS + 20))
  until probe_ok b a && probe_ok a b && probe_ok b c; do
    [ $SECONDS -lt $deadline ] || fail "b's bridges not back in 20 s"
    sleep 0.5
  done
  # Run from the hub namespace, which reaches all three addresses.
  ip netns exec "$TAG-hub" ip addr add 10.74.73.100/24 dev br0
  ip netns exec "$TAG-hub" ip link set lo up
  # All three up: across the bridges nothing owed is lost, nothing comes twice.
  ip netns exec "$TAG-hub" timeout 60 "$NET" load --broker 10.74.73.1 --broker 10.74.73.2 \
    --broker 10.74.73.3 --pilots 60 --seconds 5 --seed 7 --spread >"$WORK/steady.txt" 2>&1 ||
    { cat "$WORK/steady.txt"; fail "velmir-net load failed"; }
  grep -q '^heard from=a to=c count=[1-9]' "$WORK/steady.txt" || fail "c's pilots did not hear a's"
  tail -n 1 "$WORK/steady.txt" | grep -q ' lost=0 ' || { cat "$WORK/steady.txt"; fail "lost across the bridges"; }
  grep -q ' duplicates=0 ' "$WORK/steady.txt" || fail "a sample arrived twice"
  echo "velmir-net across three brokers: $(grep -o 'cross_p50_ms=[0-9.]* cross_p99_ms=[0-9.]*' "$WORK/steady.txt"), $(tail -n 1 "$WORK/steady.txt")"
  # Then b stopped midway.
  ip netns exec "$TAG-hub" timeout 60 "$NET" load --broker 10.74.73.1 --broker 10.74.73.2 \
    --broker 10.74.73.3 --pilots 60 --seconds 16 --seed 7 --spread \
    >"$WORK/load.txt" 2>&1 &
  LOAD=$!
  PIDS+=($LOAD)
  sleep 10  # joined, warmed up (5 s), measuring
  kill "$BROKER_b"
  wait "$LOAD" || { cat "$WORK/load.txt"; fail "velmir-net load failed"; }
  cat "$WORK/load.txt"
  grep -q '^moved home=b count=20$' "$WORK/load.txt" || fail "not every pilot of b moved"
  grep -q '^moved home=a count=0$' "$WORK/load.txt" || fail "a pilot of a moved"
  grep -q '^moved home=c count=0$' "$WORK/load.txt" || fail "a pilot of c moved"
  grep -q '^heard from=a to=c count=[1-9]' "$WORK/load.txt" || fail "c's pilots did not hear a's"
  grep -q '^heard from=c to=a count=[1-9]' "$WORK/load.txt" || fail "a's pilots did not hear c's"
  grep -q ' duplicates=0 ' "$WORK/load.txt" || fail "a sample arrived twice"
  echo "velmir-net: only b's pilots moved"
fi
echo "federation: passed"
