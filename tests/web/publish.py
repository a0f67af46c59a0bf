"""Fake pilots for the map's browser tests: reads one JSON command a line on
stdin and keeps publishing every pilot it was given, once a second, on the
coarsest position tree ("pos"), as velmir-net join would for a far listener.

  {"pilot": {"callsign": "ABC1", "lat": 47.5, "lon": 8.5, "alt_m": 3000,
             "heading": 90, "speed": 0, "tail": "...", "name": "...", "model": "..."}}
  {"leave": "ABC1"}    identity cleared, samples stop (as join does on leaving)
  {"silence": "ABC1"}  samples stop, identity left as it is (a crash)
"""

import json
import math
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "network"))
import fakepilots  # noqa: E402

broker = sys.argv[1]
host, port = broker.rsplit(":", 1)
mqtt = fakepilots.Mqtt(host, int(port), "map-test-pilots")
pilots = {}
lock = threading.Lock()


def read_commands():
    for line in sys.stdin:
        command = json.loads(line)
        with lock:
            if "pilot" in command:
                p = dict(command["pilot"])
                p["since"] = time.monotonic()
                p["seq"] = 0
                pilots[p["callsign"]] = p
                mqtt.publish(fakepilots.identity_topic(p["callsign"]),
                             fakepilots.identity(p["callsign"], tail=p.get("tail"),
                                                 name=p.get("name"),
                                                 model=p.get("model", "Aircraft/Test/Cub.acf")),
                             retain=True)
                publish(p)
            elif "leave" in command:
                pilots.pop(command["leave"], None)
                mqtt.publish(fakepilots.identity_topic(command["leave"]), b"", retain=True)
            elif "silence" in command:
                pilots.pop(command["silence"], None)
        print("ok", flush=True)
    os._exit(0)  # the test ended


def publish(p):
    """The pilot's sample now: moved along its heading at its speed."""
    elapsed = time.monotonic() - p["since"]
    metres = p.get("speed", 0.0) * elapsed
    heading = math.radians(p.get("heading", 0.0))
    lat, lon = fakepilots.offset(p["lat"], p["lon"], metres * math.cos(heading),
                                 metres * math.sin(heading))
    east, north = p.get("speed", 0.0) * math.sin(heading), p.get("speed", 0.0) * math.cos(heading)
    p["seq"] += 20  # the coarsest tree carries every 20th sample
    mqtt.publish(fakepilots.position_topic(p["callsign"], lat, lon),
                 fakepilots.sample(p["seq"], lat, lon, p.get("alt_m", 3000.0), 100.0 + elapsed,
                                   heading=p.get("heading", 0.0), velocity=(east, 0.0, -north)))


threading.Thread(target=read_commands, daemon=True).start()
while True:
    time.sleep(1.0)
    with lock:
        for p in pilots.values():
            publish(p)
