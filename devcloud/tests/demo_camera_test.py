"""devcloud's console against the kestrel_demo camera: what the camera is
told and what the console says it recorded. Run through ctest, which gives
the paths: KESTREL_DEMO, KESTREL_MEDIA, and the repository's tests/e2e for
the camera process helper (E2E_DIR)."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
os.environ.setdefault("DEVCLOUD_DIR", os.path.dirname(HERE))
sys.path.insert(0, os.environ.get("E2E_DIR") or os.path.join(HERE, "..", "..", "tests", "e2e"))
from demo_e2e_test import MEDIA, DemoProcess  # noqa: E402

from devcloud_lib.testing import LocalCloud  # noqa: E402

PK = "e2eConsolePK"
DN = "camera03"
DS = "Y29uc29sZS1zZWNyZXQtMDE="  # Base64, as the relay expects
DEVCLOUD = os.path.join(os.path.dirname(HERE), "devcloud")


def fields(text):
    out = {}
    for line in text.splitlines():
        for piece in line.split(" ") if line.startswith("relay_frames=") else [line]:
            k, sep, v = piece.partition("=")
            if sep:
                out.setdefault(k, v)
    return out


class ConsoleAgainstCamera(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="devcloud-camera-")
        cls.cloud = LocalCloud().start()
        try:
            cls.cloud.add_device(PK, DN, DS)
            args = ["-p", PK, "-n", DN, "-s", DS, "-l", "4", "-H", cls.cloud.host,
                    "-P", str(cls.cloud.port), "-C", cls.cloud.ca, "-m", MEDIA]  # fmt: skip
            cls.demo = DemoProcess(args, cls.workdir)
            if cls.cloud.wait_for(lambda m: "IpcNvrSDKVersion" in m.text, 20) is None:
                raise AssertionError("the demo did not come online:\n" + cls.demo.output()[-3000:])
        except BaseException:
            cls.cloud.stop()
            shutil.rmtree(cls.workdir, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        code = cls.demo.stop(15)
        cls.cloud.stop()
        shutil.rmtree(cls.workdir, ignore_errors=True)
        if code != 0:
            raise AssertionError("kestrel_demo did not stop cleanly (exit %r)" % code)

    def devcloud(self, *args):
        r = subprocess.run([sys.executable, DEVCLOUD, "--home", self.cloud.home] + list(args),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=180)  # fmt: skip
        text = r.stdout.decode("utf-8", "replace")
        self.assertEqual(0, r.returncode, "devcloud %s:\n%s\ndemo:\n%s"
                         % (" ".join(args), text, self.demo.output()[-3000:]))  # fmt: skip
        return fields(text)

    def service_of(self, at):
        line = self.demo.wait_line("startPushStreamingCallback:", 10, at)
        self.assertIsNotNone(line, "the camera was never asked to start:\n" + self.demo.output()[-3000:])
        return int(re.search(r"startPushStreamingCallback:(\d+)", line).group(1))

    def assert_summary_of_packets(self, out, seconds):
        # The device's metadata says 86400 s for these streams; the summary
        # must tell what the recording holds.
        self.assertLess(float(out["duration_s"]), seconds + 5, out)
        self.assertGreater(float(out["duration_s"]), 0.5, out)
        self.assertGreater(float(out["bit_rate_kbps"]), 1.0, out)

    def test_playback_speed_and_key_only_reach_the_camera(self):
        # Speed 1.0 is 3F F0 ... inside the AMF0 String: bytes >= 0x80 that
        # must arrive unchanged for the camera to read its parameters.
        at = self.demo.mark()
        now = int(time.time())
        out = self.devcloud("vod", PK, DN, "--begin", str(now - 3600), "--end", str(now),
                            "--speed", "1", "--key-only", "--seconds", "4")  # fmt: skip
        service = self.service_of(at)
        self.assertFalse(out.get("relay_problems"), out)
        line = self.demo.wait_line("on_push_streaming_cmd_cb set param:", 5, at)
        self.assertEqual("on_push_streaming_cmd_cb set param: 1 1", line, self.demo.output()[-3000:])
        self.assertIsNotNone(self.demo.wait_line("Recv cmd: set param, key_only = 1, speed = 1", 5, at))
        self.assertIsNone(self.demo.wait_line("Parse param error", 0, at))
        # One frame a key-frame interval is what key-only playback is.
        self.assertIsNone(self.demo.wait_line("Video timestamp error", 0, at))
        self.assert_summary_of_packets(out, 4)
        self.assertIsNotNone(self.demo.wait_line("stopPushStreamingCallback:%d" % service, 10, at))

    def test_a_playback_the_camera_refuses_ends_with_its_reason(self):
        at = self.demo.mark()
        begun = time.monotonic()
        r = subprocess.run([sys.executable, DEVCLOUD, "--home", self.cloud.home, "vod", PK, DN,
                            "--file", "no_such_record.mp4", "--seconds", "4", "--wait", "60"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)  # fmt: skip
        text = r.stdout.decode("utf-8", "replace")
        self.assertNotEqual(0, r.returncode, text)
        # The close code depends on how far the relay got before the refusal
        # took it down; what matters is that the device's reason arrives.
        self.assertRegex(text, r"without publishing: 10\d\d [A-Z]")
        self.assertLess(time.monotonic() - begun, 50, "the console waited out its time-out")
        self.assertIsNotNone(self.demo.wait_line("Application refused the stream start", 5, at))
        self.assertIsNone(self.demo.wait_line("stopPushStreamingCallback:", 0, at))

    def test_voice_summary_comes_from_the_packets(self):
        wav = os.path.join(self.workdir, "hello.wav")
        r = subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=f=440:r=8000", "-t", "2", wav],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)  # fmt: skip
        self.assertEqual(0, r.returncode, r.stdout)
        out = self.devcloud("talk", PK, DN, "--audio", wav, "--seconds", "4")
        self.assertFalse(out.get("relay_problems"), out)
        self.assert_summary_of_packets(out, 4)


if __name__ == "__main__":
    unittest.main(verbosity=2)
