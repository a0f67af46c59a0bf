#!/usr/bin/env python3
"""Network tests: real mosquitto, real velmir-net, real simulators with the
plugin, each pilot in a network namespace of its own (netlab.py).

  network_tests.py --build DIR CASE      CASE: pilots, acl, crowd, fly, csl

Exit 0 passed, 1 failed (the lab's files stay in DIR/network-tests/CASE),
77 skipped (not root, or no network namespaces here).
"""

import argparse
import math
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fakepilots  # noqa: E402
import netlab  # noqa: E402
from case_csl import case_csl  # noqa: E402
from cases_common import (  # noqa: E402
    Failure, check, everyone_sees_everyone, join_pilots, netns_call, publish, shown_slots, slotted,
    write)
from netlab import BROKER_ADDRESS, seen  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


# ---- cases

def case_pilots(lab):
    """Four pilots; one killed hard; strangers' garbage; the broker restarted."""
    broker = lab.start_broker(lab.broker_config("local.conf"))
    pilots = join_pilots(lab, ["ONE", "TWO", "THREE", "FOUR"])
    check(everyone_sees_everyone(pilots, 30) < 30, "four pilots see each other, each in a slot")

    four_slot = {cs: slotted(pilots[cs].latest())["FOUR"] for cs in ("ONE", "TWO", "THREE")}
    killed = time.time()
    lab.stop(pilots.pop("FOUR").popen, signal.SIGKILL)
    for cs, net in pilots.items():
        gone = net.wait_line(lambda l: "FOUR" not in seen(l), 10)
        check(gone, "%s forgets FOUR within 10 s of its SIGKILL (%.1f s)" %
              (cs, time.time() - killed))
    time.sleep(1)  # the plugin removes the aircraft on velmir-net's next pass
    for cs in pilots:
        left = shown_slots(lab, cs, time.time() - 0.5)
        check(four_slot[cs] not in left, "%s's simulator no longer shows FOUR" % cs)

    # Strangers on the open broker: nothing they send may change anything.
    def view(line):
        return {p["callsign"]: (p.get("slot"), p.get("model")) for p in line["pilots"]}

    before = {cs: (view(net.latest()), net.latest()["counters"]["dropped"])
              for cs, net in pilots.items()}
    lat, lon = 47.003, 8.003
    good = fakepilots.sample(1, lat, lon, 1000, 1.0)
    nan = fakepilots.SAMPLE.pack(1, 1, 2, int(time.time() * 1e6), 1.0, float("nan"), lon, 1000,
                                 *([0.0] * 12), 0, 0, 0, 0, 0, -1.0, 0, 0)
    garbage = [
        ("velmir/v1/local/pos/47_8/ONE", b"\x01\x01garbage"),            # wrong size
        ("velmir/v1/local/pos/47_8/ONE", b"\x02" + good[1:]),            # wrong version
        ("velmir/v1/local/pos/47_8/TWO", nan),                           # not a number
        ("velmir/v1/local/pos/12_34/ONE", good),                         # not in its cell
        ("velmir/v1/local/pos/47_8/lower", good),                        # bad callsign
        ("velmir/v1/local/pos/47_8/ONE/x", good),                        # not a topic of ours
        ("velmir/v1/no.origin/pos/47_8/FIVE", good),                     # bad origin
        ("velmir/v1/local/id/TWO", fakepilots.identity("ONE")),          # spoofed callsign
        ("velmir/v1/local/id/THREE", fakepilots.identity("THREE")[:-1]),  # wrong size
    ]
    garbage_at = time.time()
    for k, (topic, payload) in enumerate(garbage):
        check(publish(lab, topic, write(lab, "garbage%d" % k, payload)) == 0,
              "a stranger publishes %d bytes on %s" % (len(payload), topic))
    for cs, net in pilots.items():
        # What reaches a pilot through its cell filter and the identity topics
        # it listens to, less what is on its own topics (a pilot ignores its
        # own callsign): ONE 3 + 2, TWO 4 + 1, THREE 5 + 1. Measured, not waited.
        due = before[cs][1] + {"ONE": 5, "TWO": 5, "THREE": 6}[cs]
        line = net.wait_line(lambda l: l["counters"]["dropped"] >= due, 5)
        check(line, "%s drops all %d of the strangers' messages it hears (dropped %s -> %s)" %
              (cs, due - before[cs][1], before[cs][1],
               (line or net.latest())["counters"]["dropped"]))
        later = net.wait_line(lambda l: True, 3)
        check(view(later) == before[cs][0],
              "%s sees the same pilots, models and slots as before" % cs)
        shown = shown_slots(lab, cs, garbage_at)
        check(set(shown) == {slot for slot, _ in before[cs][0].values()},
              "%s's simulator shows the same slots, no more (%s)" % (cs, sorted(shown)))

    # The broker restarted mid-flight, after a 3 s outage.
    lab.stop(broker)
    time.sleep(3)
    restarted = time.monotonic()
    lab.start_broker(lab.broker_config("local.conf"), log="broker2.log")
    for cs, net in pilots.items():
        others = set(pilots) - {cs}
        line = net.wait_line(lambda l: set(slotted(l)) == others and all(
            p["age_ms"] < 1000 for p in l["pilots"]), 10)
        check(line, "%s hears both others again %.1f s after the broker restarted" %
              (cs, time.monotonic() - restarted))
    settled = time.time()
    ghosts = {cs: net.wait_line(lambda l: set(seen(l)) != set(pilots) - {cs} or
                                l["counters"]["slots_used"] != 2, 3) for cs, net in pilots.items()}
    check(not any(ghosts.values()), "no ghosts for 3 s: each sees exactly the two others")
    for cs in pilots:
        shown = shown_slots(lab, cs, settled)
        check(len(shown) == 2, "%s's simulator shows exactly two aircraft (%s)" % (cs, shown))


