"""AMF0 values as Python values, both ways.

Number <-> float, Boolean <-> bool, String and Long String <-> str (text,
UTF-8) or bytes (sent as they are: a String may carry binary, as the play
parameters do, an AMF0 Object inside a String), Object and ECMA Array <->
dict (insertion order kept), Strict Array <-> list, Null and Undefined <->
None. Decoding is strict: every read is bounded by
the buffer, nesting is bounded by MAX_DEPTH (a peer can nest objects a
hundred thousand deep in a few hundred kilobytes), and anything else is an
Amf0Error that names the offset.
"""

import struct

MAX_DEPTH = 32

NUMBER, BOOLEAN, STRING, OBJECT, NULL, UNDEFINED = 0, 1, 2, 3, 5, 6
ECMA_ARRAY, OBJECT_END, STRICT_ARRAY, DATE, LONG_STRING = 8, 9, 10, 11, 12


class Amf0Error(ValueError):
    pass


class Reader(object):
    """keep_bytes: a String value that is not UTF-8 comes back as bytes
    rather than failing (keys are always text)."""

    def __init__(self, data, pos=0, keep_bytes=False):
        self.data = bytes(data)
        self.pos = pos
        self.keep_bytes = keep_bytes

    def _take(self, n):
        if self.pos + n > len(self.data):
            raise Amf0Error("truncated at offset %d (needs %d bytes)" % (self.pos, n))
        b = self.data[self.pos : self.pos + n]
        self.pos += n
        return b

    def at_end(self):
        return self.pos >= len(self.data)

    def _text(self, n, value=False):
        raw = self._take(n)
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            if value and self.keep_bytes:
                return raw
            raise Amf0Error("string at offset %d is not UTF-8" % (self.pos - n))

    def _key(self, value=False):
        (n,) = struct.unpack(">H", self._take(2))
        return self._text(n, value)

    def _properties(self, depth):
        out = {}
        while True:
            key = self._key()
            if key == "" and self.data[self.pos : self.pos + 1] == bytes([OBJECT_END]):
                self.pos += 1
                return out
            out[key] = self.value(depth + 1)

    def value(self, depth=0):
        if depth > MAX_DEPTH:
            raise Amf0Error("nesting deeper than %d at offset %d" % (MAX_DEPTH, self.pos))
        start = self.pos
        marker = self._take(1)[0]
        if marker == NUMBER:
            return struct.unpack(">d", self._take(8))[0]
        if marker == BOOLEAN:
            return self._take(1)[0] != 0
        if marker == STRING:
            return self._key(value=True)
        if marker == LONG_STRING:
            (n,) = struct.unpack(">I", self._take(4))
            return self._text(n, value=True)
        if marker in (NULL, UNDEFINED):
            return None
        if marker == OBJECT:
            return self._properties(depth)
        if marker == ECMA_ARRAY:
            self._take(4)  # the count is advisory; the end marker decides
            return self._properties(depth)
        if marker == STRICT_ARRAY:
            (n,) = struct.unpack(">I", self._take(4))
            if n > len(self.data) - self.pos:  # every element takes a byte at least
                raise Amf0Error("array of %d elements at offset %d exceeds the data" % (n, start))
            return [self.value(depth + 1) for _ in range(n)]
        if marker == DATE:
            ms = struct.unpack(">d", self._take(8))[0]
            self._take(2)
            return ms
        raise Amf0Error("unsupported marker %d at offset %d" % (marker, start))


def decode_all(data, keep_bytes=False):
    """Every value of a command or data message body."""
    r = Reader(data, keep_bytes=keep_bytes)
    out = []
    while not r.at_end():
        out.append(r.value())
    return out


def _encode_key(key):
    raw = key.encode("utf-8")
    if len(raw) > 0xFFFF:
        raise Amf0Error("key longer than 65535 bytes")
    return struct.pack(">H", len(raw)) + raw


def encode(value):
    if value is None:
        return bytes([NULL])
    if isinstance(value, bool):
        return bytes([BOOLEAN, 1 if value else 0])
    if isinstance(value, (int, float)):
        return bytes([NUMBER]) + struct.pack(">d", float(value))
    if isinstance(value, (str, bytes, bytearray)):
        # bytes go out untouched: encoding binary carried in a str as UTF-8
        # would turn every byte >= 0x80 into two.
        raw = value.encode("utf-8") if isinstance(value, str) else bytes(value)
        if len(raw) > 0xFFFF:
            return bytes([LONG_STRING]) + struct.pack(">I", len(raw)) + raw
        return bytes([STRING]) + struct.pack(">H", len(raw)) + raw
    if isinstance(value, dict):
        body = b"".join(_encode_key(k) + encode(v) for k, v in value.items())
        return bytes([OBJECT]) + body + b"\x00\x00" + bytes([OBJECT_END])
    if isinstance(value, (list, tuple)):
        return bytes([STRICT_ARRAY]) + struct.pack(">I", len(value)) + b"".join(map(encode, value))
    raise Amf0Error("cannot encode %r" % (value,))


def encode_all(*values):
    return b"".join(encode(v) for v in values)
