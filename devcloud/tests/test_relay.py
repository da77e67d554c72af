"""The relays against real peers: ffmpeg publishing through nginx-rtmp and
through devcloud's own relay, a scripted publisher for the private
handshake, the status codes, downlink voice, encryption and bad input, and
ffprobe reading back every recording."""

import asyncio
import base64
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from helpers import DeviceSub, Broker, devcloud, devcloud_bg, kv, require_tools, wait_gone
from rtmp_peer import Peer, chunks, sign

from devcloud_lib import amf0, console, flv, rtmp, sessions, streamsign
from devcloud_lib.relay_rtmp import EventLog, Relay

SECRET = base64.b64encode(b"device-secret-16").decode()
DEV = ("pkR", "camR")


def setUpModule():
    require_tools()
    missing = [t for t in ("ffmpeg", "ffprobe", "nginx") if not (shutil.which(t) or os.path.exists("/usr/sbin/" + t))]
    if missing or not os.path.exists("/usr/lib/nginx/modules/ngx_rtmp_module.so"):
        raise RuntimeError("relay peers not installed: %s (nginx-light, libnginx-mod-rtmp, ffmpeg)" % missing)


def ffmpeg(*args, timeout=60):
    r = subprocess.run(["ffmpeg", "-v", "error", "-y"] + list(args), stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)  # fmt: skip
    return r


def make_media(directory):
    """1.2 s of H.264 (key frame every 10) with AAC, and the same with
    A-law audio, as FLV files whose tags a scripted publisher replays."""
    out = {}
    src = ["-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-f", "lavfi", "-i", "sine=f=440:r=8000"]
    h264 = ["-c:v", "libx264", "-g", "10", "-pix_fmt", "yuv420p", "-profile:v", "baseline", "-t", "1.2"]
    for name, audio in (("aac", ["-c:a", "aac", "-ar", "8000"]), ("alaw", ["-c:a", "pcm_alaw", "-ar", "8000"])):
        path = os.path.join(directory, name + ".flv")
        r = ffmpeg(*(src + h264 + audio + ["-shortest", path]))
        if r.returncode != 0:
            raise AssertionError(r.stderr.decode())
        out[name] = path
    return out


