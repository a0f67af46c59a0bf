"""What `velmir-net map` costs with many pilots: N fake pilots on the
coarsest tree (one sample every 2 s each, as join sends there), one browser's
event stream read for a while. Prints the map server's CPU and memory and
the bytes a second that one browser receives. Loopback only, bounded in time.

  python3 tests/web/map_bench.py build/net/velmir-net [PILOTS] [SECONDS]
"""

import os
import random
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "network"))
import fakepilots  # noqa: E402

binary = sys.argv[1]
pilots = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 30.0
source = os.path.join(os.path.dirname(__file__), "..", "..")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


work = tempfile.mkdtemp(prefix="velmir-map-bench-")
broker_port, map_port = free_port(), int(os.environ.get("MAP_BENCH_PORT", 0)) or free_port()
with open(os.path.join(source, "config/broker/local.conf")) as f:
    config = f.read().replace("listener 1883 127.0.0.1", "listener %d 127.0.0.1" % broker_port)
with open(os.path.join(work, "broker.conf"), "w") as f:
    f.write(config)
procs = [subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(work, "broker.conf")],
                          stderr=subprocess.DEVNULL)]
time.sleep(0.5)
procs.append(subprocess.Popen([binary, "map", "--broker", "127.0.0.1:%d" % broker_port,
                               "--listen", "127.0.0.1:%d" % map_port,
                               "--seconds", str(seconds + 30)], stderr=subprocess.DEVNULL))
mapper = procs[-1]
time.sleep(0.5)

random.seed(7)
fleet = [("B%04d" % i, random.uniform(-60, 70), random.uniform(-179, 179), random.uniform(0, 360),
          random.uniform(0, 12000)) for i in range(pilots)]
stop = threading.Event()


def publish():
    mqtt = fakepilots.Mqtt("127.0.0.1", broker_port, "map-bench")
    for callsign, *_ in fleet:
        mqtt.publish(fakepilots.identity_topic(callsign), fakepilots.identity(callsign), retain=True)
    seq, start = 0, time.monotonic()
    while not stop.is_set():
        # Every pilot once every 2 s, spread over the two seconds.
        round_start = time.monotonic()
        for i, (callsign, lat, lon, heading, alt) in enumerate(fleet):
            mqtt.publish(fakepilots.position_topic(callsign, lat, lon),
                         fakepilots.sample(seq, lat, lon, alt, 100 + time.monotonic() - start,
                                           heading=heading, velocity=(50.0, 0.0, 0.0)))
            if i % 100 == 99:
                lag = round_start + 2.0 * (i + 1) / len(fleet) - time.monotonic()
                if lag > 0:
                    time.sleep(lag)
        seq = (seq + 20) & 0xFFFF
    for callsign, *_ in fleet:
        mqtt.publish(fakepilots.identity_topic(callsign), b"", retain=True)
    mqtt.close()


publisher = threading.Thread(target=publish)
publisher.start()
time.sleep(6)  # the table fills

received = [0]


def browser():
    s = socket.create_connection(("127.0.0.1", map_port))
    s.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    s.settimeout(1.0)
    while not stop.is_set():
        try:
            chunk = s.recv(65536)
        except socket.timeout:
            continue
        if not chunk:
            break
        received[0] += len(chunk)
    s.close()


reader = threading.Thread(target=browser)
reader.start()
time.sleep(2)  # past the first snapshot: measure the steady stream
bytes0, cpu0, t0 = received[0], cpu_seconds(mapper.pid), time.monotonic()
peak = 0.0
while time.monotonic() - t0 < seconds:
    time.sleep(1)
    peak = max(peak, rss_mib(mapper.pid))
elapsed = time.monotonic() - t0
cpu = (cpu_seconds(mapper.pid) - cpu0) / elapsed
rate = (received[0] - bytes0) / elapsed
with socket.create_connection(("127.0.0.1", map_port)) as s:
    s.sendall(b"GET /api/pilots HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
    whole = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        whole += chunk
stop.set()
publisher.join()
reader.join()
for p in reversed(procs):
    p.terminate()
    p.wait(timeout=10)
body = whole.split(b"\r\n\r\n", 1)[1]
shown = body.count(b'"callsign"')
print("map server, %d pilots at 0.5 Hz each, %.0f s:" % (pilots, elapsed))
print("  pilots in /api/pilots   %d" % shown)
print("  CPU                     %.1f %% of one core" % (cpu * 100))
print("  memory (peak RSS)       %.1f MiB" % peak)
print("  to one browser          %.0f kB/s (event stream)" % (rate / 1000))
print("  whole table             %.0f kB (/api/pilots, the first event)" % (len(body) / 1000))
