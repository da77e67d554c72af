"""The local object store: HTTPS on loopback with the cloud's server
certificate, plus a plain HTTP control endpoint for the console and tests.

    store = Store(home, cert, key).start()       # in this process (tests)
    store.port, store.control_port
    store.add_fault("stall", count=1, seconds=5)
    store.wait_object(key, timeout)              # -> info dict or None
    store.stop()

`devcloud up` runs it as a daemon (`devcloud stored`). Every request is
checked (storage.authorize), objects land under HOME/storage/objects/, and
each request leaves one JSON line in HOME/storage/storage.log; so does the
end of a connection that carried appends ("closed", with its device).

Control endpoint (http://127.0.0.1:CONTROL_PORT):

    GET  /health
    POST /fault?mode=stall|drop|garbage|interim|interim-stall|no-position|403|409|500|...&count=N[&seconds=S]
                                        (no-position: an append is stored but its
                                        reply lacks the next position)
    POST /clear
    GET  /faults
    GET  /wait?key=K&timeout=S          the object once stored (404 on time-out)
    GET  /credentials?pk=P&dn=D[&active_time=S]
"""

import hashlib
import http.server
import itertools
import json
import os
import signal
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

from . import storage
from .procs import START_TIMEOUT, CloudError, WaitFailed, free_port, port_free, tail, wait_for
from .storage import StoreError

HOST = "127.0.0.1"
IDLE_TIMEOUT_S = 30.0
HANDSHAKE_TIMEOUT_S = 10.0
STALL_DEFAULT_S = 120.0
MAX_STALL_S = 3600.0
FAULT_MODES = ("stall", "drop", "garbage", "interim", "interim-stall", "no-position")

_REASONS = {200: "OK", 400: "Bad Request", 403: "Forbidden", 404: "Not Found", 405: "Method Not Allowed",
            409: "Conflict", 411: "Length Required", 413: "Payload Too Large", 500: "Internal Server Error",
            503: "Service Unavailable"}  # fmt: skip


def parse_fault(mode):
    """A fault mode as the control endpoint takes it; ValueError if not."""
    if mode in FAULT_MODES:
        return mode
    if mode.isdigit() and 400 <= int(mode) <= 599:
        return int(mode)
    raise ValueError("fault mode %r: one of %s or an HTTP status 400..599" % (mode, ", ".join(FAULT_MODES)))


class _TlsServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    """TLS handshakes run on the connection's own thread, so a client that
    never completes one holds up nobody else."""

    daemon_threads = True
    allow_reuse_address = True
    block_on_close = False

    def __init__(self, addr, handler, ctx):
        self.ctx = ctx
        http.server.HTTPServer.__init__(self, addr, handler)

    def finish_request(self, request, client_address):
        request.settimeout(HANDSHAKE_TIMEOUT_S)
        try:
            tls = self.ctx.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.store.log({"event": "tls_refused", "peer": "%s:%d" % client_address, "reason": str(e)})
            return
        tls.settimeout(IDLE_TIMEOUT_S)
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def shutdown_request(self, request):
        try:
            request.close()
        except OSError:
            pass


class _PlainServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    block_on_close = False