def case_acl(lab):
    """Passwords and the callsign ACL; TLS with a CA made now. Exit codes for a
    wrong password or CA: NetProgram in net/tests/BrokerTest.cpp."""
    passwd = os.path.join(lab.out, "passwd")
    for k, cs in enumerate(["ONE", "TWO", "THIRD"]):
        subprocess.run(["mosquitto_passwd", "-b"] + (["-c"] if k == 0 else []) +
                       [passwd, cs, "pw-" + cs], check=True)
        write(lab, cs + ".pw", ("pw-%s\n" % cs).encode())
    acl = os.path.join(SOURCE, "config", "broker", "acl")
    lab.start_broker(lab.broker_config("secure.conf", paths={"password_file": passwd,
                                                             "acl_file": acl}))
    creds = lambda cs: ["--password-file", os.path.join(lab.out, cs + ".pw")]  # noqa: E731
    pilots = join_pilots(lab, ["ONE", "TWO"], creds)
    check(everyone_sees_everyone(pilots, 30) < 30, "with passwords, two pilots see each other")

    # ONE tries to speak for TWO; a listener logged in as THIRD hears ONE's
    # own topic, and TWO's only from TWO. Payloads print in hex.
    sub = subprocess.Popen(["ip", "netns", "exec", lab.broker_ns, "mosquitto_sub", "-h",
                            BROKER_ADDRESS, "-u", "THIRD", "-P", "pw-THIRD", "-F", "%t %x",
                            "-W", "4", "-t", "velmir/v1/+/pos/+/TWO", "-t", "velmir/v1/+/p250/+/TWO",
                            "-t", "velmir/v1/+/id/TWO",
                            "-t", "velmir/v1/+/pos/+/ONE"], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    time.sleep(1)  # the subscription has no acknowledgement we can see from here
    spoof = fakepilots.sample(1, 47.5, 8.5, 3000, 1.0)
    ident = fakepilots.identity("TWO", model="Spoofed")
    me = ["-u", "ONE", "-P", "pw-ONE"]
    publish(lab, "velmir/v1/local/pos/47_8/TWO", write(lab, "spoof", spoof), *me)
    # Another origin is a bridge's to write, not a pilot's, even for its own callsign.
    publish(lab, "velmir/v1/eu/pos/47_8/TWO", write(lab, "spoof", spoof), *me)
    publish(lab, "velmir/v1/eu/pos/47_8/ONE", write(lab, "spoof", spoof), *me)
    publish(lab, "velmir/v1/local/id/TWO", write(lab, "spoof-id", ident), *me)
    publish(lab, "velmir/v1/local/pos/47_8/ONE", write(lab, "marker", b"marker"), *me)
    heard = sub.communicate(timeout=10)[0]
    check("velmir/v1/local/pos/47_8/ONE " + b"marker".hex() in heard,
          "ONE may publish under its own callsign")
    own = [l for l in heard.splitlines() if l.startswith("velmir/v1/local/p250/")]
    check(any(l.split()[0].endswith("/TWO") for l in own) and "velmir/v1/local/id/TWO " in heard,
          "the listener hears TWO's own samples and identity")
    check(spoof.hex() not in heard and ident.hex() not in heard,
          "ONE can publish neither as TWO nor under another origin (the broker drops it)")
    anonymous = publish(lab, "velmir/v1/local/pos/47_8/TWO", os.path.join(lab.out, "spoof"))
    check(anonymous != 0, "without a password nobody may publish")
    line = pilots["ONE"].wait_line(lambda l: True, 3)
    check(slotted(line).keys() == {"TWO"}, "ONE still sees TWO, and nobody else")

    # TLS: a CA and a server certificate for the broker's address, made now.
    ca, crt, skey = netlab.certificates(lab.out)
    lab.start_broker(lab.broker_config("tls.conf", port=8883, paths={
        "password_file": passwd, "acl_file": acl, "cafile": ca, "certfile": crt,
        "keyfile": skey}), port=8883, log="broker-tls.log")
    for cs, net in pilots.items():
        check(lab.stop(net.popen) == 0, "%s leaves the plain broker with exit 0" % cs)
    tls = {cs: lab.start_net(net.ns, cs.lower() + "-tls", cs,
                             creds(cs) + ["--tls-ca", ca], broker=BROKER_ADDRESS,
                             root=cs.lower())
           for cs, net in pilots.items()}
    check(everyone_sees_everyone(tls, 30) < 30, "over TLS (port 8883), the two see each other")


def case_crowd(lab):
    """45 pilots in range: the 40 nearest hold the 40 slots, and keep them
    while their distances jitter."""
    lab.start_broker(lab.broker_config("local.conf"))
    ns, _ = lab.node()
    home = (47.4, 8.4)
    lab.start_sim(ns, "me", ["--parked", "--centre", "%.1f" % home[0], "%.1f" % home[1]])
    me = lab.start_net(ns, "me", "ME")
    # Pairs at the same distance (1 nm = 1852 m), so that the jitter keeps
    # swapping their order; C40 as far as the last pair, so the forty-first
    # keeps challenging; four more well beyond.
    crowd = []
    for k in range(45):
        nm = 2 + 0.25 * (min(k, 39) // 2) if k <= 40 else 20 + k
        north = nm * 1852 * math.cos(math.radians(k * 37.0))
        east = nm * 1852 * math.sin(math.radians(k * 37.0))
        crowd.append(("C%02d" % k, north, east))
    surely = {cs for cs, _, _ in crowd[:38]}
    maybe = {cs for cs, _, _ in crowd[38:41]}

    def nearest(line):
        held = set(slotted(line))
        return len(held) == 40 and surely <= held and held <= surely | maybe

    stop = threading.Event()

    def fly():
        mqtt = fakepilots.Mqtt(BROKER_ADDRESS, client_id="crowd")
        for cs, _, _ in crowd:
            mqtt.publish(fakepilots.identity_topic(cs), fakepilots.identity(cs), retain=True)
        start, seq, rng = time.monotonic(), 0, random.Random(7)
        while not stop.is_set():
            seq += 1
            now = time.monotonic() - start
            for cs, north, east in crowd:
                lat, lon = fakepilots.offset(home[0], home[1], north + rng.uniform(-40, 40),
                                             east + rng.uniform(-40, 40))
                mqtt.publish(fakepilots.position_topic(cs, lat, lon),
                             fakepilots.sample(seq, lat, lon, 1500, now))
            stop.wait(0.1)
        mqtt.close()

    # The crowd publishes from the broker's namespace.
    publisher = threading.Thread(target=lambda: netns_call(lab.broker_ns, fly), daemon=True)
    publisher.start()
    try:
        full = me.wait_line(lambda l: l["counters"]["slots_used"] == 40 and nearest(l), 30)
        check(full, "the 40 nearest of 45 pilots hold the 40 slots (%s used)" %
              (me.latest() or {}).get("counters", {}).get("slots_used"))
        held, since = slotted(full), time.time()
        changed = me.wait_line(lambda l: slotted(l) != held or len(l["pilots"]) != 45, 15)
        check(not changed, "for 15 s of jitter no slot changes hands (all 45 still listed)")
        shown = shown_slots(lab, "me", since)
        check(sorted(shown) == sorted(held.values()),
              "the simulator shows exactly those 40 slots (%d)" % len(shown))
    finally:
        stop.set()
        publisher.join(5)


def case_fly(lab_out, build, prefix):
    env = dict(os.environ, VELMIR_NETNS_PREFIX=prefix)
    r = subprocess.run([os.path.join(SOURCE, "scripts", "fly-together"), "3", "--build", build,
                        "--seconds", "15", "--out", lab_out], env=env)
    if r.returncode != 0:
        raise Failure("scripts/fly-together failed (exit %d)" % r.returncode)


CASES = {"pilots": case_pilots, "acl": case_acl, "crowd": case_crowd, "csl": case_csl}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("case", choices=["pilots", "acl", "crowd", "fly", "csl"])
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: needs root (network namespaces)")
        return 77
    prefix = "vn%d" % (os.getpid() % 100000)
    if subprocess.run(["ip", "netns", "add", prefix + "-p"], stderr=subprocess.DEVNULL).returncode:
        print("skipped: ip netns is unavailable here")
        return 77
    subprocess.run(["ip", "netns", "del", prefix + "-p"])
    build = os.path.abspath(args.build)
    out = os.path.join(build, "network-tests", args.case)
    shutil.rmtree(out, ignore_errors=True)
    try:
        if args.case == "fly":
            case_fly(out, build, prefix)
        else:
            with netlab.Lab(prefix, out, build, SOURCE) as lab:
                CASES[args.case](lab)
    except (Failure, netlab.LabError) as e:
        print("FAILED: %s\n(logs, tracks and JSON lines in %s)" % (e, out))
        return 1
    shutil.rmtree(out, ignore_errors=True)
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
