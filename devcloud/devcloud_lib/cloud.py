"""The local cloud's state directory and the processes it runs.

Everything lives under one home directory:

    ca.pem ca.key              throwaway CA (kept across up/down so the
                               device's trust anchor file stays valid)
    server.pem server.key      broker certificate for 127.0.0.1 and localhost
    mosquitto.conf passwd acl  broker configuration, rewritten as needed
    mosquitto.log              broker log (connections, denials)
    mosquitto.pid agent.pid    processes started by `up`
    agent.log                  the platform agent's log
    devices.json platform.json registered devices and the platform's own login
    config.json                the ports of the last `up`
    relay.pid nginx.pid        the relay daemon and nginx (normal-mode relay)
    relay.log                  the relays' events, one JSON object a line
    nginx/ recordings/ relay/  nginx prefix, recorded FLV files, issued sessions
"""

import base64
import contextlib
import fcntl
import hashlib
import json
import os
import pwd
import secrets
import shutil
import signal
import subprocess
import sys

from . import identity
from . import relay_nginx
from . import stored
from . import topics
from .procs import (  # noqa: F401  (HOST, CloudError, free_port, pid_alive: re-exported)
    HOST,
    START_TIMEOUT,
    CloudError,
    Processes,
    WaitFailed,
    accepting,
    free_port,
    pid_alive,
    port_free,
    read_pid,
    tail as _tail,
    wait_for,
    write_atomic as _write_atomic,
)

DEFAULT_PORT = 8883
# The command line, which runs the agent and the relay daemon.
_SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "devcloud")
PLATFORM_USER = "devcloud-platform"

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
OPENSSL = shutil.which("openssl") or "/usr/bin/openssl"


class NotRunning(CloudError):
    pass


class PortTaken(CloudError):
    pass


def default_home():
    return os.environ.get("DEVCLOUD_HOME") or os.path.join(os.getcwd(), ".devcloud")


def _password_hash(password):
    # The broker's PBKDF2-SHA512 format ("$7$" iterations, salt, digest).
    salt = os.urandom(12)
    digest = hashlib.pbkdf2_hmac("sha512", password.encode("utf-8"), salt, 101)
    return "$7$101$%s$%s" % (
        base64.b64encode(salt).decode("ascii"),
        base64.b64encode(digest).decode("ascii"),
    )


class Device(object):
    __slots__ = ("product_key", "device_name", "device_secret")

    def __init__(self, product_key, device_name, device_secret):
        self.product_key = product_key
        self.device_name = device_name
        self.device_secret = device_secret

    @property
    def user(self):
        return identity.user_name(self.product_key, self.device_name)

    @property
    def password(self):
        return identity.password(self.product_key, self.device_name, self.device_secret)


