"""devcloud's own RTMP relay (asyncio): what nginx-rtmp does not speak.

It accepts the normal handshake (C0 = 3) and the private one (C0 = 4: no S2
and no C2, connect and publish sent before any reply, 60,000-byte chunks
both ways without a Set Chunk Size), checks the publisher's signed token
against the device secret, records what is published to FLV (decrypted when
the session carries a key), drives playback sessions with the status codes
the device maps, sends downlink voice, acknowledges received bytes, answers
completion markers, and writes every event as one JSON line.

Sessions are registered beforehand by the console (sessions.py): a file per
issued token tells the relay which device, stream and kind to expect and
what to do once publishing starts.
"""

import asyncio
import itertools
import json
import os
import struct
import time

from . import amf0, flv, rtmp, sessions

PRIVATE_CHUNK_SIZE = 60000
OUT_CHUNK_SIZE = 4096
WINDOW = 2500000
HANDSHAKE_TIMEOUT = 10.0
IDLE_TIMEOUT = 30.0
STREAM_ID = 1

STATUS_CODES = {
    "pause": "NetStream.Pause.Start",
    "unpause": "NetStream.Unpause.Start",
    "seek": "NetStream.Seek.Start",
    "setplayparam": "NetStream.SetPlayParam.Start",
    "forceiframe": "NetStream.ForceIFrame.Start",
    "talkready": "NetStream.TalkReady",
    "complete": "NetStream.Complete.Response",
    "play": "NetStream.Play.Start",
}
COMPLETION_MARKERS = ("NetStream.Vod.Complete", "NetStream.Pre.Complete")


class EventLog(object):
    """One JSON object a line, appended and flushed per event; listeners
    (tests, the HTTP long-poll) are told of each."""

    def __init__(self, path=None):
        self.path = path
        self._f = open(path, "a", encoding="utf-8") if path else None
        self.events = []
        self.listeners = []

    def __call__(self, _what, **fields):
        rec = {"time": round(time.time(), 3), "event": _what}
        rec.update(fields)
        self.events.append(rec)
        if len(self.events) > 10000:
            del self.events[:5000]
        if self._f:
            self._f.write(json.dumps(rec, sort_keys=False, default=str) + "\n")
            self._f.flush()
        for fn in list(self.listeners):
            fn(rec)
        return rec

    def close(self):
        if self._f:
            self._f.close()
            self._f = None


class Refused(Exception):
    """Input the relay will not take; the connection is closed."""


class _Media(object):
    """What one publication has sent so far, for the checks and the summary."""

    def __init__(self):
        self.video = self.audio = 0
        self.keys = 0
        self.video_codec = self.audio_format = None
        self.video_config = self.audio_config = False
        self.g711_framed = None
        self.last_ts = {rtmp.AUDIO: None, rtmp.VIDEO: None}
        self.problems = []


