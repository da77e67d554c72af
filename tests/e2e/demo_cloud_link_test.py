"""End to end: how kestrel_demo meets its cloud link. A camera that boots
before its cloud comes online by itself, stops at once on SIGTERM at any
point, applies every member of a property set and says which ones it could
not, sends its real clock in the time request and never prints its secret.

Paths come from the environment (set by CMake), as for demo_e2e_test.py.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from demo_e2e_test import DEMO, MEDIA, DemoProcess  # noqa: E402
from devcloud_lib.testing import LocalCloud  # noqa: E402

PK = "e2eLinkPK"
DN = "camera02"
DS = "e2eLinkSecret0123456789abcdef"
PREFIX = "/sys/%s/%s" % (PK, DN)
STOP_WITHIN_S = 1.5


def demo_args(cloud, port=None):
    return ["-p", PK, "-n", DN, "-s", DS, "-l", "4", "-H", cloud.host,
            "-P", str(port or cloud.port), "-C", cloud.ca, "-m", MEDIA, "-R", "2000"]  # fmt: skip


class DemoCloudLink(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="kestrel-link-")
        self.cloud = LocalCloud().start()
        self.cloud.add_device(PK, DN, DS)
        self.demo = None

    def tearDown(self):
        if self.demo is not None:
            self.demo.stop(10)
        self.cloud.stop()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def start_demo(self, port=None):
        self.demo = DemoProcess(demo_args(self.cloud, port), self.workdir)
        return self.demo

    def wait_online(self, platform, after=0, timeout=10):
        post = platform.wait_for(
            lambda m: m.topic == PREFIX + "/thing/event/property/post" and "StorageStatus" in m.text,
            timeout,
            after,
        )
        self.assertIsNotNone(post, "the demo never came online:\n" + self.demo.output()[-3000:])

    def assert_stops_quickly(self):
        started = time.monotonic()
        code = self.demo.stop(10)
        took = time.monotonic() - started
        self.assertEqual(0, code, self.demo.output()[-3000:])
        self.assertLess(took, STOP_WITHIN_S, "SIGTERM took %.2f s" % took)
        self.assertIsNotNone(self.demo.wait_line("Stopped", 0))
        self.demo = None

    def test_boots_before_the_cloud_and_comes_online_without_a_restart(self):
        port = self.cloud.port
        self.cloud.cloud.down()
        demo = self.start_demo(port)
        self.assertIsNotNone(demo.wait_line("tether connect Failed, next try in", 10), demo.output())
        self.assertIsNotNone(demo.wait_line("tether connect Failed, next try in", 10,
                                            demo.mark()), demo.output())  # fmt: skip
        self.assertIsNone(demo.proc.poll(), "the demo gave up:\n" + demo.output()[-3000:])
        # The cloud comes up on the same port: the back-off finds it.
        self.cloud.cloud.up(port=port)
        platform = self.cloud.new_platform()
        platform.subscribe_devices()
        self.assertIsNotNone(demo.wait_line("Cloud Connected", 15), demo.output()[-3000:])
        self.wait_online(platform)
        self.assert_stops_quickly()

    def test_sigterm_while_the_cloud_is_unreachable(self):
        port = self.cloud.port
        self.cloud.cloud.down()
        demo = self.start_demo(port)
        self.assertIsNotNone(demo.wait_line("tether connect Failed, next try in", 10), demo.output())
        self.assert_stops_quickly()

    def test_property_set_applies_every_member_and_names_the_rest(self):
        self.start_demo()
        self.wait_online(self.cloud)
        cases = [
            ({"MicSwitch": 1, "SpeakerSwitch": 1}, 200, None, ["MicSwitch", "SpeakerSwitch"]),
            (
                {"StatusLightSwitch": 1, "Zoom": 3, "AlarmSwitch": True, "DayNightMode": [1]},
                400,
                ["unknown property Zoom", "AlarmSwitch", "DayNightMode"],
                ["StatusLightSwitch"],
            ),
        ]
        for params, code, named, applied in cases:
            at = self.cloud.mark()
            reply = self.cloud.set_property(PK, DN, params)
            self.assertIsNotNone(reply, "no reply to %s" % params)
            body = reply.json()
            self.assertEqual(code, body.get("code"), reply.text)
            for text in named or []:
                self.assertIn(text, body.get("message", ""), reply.text)
            if named is None:
                self.assertNotIn("message", body)
            for name in applied:
                post = self.cloud.wait_for(
                    lambda m, name=name: m.topic == PREFIX + "/thing/event/property/post"
                    and m.json()["params"] == {name: 1},
                    5,
                    after=at,
                )
                self.assertIsNotNone(post, "%s was not applied:\n%s" % (name, self.demo.output()[-2000:]))
        # Nothing of the refused members reached the camera's report.
        posts = [m.json()["params"] for m in self.cloud.messages()
                 if m.topic == PREFIX + "/thing/event/property/post"]  # fmt: skip
        self.assertFalse(any("Zoom" in p for p in posts), posts)

    def test_time_request_carries_the_clock_and_the_secret_stays_hidden(self):
        before = int(time.time() * 1000)
        demo = self.start_demo()
        request = self.cloud.wait_for(lambda m: m.topic == "/ext/ntp/%s/%s/request" % (PK, DN), 10)
        after = int(time.time() * 1000)
        self.assertIsNotNone(request, demo.output()[-3000:])
        sent = int(json.loads(request.text)["deviceSendTime"])
        self.assertTrue(before <= sent <= after, (before, sent, after))
        self.assertIsNotNone(demo.wait_line("DEVICE_SECRET          :******", 0))
        self.assertNotIn(DS, demo.output())


class DemoUsage(unittest.TestCase):
    def test_h_prints_every_option(self):
        out = subprocess.run([DEMO, "-h"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             timeout=10, check=False)  # fmt: skip
        self.assertEqual(0, out.returncode, out.stderr)
        text = out.stdout.decode()
        for option in ("-p", "-n", "-s", "-t", "-l", "-H", "-P", "-C", "-m", "-B", "-F", "-R", "-h"):
            self.assertIn("  %s " % option, text)

    def test_unusable_option_prints_the_usage_and_fails(self):
        out = subprocess.run([DEMO, "-P", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             timeout=10, check=False)  # fmt: skip
        self.assertNotEqual(0, out.returncode)
        self.assertIn(b"Usage:", out.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
