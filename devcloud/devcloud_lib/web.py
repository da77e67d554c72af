"""Web console of the local cloud: one page on loopback that shows the
devices, their live events, pictures and recordings, and drives the camera
(property set, snapshot, live watch, recordings, talk, firmware).

    devcloud web [--port P]

The server is http.server with a thread per request. Three followers feed
it: the platform's MQTT subscription (what devices publish), the broker log
(connections, refusals) and the relay and store logs. Events reach the page
through Server-Sent Events at /api/events. Browser libraries come from npm
into devcloud/web/node_modules and are served from there.
"""

import collections
import json
import os
import re
import secrets
import shutil
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import identity, relay_nginx, storage, topics
from .cloud import HOST, CloudError

WEB_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "web")
FFMPEG = shutil.which("ffmpeg") or "/usr/bin/ffmpeg"
DEFAULT_PORT = 8880
MAX_BODY = 64 * 1024 * 1024
MAX_EVENTS = 2000
CONSOLE_HEADER = "X-Devcloud-Console"

_STATIC = {
    ".html": "text/html; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".map": "application/json",
    ".jpg": "image/jpeg",
    ".png": "image/png",
    ".mp4": "video/mp4",
    ".flv": "video/x-flv",
    ".wav": "audio/wav",
}

# mosquitto's connection lines (log_type all, connection_messages true).
_RE_CONNECTED = re.compile(r"New client connected from \S+ as (\S+) \(.*u'([^']*)'\)")
_RE_GONE = re.compile(
    r"(?:Client (\S+?) (?:disconnected|closed its connection|has exceeded timeout)"
    r"|Socket error on client (\S+?), disconnecting)"
)


class WebError(Exception):
    def __init__(self, status, message):
        Exception.__init__(self, message)
        self.status = status


def _http(port, method, path, params):
    """A request to the relay daemon's HTTP side; its JSON answer."""
    url = "http://%s:%d%s?%s" % (HOST, port, path, urllib.parse.urlencode(params))
    req = urllib.request.Request(url, method=method, data=b"" if method == "POST" else None)
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            body = r.read()
    except urllib.error.HTTPError as e:
        raise WebError(502, "relay %s %s: HTTP %d %s" % (method, path, e.code, e.read()[:300]))
    except (urllib.error.URLError, OSError) as e:
        raise WebError(502, "relay %s %s failed: %s" % (method, path, e))
    try:
        return json.loads(body.decode("utf-8")) if body else {}
    except ValueError:
        return {}


# ---- state -------------------------------------------------------------------------


class Hub(object):
    """Events in arrival order with a sequence number each; SSE clients wait
    on the condition for numbers they have not sent yet."""

    def __init__(self):
        self._cond = threading.Condition()
        self._events = collections.deque(maxlen=MAX_EVENTS)
        self._seq = 0

    def add(self, rec):
        with self._cond:
            self._seq += 1
            rec = dict(rec, seq=self._seq)
            rec.setdefault("time", round(time.time(), 3))
            self._events.append(rec)
            self._cond.notify_all()
        return rec

    def since(self, seq, timeout):
        with self._cond:
            self._cond.wait_for(lambda: self._seq > seq, timeout)
            return [e for e in self._events if e["seq"] > seq]


class Devices(object):
    """What the console knows of each registered device."""

    def __init__(self, cloud):
        self.cloud = cloud
        self._lock = threading.Lock()
        self._state = {}
        self._clients = {}  # broker client id -> (pk, dn)

    def _get(self, pk, dn):
        return self._state.setdefault((pk, dn), {"online": False, "last_seen": None, "version": None,
                                                  "properties": {}, "client_id": None})  # fmt: skip

    def connected(self, client_id, user, when):
        dn, _, pk = user.partition("&")
        if not pk:
            return None
        with self._lock:
            d = self._get(pk, dn)
            d.update(online=True, last_seen=when, client_id=client_id)
            self._clients[client_id] = (pk, dn)
        return pk, dn

    def gone(self, client_id, when):
        with self._lock:
            who = self._clients.pop(client_id, None)
            if who is None:
                return None
            d = self._get(*who)
            if d.get("client_id") == client_id:
                d.update(online=False, last_seen=when)
        return who

    def message(self, pk, dn, kind, payload, when):
        """A device's upstream message: it is alive; properties and versions
        are kept."""
        with self._lock:
            d = self._get(pk, dn)
            d["last_seen"] = when
            if not isinstance(payload, dict):
                return
            params = payload.get("params")
            method = payload.get("method")
            if kind == "property.post" and isinstance(params, dict):
                d["properties"].update(params)
            elif method == "IpcNvrSDKVersion" and isinstance(params, dict):
                d["sdk_version"] = params.get("version")
            elif kind == "ota.inform" and isinstance(params, dict) and params.get("version"):
                d["version"] = params.get("version")

    def set_applied(self, pk, dn, params):
        with self._lock:
            self._get(pk, dn)["properties"].update(params)

    def listing(self):
        out = []
        with self._lock:
            for dev in self.cloud.devices():
                d = dict(self._get(dev.product_key, dev.device_name))
                d["properties"] = dict(d["properties"])
                d.pop("client_id", None)
                out.append(dict(d, pk=dev.product_key, dn=dev.device_name))
        return out