class Store(object):
    def __init__(self, home, cert, key, port=0, control_port=0, endpoint=None):
        self.home = home
        self.cert = cert
        self.key = key
        self._want = (port, control_port)
        self._endpoint = endpoint
        self.master = storage.master_key(home)
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._faults = []  # [mode, remaining, seconds]
        self._key_locks = {}
        self._stopping = threading.Event()
        self._conn_ids = itertools.count(1)
        self._tls = None
        self._control = None

    # ---- life -----------------------------------------------------------------

    def start(self):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(self.cert, self.key)
        self._tls = _TlsServer((HOST, self._want[0]), _make_handler(self), ctx)
        self._tls.store = self
        self._control = _PlainServer((HOST, self._want[1]), _make_control(self))
        for srv in (self._tls, self._control):
            threading.Thread(target=srv.serve_forever, daemon=True).start()
        self.log({"event": "started", "port": self.port, "control_port": self.control_port, "pid": os.getpid()})
        return self

    def stop(self):
        self._stopping.set()
        with self._lock:
            self._changed.notify_all()
        for srv in (self._tls, self._control):
            if srv is not None:
                srv.shutdown()
                srv.server_close()
        self._tls = self._control = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self._tls.server_address[1]

    @property
    def control_port(self):
        return self._control.server_address[1]

    @property
    def endpoint(self):
        return self._endpoint or "%s:%d" % (HOST, self.port)

    def base_url(self):
        return "https://%s:%d" % (HOST, self.port)

    def log(self, record):
        storage.append_log(self.home, record)

    # ---- faults -----------------------------------------------------------------

    def add_fault(self, mode, count=1, seconds=None):
        mode = parse_fault(str(mode))
        if count < 1:
            raise ValueError("fault count must be at least 1")
        if seconds is not None and not (0 <= seconds <= MAX_STALL_S):
            raise ValueError("seconds must lie in 0..%d" % MAX_STALL_S)
        with self._lock:
            self._faults.append([mode, int(count), seconds])
        self.log({"event": "fault_set", "mode": mode, "count": count, "seconds": seconds})

    def clear_faults(self):
        with self._lock:
            self._faults = []
        self.log({"event": "fault_cleared"})

    def faults(self):
        with self._lock:
            return [{"mode": m, "count": c, "seconds": s} for m, c, s in self._faults]

    def take_fault(self):
        with self._lock:
            if not self._faults:
                return None
            f = self._faults[0]
            f[1] -= 1
            if f[1] <= 0:
                self._faults.pop(0)
            return f[0], f[2]

    def stall(self, seconds):
        self._stopping.wait(STALL_DEFAULT_S if seconds is None else seconds)

    # ---- objects -------------------------------------------------------------------

    def key_lock(self, bucket, key):
        with self._lock:
            return self._key_locks.setdefault((bucket, key), threading.Lock())

    def stored(self, bucket, key):
        with self._lock:
            self._changed.notify_all()

    def object_info(self, key, bucket=storage.BUCKET):
        try:
            path = storage.object_path(self.home, key, bucket)
            with open(path, "rb") as f:
                data = f.read()
        except (OSError, StoreError):
            return None
        return {"key": key, "bucket": bucket, "path": path, "size": len(data), "md5": hashlib.md5(data).hexdigest()}

    def wait_object(self, key, timeout, bucket=storage.BUCKET):
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                info = self.object_info(key, bucket)
                left = deadline - time.monotonic()
                if info is not None or left <= 0 or self._stopping.is_set():
                    return info
                self._changed.wait(left)


def _error_body(code, reason):
    return json.dumps({"code": code, "message": reason}).encode("utf-8")


