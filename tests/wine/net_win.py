#!/usr/bin/env python3
"""A Windows pilot under Wine flying with a Linux pilot through the TLS and
password broker of config/broker/tls.conf (the callsign ACL of
network_acl), each pilot in a network namespace of its own
(tests/network/netlab.py).

The Linux pilot: velmir-sim with lin.xpl and the Linux velmir-net. The
Windows pilot: velmir-sim.exe with win.xpl and velmir-net.exe, both under
Wine in one prefix. It is set up as a pilot would: its settings file written
by --write-config into %APPDATA%\\Velmir, its simulator folder found from
x-plane_install_12.txt in %LOCALAPPDATA%, in a user profile, a certificate
folder and a simulator folder whose names are not ASCII.

velmir-net.exe then leaves four ways, each told apart by what the broker,
the Linux pilot and the Windows plugin see:
  its run time ends, Ctrl-C in its console (GenerateConsoleCtrlEvent), its
  console closed (CTRL_CLOSE_EVENT, as Windows sends it): identity cleared at
  once, an MQTT DISCONNECT, the plugin's slots removed and a
  DisconnectMessage, exit 0;
  killed: the broker's last will removes it, the plugin is told nothing.
Console events come from velmir-console-event.exe (tests/wine/ConsoleEvent.cpp).
While it first flies, its map page (join --web) and a `velmir-net.exe map`
beside it are read from Linux (tests/wine/web_win.py).

    net_win.py --build BUILD --build-win BUILD_WIN --net VELMIR_NET_EXE

Needs root (network namespaces); exits 77 (skipped) otherwise.
"""

import argparse
import json
import math
import os
import pty
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(SOURCE, "tests", "network"))
import netlab  # noqa: E402
from netlab import BROKER_ADDRESS, Lab, NetProcess, seen, wait_until  # noqa: E402
import web_win  # noqa: E402

FAILURES = []
CENTRE = (47.26, 11.34)
LIN_POSITION = (CENTRE[0] - 0.00004, CENTRE[1])  # 4.4 m south of the Windows pilot
USER = "Zoë"  # Wine names the profile folder after it
SIM_FOLDER = "X-Plane 12 Größe"  # C:\X-Plane 12 Größe
PLUGIN = "Resources/plugins/Velmir/64/win.xpl"
# What the plugin logs for a DisconnectMessage from its client.
CLIENT_LEFT = "Velmir: Client disconnected."
# What mosquitto logs (connection_messages true) for an MQTT DISCONNECT; a
# connection closed without one, which sends the last will, reads otherwise.
BROKER_LEFT = "Client vn-WIN1 disconnected."
WEB_PORT, MAP_PORT = 8470, 8471


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        FAILURES.append(what)
    return ok


def windows_path(path):
    """Wine's Z: drive is the Unix root."""
    return "Z:" + path.replace("/", "\\")


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def pilots_seen(net, timeout):
    line = net.wait_line(lambda l: l.get("pilots"), timeout)
    return {p["callsign"]: p for p in (line or {}).get("pilots", [])}


def metres(a, b):
    north = (a[0] - b[0]) * 111195.0
    east = (a[1] - b[1]) * 111195.0 * math.cos(math.radians(a[0]))
    return math.hypot(north, east)


def shown(track, since=0.0):
    """(wall, slot, (lat, lon)) of each remote aircraft a velmir-sim --track
    file recorded after since."""
    out = []
    for line in read(track).splitlines():
        parts = line.split()
        if len(parts) == 6 and parts[0] == "s" and float(parts[1]) >= since:
            out.append((float(parts[1]), int(parts[2]), (float(parts[3]), float(parts[4]))))
    return out