def probe(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-of", "json", path],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)  # fmt: skip
    if r.returncode != 0:
        raise AssertionError("ffprobe cannot read %s: %s" % (path, r.stderr.decode()))
    return {s["codec_type"]: s for s in json.loads(r.stdout)["streams"]}


class RelayThread(object):
    """devcloud's own relay on a free loopback port, its loop on a thread."""

    def __init__(self, home, idle=0.5):
        self.log = EventLog(os.path.join(home, "relay.log"))
        self.registry = sessions.Registry(os.path.join(home, "sessions"),
                                          lambda pk, dn: SECRET if (pk, dn) == DEV else None)  # fmt: skip
        self.relay = Relay(os.path.join(home, "rec"), self.registry, self.log,
                           idle_timeout=idle, handshake_timeout=idle)  # fmt: skip
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self.port = self.run(self.relay.start("127.0.0.1", 0))
        self.cond = threading.Condition()
        self.log.listeners.append(self._seen)

    def _seen(self, rec):
        with self.cond:
            self.cond.notify_all()

    def run(self, coro):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(10)

    def call(self, fn, *args):
        async def go():
            return fn(*args)

        return self.run(go())

    def wait_event(self, pred, timeout=5.0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                hit = [e for e in list(self.log.events) if pred(e)]
                if hit:
                    return hit[0]
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def closed(self, token, timeout=5.0):
        ok = self.wait_event(lambda e: e["event"] == "closed" and self.relay.state.get(token, {}).get("state") == "closed", timeout)
        return self.relay.session_state(token) if ok else None

    def stop(self):
        self.run(self.relay.stop())
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(5)
        self.loop.close()
        self.log.close()


def signed_app(app, s):
    name = s.session_id if s.kind == "vod" else s.stream
    q = "token=%s-%s" % (s.token, sign(SECRET, name, s.pk, s.dn, s.token))
    if s.kind == "vod":
        q += "&session=%s" % s.session_id
    return "%s?%s" % (app, q)


class CodecTest(unittest.TestCase):
    def test_chunk_reader_reassembles_at_any_split(self):
        big = bytes(range(256)) * 2
        stream = (
            chunks(4, rtmp.VIDEO, 1, 1000, big[:300], 128)  # 128 + 128 + 44
            + chunks(4, rtmp.VIDEO, 1, 0x1000000, b"x" * 200, 128)  # extended timestamp on both chunks
            + bytes([0x44]) + (40).to_bytes(3, "big") + (3).to_bytes(3, "big") + bytes([rtmp.VIDEO]) + b"abc"
            + bytes([0xC4]) + b"def"  # format 3: same length, type and delta
        )  # fmt: skip
        want = [(1000, big[:300]), (0x1000000, b"x" * 200), (0x1000000 + 40, b"abc"), (0x1000000 + 80, b"def")]
        for step in (len(stream), 1, 7):
            with self.subTest(step=step):
                r = rtmp.ChunkReader()
                got = []
                for i in range(0, len(stream), step):
                    got += r.feed(stream[i : i + step])
                self.assertEqual([(m.timestamp, m.payload) for m in got], want)

    def test_chunk_reader_refuses_what_no_peer_sends(self):
        cases = [
            ("format 3 with no header", bytes([0xC5]) + b"x"),
            ("format 1 with no header", bytes([0x45]) + bytes(7)),
            ("unknown message type", chunks(5, 7, 0, 0, b"abcd", 128)),
            ("message over the size limit", bytes([0x05]) + bytes(3) + (0xFFFFFF).to_bytes(3, "big") + bytes([9]) + bytes(4)),
            ("header inside a message", chunks(5, rtmp.VIDEO, 1, 0, b"y" * 200, 128)[:140] + chunks(5, rtmp.VIDEO, 1, 0, b"z", 128)),
            ("too many chunk streams", b"".join(chunks(c, rtmp.VIDEO, 1, 0, b"q", 128) for c in range(3, 40))),
        ]  # fmt: skip
        for name, data in cases:
            with self.subTest(name):
                with self.assertRaises(rtmp.ProtocolError):
                    rtmp.ChunkReader().feed(data)

    def test_amf0_round_trip_and_bounds(self):
        value = ["connect", 1.0, {"app": "live", "nested": {"a": [True, None, "é"]}}, None]
        self.assertEqual(amf0.decode_all(amf0.encode_all(*value)), value)
        deep = b"\x03" + b"\x00\x01k\x03" * 100 + b"\x00\x00\x09" * 101
        bad = [
            ("deep nesting", deep),
            ("truncated string", b"\x02\x00\x10abc"),
            ("huge strict array", b"\x0a\xff\xff\xff\xff\x05"),
            ("unknown marker", b"\x0d"),
        ]
        for name, data in bad:
            with self.subTest(name):
                with self.assertRaises(amf0.Amf0Error):
                    amf0.decode_all(data)

    def test_signature_check_names_what_is_wrong(self):
        token = "ab12" * 6
        good = "%s-%s" % (token, sign(SECRET, "s1", "pk", "dn", token))
        self.assertIsNone(streamsign.check(SECRET, "s1", "pk", "dn", token, good))
        cases = [
            ("other stream", (SECRET, "s2", "pk", "dn", token, good), "does not match"),
            ("no signature", (SECRET, "s1", "pk", "dn", token, token), "no signature"),
            ("other token", (SECRET, "s1", "pk", "dn", "cd34" * 6, good), "not the one issued"),
            ("secret not Base64", ("s3cr3t", "s1", "pk", "dn", token, good), "not Base64"),
            ("secret too long", (base64.b64encode(bytes(33)).decode(), "s1", "pk", "dn", token, good), "33 bytes"),
        ]
        for name, args, text in cases:
            with self.subTest(name):
                self.assertIn(text, streamsign.check(*args))

    def test_media_encryption_is_aes_128_cbc_with_pkcs7(self):
        key, iv = bytes(range(16)), bytes(range(16, 32))
        body = bytes(30)
        enc = flv.encrypt(body, key, iv)
        self.assertEqual(len(enc), 32)
        r = subprocess.run(["openssl", "enc", "-d", "-aes-128-cbc", "-K", key.hex(), "-iv", iv.hex()],
                           input=enc, stdout=subprocess.PIPE, check=True)  # fmt: skip
        self.assertEqual(r.stdout, body)
        self.assertEqual(flv.decrypt(enc, key, iv), body)
        with self.assertRaises(flv.FlvError):
            flv.decrypt(enc, bytes(16), iv)


class OwnRelayTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="devcloud-relay-")
        cls.media = make_media(cls.dir)
        cls.tags = {k: flv.read_tags(v) for k, v in cls.media.items()}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        self.home = tempfile.mkdtemp(dir=self.dir)
        self.r = RelayThread(self.home)
        self.addCleanup(self.r.stop)

    def session(self, kind="live", **kw):
        return self.r.registry.create(DEV[0], DEV[1], kind, **kw)

    def peer(self, **kw):
        p = Peer(self.r.port, **kw)
        self.addCleanup(p.close)
        return p

    def publish_tags(self, p, tags, key=None, iv=None, g711_framed=False, video=True):
        """Replay FLV tags as the device sends them: metadata, media on chunk
        stream 4; G.711 framed with a configuration body; encrypted like the
        device's muxer when a key is given."""
        sent_config = False
        for t, ts, body in tags:
            if t == flv.TAG_SCRIPT:
                p.message(3, rtmp.DATA_AMF0, body, 1, 0)
                continue
            if t == flv.TAG_VIDEO:
                if not video:
                    continue
                if key and (body[1] == 0 or body[0] >> 4 == 1):
                    body = body[:5] + flv.encrypt(body[5:], key, iv)
                p.message(4, rtmp.VIDEO, body, 1, ts)
                continue
            if g711_framed:
                if not sent_config:
                    cfg = bytes([body[0], 0x00, 0xB0, 0x00])
                    p.message(4, rtmp.AUDIO, flv.encrypt(cfg, key, iv) if key else cfg, 1, ts)
                    sent_config = True
                body = body[:1] + b"\x01" + body[1:]
            p.message(4, rtmp.AUDIO, flv.encrypt(body, key, iv) if key else body, 1, ts)

    def test_ffmpeg_publishes_through_the_normal_handshake(self):
        s = self.session()
        r = ffmpeg("-re", "-i", self.media["aac"], "-c", "copy", "-f", "flv", "-rtmp_app", signed_app("live", s),
                   "-rtmp_playpath", s.stream, "rtmp://127.0.0.1:%d/live" % self.r.port)  # fmt: skip
        self.assertEqual(r.returncode, 0, r.stderr)
        st = self.r.closed(s.token)
        self.assertIsNotNone(st, self.r.log.events[-5:])
        self.assertEqual((st["video_frames"], st["key_frames"], st["problems"]), (30, 3, 0))
        streams = probe(st["record"])
        self.assertEqual((streams["video"]["codec_name"], streams["video"]["nb_read_frames"]), ("h264", "30"))
        self.assertEqual(streams["audio"]["codec_name"], "aac")

    def test_private_handshake_with_encrypted_media_and_large_chunks(self):
        key, iv = os.urandom(16), os.urandom(16)
        s = self.session(key=base64.b64encode(key).decode(), iv=base64.b64encode(iv).decode())
        p = self.peer(private=True)
        # Everything before reading a byte, as the device does.
        p.c0c1()
        p.connect_publish(signed_app("live", s), s.stream)
        big_key_frame = [t for t in self.tags["alaw"] if t[0] == flv.TAG_VIDEO and t[2][:2] == b"\x17\x01"][0]
        p.finish_handshake()
        self.assertEqual(p.handshake_reply[0], 4)
        self.assertIsNotNone(p.status("NetStream.Publish.Start"))
        first = p.next(lambda m: True, 0)  # nothing resembling an S2 came first
        self.assertTrue(first is None or first.type in (rtmp.COMMAND_AMF0, rtmp.WINDOW_ACK_SIZE, rtmp.PEER_BANDWIDTH))
        self.publish_tags(p, self.tags["alaw"], key, iv, g711_framed=True)
        # A key frame padded beyond one 60,000-byte chunk still arrives whole.
        body = big_key_frame[2]
        padded = body[:5] + struct.pack(">I", 70000) + bytes([0x0C]) + bytes(69999)  # one filler NAL unit
        p.message(4, rtmp.VIDEO, padded[:5] + flv.encrypt(padded[5:], key, iv), 1, 2000)
        p.close()
        st = self.r.closed(s.token)
        self.assertIsNotNone(st)
        self.assertEqual((st["video_frames"], st["problems"]), (31, 0), self.r.log.events[-8:])
        streams = probe(st["record"])
        self.assertEqual(streams["video"]["codec_name"], "h264")
        self.assertEqual((streams["audio"]["codec_name"], streams["audio"]["sample_rate"]), ("pcm_alaw", "8000"))
        hs = [e for e in self.r.log.events if e["event"] == "handshake"]
        self.assertEqual(hs[-1]["mode"], "private")

    def test_h265_is_recorded_and_converted_for_players(self):
        raw = os.path.join(self.home, "v.h265")
        r = ffmpeg("-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-t", "0.8", "-c:v", "libx265",
                   "-x265-params", "keyint=10:bframes=0:log-level=error", "-f", "hevc", raw)  # fmt: skip
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(raw, "rb") as f:
            nals = [n.lstrip(b"\x00") for n in f.read().split(b"\x00\x00\x01") if n.strip(b"\x00")]
        params = {t: n for n in nals for t in [(n[0] >> 1) & 0x3F] if t in (32, 33, 34)}
        record = bytes([1]) + bytes(20) + bytes([0x0F, 3])
        for t in (32, 33, 34):
            record += bytes([t, 0, 1]) + struct.pack(">H", len(params[t])) + params[t]
        s = self.session()
        p = self.peer(private=True)
        p.handshake()
        p.connect_publish(signed_app("live", s), s.stream)
        self.assertIsNotNone(p.status("NetStream.Publish.Start"))
        p.message(4, rtmp.VIDEO, b"\x1c\x00\x00\x00\x00" + record, 1, 0)
        slices = [n for n in nals if (n[0] >> 1) & 0x3F < 32]
        for i, n in enumerate(slices):
            key = 16 <= (n[0] >> 1) & 0x3F <= 21
            body = bytes([0x1C if key else 0x2C, 1, 0, 0, 0]) + struct.pack(">I", len(n)) + n
            p.message(4, rtmp.VIDEO, body, 1, i * 40)
        p.close()
        st = self.r.closed(s.token)
        self.assertEqual((st["video_frames"], st["key_frames"], st["problems"]), (20, 2, 0))
        play = console.playable(st["record"])
        self.assertTrue(play.endswith(".mkv"))
        v = probe(play)["video"]
        self.assertEqual((v["codec_name"], v["width"], v["nb_read_frames"]), ("hevc", 160, "20"))

    def test_playback_is_driven_by_status_codes_and_completes(self):
        plan = [
            # Speed 1 is 3F F0 ... on the wire: bytes >= 0x80 inside a String.
            {"at": 0, "status": "setplayparam", "speed": 1, "key_only": True},
            {"at": 0.05, "status": "pause", "description": "1500"},
            {"at": 0.1, "status": "unpause", "description": "1500"},
            {"at": 0.15, "status": "seek", "description": "42000"},
        ]
        s = self.session("vod", plan=plan)
        p = self.peer()
        p.handshake()
        p.connect_publish(signed_app("vod", s), s.stream)
        got = [p.status(timeout=3, keep_bytes=True) for _ in range(6)]
        self.assertEqual([g and g["code"] for g in got], [
            "NetStream.Publish.Start", "NetStream.Play.Start", "NetStream.SetPlayParam.Start",
            "NetStream.Pause.Start", "NetStream.Unpause.Start", "NetStream.Seek.Start"])  # fmt: skip
        # The play parameters travel as an AMF0 object inside the description,
        # byte for byte (no text encoding in between).
        desc = got[2]["description"]
        self.assertEqual(desc, b"\x03\x00\x0conlyKeyFrame\x01\x01\x00\x05speed\x00\x3f\xf0" + bytes(6) + b"\x00\x00\x09")
        self.assertEqual(amf0.decode_all(desc)[0], {"onlyKeyFrame": True, "speed": 1.0})
        self.assertEqual((got[3]["description"], got[5]["description"]), ("1500", "42000"))
        self.publish_tags(p, self.tags["aac"][:12])
        # The device's end-of-file marker is acknowledged.
        p.command("onStatus", 0, None, {"level": "status", "code": "NetStream.Vod.Complete", "description": "desc"}, sid=1)
        self.assertIsNotNone(p.status("NetStream.Complete.Response"))
        p.close()
        st = self.r.closed(s.token)
        self.assertEqual(st["complete"], "NetStream.Vod.Complete")

    def test_voice_downlink_clear_and_encrypted(self):
        pcm = bytes((i * 7) & 0xFF for i in range(8000 // 5))  # 0.2 s of A-law samples
        audio = os.path.join(self.home, "down.alaw")
        with open(audio, "wb") as f:
            f.write(pcm)
        for encrypted in (False, True):
            with self.subTest(encrypted=encrypted):
                key, iv = os.urandom(16), os.urandom(16)
                kw = {"key": base64.b64encode(key).decode(), "iv": base64.b64encode(iv).decode()} if encrypted else {}
                s = self.session("voice", audio={"path": audio, "codec": "pcma", "pace": 0}, **kw)
                p = self.peer(private=True)
                p.handshake()
                p.connect_publish(signed_app("voice", s), s.stream)
                self.assertIsNotNone(p.status("NetStream.TalkReady"))
                bodies = []
                while True:
                    m = p.next(lambda m: m.type == rtmp.AUDIO, 3)
                    if m is None:
                        break
                    body = flv.decrypt(m.payload, key, iv) if encrypted else m.payload
                    bodies.append((m.timestamp, body))
                    if len(bodies) == 11:
                        break
                self.assertEqual(bodies[0][1], bytes([0x72, 0x00, 0xB0, 0x00]))
                self.assertTrue(all(b[:2] == bytes([0x72, 0x01]) for _, b in bodies[1:]))
                self.assertEqual(b"".join(b[2:] for _, b in bodies[1:]), pcm)
                self.assertEqual([t for t, _ in bodies[1:]], list(range(0, 200, 20)))
                # What the device sends up is recorded.
                self.publish_tags(p, self.tags["alaw"], key if encrypted else None, iv, g711_framed=True, video=False)
                p.close()
                st = self.r.closed(s.token)
                self.assertEqual(st["problems"], 0, self.r.log.events[-6:])
                self.assertEqual(probe(st["record"])["audio"]["codec_name"], "pcm_alaw")

    def test_acknowledgements_follow_the_window(self):
        s = self.session()
        p = self.peer()
        p.handshake()
        p.message(2, rtmp.WINDOW_ACK_SIZE, struct.pack(">I", 4096))
        p.connect_publish(signed_app("live", s), s.stream)
        self.assertIsNotNone(p.status("NetStream.Publish.Start"))
        self.publish_tags(p, self.tags["aac"])
        ack = p.next(lambda m: m.type == rtmp.ACK, 3)
        self.assertIsNotNone(ack)
        self.assertGreaterEqual(struct.unpack(">I", ack.payload)[0], 4096)
        # Force a key frame on the running stream.
        self.assertEqual(self.r.call(self.r.relay.send_status, s.stream, "forceiframe"), 1)
        self.assertIsNotNone(p.status("NetStream.ForceIFrame.Start"))

    def test_bad_input_is_refused_and_the_relay_keeps_serving(self):
        s = self.session()
        deep_connect = b"\x02\x00\x07connect\x00" + struct.pack(">d", 1) + b"\x03" + b"\x00\x01k\x03" * 200
        wrong_sign = "live?token=%s-%s" % (s.token, "0" * 64)

        def handshake_then(data):
            def go(p):
                p.handshake()
                p.send(data)
            return go

        def publish_as(app, name):
            def go(p):
                p.handshake()
                p.connect_publish(app, name)
            return go

        cases = [
            ("handshake version 5", lambda p: p.send(b"\x05" + bytes(1536)), "version 5"),
            ("silent client", lambda p: None, "no handshake"),
            ("silent after the handshake", lambda p: p.handshake(), "silent"),
            ("format-3 chunk first", handshake_then(bytes([0xC3]) + b"x" * 10), "before any header"),
            ("deep AMF nesting", handshake_then(chunks(3, rtmp.COMMAND_AMF0, 0, 0, deep_connect, 128)), "nesting"),
            ("publish before connect", handshake_then(chunks(3, rtmp.COMMAND_AMF0, 1, 0,
                                                             amf0.encode_all("publish", 0, None, "x"), 128)), "before connect"),
            ("wrong signature", publish_as(wrong_sign, s.stream), "does not match"),
            ("unknown token", publish_as("live?token=%s-00" % ("f" * 24), s.stream), "no session"),
            ("media before publish", handshake_then(chunks(4, rtmp.VIDEO, 1, 0, b"\x17\x00\x00\x00\x00", 128)), "before publish"),
        ]  # fmt: skip
        for name, act, reason in cases:
            with self.subTest(name):
                mark = len(self.r.log.events)
                p = self.peer()
                act(p)
                self.assertTrue(p.closed_by_peer(3), name)
                ev = self.r.wait_event(lambda e: e["event"] == "refused" and self.r.log.events.index(e) >= mark, 3)
                self.assertIsNotNone(ev, name)
                self.assertIn(reason, ev["reason"])
        # Still serving.
        p = self.peer()
        p.handshake()
        p.connect_publish(signed_app("live", s), s.stream)
        self.assertIsNotNone(p.status("NetStream.Publish.Start"))
        with open(os.path.join(self.home, "relay.log")) as f:
            lines = f.read().splitlines()
        self.assertTrue(all(isinstance(json.loads(l), dict) for l in lines))


class NginxAndLifecycleTest(unittest.TestCase):
    """`devcloud up` with its relays, ffmpeg playing the device."""

    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix="devcloud-nginx-")
        r = devcloud(cls.home, "up", "--port", "0")
        if r.returncode != 0:
            raise AssertionError("up failed: %s%s" % (r.stdout, r.stderr))
        cls.up = kv(r.stdout)
        r = devcloud(cls.home, "device", "add", DEV[0], DEV[1], SECRET)
        cls.password = kv(r.stdout)["password"]
        cls.media = make_media(cls.home)

    @classmethod
    def tearDownClass(cls):
        devcloud(cls.home, "down")
        shutil.rmtree(cls.home, ignore_errors=True)

    def test_second_up_is_idempotent(self):
        again = kv(devcloud(self.home, "up").stdout)
        for k in ("port", "broker_pid", "agent_pid", "relay_pid", "nginx_pid", "rtmp_port", "relay_port"):
            self.assertEqual(again[k], self.up[k], k)

    def _device_sub(self):
        """The device's subscription to its service calls."""
        base = "/sys/%s/%s/" % DEV
        sub = DeviceSub(Broker(self.up["port"], self.up["ca"]), "%s&%s" % (DEV[1], DEV[0]), self.password,
                        [base + "thing/service/+"])  # fmt: skip
        self.addCleanup(sub.close)
        return sub

    def test_live_through_nginx_is_signed_recorded_and_dropped(self):
        sub = self._device_sub()
        live = devcloud_bg(self.home, "live", DEV[0], DEV[1], "--seconds", "1.5", "--wait", "15")
        self.addCleanup(lambda: live.poll() is None and live.kill())
        params = self._request(sub, "StartPushStreaming")
        self.assertEqual(params["StreamType"], 0)
        self.assertIn("private=0", params["PushUrl"])
        port, app, stream = self._signed(params["PushUrl"], None)
        pub = subprocess.Popen(["ffmpeg", "-v", "error", "-re", "-stream_loop", "-1", "-i", self.media["aac"],
                                "-c", "copy", "-f", "flv", "-rtmp_app", app, "-rtmp_playpath", stream,
                                "rtmp://127.0.0.1:%d/live" % port],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # fmt: skip
        self.addCleanup(pub.wait)
        self.addCleanup(lambda: pub.poll() is None and pub.kill())
        out, err = live.communicate(timeout=40)
        self.assertEqual(live.returncode, 0, err)
        # Dropped by the control module: the publisher ends on its own.
        pub.wait(10)
        res = kv(out)
        self.assertEqual(res["video"], "h264")
        self.assertGreater(int(res["frames"]), 20)
        self.assertTrue(res["file"].startswith(os.path.join(self.home, "recordings", "nginx")))
        self.assertEqual(res["play"], "ffplay " + res["file"])
        events = devcloud(self.home, "relay-log", "--json").stdout.splitlines()
        self.assertTrue(any('"publish"' in l and '"nginx"' in l and stream in l for l in events))

    def _signed(self, url, name_key):
        """(port, app, stream) of a URL the cloud sent, signed the way the
        device signs it: the token's value gets "-" + HMAC-SHA256 of
        NAME-PK-DN-TOKEN, NAME being the stream or the playback session."""
        host_app, _, rest = url.partition("?")
        query, _, stream = rest.partition("/")
        q = dict(x.split("=", 1) for x in query.split("&"))
        name = stream if name_key is None else q[name_key]
        q["token"] += "-" + sign(SECRET, name, DEV[0], DEV[1], q["token"])
        port = int(host_app.split("/")[2].rsplit(":", 1)[1])
        app = host_app.rsplit("/", 1)[1] + "?" + "&".join("%s=%s" % kv for kv in sorted(q.items()))
        return port, app, stream

    def _request(self, sub, service):
        topic, payload = sub.next_request(15)
        self.assertTrue(topic.endswith("thing/service/" + service), topic)
        return json.loads(payload)["params"]

    def test_vod_session_pauses_seeks_and_completes(self):
        sub = self._device_sub()
        vod = devcloud_bg(self.home, "vod", DEV[0], DEV[1], "--begin", "100", "--end", "200",
                          "--pause-at", "0.1", "--resume-at", "0.2", "--seek-at", "0.3:5000", "--seconds", "20")  # fmt: skip
        self.addCleanup(lambda: vod.poll() is None and vod.kill())
        params = self._request(sub, "StartVodByTime")
        self.assertEqual((params["BeginTime"], params["EndTime"]), (100, 200))
        self.assertIn("session=%s" % params["SessionID"], params["PushUrl"])
        port, app, stream = self._signed(params["PushUrl"], "session")
        p = Peer(port)
        self.addCleanup(p.close)
        p.handshake()
        p.connect_publish(app, stream)
        codes = [p.status(timeout=5) for _ in range(5)]
        self.assertEqual([c and c["code"] for c in codes], [
            "NetStream.Publish.Start", "NetStream.Play.Start", "NetStream.Pause.Start",
            "NetStream.Unpause.Start", "NetStream.Seek.Start"])  # fmt: skip
        self.assertEqual(float(codes[4]["description"]), 5000)
        tags = flv.read_tags(self.media["aac"])
        for t, ts, body in tags:
            p.message(4 if t != flv.TAG_SCRIPT else 3, t, body, 1, ts)
        p.command("onStatus", 0, None, {"level": "status", "code": "NetStream.Vod.Complete", "description": "desc"}, sid=1)
        self.assertIsNotNone(p.status("NetStream.Complete.Response"))
        p.close()
        out, err = vod.communicate(timeout=30)
        self.assertEqual(vod.returncode, 0, err)
        res = kv(out)
        self.assertEqual((res["video"], res["frames"], res["relay_complete"]), ("h264", "30", "NetStream.Vod.Complete"))

    def test_talk_sends_the_wav_down_encrypted_and_records_the_answer(self):
        sub = self._device_sub()
        wav = os.path.join(self.home, "hello.wav")
        self.assertEqual(ffmpeg("-f", "lavfi", "-i", "sine=f=300:r=16000", "-t", "0.3", wav).returncode, 0)
        talk = devcloud_bg(self.home, "talk", DEV[0], DEV[1], "--audio", wav, "--encrypt", "--seconds", "10")
        self.addCleanup(lambda: talk.poll() is None and talk.kill())
        params = self._request(sub, "StartVoiceIntercom")
        keys = json.loads(params["Key"])
        key, iv = base64.b64decode(keys["key"]), base64.b64decode(keys["iv"])
        port, app, stream = self._signed(params["IntercomUrl"], None)
        self.assertIn("private=1", params["IntercomUrl"])
        p = Peer(port, private=True)
        self.addCleanup(p.close)
        p.handshake()
        p.connect_publish(app, stream)
        self.assertIsNotNone(p.status("NetStream.TalkReady"))
        down = []
        while len(down) < 16:  # configuration + 0.3 s in 20 ms frames
            m = p.next(lambda m: m.type == rtmp.AUDIO, 5)
            self.assertIsNotNone(m, "downlink stopped after %d bodies" % len(down))
            down.append(flv.decrypt(m.payload, key, iv))
        self.assertEqual(down[0][1], 0)
        self.assertEqual(sum(len(b) - 2 for b in down[1:]), 2400)
        for t, ts, body in flv.read_tags(self.media["alaw"]):
            if t == flv.TAG_AUDIO:
                if ts == 0:
                    p.message(4, t, flv.encrypt(bytes([body[0], 0, 0xB0, 0]), key, iv), 1, 0)
                p.message(4, t, flv.encrypt(body[:1] + b"\x01" + body[1:], key, iv), 1, ts)
        p.close()
        out, err = talk.communicate(timeout=30)
        self.assertEqual(talk.returncode, 0, err)
        res = kv(out)
        self.assertTrue(res["audio"].startswith("pcm_alaw 8000Hz"), out)

    def test_records_are_queried_over_rrpc(self):
        base = "/sys/%s/%s/" % DEV
        sub = DeviceSub(Broker(self.up["port"], self.up["ca"]), "%s&%s" % (DEV[1], DEV[0]), self.password,
                        [base + "rrpc/request/+"])  # fmt: skip
        self.addCleanup(sub.close)
        answer = {"code": 200, "data": {"RecordList": [{"FileName": "YWJj", "Size": 9, "Type": 1,
                                                        "EndTime": 200, "BeginTime": 100}]}}  # fmt: skip
        cases = [
            (["list", "--begin", "100", "--end", "200", "--type", "1", "--size", "5"], "QueryRecordList",
             {"BeginTime": 100, "EndTime": 200, "Type": 1, "QuerySize": 5}),
            (["times", "--begin", "100", "--end", "200"], "QueryRecordTimeList",
             {"BeginTime": 100, "EndTime": 200, "Type": 0}),
            (["month", "202612"], "QueryMonthRecord", {"Month": "202612"}),
        ]  # fmt: skip
        for args, service, params in cases:
            with self.subTest(service):
                q = devcloud_bg(self.home, "records", DEV[0], DEV[1], *args)
                self.addCleanup(lambda: q.poll() is None and q.kill())
                topic, payload = sub.next(10)
                req = json.loads(payload)
                self.assertEqual((req["method"], req["params"]), ("thing.service." + service, params))
                reply = dict(answer, id=req["id"])
                rtopic = base + "rrpc/response/" + topic.rsplit("/", 1)[1]
                self.assertEqual(Broker(self.up["port"], self.up["ca"]).pub(
                    "%s&%s" % (DEV[1], DEV[0]), self.password, rtopic, json.dumps(reply)).returncode, 0)  # fmt: skip
                out, err = q.communicate(timeout=20)
                self.assertEqual(q.returncode, 0, err)
                self.assertEqual(json.loads(out.splitlines()[0]), reply)
                if service == "QueryRecordList":
                    self.assertIn("record FileName=abc Size=9", out)

    def test_relay_http_endpoint_refuses_bad_requests(self):
        port = int(self.up["relay_http_port"])
        cases = [
            (b"GARBAGE\r\n\r\n", 400),
            (b"GET /nope HTTP/1.1\r\n\r\n", 404),
            (b"POST /state HTTP/1.1\r\n\r\n", 404),
            (b"POST /drop HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n", 400),
            (b"POST /nginx/on_publish HTTP/1.1\r\nContent-Length: 14\r\n\r\napp=live&name=", 403),
            (b"GET /state?token=x&timeout=zz HTTP/1.1\r\n\r\n", 400),
            (b"GET /state?token=x HTTP/1.1\r\n\r\n", 200),
        ]
        for request, status in cases:
            with self.subTest(request[:30]):
                with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
                    c.sendall(request)
                    reply = b""
                    while True:
                        b = c.recv(4096)
                        if not b:
                            break
                        reply += b
                self.assertTrue(reply.startswith(b"HTTP/1.1 %d " % status), reply[:80])
        self.assertEqual(kv(devcloud(self.home, "status").stdout)["state"], "running")

    def test_nginx_refuses_a_bad_signature(self):
        r = ffmpeg("-i", self.media["aac"], "-c", "copy", "-f", "flv", "-rtmp_app", "live?token=%s-00" % ("a" * 24),
                   "-rtmp_playpath", "x", "rtmp://127.0.0.1:%s/live" % self.up["rtmp_port"], timeout=30)  # fmt: skip
        self.assertNotEqual(r.returncode, 0)
        log = devcloud(self.home, "relay-log").stdout
        self.assertIn("no session was issued", log)


class LifecycleTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="devcloud-life-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.addCleanup(devcloud, self.home, "down")

    def test_restart_keeps_the_port_and_down_stops_everything(self):
        first = kv(devcloud(self.home, "up", "--port", "0").stdout)
        os.kill(int(first["broker_pid"]), signal.SIGKILL)
        self.assertTrue(wait_gone(int(first["broker_pid"])))
        st = devcloud(self.home, "status")
        self.assertEqual((st.returncode, kv(st.stdout)["state"], kv(st.stdout)["down"]), (1, "degraded", "broker"))
        # No --port: the port the device was given, not the default.
        again = kv(devcloud(self.home, "up").stdout)
        self.assertEqual(again["port"], first["port"])
        self.assertEqual(again["nginx_pid"], first["nginx_pid"])
        pids = [int(again[k]) for k in ("broker_pid", "agent_pid", "relay_pid", "nginx_pid")]
        nginx_workers = subprocess.run(["pgrep", "-P", again["nginx_pid"]], stdout=subprocess.PIPE,
                                       universal_newlines=True).stdout.split()  # fmt: skip
        self.assertTrue(nginx_workers)
        self.assertEqual(devcloud(self.home, "down").stdout.strip(), "stopped")
        for pid in pids + [int(w) for w in nginx_workers]:
            self.assertTrue(wait_gone(pid), pid)
        for k in ("rtmp_port", "relay_port", "relay_http_port", "nginx_http_port"):
            with socket.socket() as s:
                self.assertNotEqual(s.connect_ex(("127.0.0.1", int(again[k]))), 0, k)


if __name__ == "__main__":
    unittest.main()
