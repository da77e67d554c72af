"""Hostile network peers for the soak: a TCP proxy that can cut every
connection through it, a listener that accepts and never answers, and an RTMP
relay that completes the handshake and then misbehaves on purpose.

All of them run on daemon threads inside the soak's own process and bind
loopback ports chosen by the kernel.
"""

import os
import random
import select
import socket
import struct
import threading
import time

from . import amf0

ATTACKS = ("malformed_chunk", "empty_audio_flood", "status_flood", "silence")


def _listener():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    s.listen(16)
    return s


def _close(s):
    try:
        s.close()
    except OSError:
        pass


class CuttingProxy:
    """Forwards loopback TCP to a target; cut() resets every open connection,
    and while refusing is set new connections are reset at once."""

    def __init__(self, target_port):
        self.target_port = target_port
        self._srv = _listener()
        self.port = self._srv.getsockname()[1]
        self._lock = threading.Lock()
        self._pairs = []
        self.refusing = False
        self.cuts = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                c, _ = self._srv.accept()
            except OSError:
                return
            if self.refusing:
                self._reset(c)
                continue
            try:
                u = socket.create_connection(("127.0.0.1", self.target_port), timeout=5)
            except OSError:
                self._reset(c)
                continue
            with self._lock:
                self._pairs.append((c, u))
            threading.Thread(target=self._pump, args=(c, u), daemon=True).start()

    @staticmethod
    def _reset(s):
        try:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        _close(s)

    def _pump(self, a, b):
        peers = {a: b, b: a}
        try:
            while True:
                r, _, _ = select.select([a, b], [], [], 1.0)
                for s in r:
                    data = s.recv(65536)
                    if not data:
                        raise OSError("closed")
                    peers[s].sendall(data)
        except (OSError, ValueError):
            pass
        finally:
            _close(a)
            _close(b)
            with self._lock:
                self._pairs = [p for p in self._pairs if p[0] is not a]

    def cut(self):
        with self._lock:
            pairs, self._pairs = self._pairs, []
        for c, u in pairs:
            self._reset(c)
            _close(u)
        self.cuts += 1
        return len(pairs)


class SilentListener:
    """Accepts connections and never sends a byte; holds them until closed
    by the peer or for `hold` seconds."""

    def __init__(self, hold=60.0):
        self._srv = _listener()
        self.port = self._srv.getsockname()[1]
        self.hold = hold
        self.accepted = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                c, _ = self._srv.accept()
            except OSError:
                return
            self.accepted += 1
            threading.Thread(target=self._hold, args=(c,), daemon=True).start()

    def _hold(self, c):
        end = time.monotonic() + self.hold
        try:
            while time.monotonic() < end:
                r, _, _ = select.select([c], [], [], 1.0)
                if r and not c.recv(65536):
                    break
        except OSError:
            pass
        _close(c)


def _chunk(csid, type_, payload, stream_id=0, ts=0, size=128):
    """One RTMP message as type-0 then type-3 chunks of `size` bytes."""
    out = bytearray()
    out += bytes([csid & 0x3F]) + ts.to_bytes(3, "big") + len(payload).to_bytes(3, "big")
    out += bytes([type_]) + struct.pack("<I", stream_id)
    first = True
    for i in range(0, max(len(payload), 1), size):
        if not first:
            out += bytes([0xC0 | (csid & 0x3F)])
        out += payload[i:i + size]
        first = False
    return bytes(out)


def _status(code, tx=0.0):
    return amf0.encode_all("onStatus", tx, None, {"level": "status", "code": code, "description": code})


class HostileRelay:
    """Takes the normal RTMP handshake, reads whatever the publisher sends,
    and runs the attack set by `attack` on each new connection."""

    def __init__(self, seed=0):
        self._srv = _listener()
        self.port = self._srv.getsockname()[1]
        self.attack = "silence"
        self.rng = random.Random(seed)
        self.log = []  # (time, attack, bytes sent, outcome)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                c, _ = self._srv.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(c, self.attack), daemon=True).start()

    @staticmethod
    def _read_exact(c, n, timeout):
        c.settimeout(timeout)
        buf = b""
        while len(buf) < n:
            d = c.recv(n - len(buf))
            if not d:
                raise OSError("peer closed")
            buf += d
        return buf

    def _drain(self, c):
        try:
            c.setblocking(False)
            while c.recv(65536):
                pass
        except OSError:
            pass

    def _serve(self, c, attack):
        sent = 0
        outcome = "done"
        try:
            c0c1 = self._read_exact(c, 1537, 10)
            s1 = struct.pack(">II", int(time.time()) & 0xFFFFFFFF, 0) + os.urandom(1528)
            if c0c1[0] == 4:
                # Private handshake: S0 and S1 only, no C2 follows.
                c.sendall(b"\x04" + s1)
            else:
                c.sendall(b"\x03" + s1 + c0c1[1:])
                self._read_exact(c, 1536, 10)
            time.sleep(0.2)
            self._drain(c)
            c.setblocking(True)
            c.settimeout(10)
            if attack == "silence":
                # Read and never answer for 45 s.
                end = time.monotonic() + 45
                while time.monotonic() < end:
                    r, _, _ = select.select([c], [], [], 1.0)
                    if r and not c.recv(65536):
                        outcome = "peer closed"
                        break
            elif attack == "malformed_chunk":
                # A type-0 header claiming a 16 MiB message of type 0x14, then noise.
                junk = bytes([0x03]) + b"\x00\x00\x00" + b"\xff\xff\xff" + b"\x14" + b"\x00\x00\x00\x00"
                junk += bytes(self.rng.getrandbits(8) for _ in range(4096))
                c.sendall(junk)
                sent += len(junk)
            elif attack == "empty_audio_flood":
                msg = _chunk(4, 8, b"", stream_id=1)
                block = msg * 2000
                for _ in range(50):
                    c.sendall(block)
                    sent += len(block)
            elif attack == "status_flood":
                msg = b"".join(_chunk(5, 20, _status(code), stream_id=1) for code in (
                    "NetStream.Publish.Start", "NetStream.Play.Start", "NetStream.Seek.Start",
                    "NetStream.Pause.Start", "NetStream.Unpause.Start", "NetStream.Unknown.Code"))
                block = msg * 300
                for _ in range(30):
                    c.sendall(block)
                    sent += len(block)
            time.sleep(2)
        except OSError as e:
            outcome = "error: %s" % e
        self.log.append((time.time(), attack, sent, outcome))
        _close(c)