class _StoreHandler(http.server.BaseHTTPRequestHandler):
    """One connection to the store: PUT stores an object, POST appends to
    one, GET reads one back; anything else is refused. The store (set by
    _make_handler) injects faults and keeps the log."""

    store = None

    protocol_version = "HTTP/1.1"
    server_version = "devcloud-store"
    sys_version = ""

    def setup(self):
        http.server.BaseHTTPRequestHandler.setup(self)
        self.conn = next(self.store._conn_ids)
        self.appender = None  # the device whose appends this connection carried

    def finish(self):
        try:
            http.server.BaseHTTPRequestHandler.finish(self)
        finally:
            # A recording's last append is in once its connection is gone:
            # 'devcloud record stop' waits for this line.
            if self.appender:
                self.store.log({"event": "closed", "conn": self.conn, "device": self.appender})

    def log_message(self, fmt, *args):
        pass

    def log_error(self, fmt, *args):
        self.store.log({"event": "http_error", "conn": self.conn, "reason": fmt % args})

    # ---- answers ----------------------------------------------------------

    def _answer(self, status, body=b"", headers=(), close=False, content_type="application/json"):
        self.send_response(status, _REASONS.get(status, "Error"))
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for k, v in headers:
            self.send_header(k, v)
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.wfile.flush()

    def _log(self, rec, started):
        base = {"event": "request", "conn": self.conn, "method": self.command, "target": self.path[:300],
                "host": self.headers.get("Host") if self.headers else None}  # fmt: skip
        base.update(rec)
        base["ms"] = round((time.monotonic() - started) * 1000, 1)
        self.store.log(base)

    def _headers(self):
        out = {}
        for name in set(k.lower() for k in self.headers.keys()):
            values = self.headers.get_all(name) or []
            if len(values) > 1:
                raise StoreError(400, "InvalidHeader", "header %s given %d times" % (name, len(values)))
            out[name] = values[0]
        return out

    def _length(self, headers):
        text = headers.get("content-length")
        if text is None:
            if self.command in ("PUT", "POST"):
                raise StoreError(411, "MissingContentLength", "no Content-Length")
            return 0
        if not text.strip().isdigit():
            raise StoreError(400, "InvalidArgument", "Content-Length %r" % text[:40])
        n = int(text)
        if n > storage.MAX_BODY:
            raise StoreError(413, "EntityTooLarge", "body of %d bytes (at most %d)" % (n, storage.MAX_BODY))
        return n

    def _read_body(self, n):
        chunks, left = [], n
        while left > 0:
            c = self.rfile.read(min(left, 1 << 20))
            if not c:
                raise ConnectionError("the peer sent %d of %d body bytes" % (n - left, n))
            chunks.append(c)
            left -= len(c)
        return b"".join(chunks)

    # ---- faults --------------------------------------------------------------

    def _fault(self, started):
        f = self.store.take_fault()
        if f is None:
            return False
        mode, seconds = f
        rec = {"status": None, "fault": mode}
        if mode == "no-position":
            self.no_position = True
            return False
        if mode == "interim":
            self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
            self.wfile.flush()
            self.interim = True
            return False
        if mode == "drop":
            self.close_connection = True
            self._hard_close()
        elif mode in ("stall", "interim-stall"):
            if mode == "interim-stall":
                self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
                self.wfile.flush()
            rec["seconds"] = seconds
            self.close_connection = True
            self.store.stall(seconds)
        elif mode == "garbage":
            self.close_connection = True
            self.wfile.write(b"HTTP/1.1 2x0 Nonsense\r\nContent-Length: 0\r\n\r\n")
            self.wfile.flush()
        else:
            try:
                self._read_body(self._length(self._headers()))
            except (StoreError, ConnectionError, OSError):
                pass
            rec["status"] = mode
            self._answer(mode, _error_body("Injected", "fault injected by the console"), close=True)
        self._log(rec, started)
        return True

    def _hard_close(self):
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    # ---- requests ----------------------------------------------------------

    def _handle(self):
        started = time.monotonic()
        self.interim = False
        self.no_position = False
        if self._fault(started):
            return
        # An interim answer went first; the request goes on as usual.
        rec = {"fault": "interim"} if self.interim else {}
        try:
            headers = self._headers()
            n = self._length(headers)
            grant = self._authorize(headers, n, rec)
            if self.command == "GET":
                return self._get(grant, rec, started)
            body = self._read_body(n)
            rec.update(bytes=len(body), md5=hashlib.md5(body).hexdigest())
            self._check_md5(headers, body)
            if self.command == "POST":
                return self._append(grant, body, rec, started)
            self._put(grant, body, rec, headers)
            self._answer(200, headers=[("ETag", '"%s"' % rec["md5"])])
            rec["status"] = 200
        except StoreError as e:
            rec.update(status=e.status, error=e.code, reason=e.reason)
            self._answer(e.status, _error_body(e.code, e.reason), close=True)
        except (ConnectionError, socket.timeout, ssl.SSLError) as e:
            rec.update(status=None, error="ConnectionLost", reason=str(e))
            self.close_connection = True
        except Exception as e:  # a fault of the store must still answer and be logged
            rec.update(status=500, error="InternalError", reason=repr(e))
            try:
                self._answer(500, _error_body("InternalError", repr(e)), close=True)
            except OSError:
                self.close_connection = True
        self._log(rec, started)

    def _authorize(self, headers, n, rec):
        """The grant of a well-formed, signed request; its body is drained
        when the signature fails, so the answer is read."""
        if self.request_version != "HTTP/1.1":
            raise StoreError(400, "InvalidRequest", "version %s, expected HTTP/1.1" % self.request_version)
        if "host" not in headers:
            raise StoreError(400, "InvalidRequest", "no Host header")
        req = storage.Request(self.command, self.path, headers)
        try:
            grant = storage.authorize(self.store.master, req)
        except StoreError:
            self._drain(n)
            raise
        rec.update(auth=grant.kind, bucket=grant.bucket, key=grant.key)
        if grant.device:
            rec["device"] = grant.device
        return grant

    def _drain(self, n):
        try:
            self._read_body(n)
        except (ConnectionError, OSError):
            pass

    def _check_md5(self, headers, body):
        want = headers.get("content-md5")
        if want is None:
            return
        import base64

        if base64.b64encode(hashlib.md5(body).digest()).decode("ascii") != want:
            raise StoreError(400, "BadDigest", "Content-MD5 %r does not match the body" % want[:40])

    def _put(self, grant, body, rec, headers):
        path = storage.object_path(self.store.home, grant.key, grant.bucket)
        with self.store.key_lock(grant.bucket, grant.key):
            _write_object(path, body)
        rec["path"] = path
        self.store.stored(grant.bucket, grant.key)

    def _append(self, grant, body, rec, started):
        path = storage.object_path(self.store.home, grant.key, grant.bucket)
        with self.store.key_lock(grant.bucket, grant.key):
            size = os.path.getsize(path) if os.path.isfile(path) else 0
            if grant.append != size:
                raise StoreError(409, "PositionNotEqualToLength",
                                 "append at %d, the object has %d bytes" % (grant.append, size))  # fmt: skip
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "ab") as f:
                f.write(body)
            nxt = size + len(body)
        rec.update(status=200, path=path, position=grant.append, next_position=nxt)
        self.appender = grant.device
        self.store.stored(grant.bucket, grant.key)
        if self.no_position:
            rec["fault"] = "no-position"
        self._answer(200, headers=[] if self.no_position else [(storage.NEXT_POSITION_HEADER, str(nxt))])
        self._log(rec, started)

    def _get(self, grant, rec, started):
        path = storage.object_path(self.store.home, grant.key, grant.bucket)
        if not os.path.isfile(path):
            raise StoreError(404, "NoSuchKey", "no object %s" % grant.key)
        with open(path, "rb") as f:
            data = f.read()
        rec.update(status=200, bytes=len(data), path=path)
        self._answer(200, data, content_type="application/octet-stream")
        self._log(rec, started)

    do_PUT = do_POST = do_GET = _handle

    def _refuse(self):
        started = time.monotonic()
        self._answer(405, _error_body("MethodNotAllowed", "PUT, POST and GET only"), close=True)
        self._log({"status": 405, "error": "MethodNotAllowed"}, started)

    do_DELETE = do_HEAD = do_OPTIONS = do_PATCH = _refuse