class LogTail(object):
    """New complete lines of a file that may not exist yet."""

    def __init__(self, path, from_end=False):
        self.path = path
        self._pos = None if from_end else 0
        self._partial = ""

    def lines(self):
        try:
            with open(self.path, "r", errors="replace") as f:
                f.seek(0, 2)
                end = f.tell()
                if self._pos is None:
                    self._pos = end
                if end < self._pos:
                    self._pos = 0
                f.seek(self._pos)
                data = f.read()
                self._pos = f.tell()
        except OSError:
            return []
        data = self._partial + data
        lines = data.split("\n")
        self._partial = lines.pop()
        return lines


class Console(object):
    """The state behind the page, and the followers that keep it current."""

    def __init__(self, cloud):
        self.cloud = cloud
        self.hub = Hub()
        self.devices = Devices(cloud)
        self.lives = {}  # stream -> live session record
        self.vods = {}  # token -> playback session record
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._subscribed = threading.Event()
        self._threads = []

    # followers

    def start(self, timeout=10.0):
        """Starts the followers; returns once the platform subscription is
        in place, so nothing a device publishes after that is missed."""
        for fn in (self._follow_mqtt, self._follow_logs):
            t = threading.Thread(target=fn, daemon=True)
            t.start()
            self._threads.append(t)
        if not self._subscribed.wait(timeout):
            raise CloudError("the console could not subscribe to the broker within %gs" % timeout)

    def stop(self):
        self._stop.set()
        with self._lock:
            lives = list(self.lives.values())
        for s in lives:
            self._end_live(s)

    def _follow_mqtt(self):
        from .platform import PlatformClient, json_line

        while not self._stop.is_set():
            try:
                p = PlatformClient.for_cloud(self.cloud, history=False).connect()
            except CloudError as e:
                self.hub.add({"source": "console", "error": "cannot reach the broker: %s" % e})
                self._stop.wait(2.0)
                continue
            with p:
                p.subscribe_devices()
                self._subscribed.set()
                while not self._stop.is_set() and not p.lost:
                    m = p.pop(0.5)
                    if m is None:
                        continue
                    rec = json.loads(json_line(m))
                    rec["source"] = "mqtt"
                    if rec.get("direction") == topics.UP and rec.get("pk"):
                        self.devices.message(rec["pk"], rec["dn"], rec.get("kind"), rec.get("payload"), m.time)
                    self.hub.add(rec)
            if not self._stop.is_set():
                self.hub.add({"source": "console", "error": "lost the broker; reconnecting"})
                self._stop.wait(1.0)

    def _follow_logs(self):
        broker = LogTail(self.cloud.log_path)
        relay = LogTail(self.cloud.path("relay.log"), from_end=True)
        store = LogTail(storage.log_path(self.cloud.home), from_end=True)
        first = True
        while not self._stop.is_set():
            for line in broker.lines():
                self._broker_line(line, quiet=first)
            first = False
            for src, tail in (("relay", relay), ("store", store)):
                for line in tail.lines():
                    try:
                        rec = json.loads(line)
                    except ValueError:
                        continue
                    if isinstance(rec, dict):
                        self.hub.add(dict(rec, source=src, relay_event=rec.get("event")))
            # The logs are files written by other processes; a short poll is
            # the only notice they give.
            self._stop.wait(0.25)

    def _broker_line(self, line, quiet):
        now = time.time()
        m = _RE_CONNECTED.search(line)
        if m:
            who = self.devices.connected(m.group(1), m.group(2), now)
            if who and not quiet:
                self.hub.add({"source": "broker", "pk": who[0], "dn": who[1], "kind": "online",
                              "text": "connected as %s" % m.group(1)})  # fmt: skip
            return
        m = _RE_GONE.search(line)
        if m:
            who = self.devices.gone(m.group(1) or m.group(2), now)
            if who and not quiet:
                self.hub.add({"source": "broker", "pk": who[0], "dn": who[1], "kind": "offline",
                              "text": line.split(": ", 1)[-1]})  # fmt: skip

    # actions

    def known(self, pk, dn):
        try:
            identity.check_names(pk, dn)
        except identity.IdentityError as e:
            raise WebError(400, str(e))
        if self.cloud.device(pk, dn) is None:
            raise WebError(404, "device %s/%s is not registered" % (pk, dn))

    def set_property(self, pk, dn, params, timeout=5.0):
        from .platform import PlatformClient

        if not isinstance(params, dict) or not params:
            raise WebError(400, "a property set takes a non-empty JSON object")
        with PlatformClient.for_cloud(self.cloud).connect() as p:
            reply = p.set_property(pk, dn, json.dumps(params), timeout)
        if reply is None:
            raise WebError(504, "the camera did not answer the property set within %gs" % timeout)
        j = reply.json()
        if not isinstance(j, dict):
            raise WebError(502, "the reply is not a JSON object: %s" % reply.text[:300])
        if j.get("code") == 200:
            self.devices.set_applied(pk, dn, params)
        return j

    def _publish_service(self, pk, dn, service, params):
        from .platform import PlatformClient, envelope, next_id

        with PlatformClient.for_cloud(self.cloud, history=False).connect() as p:
            p.publish("/sys/%s/%s/thing/service/%s" % (pk, dn, service),
                      envelope(next_id(), params, "thing.service.%s" % service))  # fmt: skip

    def snapshot(self, pk, dn, timeout=20.0):
        from .storage_cli import store_base, wait_object

        stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime())
        key = "%spicture/%s-%s.jpg" % (storage.device_prefix(pk, dn), stamp, secrets.token_hex(3))
        url = storage.presign(storage.master_key(self.cloud.home), store_base(self.cloud), key)
        self._publish_service(pk, dn, "TriggerPicCapture", {"UploadUrl": url})
        info = wait_object(self.cloud, key, timeout)
        if info is None:
            raise WebError(504, "no picture reached the store within %gs (see the store events)" % timeout)
        return info

    def objects(self, pk, dn):
        out = []
        for key, size, mtime in storage.list_objects(self.cloud.home, storage.device_prefix(pk, dn)):
            out.append({"key": key, "size": size, "time": mtime})
        out.sort(key=lambda o: o["time"], reverse=True)
        return out

    def object_path(self, key):
        try:
            key = storage.check_key(key)
        except storage.StoreError as e:
            raise WebError(400, e.reason)
        path = storage.object_path(self.cloud.home, key)
        if not os.path.isfile(path):
            raise WebError(404, "no object %s" % key)
        return path

    # live

    def _relays(self):
        st = self.cloud.status()
        if not (st.get("relay_pid") and st.get("nginx_pid")):
            raise WebError(503, "the relays are not running: run 'devcloud up'")
        return st

    def start_live(self, pk, dn, stream_type=0, wait=20.0):
        from .console import registry, send_request, stream_url, wait_state

        st = self._relays()
        s = registry(self.cloud).create(pk, dn, "live")
        url = stream_url(st["rtmp_port"], relay_nginx.APP, s, private=False)
        send_request(self.cloud, pk, dn, "StartPushStreaming", {"PushUrl": url, "StreamType": stream_type})
        rec = {"pk": pk, "dn": dn, "stream": s.stream, "token": s.token, "url": url, "session": s,
               "play": "rtmp://%s:%d/%s/%s" % (HOST, st["rtmp_port"], relay_nginx.APP, s.stream)}  # fmt: skip
        with self._lock:
            self.lives[s.stream] = rec
        state = wait_state(st, s.token, "publishing", wait)
        if state.get("state") not in ("publishing",):
            with self._lock:
                self.lives.pop(s.stream, None)
            raise WebError(504, "the camera did not publish %s within %gs: %s"
                           % (s.stream, wait, state.get("reason") or state.get("state")))  # fmt: skip
        return {"stream": s.stream, "flv": "/live/%s.flv" % s.stream, "url": url}

    def stop_live(self, stream):
        with self._lock:
            rec = self.lives.pop(stream, None)
        if rec is None:
            raise WebError(404, "no live stream %s" % stream)
        return self._end_live(rec)

    def _end_live(self, rec):
        from .console import wait_state

        st = self._relays()
        # nginx's control module drops the publisher: the camera sees the
        # relay close its connection, as with 'devcloud live'.
        url = "http://%s:%d/control/drop/publisher?%s" % (
            HOST, st["nginx_http_port"], urllib.parse.urlencode({"app": relay_nginx.APP, "name": rec["stream"]}))
        try:
            urllib.request.urlopen(url, timeout=5).read()
        except (urllib.error.URLError, OSError) as e:
            raise WebError(502, "nginx did not drop %s: %s" % (rec["stream"], e))
        state = wait_state(st, rec["token"], "recorded", 15)
        return {"stream": rec["stream"], "state": state.get("state"), "record": state.get("record")}

    def live_source(self, stream):
        with self._lock:
            rec = self.lives.get(stream)
        if rec is None:
            raise WebError(404, "no live stream %s" % stream)
        return rec["play"]


    # playback

    def records(self, pk, dn, begin, end, timeout=5.0):
        """The camera's record list for [begin, end) (epoch seconds), names
        decoded."""
        import base64

        from .platform import PlatformClient

        params = {"BeginTime": begin, "EndTime": end, "Type": 0, "QuerySize": 100}
        with PlatformClient.for_cloud(self.cloud).connect() as p:
            reply = p.rrpc(pk, dn, "QueryRecordList", json.dumps(params), timeout)
        if reply is None:
            raise WebError(504, "the camera did not answer the record query within %gs" % timeout)
        j = reply.json()
        if not isinstance(j, dict):
            raise WebError(502, "the record list is not a JSON object: %s" % reply.text[:300])
        data = j.get("data", j)
        out = []
        for rec in (data.get("RecordList") or []) if isinstance(data, dict) else []:
            if not isinstance(rec, dict) or not isinstance(rec.get("FileName"), str):
                continue
            rec = dict(rec)
            try:
                rec["name"] = base64.b64decode(rec["FileName"], validate=True).decode("utf-8", "replace")
            except ValueError:
                rec["name"] = rec["FileName"]
            out.append(rec)
        return {"reply": j, "records": out}

    def start_vod(self, pk, dn, body, wait=20.0):
        import base64

        from .console import registry, send_request, stream_url, wait_state

        st = self._relays()
        speed = float(body.get("speed") or 1.0)
        plan = []
        if speed != 1.0 or body.get("key_only"):
            plan.append({"at": 0, "status": "setplayparam", "speed": speed, "key_only": bool(body.get("key_only"))})
        s = registry(self.cloud).create(pk, dn, "vod", plan=plan)
        url = stream_url(st["relay_port"], "vod", s)
        params = {"SessionID": s.session_id, "PushUrl": url}
        if body.get("file"):
            service = "StartVod"
            params["FileName"] = base64.b64encode(str(body["file"]).encode("utf-8")).decode()
        else:
            service = "StartVodByTime"
            params["BeginTime"], params["EndTime"] = int(body["begin"]), int(body["end"])
        send_request(self.cloud, pk, dn, service, params)
        state = wait_state(st, s.token, "publishing", wait)
        if state.get("state") != "publishing" or not state.get("record"):
            raise WebError(504, "the camera did not start the playback within %gs: %s"
                           % (wait, state.get("reason") or state.get("state")))  # fmt: skip
        with self._lock:
            self.vods[s.token] = {"stream": s.stream, "record": state["record"], "pk": pk, "dn": dn}
        return {"token": s.token, "stream": s.stream, "flv": "/vod/%s.flv" % s.token}

    def vod_control(self, token, action, position=None):
        """Pause, resume or seek a running playback: the relay sends the
        status code to the camera at once."""
        with self._lock:
            v = self.vods.get(token)
        if v is None:
            raise WebError(404, "no playback %s" % token)
        st = self._relays()
        if action == "seek":
            if position is None:
                raise WebError(400, "a seek takes a position in seconds")
            desc = "%d" % int(float(position) * 1000)
        elif action in ("pause", "unpause"):
            desc = "%d" % int(time.time() * 1000)
        elif action == "stop":
            return _http(st["relay_http_port"], "POST", "/drop", {"name": v["stream"]})
        else:
            raise WebError(400, "unknown playback action %r" % action)
        r = _http(st["relay_http_port"], "POST", "/status", {"name": v["stream"], "code": action, "description": desc})
        if not r.get("sent"):
            raise WebError(409, "the playback %s is no longer connected" % v["stream"])
        return r

    def vod_session(self, token):
        with self._lock:
            v = self.vods.get(token)
        if v is None:
            raise WebError(404, "no playback %s" % token)
        return v

    def session_closed(self, token, timeout):
        from .console import wait_state

        return wait_state(self._relays(), token, "closed", timeout).get("state") == "closed"

    # talk

    def talk(self, pk, dn, wav, codec="pcma", wait=20.0):
        """The WAV down a voice session; what the camera sent up comes back
        as a WAV the browser plays."""
        from .console import registry, send_request, stream_url, wait_state, wav_to_g711

        if codec not in ("pcma", "pcmu"):
            raise WebError(400, "codec is pcma or pcmu")
        st = self._relays()
        work = self.cloud.path(os.path.join("web", "talk"))
        os.makedirs(work, exist_ok=True)
        stamp = "%d-%s" % (int(time.time() * 1000), secrets.token_hex(3))
        src = os.path.join(work, stamp + ".in.wav")
        with open(src, "wb") as f:
            f.write(wav)
        raw = os.path.join(work, stamp + "." + codec)
        try:
            seconds = wav_to_g711(src, raw, codec)
        except CloudError as e:
            raise WebError(400, str(e))
        s = registry(self.cloud).create(pk, dn, "voice", audio={"path": raw, "codec": codec})
        url = stream_url(st["relay_port"], "voice", s, private=True)
        send_request(self.cloud, pk, dn, "StartVoiceIntercom", {"IntercomUrl": url, "Key": "{}"})
        state = wait_state(st, s.token, "publishing", wait)
        if state.get("state") not in ("publishing", "closed"):
            raise WebError(504, "the camera did not open the voice session within %gs: %s"
                           % (wait, state.get("reason") or state.get("state")))  # fmt: skip
        state = wait_state(st, s.token, "closed", seconds + 2)
        if state.get("state") != "closed":
            _http(st["relay_http_port"], "POST", "/drop", {"name": s.stream})
            state = wait_state(st, s.token, "closed", 15)
        if not state.get("record"):
            raise WebError(502, "the relay recorded nothing: %s" % (state.get("reason") or state))
        out = os.path.join(work, stamp + ".up.wav")
        r = subprocess.run([FFMPEG, "-v", "error", "-y", "-i", state["record"], "-vn", "-f", "wav", out],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)  # fmt: skip
        if r.returncode != 0:
            raise WebError(502, "what came up does not decode: %s" % r.stderr.decode("utf-8", "replace")[-300:])
        return {"sent_seconds": round(seconds, 2), "uplink": "/talk/%s.up.wav" % stamp,
                "problems": state.get("problems"), "stream": s.stream}  # fmt: skip

    def talk_file(self, name):
        if not re.match(r"^[0-9]+-[0-9a-f]+\.up\.wav$", name):
            raise WebError(404, "no talk file %s" % name)
        path = self.cloud.path(os.path.join("web", "talk", name))
        if not os.path.isfile(path):
            raise WebError(404, "no talk file %s" % name)
        return path

    # firmware

    def push_firmware(self, pk, dn, data, version):
        from . import https_service, ota
        from .platform import PlatformClient

        if not data:
            raise WebError(400, "the firmware file is empty")
        if not version or not re.match(r"^[A-Za-z0-9_.+-]{1,64}$", version):
            raise WebError(400, "a firmware version is 1..64 of A-Za-z0-9_.+-")
        base = "https://%s:%d" % (HOST, https_service.ensure_daemon(self.cloud))

        def store(name, blob):
            d = os.path.join(self.cloud.home, "files")
            os.makedirs(d, exist_ok=True)
            tmp = os.path.join(d, "." + name + ".tmp")
            with open(tmp, "wb") as f:
                f.write(blob)
            os.replace(tmp, os.path.join(d, name))

        with PlatformClient.for_cloud(self.cloud, history=False).connect() as p:
            url, d = ota.push_firmware(p, base, store, pk, dn, data, version)
        return {"url": url, "size": d["size"], "md5": d["md5"], "sha256": d["sha256"], "version": version}


