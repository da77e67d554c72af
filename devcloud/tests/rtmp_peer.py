"""A scripted RTMP publisher playing the device towards the relays: it
writes its chunks by hand (any chunk size, any handshake version, any
malformation a test wants) and reads what the relay answers."""

import hashlib
import hmac
import base64
import os
import socket
import struct
import time

from devcloud_lib import amf0, rtmp


def sign(secret_b64, name, pk, dn, token):
    """The device's signature, written out here from the rule, not taken
    from devcloud."""
    key = base64.b64decode(secret_b64)
    return hmac.new(key, ("%s-%s-%s-%s" % (name, pk, dn, token)).encode(), hashlib.sha256).hexdigest()


def chunks(cid, type_, sid, ts, payload, size, fmt=0):
    head = bytes([fmt << 6 | cid]) + min(ts, 0xFFFFFF).to_bytes(3, "big") + len(payload).to_bytes(3, "big")
    head += bytes([type_]) + struct.pack("<I", sid)
    ext = struct.pack(">I", ts) if ts >= 0xFFFFFF else b""
    out = head + ext + payload[:size]
    for off in range(size, len(payload), size):
        out += bytes([0xC0 | cid]) + ext + payload[off : off + size]
    return out


class Peer(object):
    def __init__(self, port, private=False, chunk_size=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.private = private
        self.out_chunk = chunk_size or (60000 if private else 128)
        self.reader = rtmp.ChunkReader(60000 if private else 128)
        self.inbox = []
        self.handshake_reply = b""

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def message(self, cid, type_, payload, sid=0, ts=0):
        self.send(chunks(cid, type_, sid, ts, payload, self.out_chunk))

    def command(self, *values, sid=0):
        self.message(3, rtmp.COMMAND_AMF0, amf0.encode_all(*values), sid)

    def c0c1(self):
        self.send(bytes([4 if self.private else 3]) + struct.pack(">II", int(time.time()), 0) + os.urandom(1528))

    def _recv_exact(self, n):
        buf = b""
        while len(buf) < n:
            b = self.sock.recv(n - len(buf))
            if not b:
                raise EOFError("closed after %d of %d bytes" % (len(buf), n))
            buf += b
        return buf

    def handshake(self):
        """Normal: C0 C1, read S0 S1 S2, send C2. Private: C0 C1 only, read
        S0 S1 (there is no S2)."""
        self.c0c1()
        self.finish_handshake()

    def finish_handshake(self):
        s0s1 = self._recv_exact(1537)
        self.handshake_reply = s0s1
        if not self.private:
            self._recv_exact(1536)
            self.send(s0s1[1:])

    def connect_publish(self, app, stream):
        self.command("connect", 1, {"app": app, "flashVer": "LNX 9,0,124,2", "tcUrl": "rtmp://x/" + app,
                                    "fpad": False, "capabilities": 15, "audioCodecs": 3191,
                                    "videoCodecs": 252, "videoFunction": 1, "objectEncoding": 0})  # fmt: skip
        if not self.private:
            self.command("releaseStream", 0, None, stream)
            self.command("FCPublish", 0, None, stream)
            self.command("createStream", 2, None)
        self.command("publish", 0, None, stream, "live", sid=1)

    def next(self, pred=lambda m: True, timeout=5.0):
        """The next received message for which pred holds (earlier ones are
        kept in inbox), or None when the relay closed or nothing came."""
        deadline = time.monotonic() + timeout
        while True:
            for i, m in enumerate(self.inbox):
                if pred(m):
                    return self.inbox.pop(i)
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                return None
            except ConnectionError:
                return None
            if not data:
                return None
            for m in self.reader.feed(data):
                if m.type == rtmp.SET_CHUNK_SIZE:
                    pass  # the reader applied it
                self.inbox.append(m)

    def status(self, code=None, timeout=5.0, keep_bytes=False):
        """The info object of the next onStatus (with that code); keep_bytes:
        a description that is not UTF-8 comes as bytes."""

        def pred(m):
            if m.type != rtmp.COMMAND_AMF0:
                return False
            v = amf0.decode_all(m.payload, keep_bytes)
            return v[0] == "onStatus" and (code is None or v[3].get("code") == code)

        m = self.next(pred, timeout)
        return amf0.decode_all(m.payload, keep_bytes)[3] if m else None

    def closed_by_peer(self, timeout=5.0):
        """True once the relay has closed the connection."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                if not self.sock.recv(65536):
                    return True
            except socket.timeout:
                return False
            except ConnectionError:
                return True
        return False