def _make_handler(store):
    return type("Handler", (_StoreHandler,), {"store": store})


def _write_object(path, body):
    d = os.path.dirname(path)
    try:
        os.makedirs(d, exist_ok=True)
    except (FileExistsError, NotADirectoryError):
        raise StoreError(409, "KeyConflict", "a part of the key is an object already")
    if os.path.isdir(path):
        raise StoreError(409, "KeyConflict", "the key is a prefix of other objects")
    tmp = os.path.join(d, ".%s.%d.part" % (os.path.basename(path), threading.get_ident()))
    with open(tmp, "wb") as f:
        f.write(body)
    os.replace(tmp, path)


def _make_control(store):
    class Control(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *args):
            pass

        def _send(self, status, value):
            data = json.dumps(value).encode("utf-8")
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)
            self.close_connection = True

        def _route(self):
            url = urllib.parse.urlsplit(self.path)
            q = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
            n = int(self.headers.get("Content-Length") or 0)
            if 0 < n <= 65536:
                q.update(urllib.parse.parse_qsl(self.rfile.read(n).decode("latin-1"), keep_blank_values=True))
            route = (self.command, url.path)
            try:
                if route == ("GET", "/health"):
                    return self._send(200, {"ok": True, "port": store.port, "endpoint": store.endpoint})
                if route == ("POST", "/fault"):
                    seconds = float(q["seconds"]) if q.get("seconds") else None
                    store.add_fault(q.get("mode", ""), int(q.get("count", "1")), seconds)
                    return self._send(200, {"faults": store.faults()})
                if route == ("POST", "/clear"):
                    store.clear_faults()
                    return self._send(200, {"faults": []})
                if route == ("GET", "/faults"):
                    return self._send(200, {"faults": store.faults()})
                if route == ("GET", "/wait"):
                    storage.check_key(q.get("key", ""))
                    info = store.wait_object(q["key"], min(float(q.get("timeout", "0")), 600.0))
                    return self._send(200 if info else 404, info or {"error": "no object %s yet" % q["key"]})
                if route == ("GET", "/credentials"):
                    from . import identity

                    identity.check_names(q.get("pk", ""), q.get("dn", ""))
                    creds = storage.issue_credentials(store.master, q["pk"], q["dn"], store.endpoint,
                                                      int(q.get("active_time", storage.ACTIVE_TIME_S)))  # fmt: skip
                    return self._send(200, creds)
            except (ValueError, KeyError, StoreError) as e:
                return self._send(400, {"error": str(e)})
            self._send(404, {"error": "no %s %s" % route})

        do_GET = do_POST = _route

    return Control