class Connection(object):
    def __init__(self, relay, reader, writer, cid):
        self.relay = relay
        self.reader = reader
        self.writer = writer
        self.id = cid
        self.log = relay.log
        peer = writer.get_extra_info("peername") or ("?", 0)
        self.peer = "%s:%s" % peer[:2]
        self.private = False
        self.chunks = rtmp.ChunkReader()
        self.out_chunk = 128
        self.bytes_in = 0
        self.acked = 0
        self.peer_window = WINDOW
        self.connected = False
        self.app = self.tc_url = ""
        self.stream_created = False
        self.publishing = None  # stream name
        self.session = None
        self.key = self.iv = None
        self.talk_ready = False
        self.media = _Media()
        self.record = None
        self.tasks = []
        self.task = None
        self.closed = False

    def event(self, _what, **fields):
        fields.setdefault("conn", self.id)
        if self.publishing:
            fields.setdefault("stream", self.publishing)
        return self.log(_what, **fields)

    # ---- I/O -----------------------------------------------------------------

    async def _read(self, n, timeout):
        try:
            return await asyncio.wait_for(self.reader.readexactly(n), timeout)
        except asyncio.IncompleteReadError as e:
            if e.partial:
                raise Refused("connection closed inside the handshake after %d of %d bytes" % (len(e.partial), n))
            raise EOFError()
        except asyncio.TimeoutError:
            raise Refused("no handshake within %gs" % timeout)

    def send(self, data):
        if not self.closed:
            self.writer.write(data)

    def send_message(self, cid, type_, payload, stream_id=0, timestamp=0):
        self.send(rtmp.chunk_message(cid, type_, stream_id, timestamp, payload, self.out_chunk))

    def command(self, *values, stream_id=0):
        self.send_message(3, rtmp.COMMAND_AMF0, amf0.encode_all(*values), stream_id)

    def on_status(self, code, description="", level="status", **extra):
        info = {"level": level, "code": code, "description": description}
        info.update(extra)
        self.command("onStatus", 0, None, info, stream_id=STREAM_ID)
        if isinstance(description, bytes):
            description = description.hex()
        self.event("status_sent", code=code, level=level, description=description)

    async def run(self):
        self.event("accepted", peer=self.peer)
        reason = None
        try:
            await self._handshake()
            while not self.closed:
                try:
                    data = await asyncio.wait_for(self.reader.read(65536), self.relay.idle_timeout)
                except asyncio.TimeoutError:
                    raise Refused("silent for %gs" % self.relay.idle_timeout)
                if not data:
                    break
                self._input(data)
                await self.writer.drain()
        except EOFError:
            pass
        except Refused as e:
            reason = str(e)
        except (rtmp.ProtocolError, amf0.Amf0Error, flv.FlvError) as e:
            reason = "%s: %s" % (type(e).__name__, e)
        except (ConnectionError, OSError) as e:
            reason = "socket: %s" % e
        except Exception as e:  # a bug of ours must not take the relay down
            reason = "internal error: %r" % e
        finally:
            await self._finish(reason)

    def _input(self, data):
        self.bytes_in += len(data)
        for msg in self.chunks.feed(data):
            self._dispatch(msg)
        if self.bytes_in - self.acked >= self.peer_window:
            self.acked = self.bytes_in
            self.send(rtmp.control(rtmp.ACK, struct.pack(">I", self.bytes_in & 0xFFFFFFFF)))
            self.event("ack_sent", bytes=self.bytes_in)

    async def _handshake(self):
        c0 = (await self._read(1, self.relay.handshake_timeout))[0]
        if c0 not in (rtmp.VERSION, rtmp.PRIVATE_VERSION):
            raise Refused("handshake version %d (3 or 4 expected)" % c0)
        self.private = c0 == rtmp.PRIVATE_VERSION
        c1 = await self._read(rtmp.HANDSHAKE_SIZE, self.relay.handshake_timeout)
        s1 = struct.pack(">II", int(time.time()) & 0xFFFFFFFF, 0) + os.urandom(rtmp.HANDSHAKE_SIZE - 8)
        if self.private:
            # No S2, and the client waits for nothing: it already sent
            # connect and publish in 60,000-byte chunks.
            self.send(bytes([rtmp.PRIVATE_VERSION]) + s1)
            self.chunks.set_chunk_size(PRIVATE_CHUNK_SIZE)
            self.out_chunk = PRIVATE_CHUNK_SIZE
        else:
            self.send(bytes([rtmp.VERSION]) + s1 + c1)
            c2 = await self._read(rtmp.HANDSHAKE_SIZE, self.relay.handshake_timeout)
            if c2[8:] != s1[8:]:
                self.event("check_failed", what="C2 does not echo S1")
        self.event("handshake", mode="private" if self.private else "normal", c1_time=struct.unpack(">I", c1[:4])[0])

    # ---- messages ---------------------------------------------------------------

    def _dispatch(self, msg):
        t = msg.type
        if t in (rtmp.SET_CHUNK_SIZE, rtmp.ABORT, rtmp.ACK, rtmp.WINDOW_ACK_SIZE, rtmp.PEER_BANDWIDTH):
            self._control(msg)
        elif t == rtmp.USER_CONTROL:
            if len(msg.payload) < 6:
                raise Refused("user control message of %d bytes" % len(msg.payload))
            self.event("user_control", type=struct.unpack(">H", msg.payload[:2])[0])
        elif t in (rtmp.COMMAND_AMF0, rtmp.COMMAND_AMF3):
            body = msg.payload[1:] if t == rtmp.COMMAND_AMF3 else msg.payload
            self._command(msg, amf0.decode_all(body))
        elif t == rtmp.DATA_AMF0:
            self._data(msg, amf0.decode_all(msg.payload))
        elif t in (rtmp.AUDIO, rtmp.VIDEO):
            self._media(msg)
        else:
            self.event("ignored", type=t, bytes=len(msg.payload))

    def _control(self, msg):
        p = msg.payload
        need = 5 if msg.type == rtmp.PEER_BANDWIDTH else 4
        if len(p) != need:
            raise Refused("control message type %d of %d bytes (%d expected)" % (msg.type, len(p), need))
        value = struct.unpack(">I", p[:4])[0]
        if msg.type == rtmp.SET_CHUNK_SIZE:
            self.event("chunk_size", size=value & 0x7FFFFFFF)
        elif msg.type == rtmp.WINDOW_ACK_SIZE:
            if value == 0:
                raise Refused("window acknowledgement size 0")
            self.peer_window = value
            self.event("window_ack_size", size=value)
        elif msg.type == rtmp.ACK:
            self.event("ack_received", bytes=value)

    def _command(self, msg, values):
        if len(values) < 2 or not isinstance(values[0], str) or not isinstance(values[1], float):
            raise Refused("command without a name and a transaction id: %r" % (values[:2],))
        name, tx, args = values[0], values[1], values[2:]
        self.event("command", name=name, tx=tx, stream_id=msg.stream_id)
        if name == "connect":
            return self._connect(tx, args)
        if not self.connected:
            raise Refused("%s before connect" % name)
        if name == "createStream":
            self.stream_created = True
            self.command("_result", tx, None, float(STREAM_ID))
        elif name == "publish":
            self._publish(msg, args)
        elif name == "onStatus":
            self._client_status(args)
        elif name in ("deleteStream", "FCUnpublish", "closeStream"):
            self.event("unpublish", name=name)
        elif name in ("releaseStream", "FCPublish", "getStreamLength", "_checkbw"):
            pass
        else:
            self.event("ignored_command", name=name)

    def _connect(self, tx, args):
        if self.connected:
            raise Refused("second connect")
        obj = args[0] if args and isinstance(args[0], dict) else None
        if obj is None or not isinstance(obj.get("app"), str):
            raise Refused("connect without a command object holding app")
        self.app = obj["app"]
        self.tc_url = obj.get("tcUrl") if isinstance(obj.get("tcUrl"), str) else ""
        self.connected = True
        self.event("connect", app=self.app, tcUrl=self.tc_url, flashVer=obj.get("flashVer"))
        self.send(rtmp.control(rtmp.WINDOW_ACK_SIZE, struct.pack(">I", WINDOW)))
        self.send(rtmp.control(rtmp.PEER_BANDWIDTH, struct.pack(">IB", WINDOW, 2)))
        if not self.private:
            self.send(rtmp.control(rtmp.SET_CHUNK_SIZE, struct.pack(">I", OUT_CHUNK_SIZE)))
            self.out_chunk = OUT_CHUNK_SIZE
        self.command(
            "_result", tx,
            {"fmsVer": "FMS/3,0,1,123", "capabilities": 31.0},
            {"level": "status", "code": "NetConnection.Connect.Success",
             "description": "Connection succeeded.", "objectEncoding": 0.0},
        )  # fmt: skip

    def _publish(self, msg, args):
        if self.publishing:
            raise Refused("second publish on one connection")
        if msg.stream_id != STREAM_ID or not (self.stream_created or self.private):
            raise Refused("publish on message stream %d that was never created" % msg.stream_id)
        if len(args) < 2 or not isinstance(args[1], str) or not args[1]:
            raise Refused("publish without a stream name")
        name = args[1].split("?", 1)[0]
        self.publishing = name
        try:
            self.session = self.relay.authorize(self.app, self.tc_url, args[1])
        except sessions.SessionError as e:
            self.on_status("NetStream.Publish.BadName", str(e), level="error")
            raise Refused("publish of %r refused: %s" % (name, e))
        s = self.session
        if s.key:
            self.key, self.iv = s.key, s.iv
        self.record = flv.Writer(self.relay.record_path(s, name))
        self.event("publish", kind=s.kind, device="%s/%s" % (s.pk, s.dn), record=self.record.path,
                   private=self.private, encrypted=bool(self.key))  # fmt: skip
        self.relay.started(self)
        self.on_status("NetStream.Publish.Start", "Start publishing")
        if s.kind == "vod":
            self.on_status("NetStream.Play.Start", "Start playing")
            if s.plan:
                self._spawn(self._run_plan(s.plan))
        elif s.kind == "voice":
            self._spawn(self._talk(s.audio or {}))

    def _client_status(self, args):
        info = args[1] if len(args) > 1 and isinstance(args[1], dict) else None
        if info is None:
            raise Refused("onStatus without an information object")
        code = info.get("code")
        self.event("status_received", code=code, level=info.get("level"), info=info)
        if code in COMPLETION_MARKERS:
            self.relay.completed(self, code)
            self.on_status("NetStream.Complete.Response", "Complete")

    def _data(self, msg, values):
        if values and values[0] == "@setDataFrame":
            values = values[1:]
        self.event("data", name=values[0] if values else None,
                   values=values[1:] if values and values[0] == "onMetaData" else None)  # fmt: skip
        if self.record and values and values[0] == "onMetaData":
            self.record.write(flv.TAG_SCRIPT, 0, amf0.encode_all(*values))

    # ---- media ------------------------------------------------------------------

    def _problem(self, text):
        if len(self.media.problems) < 100:
            self.media.problems.append(text)
        self.event("check_failed", what=text)

    def _media(self, msg):
        if not self.publishing:
            raise Refused("media message before publish")
        body = msg.payload
        m = self.media
        if self.key:
            if msg.type == rtmp.AUDIO:
                body = flv.decrypt(body, self.key, self.iv)
            else:
                body = flv.decrypt_video(body, self.key, self.iv)
        last = m.last_ts[msg.type]
        if last is not None and msg.timestamp < last:
            kind = "audio" if msg.type == rtmp.AUDIO else "video"
            self._problem("%s timestamp %d after %d" % (kind, msg.timestamp, last))
        m.last_ts[msg.type] = msg.timestamp
        if msg.type == rtmp.AUDIO and self.session.kind == "voice" and not self.talk_ready:
            self._problem("audio before NetStream.TalkReady")
        if msg.type == rtmp.VIDEO:
            self._check_video(flv.VideoInfo(body), body)
            self.record.write(flv.TAG_VIDEO, msg.timestamp, body)
            return
        body = self._check_audio(flv.AudioInfo(body), body)
        if body is not None:
            self.record.write(flv.TAG_AUDIO, msg.timestamp, body)

    def _check_video(self, v, body):
        m = self.media
        if v.codec not in flv.VIDEO_CODECS:
            self._problem("video codec id %d" % v.codec)
            return
        if m.video_codec not in (None, v.codec):
            self.event("video_codec_changed", old=m.video_codec, new=v.codec)
            m.video_config = False
        m.video_codec = v.codec
        if v.packet_type == 0:
            if not v.key:
                self._problem("sequence header not marked as key frame")
            if not m.video_config:
                self.event("video_config", codec=flv.VIDEO_CODECS[v.codec], bytes=len(body))
            m.video_config = True
            return
        if v.packet_type != 1:
            return
        if not m.video_config:
            self._problem("video frame before its sequence header")
        elif m.video == 0 and not v.key:
            self._problem("first video frame is not a key frame")
        m.video += 1
        m.keys += 1 if v.key else 0

    def _check_audio(self, a, body):
        """The body to record, or None. The device frames G.711 like AAC (a
        configuration body, then bodies with a second header byte 1); the
        recording gets standard one-byte-header G.711 so players read it."""
        m = self.media
        if a.format not in flv.AUDIO_CODECS:
            self._problem("audio format %d" % a.format)
            return body
        m.audio_format = a.format
        g711 = a.format != flv.AUDIO_AAC
        if g711 and m.g711_framed is None:
            m.g711_framed = len(body) == 4 and body[1] == 0
        if g711 and not m.g711_framed:
            m.audio += 1
            return body
        if a.packet_type == 0:
            if g711 and (len(body) != 4 or body[2] >> 4 > 12):
                self._problem("G.711 configuration body %s" % body.hex())
            m.audio_config = True
            return None if g711 else body
        if a.packet_type != 1:
            self._problem("audio packet type %d" % a.packet_type)
            return None
        if not m.audio_config:
            self._problem("audio frame before its configuration body")
        m.audio += 1
        return body[:1] + body[2:] if g711 else body

    # ---- what the relay drives ------------------------------------------------------

    def _spawn(self, coro):
        async def guarded():
            try:
                await coro
            except asyncio.CancelledError:
                raise
            except (ConnectionError, OSError) as e:
                self.event("task_stopped", reason="socket: %s" % e)
            except Exception as e:  # a bad plan or audio file ends the session, not the relay
                self.event("refused", reason="session task failed: %r" % e)
                self.close()

        self.tasks.append(asyncio.get_running_loop().create_task(guarded()))

    async def _run_plan(self, plan):
        start = time.monotonic()
        for step in sorted(plan, key=lambda s: s.get("at", 0)):
            await asyncio.sleep(max(0.0, start + float(step.get("at", 0)) - time.monotonic()))
            if self.closed:
                return
            code = STATUS_CODES.get(step["status"], step["status"])
            desc = step.get("description", "")
            if step["status"] == "setplayparam":
                obj = {"onlyKeyFrame": bool(step.get("key_only")), "speed": float(step.get("speed", 1))}
                desc = amf0.encode(obj)  # binary in a String: sent as bytes
            self.on_status(code, desc if isinstance(desc, bytes) else str(desc))
            await self.writer.drain()

    async def _talk(self, audio):
        """"NetStream.TalkReady" (after "talk_delay" seconds when the session
        asks for it: the device must send nothing before it), then the
        downlink when there is one."""
        delay = float(audio.get("talk_delay", 0))
        if delay > 0:
            await asyncio.sleep(delay)
        if self.closed:
            return
        self.talk_ready = True
        self.on_status("NetStream.TalkReady", "Talk ready")
        await self.writer.drain()
        if audio.get("path"):
            await self._downlink(audio)

    def _bad_bodies(self, fmt):
        """Bodies a device must drop while the session goes on: an unknown
        sound format, a body too short to hold its header, and with a key a
        body whose padding is wrong (sent as is, not encrypted again)."""
        bodies = [(bytes([0x52, 0x01, 0, 0]), False), (bytes([fmt << 4 | 2]), False)]
        if self.key:
            enc = flv._cipher(self.key, self.iv).encryptor()
            bodies.append((enc.update(bytes(16)) + enc.finalize(), True))
        return bodies

    async def _downlink(self, audio):
        """Voice down: the configuration body, then 20 ms G.711 frames,
        encrypted whole when the session has a key."""
        fmt = flv.AUDIO_ULAW if audio.get("codec") == "pcmu" else flv.AUDIO_ALAW
        with open(audio["path"], "rb") as f:
            samples = f.read()
        pace = float(audio.get("pace", 1.0))
        frame = 160
        bodies = [flv.audio_config_body(fmt, 11)]
        bodies += [flv.audio_data_body(fmt, samples[i : i + frame]) for i in range(0, len(samples), frame)]
        bad = self._bad_bodies(fmt) if audio.get("bad_bodies") else []
        start = time.monotonic()
        for n, body in enumerate(bodies):
            ts = max(0, n - 1) * 20
            if pace > 0:
                await asyncio.sleep(max(0.0, start + ts / 1000.0 / pace - time.monotonic()))
            if self.closed:
                return
            if self.key:
                body = flv.encrypt(body, self.key, self.iv)
            self.send_message(4, rtmp.AUDIO, body, STREAM_ID, ts)
            if n == 10:
                for b, sealed in bad:
                    self.send_message(4, rtmp.AUDIO, b if sealed or not self.key else flv.encrypt(b, self.key, self.iv),
                                      STREAM_ID, ts)  # fmt: skip
                if bad:
                    self.event("bad_bodies_sent", count=len(bad))
            await self.writer.drain()
        self.event("downlink_done", frames=len(bodies) - 1, codec="pcmu" if fmt == flv.AUDIO_ULAW else "pcma")

    # ---- end ------------------------------------------------------------------

    def close(self):
        self.closed = True
        self.writer.close()

    async def _finish(self, reason):
        self.closed = True
        for t in self.tasks:
            t.cancel()
        if reason:
            self.event("refused", reason=reason)
        m = self.media
        summary = {"video_frames": m.video, "key_frames": m.keys, "audio_frames": m.audio,
                   "problems": len(m.problems), "bytes_in": self.bytes_in}  # fmt: skip
        if self.record:
            summary["record"] = self.record.path
            self.record.close()
        self.event("closed", **summary)
        self.relay.ended(self, reason, summary)
        try:
            self.writer.close()
            await asyncio.wait_for(self.writer.wait_closed(), 2.0)
        except (ConnectionError, OSError, asyncio.TimeoutError):
            pass


