"""What the network test cases share: failing with a message, reading
what velmir-net and the simulators showed, starting pilots, publishing
straight to the broker, running in another network namespace."""

import ctypes
import os
import subprocess
import time

from netlab import BROKER_ADDRESS, seen


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)
    print("  ok: " + message)


def slotted(line):
    return {c: s for c, s in seen(line).items() if s}


def shown_slots(lab, name, since_wall):
    """slot -> number of records name's simulator showed it with after since_wall."""
    counts = {}
    with open(os.path.join(lab.out, name.lower() + ".track")) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 6 and parts[0] == "s" and float(parts[1]) >= since_wall:
                counts[int(parts[2])] = counts.get(int(parts[2]), 0) + 1
    return counts


def join_pilots(lab, callsigns, net_args=lambda cs: [], broker=None):
    """A namespace, a simulator on its own circuit and velmir-net per callsign."""
    pilots = {}
    for i, cs in enumerate(callsigns):
        ns, _ = lab.node()
        lab.start_sim(ns, cs.lower(), ["--centre", "%.4f" % (47.0 + 0.01 * i), "8.0",
                                       "--radius", str(1000 + 300 * i)])
        pilots[cs] = lab.start_net(ns, cs.lower(), cs, net_args(cs), broker)
        pilots[cs].ns = ns
    return pilots


def everyone_sees_everyone(pilots, timeout):
    start = time.monotonic()
    for cs, net in pilots.items():
        others = set(pilots) - {cs}
        line = net.wait_line(lambda l: set(slotted(l)) == others, timeout)
        if not line:
            raise Failure("%s sees %s, not %s" % (cs, seen(net.latest()), sorted(others)))
    return time.monotonic() - start


def publish(lab, topic, payload_file, *options):
    return subprocess.run(["ip", "netns", "exec", lab.broker_ns, "mosquitto_pub", "-h",
                           BROKER_ADDRESS, "-t", topic, "-f", payload_file, *options],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def write(lab, name, data):
    path = os.path.join(lab.out, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def netns_call(ns, fn):
    """Runs fn with this thread's network namespace switched to ns."""
    fd = os.open("/run/netns/" + ns, os.O_RDONLY)
    try:
        # setns(2) with CLONE_NEWNET: a thread may switch on its own.
        if ctypes.CDLL(None, use_errno=True).setns(fd, 0x40000000) != 0:
            raise OSError(ctypes.get_errno(), "setns")
    finally:
        os.close(fd)
    fn()
