"""Pilots without a simulator, for the network tests: a minimal MQTT 3.1.1
publisher (standard library only) and the two payloads of docs/network.md,
written here from their byte tables (literal offsets, not velmir-net's code),
so a layout change on either side shows up as a test failure.
"""

import math
import socket
import struct
import time

# Sample, 108 bytes: version 1, kind 1, sequence u16, sent-at u64 (CLOCK_REALTIME
# microseconds), time f64, lat f64, lon f64, alt f64 (m), pitch bank heading
# f32, velocity x y z f32, rates x3 f32, accelerations x3 f32, yoke x3 i16,
# brakes x2 i16, radio altitude f32, position flags u8, reserved u8.
SAMPLE = struct.Struct("<BBHQdddd3f3f3f3f3h2hfBB")
# Identity, 332 bytes: version 1, kind 2, livery u8, reserved u8, callsign
# 12, display name 20, tail number 40, model 256 (zero-terminated texts).
IDENTITY = struct.Struct("<BBBB12s20s40s256s")
assert SAMPLE.size == 108 and IDENTITY.size == 332


def sample(seq, lat, lon, alt, sim_time, heading=0.0, velocity=(0.0, 0.0, 0.0), sent=None):
    sent = int((time.time() if sent is None else sent) * 1e6)
    return SAMPLE.pack(1, 1, seq & 0xFFFF, sent, sim_time, lat, lon, alt, 0.0, 0.0, heading,
                       *velocity, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0, 0, 0, 0, 0, -1.0, 0, 0)


def identity(callsign, tail=None, model="Aircraft/Laminar Research/Cessna 172SP/Cessna_172SP.acf",
             name=None, livery=0):
    return IDENTITY.pack(1, 2, livery, 0, callsign.encode(), (name or callsign).encode(),
                         (tail or callsign).encode(), model.encode())


def cell(lat, lon):
    return "%d_%d" % (math.floor(lat), math.floor(lon))


def position_topic(callsign, lat, lon, origin="local"):
    return "velmir/v1/%s/pos/%s/%s" % (origin, cell(lat, lon), callsign)


def identity_topic(callsign, origin="local"):
    return "velmir/v1/%s/id/%s" % (origin, callsign)


def offset(lat, lon, north_m, east_m):
    """The point north_m, east_m metres from (lat, lon)."""
    return (lat + north_m / 111320.0,
            lon + east_m / (111320.0 * math.cos(math.radians(lat))))


class Mqtt:
    """One MQTT connection that publishes at QoS 0 (no keep-alive)."""

    def __init__(self, host, port=1883, client_id=""):
        self.sock = socket.create_connection((host, port), timeout=5)
        # Clean session, no credentials: the open broker of local.conf.
        self._send(0x10, self._text("MQTT") + bytes([4, 0x02, 0, 0]) + self._text(client_id))
        header = self._read(2)
        body = self._read(header[1])
        if header[0] != 0x20 or body[1] != 0:
            raise ConnectionError("broker refused the connection (code %d)" % body[1])

    @staticmethod
    def _text(s):
        b = s.encode()
        return struct.pack(">H", len(b)) + b

    def _read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("broker closed the connection")
            data += chunk
        return data

    def _send(self, kind, body):
        length, n = b"", len(body)
        while True:
            byte, n = n % 128, n // 128
            length += bytes([byte | (0x80 if n else 0)])
            if not n:
                break
        self.sock.sendall(bytes([kind]) + length + body)

    def publish(self, topic, payload, retain=False):
        self._send(0x30 | (1 if retain else 0), self._text(topic) + payload)

    def close(self):
        try:
            self._send(0xE0, b"")
        finally:
            self.sock.close()
