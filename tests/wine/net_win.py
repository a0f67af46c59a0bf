#!/usr/bin/env python3
"""velmir-net.exe under Wine, flying with a Linux pilot through the TLS and
password broker of config/broker/tls.conf, each pilot in a network namespace
of its own (tests/network/netlab.py). The Windows pilot is set up as a pilot
would: its settings file written by --write-config into %APPDATA%\\Velmir,
its simulator folder found from x-plane_install_12.txt in %LOCALAPPDATA%,
in a user profile, a certificate folder and a simulator folder whose names
are not ASCII. The Windows companion drives a simulator with lin.xpl (the
plugin's own Windows run is tests/wine/run-wine-e2e.sh).

    net_win.py --build BUILD --exe build-win/net/velmir-net.exe

Needs root (network namespaces); exits 77 (skipped) otherwise.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "network"))
import netlab  # noqa: E402
from netlab import BROKER_ADDRESS, Lab, NetProcess, wait_until  # noqa: E402

FAILURES = []
CENTRE = (47.26, 11.34)
USER = "Zoë"  # Wine names the profile folder after it


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        FAILURES.append(what)
    return ok


def windows_path(path):
    """Wine's Z: drive is the Unix root."""
    return "Z:" + path.replace("/", "\\")


def pilots_seen(net, timeout):
    line = net.wait_line(lambda l: l.get("pilots"), timeout)
    return {p["callsign"]: p for p in (line or {}).get("pilots", [])}


def certificates(out):
    ca, key = os.path.join(out, "ca.crt"), os.path.join(out, "ca.key")
    crt, skey = os.path.join(out, "server.crt"), os.path.join(out, "server.key")
    csr, ext = os.path.join(out, "server.csr"), os.path.join(out, "san.ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:%s\n" % BROKER_ADDRESS)
    quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=velmir test CA", "-keyout", key, "-out", ca], **quiet)
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj",
                    "/CN=" + BROKER_ADDRESS, "-keyout", skey, "-out", csr], **quiet)
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", key,
                    "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", crt], **quiet)
    os.chmod(skey, 0o644)  # mosquitto reads it as its own user
    return ca, crt, skey


