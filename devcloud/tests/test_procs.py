"""Waiting for the cloud's processes: ready, ended early, or out of time,
and the failure names which."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from devcloud_lib import clihelp, procs  # noqa: E402


class WaitTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="devcloud-procs-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def child(self, script):
        p = subprocess.Popen(["/bin/sh", "-c", script], cwd=self.dir)
        self.addCleanup(lambda: (p.poll() is None and p.kill(), p.wait()))
        return p

    def test_wait_for_readiness(self):
        ready = os.path.join(self.dir, "x.ready")
        cases = [
            # script, timeout, watched directory, error text (None: ready)
            ("touch x.ready; exec sleep 30", 30, None, None),
            ("sleep 0.3; touch x.ready; exec sleep 30", 30, self.dir, None),
            ("exit 3", 30, self.dir, "x daemon: the process (pid %d) exited with 3 before it was ready"),
            ("exec sleep 30", 0.2, None, "x daemon: not ready within 0.2s"),
            ("exec sleep 30", 0.2, self.dir, "x daemon: not ready within 0.2s"),
        ]
        for script, timeout, directory, error in cases:
            with self.subTest(script=script, directory=directory):
                if os.path.exists(ready):
                    os.unlink(ready)
                p = self.child(script)
                if error is None:
                    procs.wait_for("x daemon", lambda: os.path.exists(ready), timeout, p, directory)
                    continue
                with self.assertRaises(procs.WaitFailed) as cm:
                    procs.wait_for("x daemon", lambda: os.path.exists(ready), timeout, p, directory)
                self.assertEqual(error % p.pid if "%d" in error else error, str(cm.exception))

    def test_wait_exit_and_stop(self):
        p = self.child("exec sleep 30")
        self.assertFalse(procs.wait_exit(p.pid, 0.1, p.poll))
        os.kill(p.pid, signal.SIGTERM)
        self.assertTrue(procs.wait_exit(p.pid, 30, p.poll))
        self.assertEqual(-signal.SIGTERM, p.returncode)
        # stop: TERM is ignored, so KILL follows; the pid file goes.
        table = procs.Processes(self.dir)
        q = table.spawn(
            "stubborn",
            ["/bin/sh", "-c", "trap '' TERM; echo trapped; while :; do sleep 1; done"],
            "stubborn.out",
        )
        # A TERM before the trap is set would end it at once.
        out = os.path.join(self.dir, "stubborn.out")

        def trapped():
            with open(out, "rb") as f:
                return b"trapped" in f.read()

        procs.wait_for("the trap", trapped, 30, q, self.dir)
        self.assertEqual(q.pid, table.pid("stubborn", ["/bin/sh"]))
        old, procs.STOP_TIMEOUT = procs.STOP_TIMEOUT, 0.3
        try:
            table.stop("stubborn", q.pid)
        finally:
            procs.STOP_TIMEOUT = old
        self.assertEqual(-signal.SIGKILL, q.returncode)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "stubborn.pid")))
        self.assertIsNone(table.pid("stubborn", ["/bin/sh"]))


class FollowTest(unittest.TestCase):
    def test_follow_wakes_on_each_complete_line(self):
        d = tempfile.mkdtemp(prefix="devcloud-follow-")
        self.addCleanup(shutil.rmtree, d, True)
        path = os.path.join(d, "x.log")
        with self.assertRaises(FileNotFoundError):
            list(clihelp.follow_lines(path, False))
        with open(path, "w") as f:
            f.write("one\ntw")
        self.assertEqual(["one\n"], list(clihelp.follow_lines(path, False)))
        lines = clihelp.follow_lines(path, True)
        self.assertEqual("one\n", next(lines))

        def append():
            with open(path, "a") as f:
                f.write("o\n")

        # Appended after the reader went to wait: the change wakes it.
        t = threading.Timer(0.2, append)
        t.start()
        self.addCleanup(t.join)
        self.assertEqual("two\n", next(lines))
        lines.close()


if __name__ == "__main__":
    unittest.main()
