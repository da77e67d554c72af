"""FLV files and tag bodies: writing recordings, reading them back, the
checks the relay applies to what a publisher sends, the AES-128-CBC of
encrypted bodies, and H.265 extraction for tools that do not read HEVC in
FLV (codec id 12)."""

import struct

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

TAG_AUDIO, TAG_VIDEO, TAG_SCRIPT = 8, 9, 18

AVC, HEVC = 7, 12
VIDEO_CODECS = {AVC: "h264", HEVC: "hevc"}
AUDIO_ALAW, AUDIO_ULAW, AUDIO_AAC = 7, 8, 10
AUDIO_CODECS = {AUDIO_ALAW: "pcm_alaw", AUDIO_ULAW: "pcm_mulaw", AUDIO_AAC: "aac"}


class FlvError(ValueError):
    pass


# ---- AES-128-CBC with PKCS#7, fresh IV per body ---------------------------


def _cipher(key, iv):
    if len(key) != 16 or len(iv) != 16:
        raise FlvError("AES-128 needs a 16-byte key and IV (got %d and %d)" % (len(key), len(iv)))
    return Cipher(algorithms.AES(key), modes.CBC(iv))


def encrypt(data, key, iv):
    pad = 16 - len(data) % 16
    enc = _cipher(key, iv).encryptor()
    return enc.update(bytes(data) + bytes([pad]) * pad) + enc.finalize()


def decrypt(data, key, iv):
    if not data or len(data) % 16:
        raise FlvError("encrypted body of %d bytes is not a whole number of blocks" % len(data))
    dec = _cipher(key, iv).decryptor()
    plain = dec.update(bytes(data)) + dec.finalize()
    pad = plain[-1]
    if not 1 <= pad <= 16 or plain[-pad:] != bytes([pad]) * pad:
        raise FlvError("bad padding after decryption (wrong key or IV?)")
    return plain[:-pad]


def decrypt_video(body, key, iv):
    """Sequence headers carry the record encrypted after their 5 header
    bytes; key frames are encrypted from the NAL length on; inter frames
    travel in clear."""
    if len(body) < 5:
        return body
    frame_type, packet_type = body[0] >> 4, body[1]
    if packet_type == 0 or frame_type == 1:
        return body[:5] + decrypt(body[5:], key, iv)
    return body


# ---- tag bodies -------------------------------------------------------------


class VideoInfo(object):
    __slots__ = ("key", "codec", "packet_type")

    def __init__(self, body):
        if len(body) < 5:
            raise FlvError("video body of %d bytes is shorter than its 5-byte header" % len(body))
        self.key = (body[0] >> 4) == 1
        self.codec = body[0] & 0x0F
        self.packet_type = body[1]


class AudioInfo(object):
    __slots__ = ("format", "rate", "bits", "channels", "packet_type")

    def __init__(self, body):
        if len(body) < 2:
            raise FlvError("audio body of %d bytes is shorter than its header" % len(body))
        self.format = body[0] >> 4
        self.rate = (body[0] >> 2) & 3
        self.bits = (body[0] >> 1) & 1
        self.channels = body[0] & 1
        self.packet_type = body[1] if self.format in (AUDIO_AAC, AUDIO_ALAW, AUDIO_ULAW) else None


def audio_config_body(fmt, add_rate, bits=1, channels=0, rate=0):
    """The configuration body a relay sends before downlink G.711 audio."""
    head = fmt << 4 | (rate & 3) << 2 | (bits & 1) << 1 | (channels & 1)
    return bytes([head, 0x00, (add_rate & 0x0F) << 4, 0x00])


def audio_data_body(fmt, payload, bits=1, channels=0, rate=0):
    head = fmt << 4 | (rate & 3) << 2 | (bits & 1) << 1 | (channels & 1)
    return bytes([head, 0x01]) + bytes(payload)


# ---- files --------------------------------------------------------------------


class Writer(object):
    """An FLV file written tag by tag; flushed after every tag so a reader
    (ffprobe, the console) sees a valid prefix at any time."""

    def __init__(self, path, audio=True, video=True):
        self.path = path
        self.f = open(path, "wb")
        flags = (4 if audio else 0) | (1 if video else 0)
        self.f.write(b"FLV\x01" + bytes([flags]) + struct.pack(">I", 9) + struct.pack(">I", 0))
        self.tags = 0

    def write(self, tag_type, timestamp, body):
        ts = timestamp & 0xFFFFFFFF
        head = bytes([tag_type]) + len(body).to_bytes(3, "big")
        head += (ts & 0xFFFFFF).to_bytes(3, "big") + bytes([ts >> 24]) + b"\x00\x00\x00"
        self.f.write(head + bytes(body) + struct.pack(">I", 11 + len(body)))
        self.f.flush()
        self.tags += 1

    def close(self):
        if self.f:
            self.f.close()
            self.f = None


def read_tags(path):
    """(type, timestamp, body) of every whole tag; a cut-off last tag is left
    out (a recording stopped mid-write)."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 13 or data[:3] != b"FLV":
        raise FlvError("%s is not an FLV file" % path)
    pos = struct.unpack(">I", data[5:9])[0] + 4
    out = []
    while pos + 11 <= len(data):
        t = data[pos]
        n = int.from_bytes(data[pos + 1 : pos + 4], "big")
        ts = int.from_bytes(data[pos + 4 : pos + 7], "big") | data[pos + 7] << 24
        if pos + 11 + n + 4 > len(data):
            break
        out.append((t, ts, data[pos + 11 : pos + 11 + n]))
        pos += 11 + n + 4
    return out


def _hevc_parameter_sets(record):
    """NAL units of an HEVCDecoderConfigurationRecord."""
    if len(record) < 23:
        raise FlvError("HEVC configuration record of %d bytes is too short" % len(record))
    pos, out = 23, []
    for _ in range(record[22]):
        if pos + 3 > len(record):
            raise FlvError("HEVC configuration record cut in its arrays")
        count = struct.unpack(">H", record[pos + 1 : pos + 3])[0]
        pos += 3
        for _ in range(count):
            if pos + 2 > len(record):
                raise FlvError("HEVC configuration record cut in a NAL length")
            n = struct.unpack(">H", record[pos : pos + 2])[0]
            if pos + 2 + n > len(record):
                raise FlvError("HEVC configuration record cut in a NAL unit")
            out.append(record[pos + 2 : pos + 2 + n])
            pos += 2 + n
    return out


def _length_prefixed(data):
    pos, out = 0, []
    while pos + 4 <= len(data):
        n = struct.unpack(">I", data[pos : pos + 4])[0]
        if pos + 4 + n > len(data):
            raise FlvError("NAL unit of %d bytes runs past its tag" % n)
        out.append(data[pos + 4 : pos + 4 + n])
        pos += 4 + n
    return out


def hevc_annexb(path):
    """(Annex-B bytes, frame count, first and last timestamp) of the HEVC
    video of an FLV file."""
    sc = b"\x00\x00\x00\x01"
    out, frames, first, last = bytearray(), 0, None, None
    for t, ts, body in read_tags(path):
        if t != TAG_VIDEO or len(body) < 5 or body[0] & 0x0F != HEVC:
            continue
        if body[1] == 0:
            for nal in _hevc_parameter_sets(body[5:]):
                out += sc + nal
        elif body[1] == 1:
            for nal in _length_prefixed(body[5:]):
                out += sc + nal
            frames += 1
            first = ts if first is None else first
            last = ts
    return bytes(out), frames, first, last
