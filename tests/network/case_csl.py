"""The CSL case: models a pilot already owns, matched to what others fly."""

import json
import os
import threading
import time

import fakepilots
from cases_common import check, netns_call
from netlab import BROKER_ADDRESS


def write_csl_package(folder):
    """A CSL package made here: a Swiss 737 of two objects (one with its gear
    animated), a 737 of no operator, each 2.5 m above its wheels."""
    pkg = os.path.join(folder, "SwissPack")
    os.makedirs(pkg, exist_ok=True)
    tri = ("POINT_COUNTS 3 0 0 3\nVT 0 -2.5 0 0 1 0 0 0\nVT 1 0 0 0 1 0 0 0\n"
           "VT 0 0 1 0 1 0 0 0\nIDX 0\nIDX 1\nIDX 2\n")
    objects = {
        "b738_swr_body.obj": "I\n800\nOBJ\n\n" + tri + "TRIS 0 3\n",
        "b738_swr_gear.obj": "I\n800\nOBJ\n\n" + tri + "ANIM_begin\n"
        "ANIM_rotate 1 0 0 0 90 0 1 libxplanemp/controls/gear_ratio\nTRIS 0 3\nANIM_end\n",
        "b738_body.obj": "I\n800\nOBJ\n\n" + tri + "TRIS 0 3\n",
    }
    for name, text in objects.items():
        with open(os.path.join(pkg, name), "w") as f:
            f.write(text)
    with open(os.path.join(pkg, "xsb_aircraft.txt"), "w") as f:
        f.write("EXPORT_NAME SwissPack\n\n"
                "OBJ8_AIRCRAFT B738_SWR\nOBJ8 SOLID YES SwissPack/b738_swr_body.obj\n"
                "OBJ8 SOLID YES SwissPack/b738_swr_gear.obj\nVERT_OFFSET 2.5\n"
                "AIRLINE B738 SWR\n\n"
                "OBJ8_AIRCRAFT B738_plain\nOBJ8 SOLID YES SwissPack/b738_body.obj\n"
                "VERT_OFFSET 2.5\nICAO B738\n")


def case_csl(lab):
    """CSL packages end to end: A (callsign SWR123) flies an aircraft whose
    .acf says B738 under a file name that says nothing; B, with a package
    of Swiss 737s, shows A with the Swiss 737's objects at A's height. C
    says A20N, a type B lacks: the class fallback. OLD publishes only a
    version-1 identity, as older companions do: still shown, its type
    guessed from its model path."""
    lab.start_broker(lab.broker_config("local.conf"))
    csl = os.path.join(lab.out, "csl")
    write_csl_package(csl)
    centre = (47.0, 8.0)

    ns_a, _ = lab.node()
    acf = os.path.join(lab.out, "a-root", "Aircraft", "Jet", "plane.acf")
    os.makedirs(os.path.dirname(acf), exist_ok=True)
    with open(acf, "w") as f:
        f.write("I\n1100 Version\nACF\n" + "".join("P _wing/%d/_span 10.0\n" % k
                                                  for k in range(2000)) +
                "P acf/_ICAO B738\nP acf/_name Jet\n")
    lab.start_sim(ns_a, "a", ["--centre", "%.4f" % centre[0], "%.4f" % centre[1],
                              "--radius", "1500", "--altitude", "1000",
                              "--model", "Aircraft/Jet/plane.acf", "--tail", "HB-JVA"])
    lab.start_net(ns_a, "a", "SWR123")

    ns_c, _ = lab.node()
    lab.start_sim(ns_c, "c", ["--parked", "--centre", "%.4f" % (centre[0] + 0.01), "%.4f" %
                              centre[1]])
    lab.start_net(ns_c, "c", "EZY45", ["--icao", "A20N"])

    ns_b, _ = lab.node()
    report = os.path.join(lab.out, "b-report.json")
    sim_b = lab.start_sim(ns_b, "b", ["--parked", "--centre", "%.4f" % (centre[0] - 0.01),
                                      "%.4f" % centre[1], "--report", report])
    b = lab.start_net(ns_b, "b", "VIEW", ["--csl", csl])

    stop = threading.Event()

    def old_pilot():
        mqtt = fakepilots.Mqtt(BROKER_ADDRESS, client_id="old")
        mqtt.publish(fakepilots.identity_topic("SWR777"),
                     fakepilots.identity("SWR777", model="Aircraft/Boeing 737-800/b738.acf"),
                     retain=True)
        start, seq = time.monotonic(), 0
        lat, lon = fakepilots.offset(centre[0], centre[1], -3000, 2000)
        while not stop.is_set():
            seq += 1
            mqtt.publish(fakepilots.position_topic("SWR777", lat, lon),
                         fakepilots.sample(seq, lat, lon, 1500, time.monotonic() - start))
            stop.wait(0.2)
        mqtt.close()

    publisher = threading.Thread(target=lambda: netns_call(lab.broker_ns, old_pilot), daemon=True)
    publisher.start()
    try:
        def rows(line):
            return {p["callsign"]: p for p in line["pilots"] if p.get("slot")}

        want = {"SWR123", "EZY45", "SWR777"}
        line = b.wait_line(lambda l: want <= set(rows(l)) and
                           all(rows(l)[cs]["match"] for cs in want), 40)
        check(line, "B shows SWR123, EZY45 and SWR777, each in a slot (%s)" %
              sorted(rows(b.latest() or {"pilots": []})))
        shown = rows(line)
        a = shown["SWR123"]
        check(a["type"] == "B738" and a["match"] == "type and operator" and
              a["csl_model"] == "SwissPack/B738_SWR",
              "SWR123 is a B738 (from its .acf) matched by type and operator to the Swiss 737 "
              "(%s, %s, %s)" % (a["type"], a["match"], a["csl_model"]))
        check(a["gear"] == "up", "SWR123, 600 m above the ground, is shown gear up (%s)" % a["gear"])
        c = shown["EZY45"]
        check(c["type"] == "A20N" and c["match"] == "class" and
              c["csl_model"].startswith("SwissPack/B738_"),
              "EZY45's A20N, which B's packages lack, falls back to a 737 of its class "
              "(%s, %s)" % (c["match"], c["csl_model"]))
        check(c["gear"] == "down", "EZY45, parked, is shown gear down (%s)" % c["gear"])
        old = shown["SWR777"]
        check(old["type"] == "" and old["match"] == "type and operator" and
              old["csl_model"] == "SwissPack/B738_SWR",
              "SWR777's version-1 identity: shown, its B738 guessed from the model path "
              "(%s, %s)" % (old["match"], old["csl_model"]))
        time.sleep(2)
        altitude_m = rows(b.latest())["SWR123"]["altitude_ft"] / 3.280839895
    finally:
        stop.set()
        publisher.join(5)
    lab.stop(sim_b)
    with open(report) as f:
        seen_by_b = json.load(f)
    objects = seen_by_b.get("slotObjects", {})
    slot = str(a["slot"])
    check(objects.get(slot) == ["b738_swr_body.obj", "b738_swr_gear.obj"],
          "B's simulator built slot %s of the Swiss 737's two objects (%s)" %
          (slot, objects.get(slot)))
    heights = [i["position"]["y"] for i in seen_by_b["instances"]
               if "inject%03d" % a["slot"] in i["object"] and i["positioned"]]
    check(heights and all(abs(y - altitude_m) < 30 for y in heights[-2:]),
          "its objects were placed at its height, %.0f m (%s)" %
          (altitude_m, ["%.1f" % y for y in heights[-2:]]))
