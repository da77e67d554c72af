"""Mutation fuzzing of devcloud's parsers of network and file input (outside
the test suite: run by hand, it takes minutes).

    /usr/bin/python3 devcloud/tests/fuzz_parsers.py [EXECUTIONS] [SEED]

Each target takes bytes mutated from its seeds; the only exception it may
raise is its own error type. Anything else is a fault: the input is written
to fuzz-crash-TARGET.bin and the run stops with status 1.
"""

import os
import random
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from devcloud_lib import amf0, flv, rtmp, streamsign  # noqa: E402
from rtmp_peer import chunks  # noqa: E402


def t_chunks(data):
    r = rtmp.ChunkReader()
    try:
        # Two pieces, split where the first byte says: reassembly must not
        # depend on where input stops.
        cut = data[0] % len(data) if data else 0
        r.feed(data[:cut])
        r.feed(data[cut:])
    except rtmp.ProtocolError:
        pass


def t_amf0(data):
    try:
        amf0.decode_all(data)
    except amf0.Amf0Error:
        pass


_TMP = tempfile.NamedTemporaryFile(suffix=".flv", delete=False)


def t_flv(data):
    with open(_TMP.name, "wb") as f:
        f.write(data)
    try:
        flv.read_tags(_TMP.name)
        flv.hevc_annexb(_TMP.name)
    except flv.FlvError:
        pass


def t_media_bodies(data):
    try:
        flv.VideoInfo(data)
    except flv.FlvError:
        pass
    try:
        flv.AudioInfo(data)
    except flv.FlvError:
        pass
    try:
        flv.decrypt_video(data, bytes(16), bytes(16))
    except flv.FlvError:
        pass


def t_query(data):
    text = data.decode("latin-1")
    streamsign.query_of(text)
    try:
        streamsign.split_signed(text)
    except streamsign.SignError:
        pass


SEEDS = {
    "chunks": [
        chunks(3, rtmp.COMMAND_AMF0, 0, 0, amf0.encode_all("connect", 1, {"app": "live"}), 128),
        chunks(4, rtmp.VIDEO, 1, 0x1000000, b"\x17\x01" + bytes(300), 128),
        chunks(2, rtmp.SET_CHUNK_SIZE, 0, 0, struct.pack(">I", 64), 128) + chunks(4, rtmp.AUDIO, 1, 5, bytes(100), 64),
    ],
    "amf0": [
        amf0.encode_all("connect", 1.0, {"app": "live", "x": [1, True, None]}, None),
        amf0.encode_all("onStatus", 0, None, {"level": "status", "code": "NetStream.Vod.Complete"}),
        b"\x08\x00\x00\x00\x01\x00\x01a\x02\x00\x01b\x00\x00\x09\x0b" + bytes(10),
    ],
    "flv": [
        b"FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00" + bytes([9]) + (35).to_bytes(3, "big") + bytes(7)
        + b"\x1c\x00\x00\x00\x00" + bytes([1]) + bytes(20) + bytes([0x0F, 1, 32, 0, 1, 0, 3]) + b"abc"
        + struct.pack(">I", 46),
    ],
    "media_bodies": [b"\x17\x00\x00\x00\x00" + bytes(32), b"\x72\x01abc", b"\xaf\x00\x15\x88"],
    "query": [b"live?private=1&token=ab-cd/stream", b"rtmp://h:1/a?x=1&x=2&b"],
}
TARGETS = {"chunks": t_chunks, "amf0": t_amf0, "flv": t_flv, "media_bodies": t_media_bodies, "query": t_query}


def mutate(rnd, data, corpus):
    b = bytearray(data)
    for _ in range(rnd.randint(1, 4)):
        op = rnd.randrange(6)
        if op == 0 and b:
            b[rnd.randrange(len(b))] = rnd.randrange(256)
        elif op == 1:
            b.insert(rnd.randint(0, len(b)), rnd.randrange(256))
        elif op == 2 and b:
            del b[rnd.randrange(len(b))]
        elif op == 3 and b:
            i = rnd.randrange(len(b))
            b[i:i] = b[i : i + rnd.randint(1, 16)] * rnd.randint(1, 8)
        elif op == 4:
            other = rnd.choice(corpus)
            i = rnd.randint(0, len(b))
            b[i:i] = other[: rnd.randint(0, len(other))]
        elif op == 5 and b:
            i = rnd.randrange(len(b))
            b[i] = rnd.choice((0, 1, 2, 3, 0x7F, 0x80, 0xFF))
    return bytes(b[:4096])


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    status = 0
    for name, fn in TARGETS.items():
        rnd = random.Random(seed)
        corpus = list(SEEDS[name])
        n = runs if name in ("chunks", "amf0", "media_bodies", "query") else runs // 10
        for i in range(n):
            data = mutate(rnd, rnd.choice(corpus), corpus)
            try:
                fn(data)
            except Exception as e:
                path = "fuzz-crash-%s.bin" % name
                with open(path, "wb") as f:
                    f.write(data)
                print("%s: %r after %d executions; input in %s" % (name, e, i, path))
                status = 1
                break
            if len(corpus) < 256 and rnd.random() < 0.01:
                corpus.append(data)
        else:
            print("%s: %d executions clean" % (name, n))
    os.unlink(_TMP.name)
    return status


if __name__ == "__main__":
    sys.exit(main())
