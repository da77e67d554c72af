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

from devcloud_lib import amf0, flv, rtmp, storage, streamsign  # noqa: E402
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


_HOME = tempfile.mkdtemp(prefix="devcloud-fuzz-")
_MASTER = storage.master_key(_HOME)


def _store_seeds():
    c = storage.issue_credentials(_MASTER, "pk1", "cam1", "127.0.0.1:4443")
    key = storage.key_prefix(c) + "1.jpg"
    date = storage.http_date()
    auth = storage.authorization(c["accessKey"], c["accessSecret"], "PUT", "image/jpeg", date, c["stsToken"],
                                 "devcloud", "/" + key)  # fmt: skip
    sts = ("PUT /%s HTTP/1.1\r\nHost: devcloud.127.0.0.1:4443\r\nDate: %s\r\nContent-Type: image/jpeg\r\n"
           "x-kiv-security-token: %s\r\nAuthorization: %s\r\n" % (key, date, c["stsToken"], auth))  # fmt: skip
    url = storage.presign(_MASTER, "", "pk1/cam1/picture/a.jpg", extra={"eventType": "1", "id": "1_2"})
    return [sts.encode(), ("PUT %s HTTP/1.1\r\nContent-type: image/jpeg\r\n" % url).encode(),
            ("POST /%s?append&position=0 HTTP/1.1\r\n" % key).encode() + sts.encode().split(b"\r\n", 1)[1]]


def t_store_request(data):
    """A request head as the store sees it: only StoreError may come out."""
    lines = data.decode("latin-1").split("\r\n")
    parts = lines[0].split(" ")
    headers = {}
    for line in lines[1:]:
        k, _, v = line.partition(":")
        headers[k.strip().lower()] = v.strip()
    try:
        storage.authorize(_MASTER, storage.Request(parts[0], parts[1] if len(parts) > 1 else "", headers))
    except storage.StoreError:
        pass


class _Agent(object):
    class cloud(object):
        home = _HOME

        @staticmethod
        def config():
            return {"store_port": 4443}

    @staticmethod
    def setting(key):
        return {"event_limit": {"single": 1, "batch": 1}}.get(key)


import logging  # noqa: E402

logging.getLogger("agent").disabled = True


def t_agent_requests(data):
    """Credential, event-limit and alarm requests: answered or refused, never an exception."""
    from devcloud_lib import agent
    from devcloud_lib.platform import Message

    for topic, hook in (("/sys/pk1/cam1/vision/pic/kiv/upstream", agent.answer_storage_credentials),
                        ("/sys/pk1/cam1/vision/biz/event/upstream", agent.answer_event_limit),
                        ("/sys/pk1/cam1/thing/event/AlarmEvent/post", agent.answer_alarm_event)):  # fmt: skip
        hook(_Agent, Message(topic, data))


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
    "store_request": _store_seeds(),
    "agent_requests": [
        b'{"id": "1","version": "1.0","method": "requestKIVToken","params": {}}',
        b'{"id": "2","version": "1.0","method": "requestEventLimit","params": {}}',
        b'{"id":"3","version":"1.0","method":"thing.event.AlarmEvent.post","params":{"AlarmType":1,"AlarmPicID":"1_5"}}',
    ],
}
TARGETS = {"chunks": t_chunks, "amf0": t_amf0, "flv": t_flv, "media_bodies": t_media_bodies, "query": t_query,
           "store_request": t_store_request, "agent_requests": t_agent_requests}  # fmt: skip


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
        n = runs if name in ("chunks", "amf0", "media_bodies", "query", "store_request") else runs // 10
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
    import shutil

    shutil.rmtree(_HOME, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