# ---- HTTP ----------------------------------------------------------------------------


def _route(path):
    return [urllib.parse.unquote(p) for p in path.split("/") if p]


class Handler(BaseHTTPRequestHandler):
    server_version = "devcloud-web"
    protocol_version = "HTTP/1.1"

    @property
    def console(self):
        return self.server.console

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("web: " + fmt % args + "\n")

    # replies

    def _send(self, status, body, ctype, extra=None):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, value, status=200):
        self._send(status, json.dumps(value).encode("utf-8"), "application/json")

    def _error(self, status, message):
        self._json({"error": message}, status)

    def _body(self):
        n = int(self.headers.get("Content-Length") or 0)
        if n < 0 or n > MAX_BODY:
            raise WebError(413, "body too large")
        return self.rfile.read(n) if n else b""

    def _json_body(self):
        try:
            return json.loads(self._body().decode("utf-8") or "null")
        except (ValueError, UnicodeDecodeError) as e:
            raise WebError(400, "the body is not JSON: %s" % e)

    def _file(self, path, ctype):
        size = os.path.getsize(path)
        start, end = 0, size - 1
        rng = self.headers.get("Range")
        status = 200
        m = re.match(r"bytes=(\d*)-(\d*)$", rng or "")
        if m and size:
            if m.group(1):
                start = int(m.group(1))
                if m.group(2):
                    end = min(int(m.group(2)), size - 1)
            elif m.group(2):
                start = max(0, size - int(m.group(2)))
            if start > end:
                self._send(416, b"", "text/plain", {"Content-Range": "bytes */%d" % size})
                return
            status = 206
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(end - start + 1 if size else 0))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Cache-Control", "no-store")
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        self.end_headers()
        if self.command == "HEAD":
            return
        with open(path, "rb") as f:
            f.seek(start)
            left = end - start + 1 if size else 0
            while left > 0:
                chunk = f.read(min(65536, left))
                if not chunk:
                    break
                self.wfile.write(chunk)
                left -= len(chunk)

    def _pipe(self, argv, ctype):
        """An ffmpeg output streamed as it is made (chunked); the process
        ends when the browser goes away."""
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            self.send_response(200)
            self.send_header("Content-Type", ctype)
            self.send_header("Transfer-Encoding", "chunked")
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            while True:
                chunk = proc.stdout.read1(65536)
                if not chunk:
                    break
                self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
                self.wfile.flush()
            self.wfile.write(b"0\r\n\r\n")
        except (BrokenPipeError, ConnectionResetError):
            pass
        finally:
            proc.kill()
            proc.wait()
            self.close_connection = True

    # methods

    def do_GET(self):
        self._dispatch("GET")

    def do_HEAD(self):
        self._dispatch("GET")

    def do_POST(self):
        self._dispatch("POST")

    def _origin_ok(self, method):
        """Any web page the user opens can send requests to loopback. A
        foreign Host (DNS rebinding) is refused, and so is a POST without the
        console's own header: another origin cannot add one without a CORS
        preflight, which this server never grants."""
        port = self.server.server_address[1]
        if self.headers.get("Host", "") not in ("%s:%d" % (HOST, port), "localhost:%d" % port):
            return "a request for another host (%s)" % self.headers.get("Host")
        if method == "POST" and self.headers.get(CONSOLE_HEADER) != "1":
            return "a POST without the %s header" % CONSOLE_HEADER
        return None

    def _dispatch(self, method):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        parts = _route(url.path)
        refused = self._origin_ok(method)
        if refused:
            # A small body is read so the refusal reaches the client instead
            # of a reset; a large one is not worth reading.
            try:
                n = int(self.headers.get("Content-Length") or 0)
            except ValueError:
                n = -1
            if 0 <= n <= 65536:
                self.rfile.read(n)
            else:
                self.close_connection = True
            return self._error(403, "refused %s" % refused)
        try:
            self._handle(method, parts, query)
        except WebError as e:
            self._error(e.status, str(e))
        except CloudError as e:
            self._error(502, str(e))
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def _handle(self, method, parts, query):
        c = self.console
        if not parts:
            return self._static("index.html")
        head = parts[0]
        if head == "static" and method == "GET":
            return self._static("/".join(parts[1:]))
        if head == "lib" and method == "GET":
            return self._static("/".join(["node_modules"] + parts[1:]))
        if head == "api":
            return self._api(method, parts[1:], query)
        if head == "object" and method == "GET" and len(parts) > 1:
            key = "/".join(parts[1:])
            path = c.object_path(key)
            if query.get("format") == "mp4":
                return self._mp4(path)
            ext = os.path.splitext(key)[1]
            return self._file(path, _STATIC.get(ext, "application/octet-stream"))
        if head == "live" and method == "GET" and len(parts) == 2 and parts[1].endswith(".flv"):
            src = c.live_source(parts[1][:-4])
            return self._pipe([FFMPEG, "-v", "error", "-fflags", "nobuffer", "-i", src, "-c", "copy",
                               "-f", "flv", "pipe:1"], "video/x-flv")  # fmt: skip
        if head == "vod" and method == "GET" and len(parts) == 2 and parts[1].endswith(".flv"):
            return self._tail_vod(parts[1][:-4])
        if head == "talk" and method == "GET" and len(parts) == 2:
            return self._file(c.talk_file(parts[1]), "audio/wav")
        raise WebError(404, "nothing at %s" % self.path)

    def _tail_vod(self, token):
        """The playback as the relay records it, followed while the session
        runs: the camera paces it, and pause, seek and speed show."""
        c = self.console
        v = c.vod_session(token)
        self.send_response(200)
        self.send_header("Content-Type", "video/x-flv")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.close_connection = True
        with open(v["record"], "rb") as f:
            while not self.server.stopping.is_set():
                chunk = f.read(65536)
                if chunk:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
                    self.wfile.flush()
                    continue
                # The relay writes the file and says nothing per tag; its
                # state wait returns early when the session closes.
                if c.session_closed(token, 0.2):
                    chunk = f.read()
                    if chunk:
                        self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
                    break
        self.wfile.write(b"0\r\n\r\n")

    def _static(self, rel):
        base = os.path.realpath(WEB_DIR)
        path = os.path.realpath(os.path.join(base, rel))
        if not path.startswith(base + os.sep) or not os.path.isfile(path):
            raise WebError(404, "no file %s" % rel)
        return self._file(path, _STATIC.get(os.path.splitext(path)[1], "application/octet-stream"))

    def _mp4(self, path):
        """A stored FLV as MP4, remuxed once and kept beside the console's
        cache, so the browser can seek in it."""
        cache = self.console.cloud.path(os.path.join("web", "mp4"))
        os.makedirs(cache, exist_ok=True)
        st = os.stat(path)
        name = "%s-%d-%d.mp4" % (re.sub(r"[^A-Za-z0-9_.-]", "_", path), st.st_size, int(st.st_mtime))
        out = os.path.join(cache, name[-200:])
        if not os.path.isfile(out):
            tmp = out + ".%d.tmp" % threading.get_ident()
            r = subprocess.run([FFMPEG, "-v", "error", "-y", "-i", path, "-c:v", "copy", "-c:a", "aac",
                                "-movflags", "+faststart", "-f", "mp4", tmp],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)  # fmt: skip
            if r.returncode != 0:
                raise WebError(422, "ffmpeg cannot remux %s: %s"
                               % (os.path.basename(path), r.stderr.decode("utf-8", "replace")[-400:]))  # fmt: skip
            os.replace(tmp, out)
        return self._file(out, "video/mp4")

    def _events(self, query):
        try:
            seq = int(self.headers.get("Last-Event-ID") or query.get("since") or 0)
        except ValueError:
            seq = 0
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        self.wfile.write(b"retry: 1000\n\n")
        self.wfile.flush()
        while not self.server.stopping.is_set():
            events = self.console.hub.since(seq, 15.0)
            if not events:
                self.wfile.write(b": keep-alive\n\n")
            for e in events:
                seq = e["seq"]
                self.wfile.write(b"id: %d\ndata: %s\n\n" % (seq, json.dumps(e).encode("utf-8")))
            self.wfile.flush()

    def _api(self, method, parts, query):
        c = self.console
        if parts == ["events"] and method == "GET":
            return self._events(query)
        if parts == ["devices"] and method == "GET":
            return self._json({"devices": c.devices.listing()})
        if parts == ["status"] and method == "GET":
            st = c.cloud.status()
            return self._json({"status": st, "lives": sorted(c.lives)})
        if len(parts) >= 4 and parts[0] == "devices":
            pk, dn, action = parts[1], parts[2], parts[3]
            c.known(pk, dn)
            if action == "set" and method == "POST":
                return self._json(c.set_property(pk, dn, self._json_body()))
            if action == "snapshot" and method == "POST":
                return self._json(c.snapshot(pk, dn))
            if action == "objects" and method == "GET":
                return self._json({"objects": c.objects(pk, dn)})
            if action == "live" and method == "POST":
                body = self._json_body() or {}
                return self._json(c.start_live(pk, dn, int(body.get("stream_type", 0))))
            if action == "records" and method == "GET":
                try:
                    begin, end = int(query["begin"]), int(query["end"])
                except (KeyError, ValueError):
                    raise WebError(400, "records take begin and end (epoch seconds)")
                return self._json(c.records(pk, dn, begin, end))
            if action == "vod" and method == "POST":
                return self._json(c.start_vod(pk, dn, self._json_body() or {}))
            if action == "talk" and method == "POST":
                return self._json(c.talk(pk, dn, self._body(), query.get("codec", "pcma")))
            if action == "firmware" and method == "POST":
                return self._json(c.push_firmware(pk, dn, self._body(), query.get("version", "")))
        if len(parts) == 3 and parts[0] == "vod" and method == "POST":
            body = self._json_body() or {}
            return self._json(c.vod_control(parts[1], parts[2], body.get("position")))
        if len(parts) == 3 and parts[:2] == ["live", "stop"] and method == "POST":
            return self._json(c.stop_live(parts[2]))
        raise WebError(404, "no API %s %s" % (method, "/".join(parts)))


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, console, port, verbose=False):
        self.console = console
        self.verbose = verbose
        self.stopping = threading.Event()
        ThreadingHTTPServer.__init__(self, (HOST, port), Handler)


