"""A small network for pilots, made of Linux network namespaces (needs root).

One namespace holds a bridge (10.74.72.1/24) and mosquitto, started from a
file of config/broker/. Each pilot gets a namespace of its own, because the
plugin's port 7472 is fixed, joined to the bridge by a veth pair
(10.74.72.<10+n>), where velmir-sim runs the plugin and velmir-net joins the
broker. Used by scripts/fly-together and the network tests; everything it
starts or makes is undone by close(), also after an error.
"""

import json
import os
import re
import signal
import subprocess
import threading
import time

SUBNET = "10.74.72"
BROKER_ADDRESS = SUBNET + ".1"


class LabError(Exception):
    pass


def _ip(*args):
    r = subprocess.run(["ip", *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        raise LabError("ip %s: %s" % (" ".join(args), r.stderr.strip()))


def wait_until(predicate, timeout, step=0.05):
    """Polls predicate until it returns something true or timeout seconds pass;
    returns its last value."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)


class NetProcess:
    """A running velmir-net join --json: its lines, parsed, as they come."""

    def __init__(self, popen, callsign, json_path):
        self.popen = popen
        self.callsign = callsign
        self.lines = []
        self._lock = threading.Lock()
        self._file = open(json_path, "w")
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        for raw in self.popen.stdout:
            self._file.write(raw)
            self._file.flush()
            try:
                line = json.loads(raw)
            except ValueError:
                continue
            with self._lock:
                self.lines.append(line)

    def latest(self):
        with self._lock:
            return self.lines[-1] if self.lines else None

    def wait_line(self, predicate, timeout):
        """The first line from now on for which predicate holds, or None."""
        with self._lock:
            start = len(self.lines)

        def probe():
            with self._lock:
                for line in self.lines[start:]:
                    if predicate(line):
                        return line
            return None

        return wait_until(probe, timeout)

    def finish(self, timeout=10):
        self._thread.join(timeout)
        self._file.close()


def certificates(out):
    """A CA and a server certificate for the broker's address, made now in
    out: (ca, certificate, key) paths."""
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


def seen(line):
    """callsign -> slot (None without one) of a velmir-net --json line."""
    return {p["callsign"]: p.get("slot") for p in (line or {}).get("pilots", [])}


class Lab:
    def __init__(self, prefix, out, build, source):
        if len(prefix) > 8:
            raise LabError("namespace prefix longer than 8 characters")
        self.prefix, self.out = prefix, os.path.abspath(out)
        self.build, self.source = os.path.abspath(build), os.path.abspath(source)
        self.sim = os.path.join(self.build, "host", "velmir-sim")
        self.net = os.path.join(self.build, "net", "velmir-net")
        self.namespaces, self.processes, self.nodes = [], [], 0
        os.makedirs(self.out, exist_ok=True)
        self.broker_ns = prefix + "-br"
        try:
            self._namespace(self.broker_ns)
            _ip("-n", self.broker_ns, "link", "add", "br0", "type", "bridge")
            _ip("-n", self.broker_ns, "addr", "add", BROKER_ADDRESS + "/24", "dev", "br0")
            _ip("-n", self.broker_ns, "link", "set", "br0", "up")
        except LabError:
            self.close()  # no __exit__ for a constructor that failed
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _namespace(self, name):
        if subprocess.run(["ip", "netns", "add", name], stderr=subprocess.DEVNULL).returncode:
            raise LabError("cannot make namespace %s (a leftover? ip netns del %s)" % (name, name))
        self.namespaces.append(name)
        _ip("-n", name, "link", "set", "lo", "up")

    def node(self):
        """A new pilot namespace on the bridge; returns (namespace, address)."""
        self.nodes += 1
        n = self.nodes
        ns, address = "%s-n%d" % (self.prefix, n), "%s.%d" % (SUBNET, 10 + n)
        self._namespace(ns)
        _ip("link", "add", "%sh%d" % (self.prefix, n), "netns", ns, "type", "veth",
            "peer", "name", "%sb%d" % (self.prefix, n), "netns", self.broker_ns)
        _ip("-n", ns, "link", "set", "%sh%d" % (self.prefix, n), "name", "eth0")
        _ip("-n", ns, "addr", "add", address + "/24", "dev", "eth0")
        _ip("-n", ns, "link", "set", "eth0", "up")
        _ip("-n", self.broker_ns, "link", "set", "%sb%d" % (self.prefix, n), "master", "br0")
        _ip("-n", self.broker_ns, "link", "set", "%sb%d" % (self.prefix, n), "up")
        return ns, address

    # ---- processes

    def spawn(self, ns, args, log, stdout=None, stdin=None, cwd=None):
        log_file = open(os.path.join(self.out, log), "w")
        p = subprocess.Popen(["ip", "netns", "exec", ns, *args],
                             stdin=stdin if stdin is not None else subprocess.DEVNULL,
                             stdout=stdout if stdout is not None else log_file,
                             stderr=log_file, text=True, cwd=cwd,
                             start_new_session=True)  # Ctrl-C is for the caller to handle
        self.processes.append(p)
        return p

    def stop(self, p, sig=signal.SIGTERM, timeout=10):
        """Signals a process this lab started and waits for it; its exit code."""
        if p.poll() is None:
            p.send_signal(sig)
            try:
                p.wait(timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        return p.returncode

    def listening(self, ns, port, udp=False):
        r = subprocess.run(["ip", "netns", "exec", ns, "ss", "-Hln" + ("u" if udp else "t"),
                            "sport = :%d" % port], stdout=subprocess.PIPE, text=True)
        return bool(r.stdout.strip())

    # ---- the broker

    def broker_config(self, name, port=1883, paths=None):
        """config/broker/NAME with its listener on the bridge at PORT, the
        files it names (password_file, acl_file, cafile, ...) replaced by
        paths[key], written into the output folder; returns its path."""
        with open(os.path.join(self.source, "config", "broker", name)) as f:
            text = f.read()
        text = re.sub(r"(?m)^listener .*$", "listener %d %s" % (port, BROKER_ADDRESS), text)
        for key, value in (paths or {}).items():
            text = re.sub(r"(?m)^%s .*$" % key, "%s %s" % (key, value), text)
        path = os.path.join(self.out, "broker-" + name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def start_broker(self, config, port=1883, log="broker.log"):
        p = self.spawn(self.broker_ns, ["mosquitto", "-c", config], log)
        if not wait_until(lambda: p.poll() is not None or self.listening(self.broker_ns, port), 10):
            raise LabError("mosquitto did not open port %d" % port)
        if p.poll() is not None:
            raise LabError("mosquitto ended at start; see %s" % os.path.join(self.out, log))
        return p

    # ---- a pilot's simulator and velmir-net

    def start_sim(self, ns, name, args=()):
        root = os.path.join(self.out, name + "-root")
        os.makedirs(root, exist_ok=True)
        p = self.spawn(ns, [self.sim, "--root", root, "--quiet",
                            "--track", os.path.join(self.out, name + ".track"), *args],
                       name + "-sim.log")
        if not wait_until(lambda: p.poll() is not None or self.listening(ns, 7472, udp=True), 10):
            raise LabError("the plugin of %s did not open port 7472" % name)
        if p.poll() is not None:
            raise LabError("velmir-sim of %s ended at start" % name)
        return p

    def start_net(self, ns, name, callsign, args=(), broker=None, root=None):
        """velmir-net join for the simulator `root` (default: name's)."""
        p = self.spawn(ns, [self.net, "join", "--broker", broker or BROKER_ADDRESS + ":1883",
                            "--callsign", callsign,
                            "--root", os.path.join(self.out, (root or name) + "-root"), "--json",
                            *args],
                       name + "-net.log", stdout=subprocess.PIPE)
        return NetProcess(p, callsign, os.path.join(self.out, name + ".json"))

    def interface_bytes(self, ns):
        """(sent, received) bytes of a pilot namespace's link to the bridge."""
        def read(what):
            r = subprocess.run(["ip", "netns", "exec", ns, "cat",
                                "/sys/class/net/eth0/statistics/%s_bytes" % what],
                               stdout=subprocess.PIPE, text=True)
            return int(r.stdout.strip() or 0)
        return read("tx"), read("rx")

    def close(self):
        for p in reversed(self.processes):
            if p.poll() is None:
                p.terminate()
        for p in reversed(self.processes):
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.processes = []
        for ns in reversed(self.namespaces):
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
        self.namespaces = []
