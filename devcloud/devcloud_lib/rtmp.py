"""RTMP chunk stream, the server's view: a strict reader that reassembles
messages from bytes split anywhere, and a writer that cuts messages into
chunks. No sockets here; the relay feeds bytes in and sends what comes out.
"""

import struct

HANDSHAKE_SIZE = 1536
VERSION = 3
PRIVATE_VERSION = 4

# Message type ids.
SET_CHUNK_SIZE, ABORT, ACK, USER_CONTROL, WINDOW_ACK_SIZE, PEER_BANDWIDTH = 1, 2, 3, 4, 5, 6
AUDIO, VIDEO = 8, 9
DATA_AMF3, SHARED_OBJECT_AMF3, COMMAND_AMF3 = 15, 16, 17
DATA_AMF0, SHARED_OBJECT_AMF0, COMMAND_AMF0 = 18, 19, 20
AGGREGATE = 22

KNOWN_TYPES = {1, 2, 3, 4, 5, 6, 8, 9, 15, 16, 17, 18, 19, 20, 22}

MAX_CHUNK_STREAM = 65535 + 64
# A single message larger than this is refused rather than buffered: no key
# frame a camera sends comes near it.
MAX_MESSAGE = 8 * 1024 * 1024
# Chunk streams a peer may keep open at once (the device uses five).
MAX_OPEN_STREAMS = 32


class ProtocolError(ValueError):
    pass


class Message(object):
    __slots__ = ("cid", "type", "stream_id", "timestamp", "payload")

    def __init__(self, cid, type_, stream_id, timestamp, payload):
        self.cid = cid
        self.type = type_
        self.stream_id = stream_id
        self.timestamp = timestamp
        self.payload = payload

    def __repr__(self):
        return "Message(cid=%d type=%d sid=%d ts=%d len=%d)" % (
            self.cid, self.type, self.stream_id, self.timestamp, len(self.payload))  # fmt: skip


class _Stream(object):
    __slots__ = ("length", "type", "stream_id", "clock", "delta", "extended", "buf")

    def __init__(self):
        self.length = 0
        self.type = 0
        self.stream_id = 0
        self.clock = 0
        self.delta = 0
        self.extended = False
        self.buf = bytearray()


class ChunkReader(object):
    """feed(bytes) -> list of complete Messages; ProtocolError on anything a
    conforming peer never sends."""

    _HEADER_SIZES = (11, 7, 3, 0)

    def __init__(self, chunk_size=128):
        self.chunk_size = chunk_size
        self._streams = {}
        self._pending = bytearray()

    def set_chunk_size(self, size):
        if not 1 <= size <= 0x7FFFFFFF:
            raise ProtocolError("chunk size %d outside 1..2^31-1" % size)
        self.chunk_size = size

    def feed(self, data):
        self._pending += data
        out = []
        while True:
            got = self._one_chunk()
            if got is None:
                return out
            if got is not True:
                out.append(got)
                if got.type == SET_CHUNK_SIZE and len(got.payload) == 4:
                    # Takes effect on the very next chunk of this input.
                    self.set_chunk_size(struct.unpack(">I", got.payload)[0] & 0x7FFFFFFF)

    def _one_chunk(self):
        """One chunk from the pending bytes: None when incomplete, True when
        consumed without completing a message, else the Message. State is
        changed only once the whole chunk is there, so input may stop at
        any byte."""
        p = self._pending
        if not p:
            return None
        fmt, low = p[0] >> 6, p[0] & 0x3F
        basic = 2 if low == 0 else 3 if low == 1 else 1
        need = basic + self._HEADER_SIZES[fmt]
        if len(p) < need:
            return None
        cid = low if basic == 1 else 64 + p[1] if basic == 2 else 64 + p[1] + p[2] * 256
        st = self._streams.get(cid)
        if st is None:
            if fmt != 0:
                raise ProtocolError("format-%d chunk on chunk stream %d before any header" % (fmt, cid))
            if len(self._streams) >= MAX_OPEN_STREAMS:
                raise ProtocolError("more than %d chunk streams open" % MAX_OPEN_STREAMS)
        mid_message = st is not None and len(st.buf) > 0
        if mid_message and fmt != 3:
            raise ProtocolError("format-%d header inside a message on chunk stream %d" % (fmt, cid))
        h = p[basic:need]
        length = st.length if st else 0
        type_ = st.type if st else 0
        sid = st.stream_id if st else 0
        if fmt <= 1:
            length, type_ = int.from_bytes(h[3:6], "big"), h[6]
        if fmt == 0:
            sid = struct.unpack("<I", bytes(h[7:11]))[0]
        extended = st.extended if fmt == 3 else int.from_bytes(h[0:3], "big") == 0xFFFFFF
        ts = int.from_bytes(h[0:3], "big") if fmt <= 2 else None
        if extended:
            if len(p) < need + 4:
                return None
            if ts is not None:
                ts = struct.unpack(">I", bytes(p[need : need + 4]))[0]
            need += 4
        if type_ not in KNOWN_TYPES:
            raise ProtocolError("unknown message type %d on chunk stream %d" % (type_, cid))
        if length > MAX_MESSAGE:
            raise ProtocolError("message of %d bytes on chunk stream %d exceeds %d" % (length, cid, MAX_MESSAGE))
        have = len(st.buf) if st else 0
        take = min(length - have, self.chunk_size)
        if len(p) < need + take:
            return None
        if st is None:
            st = self._streams[cid] = _Stream()
        if not mid_message:
            if fmt == 0:
                st.clock, st.delta = ts, 0
            else:
                if fmt in (1, 2):
                    st.delta = ts
                st.clock = (st.clock + st.delta) & 0xFFFFFFFF
        st.length, st.type, st.stream_id, st.extended = length, type_, sid, extended
        st.buf += p[need : need + take]
        del p[: need + take]
        if len(st.buf) < st.length:
            return True
        payload, st.buf = bytes(st.buf), bytearray()
        return Message(cid, st.type, st.stream_id, st.clock, payload)


def basic_header(fmt, cid):
    if cid < 64:
        return bytes([fmt << 6 | cid])
    if cid < 320:
        return bytes([fmt << 6, cid - 64])
    return bytes([fmt << 6 | 1, (cid - 64) & 0xFF, (cid - 64) >> 8])


def chunk_message(cid, type_, stream_id, timestamp, payload, chunk_size):
    """A message as format-0 chunk plus format-3 continuations."""
    ts = min(timestamp, 0xFFFFFF)
    ext = struct.pack(">I", timestamp) if timestamp >= 0xFFFFFF else b""
    head = basic_header(0, cid) + ts.to_bytes(3, "big") + len(payload).to_bytes(3, "big")
    head += bytes([type_]) + struct.pack("<I", stream_id) + ext
    out = [head, payload[:chunk_size]]
    for off in range(chunk_size, len(payload), chunk_size):
        out += [basic_header(3, cid) + ext, payload[off : off + chunk_size]]
    return b"".join(out)


def control(type_, payload):
    return chunk_message(2, type_, 0, 0, payload, 128)


def user_control(event, *values):
    return control(USER_CONTROL, struct.pack(">H", event) + b"".join(struct.pack(">I", v) for v in values))
