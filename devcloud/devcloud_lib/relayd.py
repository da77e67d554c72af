"""The relay daemon `devcloud up` starts: devcloud's RTMP relay plus a small
HTTP endpoint on loopback that nginx-rtmp calls back (on_publish checks the
signed token, on_publish_done and on_record_done report the end) and that
the console uses (session state with long-poll, drop, status codes).

    GET  /state?token=T[&until=publishing|closed|recorded][&timeout=S]
    POST /drop?name=STREAM
    POST /status?name=STREAM&code=pause|unpause|seek|...&description=D
    POST /nginx/on_publish | /nginx/on_publish_done | /nginx/on_record_done
"""

import asyncio
import json
import os
import signal
import time
from urllib.parse import parse_qsl, urlsplit

from . import sessions
from .relay_rtmp import EventLog, Relay

MAX_HEAD = 16 * 1024
MAX_BODY = 64 * 1024
HTTP_TIMEOUT = 5.0


class HttpError(Exception):
    def __init__(self, status, text):
        Exception.__init__(self, text)
        self.status = status


class Daemon(object):
    def __init__(self, relay, registry, log):
        self.relay = relay
        self.registry = registry
        self.log = log
        self.nginx_names = {}  # stream name -> token, from on_publish

    async def start_http(self, host, port):
        server = await asyncio.start_server(self._http, host, port)
        return server, server.sockets[0].getsockname()[1]

    async def _http(self, reader, writer):
        status, body = 500, {"error": "internal"}
        try:
            method, target, form = await asyncio.wait_for(self._request(reader), HTTP_TIMEOUT)
            status, body = await self._route(method, target, form)
        except HttpError as e:
            status, body = e.status, {"error": str(e)}
            self.log("http_refused", status=e.status, reason=str(e))
        except (asyncio.TimeoutError, asyncio.IncompleteReadError, ConnectionError):
            writer.close()
            return
        except Exception as e:  # never let one request take the daemon down
            self.log("http_error", reason=repr(e))
        data = json.dumps(body).encode("utf-8")
        reason = {200: "OK", 400: "Bad Request", 403: "Forbidden", 404: "Not Found"}.get(status, "Error")
        head = "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n" % (
            status, reason, len(data))  # fmt: skip
        try:
            writer.write(head.encode("ascii") + b"Connection: close\r\n\r\n" + data)
            await writer.drain()
            writer.close()
        except ConnectionError:
            pass

    async def _request(self, reader):
        try:
            head = await reader.readuntil(b"\r\n\r\n")
        except asyncio.LimitOverrunError:
            raise HttpError(400, "request head too long")
        if len(head) > MAX_HEAD:
            raise HttpError(400, "request head too long")
        lines = head.decode("latin-1").split("\r\n")
        parts = lines[0].split(" ")
        if len(parts) != 3 or not parts[2].startswith("HTTP/1."):
            raise HttpError(400, "bad request line %r" % lines[0][:100])
        length = 0
        for line in lines[1:]:
            k, _, v = line.partition(":")
            if k.strip().lower() == "content-length":
                try:
                    length = int(v.strip())
                except ValueError:
                    raise HttpError(400, "bad Content-Length")
        if not 0 <= length <= MAX_BODY:
            raise HttpError(400, "body of %d bytes" % length)
        body = await reader.readexactly(length) if length else b""
        url = urlsplit(parts[1])
        form = dict(parse_qsl(url.query, keep_blank_values=True))
        form.update(parse_qsl(body.decode("latin-1"), keep_blank_values=True))
        return parts[0], url.path, form

    async def _route(self, method, path, form):
        if path == "/state" and method == "GET":
            return 200, await self._state(form)
        if method != "POST":
            raise HttpError(404, "no %s %s" % (method, path))
        if path == "/drop":
            return 200, {"dropped": self.relay.drop(form.get("name", ""))}
        if path == "/device_closed":
            s = self.registry.find_session(form.get("session", ""))
            return 200, {"closed": self.relay.device_closed(s.token, form.get("reason", "")) if s else 0}
        if path == "/status":
            n = self.relay.send_status(form.get("name", ""), form.get("code", ""), form.get("description", ""))
            return 200, {"sent": n}
        if path == "/nginx/on_publish":
            return self._nginx_publish(form)
        if path in ("/nginx/on_publish_done", "/nginx/on_record_done"):
            return self._nginx_done(path.rsplit("/", 1)[1], form)
        raise HttpError(404, "no %s %s" % (method, path))

    async def _state(self, form):
        token = form.get("token", "")
        until = form.get("until")
        try:
            timeout = min(float(form.get("timeout", "0")), 600.0)
        except ValueError:
            raise HttpError(400, "bad timeout")

        def reached():
            st = self.relay.session_state(token)
            if until == "recorded":
                return bool(st.get("recorded")) or (st.get("state") == "closed" and not st.get("nginx"))
            return until is None or st.get("state") == until or st.get("state") == "closed"

        deadline = time.monotonic() + timeout
        async with self.relay.changed:
            while not reached() and time.monotonic() < deadline:
                try:
                    await asyncio.wait_for(self.relay.changed.wait(), deadline - time.monotonic())
                except asyncio.TimeoutError:
                    break
        return self.relay.session_state(token)

    def _nginx_publish(self, form):
        name = form.get("name", "")
        args = form.get("args", "")
        try:
            s = self.registry.authorize(form.get("app", ""), form.get("tcurl", ""), name + ("?" + args if args else ""))
        except sessions.SessionError as e:
            self.log("refused", relay="nginx", stream=name, reason=str(e))
            raise HttpError(403, str(e))
        self.nginx_names[name] = s.token
        self.log("publish", relay="nginx", stream=name, kind=s.kind, device="%s/%s" % (s.pk, s.dn),
                 addr=form.get("addr"))  # fmt: skip
        self.relay.state.setdefault(s.token, {}).update(state="publishing", stream=name, nginx=True)
        self.relay._notify()
        return 200, {"ok": True}

    def _nginx_done(self, what, form):
        name = form.get("name", "")
        self.log(what, relay="nginx", stream=name, path=form.get("path"))
        token = self.nginx_names.get(name)
        if token:
            st = self.relay.state.setdefault(token, {})
            if what == "on_record_done":
                st["record"] = form.get("path")
                st["recorded"] = True
            else:
                st["state"] = "closed"
            self.relay._notify()
        return 200, {"ok": True}


async def serve(home, host, rtmp_port, http_port, ready_path=None):
    from .cloud import Cloud

    cloud = Cloud(home)

    def secret_of(pk, dn):
        d = cloud.device(pk, dn)
        return d.device_secret if d else None

    log = EventLog(os.path.join(home, "relay.log"))
    registry = sessions.Registry(os.path.join(home, "relay", "sessions"), secret_of)
    relay = Relay(os.path.join(home, "recordings"), registry, log)
    rport = await relay.start(host, rtmp_port)
    daemon = Daemon(relay, registry, log)
    http, hport = await daemon.start_http(host, http_port)
    log("relay_started", rtmp_port=rport, http_port=hport, pid=os.getpid())
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    if ready_path:
        with open(ready_path, "w") as f:
            f.write("%d %d\n" % (rport, hport))
    await stop.wait()
    http.close()
    await relay.stop()
    log("relay_stopped")
    log.close()
    return 0


def main(home, host, rtmp_port, http_port, ready_path):
    return asyncio.run(serve(home, host, rtmp_port, http_port, ready_path))