class Windows:
    """The Windows pilot's namespace and Wine prefix, and the programs run there."""

    def __init__(self, lab, build_win, net):
        self.lab = lab
        self.ns, _ = lab.node()
        self.prefix = os.path.join(lab.out, "wine")
        self.build_win = build_win
        self.net = net
        self.sender = os.path.join(build_win, "tests", "wine", "velmir-console-event.exe")
        self.env = ["env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "WINEPREFIX=" + self.prefix,
                    "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=", "USER=" + USER,
                    "LANG=C.UTF-8"]

    def spawn(self, program, args, log, **kw):
        return self.lab.spawn(self.ns, self.env + ["wine", program] + args, log, **kw)

    def run(self, program, args, timeout):
        """Runs a Windows program to its end; (exit code, its output)."""
        r = subprocess.run(["ip", "netns", "exec", self.ns] + self.env + ["wine", program] + args,
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True, timeout=timeout)
        return r.returncode, r.stdout.strip()

    def close(self):
        # The prefix's wineserver outlives the programs for a moment: end it
        # (and anything of this prefix still running) before the namespace goes.
        subprocess.run(["ip", "netns", "exec", self.ns] + self.env + ["wineserver", "-k"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)


def run(lab, build_win, net):
    passwd = os.path.join(lab.out, "passwd")
    for k, cs in enumerate(["LIN1", "WIN1"]):
        subprocess.run(["mosquitto_passwd", "-b"] + (["-c"] if k == 0 else []) +
                       [passwd, cs, "pw-" + cs], check=True)
    with open(os.path.join(lab.out, "LIN1.pw"), "w") as f:
        f.write("pw-LIN1\n")
    ca, crt, skey = netlab.certificates(lab.out)
    lab.start_broker(lab.broker_config("tls.conf", port=8883, paths={
        "password_file": passwd, "acl_file": os.path.join(SOURCE, "config", "broker", "acl"),
        "cafile": ca, "certfile": crt, "keyfile": skey}), port=8883, log="broker-tls.log")
    broker = "%s:8883" % BROKER_ADDRESS
    broker_log = os.path.join(lab.out, "broker-tls.log")

    # The Linux pilot, a few metres south of the Windows one.
    lin_ns, _ = lab.node()
    lab.start_sim(lin_ns, "lin", ["--parked", "--centre", str(LIN_POSITION[0]),
                                  str(LIN_POSITION[1])])
    lin = lab.start_net(lin_ns, "lin", "LIN1", ["--password-file",
                                                os.path.join(lab.out, "LIN1.pw"),
                                                "--tls-ca", ca], broker=broker)

    def lin_sees_win():
        return "WIN1" in seen(lin.latest())

    win = Windows(lab, build_win, net)
    try:
        run_windows(lab, win, lin, lin_sees_win, broker, broker_log, ca)
    finally:
        win.close()


def run_windows(lab, win, lin, lin_sees_win, broker, broker_log, ca):
    # A first run makes the Wine prefix and the profile.
    started = time.monotonic()
    code, version = win.run(win.net, ["--version"], 120)
    check(code == 0 and version.startswith("velmir-net "),
          "velmir-net.exe --version under Wine: %r (prefix made in %.0f s)" %
          (version, time.monotonic() - started))
    profile = os.path.join(win.prefix, "drive_c", "users", USER, "AppData")
    if not check(os.path.isdir(profile), "Wine made the user profile %s" % profile):
        return

    # The Windows simulator: velmir-sim.exe, XPLM_64.dll and win.xpl in a
    # simulator folder with a non-ASCII name, run there in real time.
    build_win = win.build_win
    sim_root = os.path.join(win.prefix, "drive_c", SIM_FOLDER)
    os.makedirs(os.path.join(sim_root, os.path.dirname(PLUGIN)))
    for f in ("velmir-sim.exe", "XPLM_64.dll"):
        shutil.copy(os.path.join(build_win, "host", f), sim_root)
    shutil.copy(os.path.join(build_win, "Velmir", "64", "win.xpl"),
                os.path.join(sim_root, PLUGIN))
    sim_log = os.path.join(lab.out, "win-sim.log")
    sim = win.spawn("velmir-sim.exe", ["--plugin", PLUGIN, "--parked", "--centre",
                                       str(CENTRE[0]), str(CENTRE[1]), "--track", "win.track",
                                       "--report", "win-report.json"], "win-sim.log",
                    cwd=sim_root)
    listening = wait_until(lambda: sim.poll() is not None or
                           lab.listening(win.ns, 7472, udp=True), 60)
    if not check(listening and sim.poll() is None,
                 "velmir-sim.exe runs win.xpl from C:\\%s, port 7472 open" % SIM_FOLDER):
        return

    folder = os.path.join(win.prefix, "drive_c", "Flüge Ärø")
    os.makedirs(folder)
    shutil.copy(ca, os.path.join(folder, "ca.crt"))
    with open(os.path.join(folder, "win.pw"), "w") as f:
        f.write("pw-WIN1\r\n")
    # As X-Plane's installer writes it: CR LF, a final backslash; a folder
    # without the plugin first.
    with open(os.path.join(profile, "Local", "x-plane_install_12.txt"), "w", newline="") as f:
        f.write("C:\\X-Plane 12 leer\\\r\nC:\\%s\\\r\n" % SIM_FOLDER)

    code, _ = win.run(win.net, ["join", "--broker", broker, "--callsign", "WIN1", "--tls-ca",
                                "C:\\Flüge Ärø\\ca.crt", "--password-file",
                                "C:\\Flüge Ärø\\win.pw", "--json", "--write-config"], 60)
    ini = os.path.join(profile, "Roaming", "Velmir", "velmir-net.ini")
    check(code == 0 and os.path.isfile(ini),
          "join --write-config wrote %%APPDATA%%\\Velmir\\velmir-net.ini (exit %s)" % code)

    def counts():
        return (read(sim_log).count(CLIENT_LEFT), read(broker_log).count(BROKER_LEFT))

    # 1. Only the run time (and the map page) on the command line; the rest
    # from the settings file and the installer's record. A map of the
    # network beside it, as another user of the broker.
    net = NetProcess(win.spawn(win.net, ["join", "--seconds", "25", "--web",
                                         "127.0.0.1:%d" % WEB_PORT], "wine-net.log",
                               stdout=subprocess.PIPE), "WIN1", os.path.join(lab.out, "win.json"))
    mapper = win.spawn(win.net, ["map", "--broker", broker, "--tls-ca", "C:\\Flüge Ärø\\ca.crt",
                                 "--username", "WIN1", "--password-file",
                                 "C:\\Flüge Ärø\\win.pw", "--listen",
                                 "127.0.0.1:%d" % MAP_PORT, "--seconds", "30"], "wine-map.log")
    others = pilots_seen(net, 60)
    check("LIN1" in others, "the Windows pilot sees LIN1 over TLS with a password")
    lin_seen = pilots_seen(lin, 30)
    check("WIN1" in lin_seen, "the Linux pilot sees WIN1")
    if "LIN1" in others:
        check(others["LIN1"]["distance_nm"] < 0.01,
              "LIN1 a few metres away: %.4f nm" % others["LIN1"]["distance_nm"])
    if "WIN1" in lin_seen:
        check(lin_seen["WIN1"]["distance_nm"] < 0.01,
              "WIN1, where win.xpl reports it, a few metres away: %.4f nm" %
              lin_seen["WIN1"]["distance_nm"])
    line = net.wait_line(lambda l: seen(l).get("LIN1"), 20)
    slot = seen(line).get("LIN1")
    check(slot, "LIN1 has a slot on Windows (%s)" % slot)
    track = os.path.join(sim_root, "win.track")
    if slot:
        since = time.time()
        shown_there = wait_until(lambda: [p for w, s, p in shown(track, since) if s == slot], 15)
        check(shown_there and metres(shown_there[-1], LIN_POSITION) < 10,
              "win.xpl shows LIN1 in slot %d where it is (%.1f m off)" %
              (slot, metres(shown_there[-1], LIN_POSITION) if shown_there else -1))
    shown_lin = wait_until(lambda: shown(os.path.join(lab.out, "lin.track"), time.time() - 1), 15)
    check(shown_lin and metres(shown_lin[-1][2], CENTRE) < 10,
          "lin.xpl shows WIN1 where win.xpl put it (%.1f m off)" %
          (metres(shown_lin[-1][2], CENTRE) if shown_lin else -1))
    log = read(os.path.join(lab.out, "wine-net.log"))
    check("simulator folder C:\\%s (from " % SIM_FOLDER in log,
          "the simulator folder came from x-plane_install_12.txt")
    slots = os.path.join(sim_root, "Resources", "plugins", "Velmir", "inject001", "object_list")
    check(os.path.isfile(slots), "velmir-net.exe wrote a slot folder under the non-ASCII root")
    web_win.check_join_page(check, win.ns, WEB_PORT, "LIN1", LIN_POSITION, "WIN1")
    web_win.check_map_page(check, win.ns, MAP_PORT, {"LIN1": LIN_POSITION, "WIN1": CENTRE})

    before = counts()
    net.popen.wait(60)
    left = time.time()
    net.finish()
    check(net.popen.returncode == 0, "its run time over, velmir-net.exe left with exit 0")
    check_left(net, lin_sees_win, before, counts, sim_log, track, left, "run time over")
    try:
        mapper.wait(15)
    except subprocess.TimeoutExpired:
        pass
    check(mapper.returncode == 0, "map: its run time over, exit 0 (%s)" % mapper.returncode)
    lab.stop(mapper, signal.SIGKILL)  # gone before a console event names velmir-net.exe

    # 2, 3. Started with no arguments (a double click), in a console: a
    # terminal on its standard input gives it one under Wine.
    for event, what in (("ctrl-c", "Ctrl-C in its console"), ("close", "its console closed")):
        begun = time.time()
        master, terminal = pty.openpty()
        net = NetProcess(win.spawn(win.net, [], "wine-net-%s.log" % event, stdout=subprocess.PIPE,
                                   stdin=terminal),
                         "WIN1", os.path.join(lab.out, "win-%s.json" % event))
        os.close(terminal)
        try:
            # Each in the other's slot: the identities are known, so that a
            # cleared one removes the pilot at once.
            back = wait_until(lambda: seen(lin.latest()).get("WIN1") and
                              seen(net.latest()).get("LIN1"), 60)
            if not check(back, "before %s: WIN1 back, each pilot in the other's slot" % what):
                continue
            slot = seen(net.latest()).get("LIN1")
            check(wait_until(lambda: [1 for w, s, p in shown(track, begun) if s == slot], 10),
                  "before %s: win.xpl shows LIN1 in slot %s" % (what, slot))
            before = counts()
            code, said = win.run(win.sender, [event, "velmir-net.exe"], 30)
            sent = time.time()
            check(code == 0, "%s: %s" % (what, said))
            if event == "close":
                # Windows ends the program when its handlers return; its
                # handler holds them 4 s for the main loop to leave.
                check("ended by itself" in said,
                      "%s: velmir-net.exe ended before its handler returned" % what)
            try:
                net.popen.wait(10)
            except subprocess.TimeoutExpired:
                pass
            net.finish()
            # Wine's default handler ends a program with exit 0 too: the
            # checks below tell a clean leave from that.
            check(net.popen.returncode == 0,
                  "%s: velmir-net.exe ended with exit 0 (%s)" % (what, net.popen.returncode))
            check_left(net, lin_sees_win, before, counts, sim_log, track, sent, what)
        finally:
            os.close(master)

    # 4. Killed: the broker's last will removes it; the plugin hears nothing.
    net = NetProcess(win.spawn(win.net, [], "wine-net-kill.log", stdout=subprocess.PIPE),
                     "WIN1", os.path.join(lab.out, "win-kill.json"))
    check(wait_until(lambda: seen(lin.latest()).get("WIN1") and seen(net.latest()).get("LIN1"),
                     60), "started again, each pilot in the other's slot")
    before = counts()
    net.popen.kill()
    killed = time.monotonic()
    gone = wait_until(lambda: not lin_sees_win(), 15)
    check(gone and time.monotonic() - killed < 10,
          "killed, WIN1 is gone within 10 s (%.1f s)" % (time.monotonic() - killed))
    net.popen.wait(10)
    net.finish()
    time.sleep(1)
    said = [l.split(": ", 1)[-1] for l in read(broker_log).splitlines() if "vn-WIN1" in l]
    check(counts() == before,
          "killed: no MQTT DISCONNECT, no DisconnectMessage (the broker: %r)" %
          (said[-1] if said else None))

    # The Windows simulator stopped with Ctrl-C (Wine turns SIGINT into
    # CTRL_C_EVENT): its report.
    sim.send_signal(signal.SIGINT)
    try:
        sim.wait(30)
    except subprocess.TimeoutExpired:
        pass
    check(sim.returncode == 0, "velmir-sim.exe stopped on Ctrl-C with exit 0 (%s)" %
          sim.returncode)
    try:
        with open(os.path.join(sim_root, "win-report.json"), encoding="utf-8") as f:
            report = json.load(f)
    except (OSError, ValueError) as e:
        check(False, "velmir-sim.exe's report: %s" % e)
        return
    after = report.get("afterStop", {})
    check(after.get("unloaded") and after.get("instancesLeft") == 0 and
          not report.get("hostErrors"),
          "win.xpl unloaded cleanly, no instance left, no misuse of the simulator API")
    check(sum(l.count(CLIENT_LEFT) for l in report.get("log", [])) == 3,
          "win.xpl's log: three DisconnectMessages, for the three clean leaves")


def check_left(net, lin_sees_win, before, counts, sim_log, track, since, how):
    """velmir-net.exe left cleanly: its last line, its identity, the MQTT
    DISCONNECT, and the plugin's slots and DisconnectMessage."""
    final = net.latest() or {}
    check(final.get("final") and final["counters"]["slots_used"] == 0,
          "%s: its last line is final, no slot in use" % how)
    gone = wait_until(lambda: not lin_sees_win(), 5)
    check(gone, "%s: the Linux pilot drops WIN1 within %.1f s" % (how, time.time() - since))
    now = wait_until(lambda: counts()[0] > before[0], 5) and counts()
    # A DISCONNECT, not a connection lost: the identity was cleared by
    # velmir-net, the broker sent no last will.
    check(now and now[0] == before[0] + 1 and now[1] == before[1] + 1,
          "%s: an MQTT DISCONNECT to the broker, a DisconnectMessage to win.xpl" % how)
    # What win.xpl logged since the DisconnectMessage before this one.
    parts = read(sim_log).split(CLIENT_LEFT)
    check(len(parts) > before[0] + 1 and "Velmir: Removing aircraft" in parts[before[0]],
          "%s: win.xpl removed LIN1's aircraft before the DisconnectMessage" % how)
    time.sleep(max(0.0, since + 2.0 - time.time()))
    check(not shown(track, since + 1.0), "%s: win.xpl shows no aircraft afterwards" % how)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the Linux build")
    parser.add_argument("--build-win", required=True, help="the MinGW-w64 build")
    parser.add_argument("--net", required=True,
                        help="velmir-net.exe (built with the posix thread model)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: network namespaces need root")
        return 77
    out = tempfile.mkdtemp(prefix="velmir-net-win-")
    os.chmod(out, 0o755)  # mosquitto reads its files as its own user
    begun = time.monotonic()
    try:
        with Lab("vnwin", out, args.build, SOURCE) as lab:
            run(lab, os.path.abspath(args.build_win), os.path.abspath(args.net))
    except netlab.LabError as e:
        check(False, str(e))
    print("   took %.0f s" % (time.monotonic() - begun))
    if FAILURES or os.environ.get("VELMIR_KEEP_WINE_DIR") == "1":
        print("kept %s" % out)
    else:
        shutil.rmtree(out, ignore_errors=True)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