# ---- as a daemon of a cloud home -----------------------------------------------------


def serve(home, port, control_port, ready_path, endpoint=None):
    endpoint = endpoint or storage.setting(home, "storage_endpoint")
    store = Store(home, os.path.join(home, "server.pem"), os.path.join(home, "server.key"),
                  port, control_port, endpoint).start()  # fmt: skip
    stopped = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: stopped.set())
    signal.signal(signal.SIGINT, lambda *a: stopped.set())
    tmp = ready_path + ".tmp"
    with open(tmp, "w") as f:
        json.dump({"port": store.port, "control_port": store.control_port, "pid": os.getpid()}, f)
    os.replace(tmp, ready_path)
    stopped.wait()
    store.stop()
    store.log({"event": "stopped"})
    return 0




# ---- started and stopped with the cloud (cloud.py calls these) ----------------------

def pid(cloud):
    return cloud.procs.pid("store", ["devcloud_lib.stored", cloud.home])


def status(cloud):
    cfg = cloud.config()
    return {"store_pid": pid(cloud), "store_port": cfg.get("store_port"),
            "store_control_port": cfg.get("store_control_port")}  # fmt: skip


def start_daemon(cloud):
    """Starts the store unless it runs; its ports are those of the last up
    when still free, so URLs and credentials handed out stay valid."""
    if pid(cloud) is not None:
        return
    cfg = cloud.config()
    ports = {}
    for name in ("store_port", "store_control_port"):
        p = cfg.get(name)
        if not (p and p not in ports.values() and port_free(int(p))):
            p = free_port()
            while p in ports.values():
                p = free_port()
        ports[name] = int(p)
    cloud.set_config(**ports)
    os.makedirs(storage.root(cloud.home), mode=0o700, exist_ok=True)
    ready = os.path.join(storage.root(cloud.home), "stored.ready")
    if os.path.exists(ready):
        os.unlink(ready)
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    argv = [sys.executable, "-c", "import sys; sys.path.insert(0, %r); from devcloud_lib import stored; "
            "sys.exit(stored.serve(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]))" % here,
            "devcloud_lib.stored", cloud.home, str(ports["store_port"]), str(ports["store_control_port"]),
            ready]  # fmt: skip
    p = cloud.procs.spawn("store", argv, "store.out")
    try:
        wait_for("object store (%s)" % ready, lambda: os.path.exists(ready), START_TIMEOUT, p,
                 directory=os.path.dirname(ready))
    except WaitFailed as e:
        cloud.procs.stop("store", p.pid)
        raise CloudError("%s\n%s" % (e, tail(cloud.path("store.out"))))


def stop_daemon(cloud):
    cloud.procs.stop("store", pid(cloud))