def run(lab, exe):
    passwd = os.path.join(lab.out, "passwd")
    for k, cs in enumerate(["LIN1", "WIN1"]):
        subprocess.run(["mosquitto_passwd", "-b"] + (["-c"] if k == 0 else []) +
                       [passwd, cs, "pw-" + cs], check=True)
    with open(os.path.join(lab.out, "LIN1.pw"), "w") as f:
        f.write("pw-LIN1\n")
    ca, crt, skey = certificates(lab.out)
    lab.start_broker(lab.broker_config("tls.conf", port=8883, paths={
        "password_file": passwd, "acl_file": os.path.join(SOURCE, "config", "broker", "acl"),
        "cafile": ca, "certfile": crt, "keyfile": skey}), port=8883, log="broker-tls.log")
    broker = "%s:8883" % BROKER_ADDRESS

    # The Linux pilot, a few metres south of the Windows one.
    lin_ns, _ = lab.node()
    lab.start_sim(lin_ns, "lin", ["--parked", "--centre", str(CENTRE[0] - 0.00004),
                                  str(CENTRE[1])])
    lin = lab.start_net(lin_ns, "lin", "LIN1", ["--password-file",
                                                os.path.join(lab.out, "LIN1.pw"),
                                                "--tls-ca", ca], broker=broker)

    # The Windows pilot: its simulator folder and user profile.
    win_ns, _ = lab.node()
    lab.start_sim(win_ns, "win-größe", ["--parked", "--centre", str(CENTRE[0]),
                                        str(CENTRE[1])])
    sim_root = os.path.join(lab.out, "win-größe-root")
    # The plugin installed there, as the lookup of the simulator folder wants it.
    os.makedirs(os.path.join(sim_root, "Resources", "plugins", "Velmir"), exist_ok=True)
    env = dict(os.environ, WINEPREFIX=os.path.join(lab.out, "wine"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", USER=USER, LANG="C.UTF-8")

    def wine(args, log, stdout=None):
        return lab.spawn(win_ns, ["env"] + ["%s=%s" % kv for kv in env.items()
                                            if kv[0].startswith(("WINE", "USER", "LANG"))] +
                         ["wine", exe] + args, log, stdout=stdout)

    # A first run makes the Wine prefix and the profile.
    p = wine(["--version"], "wine-version.log", stdout=subprocess.PIPE)
    version = p.communicate(timeout=120)[0]
    check(p.returncode == 0 and version.startswith("velmir-net "),
          "velmir-net.exe --version under Wine: %r" % version.strip())
    profile = os.path.join(lab.out, "wine", "drive_c", "users", USER, "AppData")
    if not check(os.path.isdir(profile), "Wine made the user profile %s" % profile):
        return
    folder = os.path.join(lab.out, "wine", "drive_c", "Flüge Ärø")
    os.makedirs(folder)
    shutil.copy(ca, os.path.join(folder, "ca.crt"))
    with open(os.path.join(folder, "win.pw"), "w") as f:
        f.write("pw-WIN1\r\n")
    # As X-Plane's installer writes it: CR LF, a final backslash; a folder
    # without the plugin first.
    with open(os.path.join(profile, "Local", "x-plane_install_12.txt"), "w", newline="") as f:
        f.write("C:\\X-Plane 12 leer\\\r\n%s\\\r\n" % windows_path(sim_root))

    p = wine(["join", "--broker", broker, "--callsign", "WIN1", "--tls-ca",
              "C:\\Flüge Ärø\\ca.crt", "--password-file", "C:\\Flüge Ärø\\win.pw", "--json",
              "--write-config"], "wine-write-config.log")
    p.wait(60)
    ini = os.path.join(profile, "Roaming", "Velmir", "velmir-net.ini")
    check(p.returncode == 0 and os.path.isfile(ini),
          "join --write-config wrote %%APPDATA%%\\Velmir\\velmir-net.ini (exit %s)" % p.returncode)

    # Only the run time on the command line; the rest from the settings file
    # and the installer's record.
    win = NetProcess(wine(["join", "--seconds", "40"], "wine-net.log", stdout=subprocess.PIPE),
                     "WIN1", os.path.join(lab.out, "win.json"))
    seen = pilots_seen(win, 60)
    check("LIN1" in seen, "the Windows pilot sees LIN1 over TLS with a password")
    lin_seen = pilots_seen(lin, 30)
    check("WIN1" in lin_seen, "the Linux pilot sees WIN1")
    if "LIN1" in seen:
        check(seen["LIN1"]["distance_nm"] < 0.01,
              "LIN1 a few metres away: %.4f nm" % seen["LIN1"]["distance_nm"])
        check(wait_until(lambda: win.latest() and any(
            p.get("slot") for p in win.latest().get("pilots", [])), 20), "LIN1 has a slot on Windows")
    with open(os.path.join(lab.out, "wine-net.log"), encoding="utf-8", errors="replace") as f:
        log = f.read()
    check("simulator folder " + windows_path(sim_root) in log,
          "the simulator folder came from x-plane_install_12.txt")
    slots = os.path.join(sim_root, "Resources", "plugins", "Velmir", "inject001", "object_list")
    check(os.path.isfile(slots), "velmir-net.exe wrote a slot folder under the non-ASCII root")

    # Leaving when the run time ends: identity and slots cleared.
    win.popen.wait(60)
    check(win.popen.returncode == 0, "velmir-net.exe left with exit 0")
    final = win.latest() or {}
    check(final.get("final") and final["counters"]["slots_used"] == 0,
          "its last line is final, no slot in use")
    check(wait_until(lambda: "WIN1" not in {p["callsign"] for p in
                                            (lin.latest() or {}).get("pilots", [])}, 5),
          "the Linux pilot drops WIN1 at once: identity cleared")

    # Killed: the broker's last will removes it.
    win = NetProcess(wine([], "wine-net-2.log", stdout=subprocess.PIPE), "WIN1",
                     os.path.join(lab.out, "win-2.json"))
    check(wait_until(lambda: "WIN1" in {p["callsign"] for p in
                                        (lin.latest() or {}).get("pilots", [])}, 60),
          "started with no arguments (a double click), WIN1 is back")
    win.popen.kill()
    killed = time.monotonic()
    gone = wait_until(lambda: "WIN1" not in {p["callsign"] for p in
                                             (lin.latest() or {}).get("pilots", [])}, 15)
    check(gone and time.monotonic() - killed < 10,
          "killed, WIN1 is gone within 10 s (%.1f s)" % (time.monotonic() - killed))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--exe", required=True)
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: network namespaces need root")
        return 77
    out = tempfile.mkdtemp(prefix="velmir-net-win-")
    os.chmod(out, 0o755)  # mosquitto reads its files as its own user
    try:
        with Lab("vnwin", out, args.build, SOURCE) as lab:
            run(lab, os.path.abspath(args.exe))
    except netlab.LabError as e:
        check(False, str(e))
    if FAILURES or os.environ.get("VELMIR_KEEP_WINE_DIR") == "1":
        print("kept %s" % out)
    else:
        shutil.rmtree(out, ignore_errors=True)
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
