"""End to end: firmware download as the demo does it. The local cloud serves
the image over HTTPS and announces it; the demo's firmware callback starts
the download; the image must be checked against the announced size and
digests before it replaces the current one, and every failure must be
reported to the platform with the current image kept whole.

Paths come from the environment (set by CMake), as for demo_e2e_test.py.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from demo_e2e_test import MEDIA, DemoProcess  # noqa: E402
from devcloud_lib import ota  # noqa: E402
from devcloud_lib.https_service import HttpsService  # noqa: E402
from devcloud_lib.testing import LocalCloud  # noqa: E402

PK = "e2eOtaPK"
DN = "camera03"
DS = "e2eOtaSecret0123456789abcdef"
OLD_IMAGE = b"the firmware that runs now\n"


def tool_digest(tool, path):
    """md5sum / sha256sum of a file: the digests computed apart from the device."""
    out = subprocess.run([tool, path], stdout=subprocess.PIPE, check=True, timeout=10)
    return out.stdout.split()[0].decode()


class DemoFirmwareDownload(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="kestrel-ota-")
        cls.cloud = LocalCloud().start()
        try:
            cls.cloud.add_device(PK, DN, DS)
            cls.https = HttpsService(cls.cloud.cloud).start()
            cls.firmware = os.path.join(cls.workdir, "firmware.bin")
            args = ["-p", PK, "-n", DN, "-s", DS, "-l", "4", "-H", cls.cloud.host,
                    "-P", str(cls.cloud.port), "-C", cls.cloud.ca, "-m", MEDIA,
                    "-F", cls.firmware]  # fmt: skip
            cls.demo = DemoProcess(args, cls.workdir)
            if cls.demo.wait_line("Cloud Connected", 15) is None:
                raise AssertionError("demo not online:\n" + cls.demo.output()[-3000:])
            cls.base = "https://%s:%d" % (cls.cloud.host, cls.https.port)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "demo", None) is not None:
            cls.demo.stop(10)
        if getattr(cls, "https", None) is not None:
            cls.https.stop()
        cls.cloud.stop()
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def setUp(self):
        with open(self.firmware, "wb") as f:
            f.write(OLD_IMAGE)
        self.https.clear_faults()

    def push(self, data, version, **digests):
        at_demo = self.demo.mark()
        at_cloud = self.cloud.mark()
        ota.push_firmware(self.cloud.platform, self.base, self.https.add_file, PK, DN, data,
                          version, **digests)  # fmt: skip
        self.assertIsNotNone(self.demo.wait_line("New Firmware Version: " + version, 5, at_demo))
        line = self.demo.wait_line("Firmware update finished: ", 20, at_demo)
        self.assertIsNotNone(line, self.demo.output()[-3000:])
        code, summary = line.split("Firmware update finished: ", 1)[1].split(" ", 1)
        steps = [
            int(m.json()["params"]["step"])
            for m in self.cloud.messages(at_cloud)
            if m.topic == ota.progress_topic(PK, DN)
        ]
        return int(code), json.loads(summary), steps

    def assert_kept_old_image(self):
        with open(self.firmware, "rb") as f:
            self.assertEqual(OLD_IMAGE, f.read(), "the current image was touched")
        self.assertFalse(os.path.exists(self.firmware + ".part"), "a partial image stayed")

    def wait_final_step(self, at, want):
        m = self.cloud.wait_for(
            lambda m: m.topic == ota.progress_topic(PK, DN) and m.json()["params"]["step"] == str(want),
            5,
            after=at,
        )
        self.assertIsNotNone(m, "no progress step %d" % want)

    def test_good_image_is_verified_written_and_reported(self):
        data = os.urandom(300 * 1024 + 7)
        at = self.cloud.mark()
        code, summary, steps = self.push(data, "2.0.1")
        self.assertEqual(0, code, summary)
        with open(self.firmware, "rb") as f:
            self.assertEqual(data, f.read())
        self.assertEqual(tool_digest("md5sum", self.firmware), summary["md5"])
        self.assertEqual(tool_digest("sha256sum", self.firmware), summary["sha256"])
        self.assertEqual(len(data), summary["size"])
        self.wait_final_step(at, 100)
        steps = [int(m.json()["params"]["step"]) for m in self.cloud.messages(at)
                 if m.topic == ota.progress_topic(PK, DN)]  # fmt: skip
        self.assertEqual(steps, sorted(steps), "progress must only go up")
        self.assertGreaterEqual(len(steps), 5, steps)

    def test_failures_are_reported_and_keep_the_current_image(self):
        data = os.urandom(64 * 1024)
        cases = [
            ("wrong md5", "3.0.1", {"md5": "0" * 32}, None, -3),
            ("wrong sha256", "3.0.2", {"sha256": "f" * 64}, None, -3),
            ("not found", "3.0.3", {}, ("status", 404), -2),
            ("server error", "3.0.4", {}, ("status", 500), -2),
            ("cut half way", "3.0.5", {}, ("cut", len(data) // 2), -2),
        ]
        for what, version, digests, fault, step in cases:
            with self.subTest(what):
                self.setUp()
                if fault:
                    self.https.set_fault("/files/" + ota.file_name(version), *fault)
                at = self.cloud.mark()
                code, summary, _ = self.push(data, version, **digests)
                self.assertEqual(step, code, summary)
                self.assert_kept_old_image()
                self.wait_final_step(at, step)


class DemoFirmwareUntrustedServer(unittest.TestCase):
    def test_server_outside_the_trust_anchor_is_refused(self):
        workdir = tempfile.mkdtemp(prefix="kestrel-ota-")
        cloud = LocalCloud().start()
        demo = https = None
        try:
            cloud.add_device(PK, DN, DS)
            key, cert = os.path.join(workdir, "k.pem"), os.path.join(workdir, "c.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                            "-out", cert, "-days", "2", "-subj", "/CN=localhost",
                            "-addext", "subjectAltName=IP:127.0.0.1"],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # fmt: skip
            https = HttpsService(cloud.cloud, cert=cert, key=key).start()
            firmware = os.path.join(workdir, "firmware.bin")
            with open(firmware, "wb") as f:
                f.write(OLD_IMAGE)
            demo = DemoProcess(["-p", PK, "-n", DN, "-s", DS, "-H", cloud.host, "-P", str(cloud.port),
                                "-C", cloud.ca, "-m", MEDIA, "-F", firmware], workdir)  # fmt: skip
            self.assertIsNotNone(demo.wait_line("Cloud Connected", 15), demo.output()[-3000:])
            base = "https://%s:%d" % (cloud.host, https.port)
            ota.push_firmware(cloud.platform, base, https.add_file, PK, DN, b"x" * 1000, "4.0.0")
            line = demo.wait_line("Firmware update finished: ", 20)
            self.assertIsNotNone(line, demo.output()[-3000:])
            self.assertIn("Firmware update finished: -2 ", line)
            self.assertEqual([], [r for r in https.requests if r[0] == "GET"], "nothing may be fetched")
            with open(firmware, "rb") as f:
                self.assertEqual(OLD_IMAGE, f.read())
        finally:
            if demo is not None:
                demo.stop(10)
            if https is not None:
                https.stop()
            cloud.stop()
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