class Cloud(object):
    """One local cloud, identified by its home directory."""

    def __init__(self, home=None):
        self.home = os.path.abspath(home or default_home())
        self.procs = Processes(self.home)

    # ---- paths -------------------------------------------------------------

    def path(self, name):
        return os.path.join(self.home, name)

    @property
    def ca_path(self):
        return self.path("ca.pem")

    @property
    def log_path(self):
        return self.path("mosquitto.log")

    # ---- small persistent records -------------------------------------------

    def _read_json(self, name, default):
        try:
            with open(self.path(name)) as f:
                return json.load(f)
        except FileNotFoundError:
            return default
        except (OSError, ValueError) as e:
            raise CloudError("cannot read %s: %s" % (self.path(name), e))

    def _write_json(self, name, value):
        _write_atomic(self.path(name), json.dumps(value, indent=1, sort_keys=True) + "\n")

    @contextlib.contextmanager
    def _locked(self):
        """Serialise state changes of concurrent devcloud commands."""
        self._ensure_home()
        with open(self.path(".lock"), "w") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(f, fcntl.LOCK_UN)

    def _ensure_home(self):
        if any(c.isspace() for c in self.home):
            # The broker's configuration format cannot carry such paths.
            raise CloudError("home directory must not contain blanks: %r" % self.home)
        os.makedirs(self.home, mode=0o700, exist_ok=True)

    @property
    def port(self):
        port = self._read_json("config.json", {}).get("port")
        return int(port) if port else None

    def platform_login(self):
        rec = self._read_json("platform.json", None)
        if not rec:
            raise NotRunning("no platform login in %s: run 'devcloud up' first" % self.home)
        return rec["user"], rec["password"]

    # ---- devices -----------------------------------------------------------

    def devices(self):
        out = []
        for d in self._read_json("devices.json", {"devices": []}).get("devices", []):
            out.append(Device(d["pk"], d["dn"], d["ds"]))
        return out

    def device(self, product_key, device_name):
        for d in self.devices():
            if d.product_key == product_key and d.device_name == device_name:
                return d
        return None

    def add_device(self, product_key, device_name, device_secret):
        """Register (or re-key) a device. A running broker picks it up at
        once; the call returns when the new login works."""
        try:
            identity.check_identity(product_key, device_name, device_secret)
        except identity.IdentityError as e:
            raise CloudError(str(e))
        with self._locked():
            devs = [
                d
                for d in self.devices()
                if not (d.product_key == product_key and d.device_name == device_name)
            ]
            dev = Device(product_key, device_name, device_secret)
            devs.append(dev)
            self._save_devices(devs)
            self._write_security()
            if self.running():
                self._reload_and_wait(dev.user, dev.password)
        return dev

    def remove_device(self, product_key, device_name):
        with self._locked():
            devs = self.devices()
            keep = [
                d
                for d in devs
                if not (d.product_key == product_key and d.device_name == device_name)
            ]
            if len(keep) == len(devs):
                return False
            self._save_devices(keep)
            self._write_security()
            if self.running():
                self._reload()
        return True

    def _save_devices(self, devs):
        self._write_json(
            "devices.json",
            {
                "devices": [
                    {"pk": d.product_key, "dn": d.device_name, "ds": d.device_secret} for d in devs
                ]
            },
        )

    def _write_security(self):
        user, pw = self._platform_login_create()
        pw_lines = ["%s:%s" % (user, _password_hash(pw))]
        acl = ["# Written by devcloud; every device may touch only its own topics.", ""]
        acl += ["user %s" % user, "topic readwrite #", ""]
        for d in self.devices():
            pw_lines.append("%s:%s" % (d.user, _password_hash(d.password)))
            acl += topics.acl_lines(d.product_key, d.device_name, d.user) + [""]
        _write_atomic(self.path("passwd"), "\n".join(pw_lines) + "\n")
        _write_atomic(self.path("acl"), "\n".join(acl) + "\n")

    def _platform_login_create(self):
        rec = self._read_json("platform.json", None)
        if not rec:
            rec = {"user": PLATFORM_USER, "password": secrets.token_hex(16)}
            self._write_json("platform.json", rec)
        return rec["user"], rec["password"]

    # ---- certificates ------------------------------------------------------

    def _openssl(self, *args):
        try:
            r = subprocess.run(
                [OPENSSL] + list(args),
                cwd=self.home,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT,
                timeout=60,
            )
        except (OSError, subprocess.TimeoutExpired) as e:
            raise CloudError("openssl failed to run: %s" % e)
        if r.returncode != 0:
            raise CloudError(
                "openssl %s failed:\n%s" % (args[0], r.stdout.decode("utf-8", "replace"))
            )

    def _make_certificates(self):
        if not (os.path.exists(self.ca_path) and os.path.exists(self.path("ca.key"))):
            self._openssl(
                "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                "-keyout", "ca.key", "-out", "ca.pem", "-days", "3650",
                "-subj", "/CN=devcloud local CA",
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            )  # fmt: skip
            # A new CA invalidates any server certificate made by an old one.
            for name in ("server.pem", "server.key"):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(self.path(name))
        if os.path.exists(self.path("server.pem")) and os.path.exists(self.path("server.key")):
            return
        _write_atomic(
            self.path("server.ext"),
            "basicConstraints=critical,CA:FALSE\n"
            "keyUsage=critical,digitalSignature,keyEncipherment\n"
            "extendedKeyUsage=serverAuth\n"
            "subjectAltName=IP:127.0.0.1,DNS:localhost\n",
        )
        self._openssl(
            "req", "-newkey", "rsa:2048", "-nodes", "-sha256",
            "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost",
        )  # fmt: skip
        self._openssl(
            "x509", "-req", "-sha256", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-set_serial", "0x" + secrets.token_hex(8), "-days", "825",
            "-extfile", "server.ext", "-out", "server.pem",
        )  # fmt: skip
        for name in ("server.csr", "server.ext"):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.path(name))
        os.chmod(self.path("server.key"), 0o600)
        os.chmod(self.path("ca.key"), 0o600)

    # ---- broker configuration ------------------------------------------------

    def _write_broker_conf(self, port):
        lines = [
            "# Written by devcloud up; rewritten on every up.",
            "per_listener_settings false",
            "listener %d %s" % (port, HOST),
            "cafile %s" % self.ca_path,
            "certfile %s" % self.path("server.pem"),
            "keyfile %s" % self.path("server.key"),
            "allow_anonymous false",
            "password_file %s" % self.path("passwd"),
            "acl_file %s" % self.path("acl"),
            "persistence false",
            "log_dest file %s" % self.log_path,
            # "all" includes the debug lines that report denied publishes,
            # which `watch` shows.
            "log_type all",
            "connection_messages true",
            "log_timestamp true",
            "log_timestamp_format %Y-%m-%dT%H:%M:%S",
        ]
        if os.geteuid() == 0:
            # Run as root the broker would switch to its own user, which
            # cannot read the files of this home.
            lines.append("user %s" % pwd.getpwuid(0).pw_name)
        _write_atomic(self.path("mosquitto.conf"), "\n".join(lines) + "\n")

    # ---- processes -----------------------------------------------------------

    def broker_pid(self):
        return self.procs.pid("mosquitto", [self.path("mosquitto.conf")])

    def relay_pid(self):
        return self.procs.pid("relay", ["relayd", self.home])

    def nginx_pid(self):
        return self.procs.pid("nginx", [relay_nginx.conf_path(self.home)])

    def config(self):
        return self._read_json("config.json", {})

    def agent_pid(self):
        return self.procs.pid("agent", ["agent", self.home])

    def running(self):
        return self.broker_pid() is not None

    def status(self):
        return {
            "home": self.home,
            "host": HOST,
            "port": self.port,
            "ca": self.ca_path,
            "broker_pid": self.broker_pid(),
            "agent_pid": self.agent_pid(),
            "relay_pid": self.relay_pid(),
            "nginx_pid": self.nginx_pid(),
            "rtmp_port": self.config().get("rtmp_port"),
            "relay_port": self.config().get("relay_port"),
            "relay_http_port": self.config().get("relay_http_port"),
            "nginx_http_port": self.config().get("nginx_http_port"),
            **stored.status(self),
        }

    def processes(self):
        """name -> pid (None when not running) of everything `up` starts."""
        return {
            "broker": self.broker_pid(),
            "agent": self.agent_pid(),
            "relay": self.relay_pid(),
            "nginx": self.nginx_pid(),
            "store": stored.pid(self),
        }

    def _log_since(self, mark):
        try:
            with open(self.log_path, errors="replace") as f:
                f.seek(mark)
                return f.read()
        except OSError:
            return ""

    def _start_broker(self, port):
        """Start the broker on port; False when the port is taken."""
        if not port_free(port):
            return False
        self._write_broker_conf(port)
        log_mark = os.path.getsize(self.log_path) if os.path.exists(self.log_path) else 0
        argv = [MOSQUITTO, "-c", self.path("mosquitto.conf")]
        p = self.procs.spawn("mosquitto", argv, "mosquitto.out")
        # Its own log line first: a bare connect could reach someone else's socket.
        try:
            wait_for("broker on %s:%d" % (HOST, port),
                     lambda: " running" in self._log_since(log_mark) and accepting(port), START_TIMEOUT, p,
                     directory=self.home)  # fmt: skip
            return True
        except WaitFailed as e:
            failed = e
        self.procs.stop("mosquitto", p.pid)
        log = self._log_since(log_mark)[-2000:]
        if "Address already in use" in log:
            return False
        raise CloudError("%s\n%s%s" % (failed, log, _tail(self.path("mosquitto.out"))))

    def _start_ready(self, name, argv, out_name):
        """Start one of devcloud's own daemons, which writes NAME.ready once
        it serves."""
        ready = self.path(name + ".ready")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(ready)
        p = self.procs.spawn(name, argv, out_name)
        try:
            wait_for("%s (%s)" % (name, ready), lambda: os.path.exists(ready), START_TIMEOUT, p, directory=self.home)
        except WaitFailed as e:
            self.procs.stop(name, p.pid)
            raise CloudError("%s\n%s" % (e, _tail(self.path(out_name))))

    def _start_agent(self):
        self._start_ready("agent", [sys.executable, _SCRIPT, "--home", self.home, "agent"], "agent.log")

    def up(self, port=None):
        """Start the broker and the agent; port None means the default, 0 a
        free one. Returns the status. Already running: returns the status
        (a different explicit port is an error)."""
        with self._locked():
            if self.running():
                if port not in (None, 0) and port != self.port:
                    raise CloudError(
                        "already running on port %s; run 'devcloud down' first" % self.port
                    )
                if self.agent_pid() is None:
                    self._start_agent()
                self._start_relays()
                stored.start_daemon(self)
                return self.status()
            # An agent outliving its broker would answer twice once a new
            # one runs next to it.
            self.procs.stop("agent", self.agent_pid())
            self._make_certificates()
            self._write_security()
            # Port 0: pick a free one; another process may take it between
            # the probe and the broker's bind, so try a few.
            attempts = 5 if port == 0 else 1
            # A restart after a crash keeps the port the device was given.
            previous = self.port
            for _ in range(attempts):
                chosen = free_port() if port == 0 else (port or previous or DEFAULT_PORT)
                self.set_config(port=chosen)
                if self._start_broker(chosen):
                    break
                if port != 0:
                    raise CloudError("port %d on %s is already in use" % (chosen, HOST))
            else:
                raise CloudError("could not find a free port for the broker")
            try:
                self._start_agent()
                self._start_relays()
                stored.start_daemon(self)
            except CloudError:
                stored.stop_daemon(self)
                self._stop_relays()
                self.procs.stop("agent", self.agent_pid())
                self.procs.stop("mosquitto", self.broker_pid())
                raise
            return self.status()

    def set_config(self, **values):
        cfg = self.config()
        cfg.update(values)
        self._write_json("config.json", cfg)

    def _relay_ports(self, fresh=False):
        """The relay ports of the last up when they are still free (unless
        fresh), else new free ones; recorded in config.json."""
        cfg = self.config()
        ports = {}
        for key in ("rtmp_port", "nginx_http_port", "relay_port", "relay_http_port"):
            p = None if fresh else cfg.get(key)
            if not (p and p not in ports.values() and port_free(int(p))):
                p = free_port()
                while p in ports.values():
                    p = free_port()
            ports[key] = int(p)
        self.set_config(**ports)
        return ports

    def _start_relays(self):
        relay_ok, nginx_ok = self.relay_pid() is not None, self.nginx_pid() is not None
        if relay_ok and nginx_ok:
            return
        # Ports are chosen anew only when both are down; a surviving process
        # keeps its own.
        if relay_ok or nginx_ok:
            ports = self.config()
            if not relay_ok:
                self._start_relay(ports["relay_port"], ports["relay_http_port"])
            if not nginx_ok:
                self._start_nginx(ports["rtmp_port"], ports["nginx_http_port"], ports["relay_http_port"])
            return
        # Another program may bind a port between our probe and nginx's bind;
        # new ports then, as for the broker.
        for attempt in range(3):
            ports = self._relay_ports(fresh=attempt > 0)
            self._start_relay(ports["relay_port"], ports["relay_http_port"])
            try:
                self._start_nginx(ports["rtmp_port"], ports["nginx_http_port"], ports["relay_http_port"])
                return
            except PortTaken:
                if attempt == 2:
                    raise
                self._stop_relays()

    def _start_relay(self, rtmp_port, http_port):
        argv = [sys.executable, _SCRIPT, "--home", self.home, "relayd",
                "--rtmp-port", str(rtmp_port), "--http-port", str(http_port)]  # fmt: skip
        self._start_ready("relay", argv, "relay.out")

    def _start_nginx(self, rtmp_port, http_port, callback_port):
        for port in (rtmp_port, http_port):
            if not port_free(port):
                raise PortTaken("relay port %d on %s is already in use" % (port, HOST))
        relay_nginx.write_conf(self.home, HOST, rtmp_port, http_port, callback_port)
        log = relay_nginx.error_log(self.home)
        mark = os.path.getsize(log) if os.path.exists(log) else 0
        own_pid = relay_nginx.pid_file(self.home)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(own_pid)
        p = self.procs.spawn("nginx", relay_nginx.argv(self.home), "nginx.out")
        # nginx writes its pid file once its sockets are bound; a bare connect
        # could reach someone else's listener.
        try:
            wait_for("nginx (RTMP relay) pid file %s" % own_pid, lambda: read_pid(own_pid) == p.pid, START_TIMEOUT, p,
                     directory=os.path.dirname(own_pid))
            return
        except WaitFailed as e:
            failed = e
        self.procs.stop("nginx", p.pid)
        text = ""
        with contextlib.suppress(OSError):
            with open(log, errors="replace") as f:
                f.seek(mark)
                text = f.read()[-2000:]
        if "Address already in use" in text:
            raise PortTaken("relay port %d or %d on %s is already in use\n%s" % (rtmp_port, http_port, HOST, text))
        raise CloudError("nginx (RTMP relay) did not start on %s:%d: %s\n%s%s"
                         % (HOST, rtmp_port, failed, text, _tail(self.path("nginx.out"))))  # fmt: skip

    def _stop_relays(self):
        self.procs.stop("nginx", self.nginx_pid())
        self.procs.stop("relay", self.relay_pid())
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path("relay.ready"))

    def down(self):
        """Stop what `up` started. Returns True when something was running."""
        with self._locked():
            before = self.processes()
            stored.stop_daemon(self)
            self._stop_relays()
            self.procs.stop("agent", before["agent"])
            self.procs.stop("mosquitto", before["broker"])
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.path("agent.ready"))
            return any(before.values())

    def _reload(self):
        pid = self.broker_pid()
        if pid:
            os.kill(pid, signal.SIGHUP)

    def _reload_and_wait(self, user, password):
        """The broker rereads its files asynchronously after SIGHUP; wait
        until the new login is accepted so that callers can use it at once."""
        from . import platform  # late: paho is only needed when running

        self._reload()
        last = []

        def accepted():
            try:
                platform.try_login(HOST, self.port, self.ca_path, user, password)
                return True
            except CloudError as e:
                last[:] = [e]
                return False

        try:
            wait_for("the broker's acceptance of login %s" % user, accepted, START_TIMEOUT)
        except WaitFailed as e:
            raise CloudError("%s: %s" % (e, last[0] if last else ""))


__all__ = ["Cloud", "CloudError", "NotRunning", "PortTaken", "Device", "default_home", "free_port", "pid_alive"]