def ensure_libraries():
    """npm install when the browser libraries are missing (first run)."""
    if os.path.isdir(os.path.join(WEB_DIR, "node_modules", "mpegts.js")):
        return
    npm = shutil.which("npm")
    if npm is None:
        raise CloudError("npm is missing: install Debian's npm to fetch the page's player")
    r = subprocess.run([npm, "install", "--no-audit", "--no-fund", "--omit=dev"], cwd=WEB_DIR,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)  # fmt: skip
    if r.returncode != 0:
        raise CloudError("npm install failed in %s: %s" % (WEB_DIR, r.stdout.decode("utf-8", "replace")[-500:]))


def serve(cloud, port=None, ready=None):
    if not cloud.running():
        raise CloudError("the cloud in %s is not running: run 'devcloud up'" % cloud.home)
    ensure_libraries()
    console = Console(cloud)
    server = Server(console, DEFAULT_PORT if port is None else port)
    console.start()
    url = "http://%s:%d/" % (HOST, server.server_address[1])
    if ready:
        ready(url)
    try:
        server.serve_forever(poll_interval=0.5)
    finally:
        server.stopping.set()
        console.stop()
        server.server_close()
    return 0


# ---- background console for `devcloud up` -----------------------------------------


def _daemon_file(cloud):
    return cloud.path("web.json")


