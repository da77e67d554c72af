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
import socket
import subprocess
import sys
import tempfile
import time

from . import identity
from . import relay_nginx
from . import stored
from . import topics

HOST = "127.0.0.1"
DEFAULT_PORT = 8883
PLATFORM_USER = "devcloud-platform"

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
OPENSSL = shutil.which("openssl") or "/usr/bin/openssl"

_START_TIMEOUT = 10.0
_STOP_TIMEOUT = 5.0


class CloudError(RuntimeError):
    """Something the local cloud cannot do; the message says what and why."""


class NotRunning(CloudError):
    pass


class PortTaken(CloudError):
    pass


def default_home():
    return os.environ.get("DEVCLOUD_HOME") or os.path.join(os.getcwd(), ".devcloud")


# Ports this process has reserved; their lock files stay open until exit.
_port_locks = []
_PORT_LOCK_DIR = "/tmp/kestrel-ports"


def _ephemeral_low():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def _bindable(port):
    with contextlib.closing(socket.socket(socket.AF_INET, socket.SOCK_STREAM)) as s:
        try:
            s.bind((HOST, port))
        except OSError:
            return False
    return True


def _lock_port(port):
    with contextlib.suppress(OSError):
        os.makedirs(_PORT_LOCK_DIR, exist_ok=True)
        os.chmod(_PORT_LOCK_DIR, 0o1777)
    try:
        fd = os.open(os.path.join(_PORT_LOCK_DIR, str(port)), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        return False
    _port_locks.append(fd)
    return True


def free_port():
    """A port nobody listens on, below the ephemeral range.

    A port the kernel hands out for port 0 is released again before our
    server binds it, and any process's next outgoing connection may take it
    meanwhile. Below the ephemeral range only listeners compete, and the lock
    file (shared with the C++ test peers) keeps two test processes apart."""
    high = _ephemeral_low() - 1
    low = 10000 if high > 12000 else 1024
    for _ in range(500):
        port = secrets.randbelow(high - low + 1) + low
        if _bindable(port) and _lock_port(port) and _bindable(port):
            return port
    raise CloudError("no free port on %s below %d" % (HOST, high + 1))


def _write_atomic(path, text, mode=0o600):
    """The broker may reread a file at any moment (SIGHUP), so it must never
    see one half written."""
    d = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(dir=d, prefix=".tmp-")
    try:
        with os.fdopen(fd, "w") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _password_hash(password):
    # The broker's PBKDF2-SHA512 format ("$7$" iterations, salt, digest).
    salt = os.urandom(12)
    digest = hashlib.pbkdf2_hmac("sha512", password.encode("utf-8"), salt, 101)
    return "$7$101$%s$%s" % (
        base64.b64encode(salt).decode("ascii"),
        base64.b64encode(digest).decode("ascii"),
    )


def _proc_alive(pid):
    """True when pid names a live process (a zombie nobody reaped is dead)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return False
    state = stat.rsplit(")", 1)[-1].split()[0] if ")" in stat else "?"
    return state not in ("Z", "X")


def _proc_cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return [a.decode("utf-8", "replace") for a in f.read().split(b"\0") if a]
    except OSError:
        return []


def _tail(path, lines=15):
    try:
        with open(path, "r", errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


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
        # Processes this object started itself, so that it can reap them.
        self._children = {}

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

    def _pid(self, name, must_contain):
        """The pid recorded in name.pid when that process still runs and is
        ours; a stale file is removed."""
        path = self.path(name + ".pid")
        try:
            with open(path) as f:
                pid = int(f.read().strip() or "0")
        except FileNotFoundError:
            return None
        except (OSError, ValueError):
            pid = 0
        if pid > 0 and _proc_alive(pid):
            # Whole arguments, so that a home that is a prefix of another
            # home's path never claims that cloud's processes.
            argv = _proc_cmdline(pid)
            # nginx rewrites its title into one argument ("nginx: master
            # process ... -c CONF ..."), so its words count as arguments too.
            words = set(argv) | set(" ".join(argv).split(" "))
            if all(s in words for s in must_contain):
                return pid
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
        return None

    def broker_pid(self):
        return self._pid("mosquitto", [self.path("mosquitto.conf")])

    def relay_pid(self):
        return self._pid("relay", ["relayd", self.home])

    def nginx_pid(self):
        return self._pid("nginx", [relay_nginx.conf_path(self.home)])

    def config(self):
        return self._read_json("config.json", {})

    def agent_pid(self):
        return self._pid("agent", ["agent", self.home])

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

    def _spawn(self, name, argv, out_name):
        out = open(self.path(out_name), "ab")
        try:
            p = subprocess.Popen(
                argv,
                cwd=self.home,
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=subprocess.STDOUT,
                start_new_session=True,
                close_fds=True,
            )
        except OSError as e:
            raise CloudError("cannot start %s: %s" % (argv[0], e))
        finally:
            out.close()
        self._children[name] = p
        _write_atomic(self.path(name + ".pid"), "%d\n" % p.pid, 0o644)
        return p

    def _wait_listening(self, proc, port, log_mark):
        """True once the broker we started says it runs and takes
        connections (a bare TCP connect could reach someone else's socket)."""
        deadline = time.monotonic() + _START_TIMEOUT
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                return False
            if " running" in self._log_since(log_mark):
                with contextlib.closing(socket.socket(socket.AF_INET, socket.SOCK_STREAM)) as s:
                    s.settimeout(0.5)
                    if s.connect_ex((HOST, port)) == 0:
                        return True
            time.sleep(0.05)
        return False

    def _log_since(self, mark):
        try:
            with open(self.log_path, errors="replace") as f:
                f.seek(mark)
                return f.read()
        except OSError:
            return ""

    @staticmethod
    def _port_free(port):
        with contextlib.closing(socket.socket(socket.AF_INET, socket.SOCK_STREAM)) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                s.bind((HOST, port))
            except OSError:
                return False
        return True

    def _start_broker(self, port):
        """Start the broker on port; False when the port is taken."""
        if not self._port_free(port):
            return False
        self._write_broker_conf(port)
        log_mark = os.path.getsize(self.log_path) if os.path.exists(self.log_path) else 0
        argv = [MOSQUITTO, "-c", self.path("mosquitto.conf")]
        p = self._spawn("mosquitto", argv, "mosquitto.out")
        if self._wait_listening(p, port, log_mark):
            return True
        self._stop_child("mosquitto", p.pid)
        log = self._log_since(log_mark)[-2000:]
        if "Address already in use" in log:
            return False
        raise CloudError(
            "broker did not start on %s:%d\n%s%s"
            % (HOST, port, log, _tail(self.path("mosquitto.out")))
        )

    def _start_agent(self):
        ready = self.path("agent.ready")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(ready)
        here = os.path.dirname(os.path.abspath(__file__))
        script = os.path.join(os.path.dirname(here), "devcloud")
        argv = [sys.executable, script, "--home", self.home, "agent"]
        p = self._spawn("agent", argv, "agent.log")
        deadline = time.monotonic() + _START_TIMEOUT
        while time.monotonic() < deadline:
            if os.path.exists(ready):
                return
            if p.poll() is not None:
                break
            time.sleep(0.05)
        self._stop_child("agent", p.pid)
        raise CloudError("platform agent did not come up\n%s" % _tail(self.path("agent.log")))

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
            self._stop_child("agent", self.agent_pid())
            self._make_certificates()
            self._write_security()
            # Port 0: pick a free one; another process may take it between
            # the probe and the broker's bind, so try a few.
            attempts = 5 if port == 0 else 1
            # A restart after a crash keeps the port the device was given.
            previous = self.port
            for _ in range(attempts):
                chosen = free_port() if port == 0 else (port or previous or DEFAULT_PORT)
                self._set_config(port=chosen)
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
                self._stop_child("agent", self.agent_pid())
                self._stop_child("mosquitto", self.broker_pid())
                raise
            return self.status()

    def _set_config(self, **values):
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
            if not (p and p not in ports.values() and self._port_free(int(p))):
                p = free_port()
                while p in ports.values():
                    p = free_port()
            ports[key] = int(p)
        self._set_config(**ports)
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
        ready = self.path("relay.ready")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(ready)
        here = os.path.dirname(os.path.abspath(__file__))
        script = os.path.join(os.path.dirname(here), "devcloud")
        argv = [sys.executable, script, "--home", self.home, "relayd",
                "--rtmp-port", str(rtmp_port), "--http-port", str(http_port)]  # fmt: skip
        p = self._spawn("relay", argv, "relay.out")
        deadline = time.monotonic() + _START_TIMEOUT
        while time.monotonic() < deadline:
            if os.path.exists(ready):
                return
            if p.poll() is not None:
                break
            time.sleep(0.05)
        self._stop_child("relay", p.pid)
        raise CloudError("relay did not come up\n%s" % _tail(self.path("relay.out")))

    def _start_nginx(self, rtmp_port, http_port, callback_port):
        for port in (rtmp_port, http_port):
            if not self._port_free(port):
                raise PortTaken("relay port %d on %s is already in use" % (port, HOST))
        relay_nginx.write_conf(self.home, HOST, rtmp_port, http_port, callback_port)
        log = relay_nginx.error_log(self.home)
        mark = os.path.getsize(log) if os.path.exists(log) else 0
        own_pid = relay_nginx.pid_file(self.home)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(own_pid)
        p = self._spawn("nginx", relay_nginx.argv(self.home), "nginx.out")
        deadline = time.monotonic() + _START_TIMEOUT
        # nginx writes its pid file once its sockets are bound; a bare connect
        # could reach someone else's listener.
        while time.monotonic() < deadline and p.poll() is None:
            with contextlib.suppress(OSError, ValueError):
                with open(own_pid) as f:
                    if int(f.read().strip() or "0") == p.pid:
                        return
            time.sleep(0.05)
        self._stop_child("nginx", p.pid)
        text = ""
        with contextlib.suppress(OSError):
            with open(log, errors="replace") as f:
                f.seek(mark)
                text = f.read()[-2000:]
        if "Address already in use" in text:
            raise PortTaken("relay port %d or %d on %s is already in use\n%s" % (rtmp_port, http_port, HOST, text))
        raise CloudError("nginx (RTMP relay) did not start on %s:%d\n%s%s"
                         % (HOST, rtmp_port, text, _tail(self.path("nginx.out"))))  # fmt: skip

    def _stop_relays(self):
        self._stop_child("nginx", self.nginx_pid())
        self._stop_child("relay", self.relay_pid())
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path("relay.ready"))

    def _stop_child(self, name, pid):
        if pid:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGTERM)
            deadline = time.monotonic() + _STOP_TIMEOUT
            while _proc_alive(pid) and time.monotonic() < deadline:
                self._reap(name, pid)
                time.sleep(0.02)
            if _proc_alive(pid):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
                while _proc_alive(pid):
                    self._reap(name, pid)
                    time.sleep(0.02)
            self._reap(name, pid)
        self._children.pop(name, None)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path(name + ".pid"))

    def _reap(self, name, pid):
        p = self._children.get(name)
        if p is not None and p.pid == pid:
            p.poll()

    def down(self):
        """Stop what `up` started. Returns True when something was running."""
        with self._locked():
            before = self.processes()
            stored.stop_daemon(self)
            self._stop_relays()
            self._stop_child("agent", before["agent"])
            self._stop_child("mosquitto", before["broker"])
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
        deadline = time.monotonic() + _START_TIMEOUT
        last = None
        while time.monotonic() < deadline:
            try:
                platform.try_login(HOST, self.port, self.ca_path, user, password)
                return
            except CloudError as e:
                last = e
                time.sleep(0.05)
        raise CloudError("broker did not accept the new device login: %s" % last)


def pid_alive(pid):
    return _proc_alive(pid)


__all__ = ["Cloud", "CloudError", "NotRunning", "PortTaken", "Device", "default_home", "free_port", "pid_alive"]
