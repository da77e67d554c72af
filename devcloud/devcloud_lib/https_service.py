"""The local cloud's HTTPS endpoints, beside its broker and with the same
server certificate: files for firmware and configuration downloads, the
bootstrap service that tells a device which broker to use, and dynamic
registration that gives a device of a known product its secret.

    svc = HttpsService(cloud).start()          # in this process (tests)
    url = svc.add_file("fw-2.0.bin", data)     # https://127.0.0.1:PORT/files/fw-2.0.bin
    svc.stop()

`ensure_daemon(cloud)` runs the same service as a background process of the
cloud's home (for the command line); `stop_daemon(cloud)` ends it.

Faults for tests: `set_fault(path, kind, value)` makes a path answer an
HTTP status (kind "status"), stop after a number of body bytes while
announcing the whole length (kind "cut"), or send a reply that is not what
the device expects (kind "body", value the raw text).
"""

import hashlib
import hmac
import http.server
import json
import os
import secrets
import signal
import socketserver
import ssl
import subprocess
import sys
import threading
import urllib.parse

from .procs import HOST, START_TIMEOUT, CloudError, WaitFailed, free_port, pid_alive, wait_exit, wait_for

FILES_PREFIX = "/files/"
BOOTSTRAP_PATH = "/auth/bootstrap"
REGISTER_PATH = "/auth/register/device"
_STATE = "https.json"
_PID = "https.pid"


def digests(data):
    return {
        "size": len(data),
        "md5": hashlib.md5(data).hexdigest(),
        "sha256": hashlib.sha256(data).hexdigest(),
    }


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class HttpsService(object):
    def __init__(self, cloud, port=0, cert=None, key=None):
        """cert / key: another server certificate (a test of an untrusted
        server); default the cloud's own."""
        self.cloud = cloud
        self._port = port
        self._cert = cert or cloud.path("server.pem")
        self._key = key or cloud.path("server.key")
        self._httpd = None
        self._thread = None
        self._lock = threading.Lock()
        self._faults = {}
        self._products = {}  # product key -> product secret
        self.requests = []  # (method, path, form) seen, for tests
        self.mqtt_port_as_text = False
        self.files_dir = os.path.join(cloud.home, "files")

    # set-up

    @property
    def port(self):
        return self._httpd.server_address[1] if self._httpd else None

    def url(self, path):
        return "https://%s:%d%s" % (HOST, self.port, path)

    def add_file(self, name, data):
        if "/" in name or name.startswith("."):
            raise CloudError("file name must be a plain name: %r" % name)
        os.makedirs(self.files_dir, exist_ok=True)
        tmp = os.path.join(self.files_dir, "." + name + ".tmp")
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, os.path.join(self.files_dir, name))
        return self.url(FILES_PREFIX + name)

    def add_product(self, product_key, product_secret):
        """Devices of this product may register themselves."""
        with self._lock:
            self._products[product_key] = product_secret

    def set_fault(self, path, kind, value=None):
        if kind not in ("status", "cut", "body"):
            raise ValueError(kind)
        with self._lock:
            self._faults[path] = (kind, value)

    def clear_faults(self):
        with self._lock:
            self._faults.clear()

    def fault(self, path):
        with self._lock:
            return self._faults.get(path)

    def product_secret(self, product_key):
        with self._lock:
            if product_key in self._products:
                return self._products[product_key]
        return _load_products(self.cloud).get(product_key)

    # life

    def start(self):
        handler = _make_handler(self)
        self._httpd = _Server((HOST, self._port), handler)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(self._cert, self._key)
        self._httpd.socket = ctx.wrap_socket(self._httpd.socket, server_side=True)
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._httpd = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def _load_products(cloud):
    try:
        with open(cloud.path("products.json"), encoding="utf-8") as f:
            value = json.load(f)
        return value if isinstance(value, dict) else {}
    except (OSError, ValueError):
        return {}


def save_product(cloud, product_key, product_secret):
    """Registers a product for dynamic registration (kept in the home)."""
    products = _load_products(cloud)
    products[product_key] = product_secret
    path = cloud.path("products.json")
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(products, f)
    os.chmod(tmp, 0o600)
    os.replace(tmp, path)


def _make_handler(svc):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *args):
            pass

        def _send(self, status, body, content_type="application/json"):
            data = body if isinstance(body, bytes) else body.encode("utf-8")
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)
            self.close_connection = True

        def _answer_fault(self, path):
            f = svc.fault(path)
            if f is None:
                return False
            kind, value = f
            if kind == "status":
                self._send(int(value), json.dumps({"code": int(value), "message": "fault"}))
            elif kind == "body":
                self._send(200, value)
            else:
                return False
            return True

        def do_GET(self):
            path = urllib.parse.urlsplit(self.path).path
            svc.requests.append(("GET", path, None))
            if self._answer_fault(path):
                return
            name = path[len(FILES_PREFIX):] if path.startswith(FILES_PREFIX) else ""
            full = os.path.join(svc.files_dir, name)
            if not name or "/" in name or name.startswith(".") or not os.path.isfile(full):
                self._send(404, json.dumps({"code": 404, "message": "no such file"}))
                return
            with open(full, "rb") as f:
                data = f.read()
            fault = svc.fault(path)
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            if fault and fault[0] == "cut":
                # The whole length was announced; the connection ends early.
                self.wfile.write(data[: int(fault[1])])
                self.wfile.flush()
                self.connection.shutdown(2)
            else:
                self.wfile.write(data)
            self.close_connection = True

        def do_POST(self):
            path = urllib.parse.urlsplit(self.path).path
            length = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(length).decode("utf-8", "replace") if length > 0 else ""
            form = {k: v[0] for k, v in urllib.parse.parse_qs(raw).items()}
            svc.requests.append(("POST", path, form))
            if self._answer_fault(path):
                return
            if path == BOOTSTRAP_PATH:
                self._send(200, json.dumps(_bootstrap(svc, form)))
            elif path == REGISTER_PATH:
                self._send(200, json.dumps(_register(svc, form)))
            else:
                self._send(404, json.dumps({"code": 404, "message": "unknown endpoint"}))

    return Handler


