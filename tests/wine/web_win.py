"""The map page of velmir-net.exe under Wine, `join --web` and `map`, read
over loopback by a Linux program in the Windows pilot's namespace (Wine's
sockets are the namespace's own): the pilots each one hears as JSON, and the
page and its libraries, built into the program, as a browser loads them.
"""

import json
import math
import subprocess

from netlab import wait_until

# Run inside the namespace: the content type on one line, then the body.
FETCH = r"""
import sys, urllib.request
with urllib.request.urlopen(sys.argv[1], timeout=5) as r:
    sys.stdout.write(r.headers.get("Content-Type", "") + "\n")
    sys.stdout.flush()
    sys.stdout.buffer.write(r.read())
"""


def fetch(ns, url):
    """(content type, body bytes) of url, or (None, what went wrong)."""
    try:
        r = subprocess.run(["ip", "netns", "exec", ns, "python3", "-c", FETCH, url],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=15)
    except subprocess.TimeoutExpired:
        return None, "no answer in 15 s"
    if r.returncode:
        said = r.stderr.decode(errors="replace").strip().splitlines()
        return None, said[-1] if said else "exit %d" % r.returncode
    kind, _, body = r.stdout.partition(b"\n")
    return kind.decode(), body


def snapshot(ns, port):
    kind, body = fetch(ns, "http://127.0.0.1:%d/api/pilots" % port)
    if kind is None or not kind.startswith("application/json"):
        return None
    try:
        return json.loads(body)
    except ValueError:
        return None


def metres(pilot, where):
    north = (pilot["lat"] - where[0]) * 111195.0
    east = (pilot["lon"] - where[1]) * 111195.0 * math.cos(math.radians(where[0]))
    return math.hypot(north, east)


def by_callsign(doc):
    return {p["callsign"]: p for p in (doc or {}).get("pilots", [])}


def check_join_page(check, ns, port, heard, position, own):
    """join --web: the pilot it hears (with its slot) and its own aircraft."""
    doc = wait_until(lambda: (lambda d: d if by_callsign(d).get(heard, {}).get("slot") else None)(
        snapshot(ns, port)), 15)
    pilots = by_callsign(doc)
    if not check(doc and doc.get("kind") == "join",
                 "join --web under Wine answers /api/pilots from Linux with %s in a slot (%s)" %
                 (heard, sorted(pilots) if doc else fetch(ns, "http://127.0.0.1:%d/" % port)[1])):
        return
    owns = sorted(c for c, p in pilots.items() if p.get("own"))
    check(metres(pilots[heard], position) < 10 and owns == [own],
          "join --web: %s where it flies (%.1f m off), %s its own aircraft (%s)" %
          (heard, metres(pilots[heard], position), own, owns))


def check_map_page(check, ns, port, expected):
    """velmir-net map: every pilot of expected {callsign: (lat, lon)} from the
    broker, then the page and the libraries it loads."""
    doc = wait_until(lambda: (lambda d: d if set(expected) <= set(by_callsign(d)) else None)(
        snapshot(ns, port)), 20)
    pilots = by_callsign(doc)
    if not check(doc and doc.get("kind") == "map" and doc["status"]["broker"]["connected"],
                 "map under Wine: /api/pilots lists %s over TLS (%s)" %
                 (" and ".join(sorted(expected)), sorted(pilots) if doc else "no JSON")):
        return
    off = max(metres(pilots[c], where) for c, where in expected.items())
    check(off < 50, "map: each pilot where it is (at most %.1f m off)" % off)
    kind, page = fetch(ns, "http://127.0.0.1:%d/" % port)
    check(kind and kind.startswith("text/html") and b"map.js" in page,
          "map: / is the page (%s, %d bytes)" % (kind, len(page)))
    for path, wanted in (("/map.js", "javascript"), ("/lib/leaflet.js", "javascript"),
                         ("/lib/countries-110m.json", "json")):
        kind, body = fetch(ns, "http://127.0.0.1:%d%s" % (port, path))
        check(kind and wanted in kind and len(body) > 1000,
              "map: %s from the program (%s, %d bytes)" % (path, kind, len(body) if kind else 0))
