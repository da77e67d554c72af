"""The processes the local cloud runs, and the few facts about the machine
they need: free loopback ports, pid files that really name our process, and
waiting for a process to become ready or to end.

Nothing here knows what a broker, relay or store is; cloud.py and stored.py
build on it, it imports none of devcloud_lib.
"""

import contextlib
import ctypes
import ctypes.util
import fcntl
import os
import secrets
import select
import signal
import socket
import subprocess
import tempfile
import time

HOST = "127.0.0.1"

START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0


class CloudError(RuntimeError):
    """Something the local cloud cannot do; the message says what and why."""


class WaitFailed(CloudError):
    """A wait ran out or its process ended first; the message names which."""


# ---- ports -----------------------------------------------------------------------

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


def port_free(port):
    """Nobody listens on port (a socket in TIME_WAIT does not count)."""
    with contextlib.closing(socket.socket(socket.AF_INET, socket.SOCK_STREAM)) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((HOST, port))
        except OSError:
            return False
    return True


def accepting(port):
    """Something takes connections on port."""
    with contextlib.closing(socket.socket(socket.AF_INET, socket.SOCK_STREAM)) as s:
        s.settimeout(0.5)
        return s.connect_ex((HOST, port)) == 0


# ---- files -----------------------------------------------------------------------


def write_atomic(path, text, mode=0o600):
    """A reader (the broker on SIGHUP, a waiting parent) must never see a
    file half written."""
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


def tail(path, lines=15):
    try:
        with open(path, "r", errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


def read_pid(path):
    """The pid in a pid file; None when there is none, 0 when it is garbage."""
    try:
        with open(path) as f:
            return int(f.read().strip() or "0")
    except FileNotFoundError:
        return None
    except (OSError, ValueError):
        return 0


# ---- processes ---------------------------------------------------------------------


def pid_alive(pid):
    """True when pid names a live process (a zombie nobody reaped is dead)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return False
    state = stat.rsplit(")", 1)[-1].split()[0] if ")" in stat else "?"
    return state not in ("Z", "X")


def proc_cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return [a.decode("utf-8", "replace") for a in f.read().split(b"\0") if a]
    except OSError:
        return []


class DirWatch(object):
    """Readable (select) once a file in directory was created, written,
    closed or renamed into it since the last drain(): waiting on a file
    without looking at it over and over."""

    _MASK = 0x2 | 0x8 | 0x80 | 0x100  # IN_MODIFY, IN_CLOSE_WRITE, IN_MOVED_TO, IN_CREATE
    _FLAGS = 0o4000 | 0o2000000  # IN_NONBLOCK, IN_CLOEXEC

    def __init__(self, directory):
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        self.fd = libc.inotify_init1(self._FLAGS)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1 failed")
        if libc.inotify_add_watch(self.fd, os.fsencode(directory), self._MASK) < 0:
            errno = ctypes.get_errno()
            os.close(self.fd)
            raise OSError(errno, "cannot watch %s" % directory)

    def fileno(self):
        return self.fd

    def drain(self):
        with contextlib.suppress(BlockingIOError):
            while os.read(self.fd, 4096):
                pass

    def wait(self, timeout=None):
        """Until something changed in the directory (True) or timeout (False)."""
        readable = select.select([self.fd], [], [], timeout)[0]
        self.drain()
        return bool(readable)

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _pidfd(pid):
    try:
        return os.pidfd_open(pid)
    except (OSError, AttributeError):
        return None


def wait_for(what, ready, timeout, proc=None, directory=None):
    """Returns once ready() holds. Fails (WaitFailed naming what) when the
    deadline passes or proc, the process that should make it true, ends
    first. Between checks it waits on the process itself, so an exit is seen
    at once, and on directory, where the file ready() looks for appears.
    Without a directory (a port, a login) the checks repeat at growing
    intervals; with one, a check that no file change would reveal is still
    repeated once a second."""
    deadline = time.monotonic() + timeout
    watch = DirWatch(directory) if directory else None  # before the first check: no change is missed
    fd = _pidfd(proc.pid) if proc is not None else None
    interval = 0.005
    try:
        while True:
            if ready():
                return
            if proc is not None and proc.poll() is not None:
                raise WaitFailed("%s: the process (pid %d) exited with %s before it was ready"
                                 % (what, proc.pid, proc.returncode))  # fmt: skip
            left = deadline - time.monotonic()
            if left <= 0:
                raise WaitFailed("%s: not ready within %gs" % (what, timeout))
            fds = [f for f in (fd, watch) if f is not None]
            select.select(fds, [], [], min(1.0 if watch else interval, left))
            interval = min(interval * 2, 0.1)
            if watch:
                watch.drain()
    finally:
        if fd is not None:
            os.close(fd)
        if watch:
            watch.close()


def wait_exit(pid, timeout, reap=None):
    """True once pid has ended, False at the deadline. Waits on the process
    (pidfd), not on the clock; reap() collects our own child so that it
    does not stay a zombie."""
    fd = _pidfd(pid)
    if fd is None:  # already gone
        return True
    try:
        deadline = time.monotonic() + timeout
        while pid_alive(pid):
            if reap is not None:
                reap()
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            select.select([fd], [], [], left)
            if reap is not None:
                reap()
        return True
    finally:
        os.close(fd)


class Processes(object):
    """The processes of one home directory: each runs in its own session,
    its pid is in NAME.pid, its output in a file of the home."""

    def __init__(self, home):
        self.home = home
        # Processes this object started itself, so that it can reap them.
        self._children = {}

    def path(self, name):
        return os.path.join(self.home, name)

    def spawn(self, name, argv, out_name, cwd=None):
        out = open(self.path(out_name), "ab")
        try:
            p = subprocess.Popen(
                argv,
                cwd=cwd or self.home,
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
        write_atomic(self.path(name + ".pid"), "%d\n" % p.pid, 0o644)
        return p

    def pid(self, name, must_contain):
        """The pid recorded in name.pid when that process still runs and is
        ours; a stale file is removed."""
        path = self.path(name + ".pid")
        pid = read_pid(path)
        if pid is None:
            return None
        if pid > 0 and pid_alive(pid):
            # Whole arguments, so that a home that is a prefix of another
            # home's path never claims that cloud's processes.
            argv = proc_cmdline(pid)
            # nginx rewrites its title into one argument ("nginx: master
            # process ... -c CONF ..."), so its words count as arguments too.
            words = set(argv) | set(" ".join(argv).split(" "))
            if all(s in words for s in must_contain):
                return pid
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
        return None

    def stop(self, name, pid):
        """SIGTERM, then SIGKILL after STOP_TIMEOUT; the pid file goes."""
        if pid:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGTERM)
            reap = lambda: self._reap(name, pid)  # noqa: E731
            if not wait_exit(pid, STOP_TIMEOUT, reap):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
                wait_exit(pid, STOP_TIMEOUT, reap)
            self._reap(name, pid)
        self._children.pop(name, None)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path(name + ".pid"))

    def _reap(self, name, pid):
        p = self._children.get(name)
        if p is not None and p.pid == pid:
            p.poll()