def _bootstrap(svc, form):
    pk, dn = form.get("productKey"), form.get("deviceName")
    if not pk or not dn or form.get("resources") != "mqtt":
        return {"code": 400, "message": "productKey, deviceName and resources=mqtt required"}
    if svc.cloud.device(pk, dn) is None and svc.product_secret(pk) is None:
        return {"code": 404, "message": "unknown device"}
    port = svc.cloud.port
    return {
        "code": 200,
        "data": {"resources": {"mqtt": {"host": HOST, "port": str(port) if svc.mqtt_port_as_text else port}}},
    }


def _register(svc, form):
    pk, dn = form.get("productKey"), form.get("deviceName")
    random, sign = form.get("random", ""), form.get("sign", "")
    if not pk or not dn or not random or form.get("signMethod") != "hmacsha256":
        return {"code": 400, "message": "productKey, deviceName, random and hmacsha256 sign required"}
    secret = svc.product_secret(pk)
    if secret is None:
        return {"code": 404, "message": "unknown product"}
    want = hmac.new(secret.encode(), ("deviceName%sproductKey%srandom%s" % (dn, pk, random)).encode(),
                    hashlib.sha256).hexdigest()  # fmt: skip
    if not hmac.compare_digest(want, sign.lower()):
        return {"code": 401, "message": "sign mismatch"}
    existing = svc.cloud.device(pk, dn)
    if existing is not None:
        # A real platform gives a secret once; a second request is refused.
        return {"code": 409, "message": "device already registered"}
    device_secret = secrets.token_hex(16)
    svc.cloud.add_device(pk, dn, device_secret)
    return {"code": 200, "data": {"productKey": pk, "deviceName": dn, "deviceSecret": device_secret}}


# --- as a background process of a cloud home (command line) -------------------


def daemon_status(cloud):
    try:
        with open(cloud.path(_PID)) as f:
            pid = int(f.read().strip() or 0)
        with open(cloud.path(_STATE)) as f:
            state = json.load(f)
    except (OSError, ValueError):
        return None
    if not pid or not pid_alive(pid):
        return None
    return {"pid": pid, "port": state.get("port")}


def ensure_daemon(cloud):
    """The port of the home's HTTPS service, started when not running."""
    st = daemon_status(cloud)
    if st:
        return st["port"]
    for name in (_STATE, _PID):
        try:
            os.unlink(cloud.path(name))
        except FileNotFoundError:
            pass
    log = open(cloud.path("https.log"), "ab")
    proc = subprocess.Popen(
        [sys.executable, "-m", "devcloud_lib.https_service", cloud.home],
        cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
        stdout=log,
        stderr=subprocess.STDOUT,
        stdin=subprocess.DEVNULL,
        start_new_session=True,
    )
    log.close()
    try:
        wait_for("HTTPS service (%s)" % cloud.path(_STATE), lambda: daemon_status(cloud), START_TIMEOUT, proc,
                 directory=cloud.home)
    except WaitFailed as e:
        raise CloudError("%s; see %s" % (e, cloud.path("https.log")))
    return daemon_status(cloud)["port"]


def stop_daemon(cloud):
    st = daemon_status(cloud)
    if not st:
        return False
    os.kill(st["pid"], signal.SIGTERM)
    if not wait_exit(st["pid"], START_TIMEOUT):
        raise CloudError("the HTTPS service (pid %d) did not stop within %gs" % (st["pid"], START_TIMEOUT))
    return True


def _serve(home):
    from .cloud import Cloud

    cloud = Cloud(home)
    svc = HttpsService(cloud, port=free_port()).start()
    stopped = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: stopped.set())
    signal.signal(signal.SIGINT, lambda *a: stopped.set())
    with open(cloud.path(_STATE) + ".tmp", "w") as f:
        json.dump({"port": svc.port}, f)
    os.replace(cloud.path(_STATE) + ".tmp", cloud.path(_STATE))
    with open(cloud.path(_PID) + ".tmp", "w") as f:
        f.write(str(os.getpid()))
    os.replace(cloud.path(_PID) + ".tmp", cloud.path(_PID))
    stopped.wait()
    svc.stop()
    for name in (_STATE, _PID):
        try:
            os.unlink(cloud.path(name))
        except FileNotFoundError:
            pass


if __name__ == "__main__":
    _serve(sys.argv[1])