class Relay(object):
    """The RTMP listener and its bookkeeping of sessions and connections."""

    def __init__(self, record_dir, registry, log, idle_timeout=IDLE_TIMEOUT, handshake_timeout=HANDSHAKE_TIMEOUT):
        self.record_dir = record_dir
        self.registry = registry
        self.log = log
        self.idle_timeout = idle_timeout
        self.handshake_timeout = handshake_timeout
        self.connections = {}
        self.state = {}  # token -> what happened to its session
        self._ids = itertools.count(1)
        self.server = None
        self.changed = None
        self._pokes = set()

    async def start(self, host, port):
        self.changed = asyncio.Condition()
        self.server = await asyncio.start_server(self._accept, host, port)
        return self.server.sockets[0].getsockname()[1]

    async def stop(self):
        if self.server:
            self.server.close()
        tasks = [c.task for c in self.connections.values()]
        for c in list(self.connections.values()):
            c.close()
        if tasks:
            await asyncio.wait(tasks, timeout=5)
        if self.server:
            await self.server.wait_closed()

    async def _accept(self, reader, writer):
        c = Connection(self, reader, writer, next(self._ids))
        c.task = asyncio.current_task()
        self.connections[c.id] = c
        try:
            await c.run()
        finally:
            self.connections.pop(c.id, None)

    def record_path(self, session, name):
        os.makedirs(self.record_dir, exist_ok=True)
        stamp = time.strftime("%Y%m%d-%H%M%S")
        return os.path.join(self.record_dir, "%s-%s-%s.flv" % (session.kind, name, stamp))

    def authorize(self, app, tc_url, publish_name):
        return self.registry.authorize(app, tc_url, publish_name)

    def _update(self, _conn, **fields):
        if _conn.session is None:
            return
        st = self.state.setdefault(_conn.session.token, {})
        st.update(fields)
        self._notify()

    def _notify(self):
        async def poke():
            async with self.changed:
                self.changed.notify_all()

        if self.changed is not None:
            self._pokes.add(asyncio.get_running_loop().create_task(poke()))
            self._pokes = {t for t in self._pokes if not t.done()}

    def started(self, conn):
        self._update(conn, state="publishing", stream=conn.publishing, record=conn.record.path, conn=conn.id)

    def completed(self, conn, code):
        self._update(conn, complete=code)

    def ended(self, conn, reason, summary):
        self._update(conn, state="closed", reason=reason, **summary)

    def drop(self, name):
        hit = [c for c in self.connections.values() if c.publishing == name]
        for c in hit:
            c.event("dropped")
            c.close()
        return len(hit)

    def device_closed(self, token, reason):
        """The device said it closed the session's relay. A session that never
        published is over: nothing will come for it."""
        st = self.state.setdefault(token, {})
        if st.get("state") in ("publishing", "closed"):
            return 0
        st.update(state="closed", reason="device closed it: %s" % reason, device_closed=reason)
        self._notify()
        return 1

    def session_state(self, token):
        return dict(self.state.get(token, {}))

    def send_status(self, name, code, description=""):
        hit = [c for c in self.connections.values() if c.publishing == name]
        for c in hit:
            c.on_status(STATUS_CODES.get(code, code), description)
        return len(hit)


__all__ = ["Relay", "EventLog", "Connection"]