def daemon_url(cloud):
    """The URL of the console `up` started, while it runs; else None."""
    from .procs import pid_alive

    try:
        with open(_daemon_file(cloud)) as f:
            rec = json.load(f)
    except (OSError, ValueError):
        return None
    if not isinstance(rec, dict) or not pid_alive(rec.get("pid")):
        return None
    return rec.get("url")


def ensure_daemon(cloud, port=None, timeout=300.0):
    """Starts the console in the background unless it runs; its URL. The
    first start may run npm install, hence the long time-out."""
    import selectors

    url = daemon_url(cloud)
    if url:
        return url
    script = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "devcloud")
    if port is None:
        from .procs import port_free

        port = DEFAULT_PORT if port_free(DEFAULT_PORT) else 0
    log = open(cloud.path("web.log"), "ab")
    proc = subprocess.Popen(["/usr/bin/python3", script, "--home", cloud.home, "web", "--port", str(port)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log,
                            start_new_session=True)  # fmt: skip
    log.close()
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    deadline = time.monotonic() + timeout
    line = b""
    while time.monotonic() < deadline and not line.endswith(b"\n"):
        if not sel.select(deadline - time.monotonic()):
            break
        got = proc.stdout.read1(4096)
        if not got:
            break
        line += got
    sel.close()
    proc.stdout.close()
    text = line.decode("utf-8", "replace").strip()
    if not text.startswith("web_url="):
        proc.kill()
        proc.wait()
        raise CloudError("the web console did not start (see %s)" % cloud.path("web.log"))
    url = text[len("web_url="):]
    tmp = _daemon_file(cloud) + ".tmp"
    with open(tmp, "w") as f:
        json.dump({"pid": proc.pid, "url": url}, f)
    os.replace(tmp, _daemon_file(cloud))
    return url


def stop_daemon(cloud, timeout=10.0):
    """Stops the console `up` started; True when one ran."""
    import signal as _signal

    from .procs import pid_alive, proc_cmdline, wait_exit

    try:
        with open(_daemon_file(cloud)) as f:
            pid = json.load(f).get("pid")
    except (OSError, ValueError, AttributeError):
        return False
    try:
        os.unlink(_daemon_file(cloud))
    except OSError:
        pass
    # A pid reused by another program is left alone.
    if not isinstance(pid, int) or not pid_alive(pid) or "web" not in proc_cmdline(pid):
        return False
    os.kill(pid, _signal.SIGTERM)
    if not wait_exit(pid, timeout):
        os.kill(pid, _signal.SIGKILL)
        wait_exit(pid, timeout)
    return True


def _port(text):
    import argparse

    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError("a port is 0..65535, not %r" % text)
    return port


def cmd_web(cloud, a):
    def ready(url):
        print("web_url=%s" % url, flush=True)

    return serve(cloud, a.port, ready)


def add_commands(sub):
    s = sub.add_parser("web", help="web console on loopback; prints web_url=")
    s.add_argument("--port", type=_port, default=None, help="HTTP port (default %d, 0: any free)" % DEFAULT_PORT)
    s.set_defaults(fn=cmd_web)


def main(argv=None):
    """python3 -m devcloud_lib.web [--home H] [--port P], for tests and
    before the sub-command exists."""
    import argparse

    from .cloud import Cloud

    p = argparse.ArgumentParser(prog="devcloud web")
    p.add_argument("--home")
    p.add_argument("--port", type=_port, default=None)
    a = p.parse_args(argv)
    try:
        return cmd_web(Cloud(a.home), a)
    except CloudError as e:
        sys.stderr.write("devcloud: %s\n" % e)
        return 1
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
