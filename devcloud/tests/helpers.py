"""Helpers for the local cloud's tests: the devcloud command, and the real
mosquitto clients playing the device."""

import os
import queue
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEVCLOUD = os.path.join(ROOT, "devcloud")
sys.path.insert(0, ROOT)

TOOLS = ["mosquitto", "mosquitto_pub", "mosquitto_sub", "openssl", "stdbuf"]


def require_tools():
    """A missing peer is a failure, never a skip."""
    missing = [t for t in TOOLS if not (shutil.which(t) or os.path.exists("/usr/sbin/" + t))]
    if missing:
        raise RuntimeError("required programs not installed: %s" % ", ".join(missing))


def devcloud(home, *args, timeout=60):
    return subprocess.run(
        ["/usr/bin/python3", DEVCLOUD, "--home", home] + list(args),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=timeout,
    )


def devcloud_bg(home, *args):
    return subprocess.Popen(
        ["/usr/bin/python3", DEVCLOUD, "--home", home] + list(args),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
    )


def kv(text):
    out = {}
    for line in text.splitlines():
        if "=" in line:
            k, v = line.split("=", 1)
            out[k] = v
    return out


def alive(pid):
    """Live process (zombies left for an absent reaper count as gone)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state not in ("Z", "X")


def wait_gone(pid, timeout=5.0):
    deadline = time.monotonic() + timeout
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.02)
    return not alive(pid)


class Broker(object):
    """Where and how a device reaches the cloud under test."""

    def __init__(self, port, ca):
        self.port = int(port)
        self.ca = ca

    def base(self, user, password, client_id=None, tls=True):
        args = ["-h", "127.0.0.1", "-p", str(self.port)]
        if tls:
            args += ["--cafile", self.ca]
        if user is not None:
            args += ["-u", user]
        if password is not None:
            args += ["-P", password]
        if client_id:
            args += ["-i", client_id]
        return args

    def pub(self, user, password, topic, payload, qos=1, **kw):
        """mosquitto_pub as the device; returns the finished process."""
        return subprocess.run(
            ["mosquitto_pub"]
            + self.base(user, password, **kw)
            + ["-q", str(qos), "-t", topic, "-m", payload],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            universal_newlines=True,
            timeout=20,
        )


class LineReader(object):
    """Lines of a process's stream, read on a thread so that tests can wait
    with a time-out."""

    def __init__(self, stream):
        self.lines = queue.Queue()
        self.seen = []
        t = threading.Thread(target=self._run, args=(stream,), daemon=True)
        t.start()

    def _run(self, stream):
        for line in iter(stream.readline, ""):
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait(self, pred, timeout):
        """The first new line for which pred holds, or None."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                return None
            if line is None:
                return None
            self.seen.append(line)
            if pred(line):
                return line


class DeviceSub(object):
    """mosquitto_sub as the device: prints "topic payload" per message."""

    def __init__(self, broker, user, password, filters, client_id=None):
        # Line-buffered: the debug lines that say "subscribed" would otherwise
        # sit in a pipe buffer until exit.
        args = ["stdbuf", "-oL", "mosquitto_sub", "-d", "-v", "-q", "1"]
        args += broker.base(user, password, client_id)
        for f in filters:
            args += ["-t", f]
        self.proc = subprocess.Popen(
            args,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            universal_newlines=True,
        )
        self.out = LineReader(self.proc.stdout)
        if self.out.wait(lambda l: l.startswith("Subscribed (mid"), 10) is None:
            self.close()
            raise AssertionError("device subscriber did not subscribe: %s" % self.out.seen)

    def next(self, timeout=5.0):
        """(topic, payload) of the next message, or None."""
        line = self.out.wait(lambda l: l.startswith("/"), timeout)
        if line is None:
            return None
        topic, _, payload = line.partition(" ")
        return topic, payload

    def next_request(self, timeout=5.0):
        """Like next, skipping the device's own replies: a device that
        subscribes thing/service/+ also gets its NAME_reply messages back,
        since MQTT 3.1.1 cannot leave a client's own messages out."""
        deadline = time.monotonic() + timeout
        while True:
            m = self.next(max(0.0, deadline - time.monotonic()))
            if m is None or not m[0].endswith("_reply"):
                return m

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
