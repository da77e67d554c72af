"""End to end: the demo's default way in, without a broker on its command
line. It asks the bootstrap service which broker to use (the port may come
as a number or as a text), and without a device secret it registers itself
with its product secret, keeps the secret it gets and uses it on the next
start. Bad answers and a service that is down are retried without a crash.

Paths come from the environment (set by CMake), as for demo_e2e_test.py.
"""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from demo_e2e_test import MEDIA, DemoProcess  # noqa: E402
from devcloud_lib.cloud import free_port  # noqa: E402
from devcloud_lib.https_service import BOOTSTRAP_PATH, REGISTER_PATH, HttpsService  # noqa: E402
from devcloud_lib.testing import LocalCloud  # noqa: E402

PK = "e2eBootPK"
DN = "camera04"
DS = "e2eBootSecret0123456789abcdef"
PS = "e2eProductSecret0123456789"
ONLINE_S = 15


class DemoBootstrap(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="kestrel-boot-")
        self.cloud = LocalCloud().start()
        self.cloud.add_device(PK, DN, DS)
        self.https_port = free_port()
        self.https = None
        self.demo = None

    def tearDown(self):
        if self.demo is not None:
            self.demo.stop(10)
        if self.https is not None:
            self.https.stop()
        self.cloud.stop()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def start_https(self):
        self.https = HttpsService(self.cloud.cloud, port=self.https_port).start()
        return self.https

    def start_demo(self, dn=DN, secret=DS):
        args = ["-p", PK, "-n", dn, "-t", PS, "-C", self.cloud.ca, "-m", MEDIA,
                "-B", "%s:%d" % (self.cloud.host, self.https_port), "-R", "1000"]  # fmt: skip
        if secret:
            args += ["-s", secret]
        self.demo = DemoProcess(args, self.workdir)
        return self.demo

    def assert_online(self, after=0):
        line = self.demo.wait_line("Cloud Connected", ONLINE_S, after)
        self.assertIsNotNone(line, self.demo.output()[-3000:])

    def posts(self, path):
        return [form for method, p, form in self.https.requests if method == "POST" and p == path]

    def test_broker_port_as_number_or_text(self):
        svc = self.start_https()
        for as_text in (False, True):
            with self.subTest(port_as_text=as_text):
                svc.mqtt_port_as_text = as_text
                svc.requests.clear()
                self.start_demo()
                self.assert_online()
                form = self.posts(BOOTSTRAP_PATH)[0]
                self.assertEqual({"productKey": PK, "deviceName": DN, "clientId": PK + "." + DN,
                                  "resources": "mqtt"}, form)  # fmt: skip
                self.assertEqual(0, self.demo.stop(10))
                self.demo = None

    def test_bad_answers_and_a_service_that_is_down_are_retried(self):
        self.start_demo()
        # Nobody listens yet: the demo keeps trying.
        self.assertIsNotNone(self.demo.wait_line("tether connect Failed, next try in", 10),
                             self.demo.output()[-3000:])  # fmt: skip
        svc = self.start_https()
        bad = ["not json", '{"code":200,"data":{}}', '{"code":500,"message":"busy"}',
               '{"code":200,"data":{"resources":{"mqtt":{"host":"127.0.0.1","port":"99999"}}}}']  # fmt: skip
        for body in bad:
            svc.set_fault(BOOTSTRAP_PATH, "body", body)
            at = len(svc.requests)
            self.assertTrue(self._wait(lambda: len(self.posts(BOOTSTRAP_PATH)[at:]) > 0, 40), body)
            self.assertIsNone(self.demo.proc.poll(), self.demo.output()[-3000:])
        self.assertIsNotNone(self.demo.wait_line("bootstrap _get_hostname_port() failed", 0))
        self.assertIsNone(self.demo.wait_line("Cloud Connected", 0))
        svc.clear_faults()
        self.demo.proc.poll()
        self.assert_online()

    def test_registration_saves_the_secret_and_the_next_start_reuses_it(self):
        svc = self.start_https()
        svc.add_product(PK, PS)
        self.start_demo(dn="selfreg01", secret=None)
        self.assert_online()
        self.assertEqual(1, len(self.posts(REGISTER_PATH)))
        registered = self.cloud.cloud.device(PK, "selfreg01")
        self.assertIsNotNone(registered)
        with open(os.path.join(self.workdir, "tether_kv.bin"), "rb") as f:
            self.assertIn(b"DyncRegDeviceSecret", f.read())
        self.assertEqual(0, self.demo.stop(10))

        self.start_demo(dn="selfreg01", secret=None)
        self.assert_online()
        self.assertEqual(1, len(self.posts(REGISTER_PATH)), "the kept secret must be used")

    def test_registration_refused_or_malformed_is_retried(self):
        svc = self.start_https()
        svc.add_product(PK, PS)
        svc.set_fault(REGISTER_PATH, "body", '{"code":200,"data":{"deviceSecret":""}}')
        self.start_demo(dn="selfreg02", secret=None)
        self.assertTrue(self._wait(lambda: len(self.posts(REGISTER_PATH)) >= 2, 20))
        self.assertIsNotNone(self.demo.wait_line("Dynamic Register Failed", 0))
        self.assertIsNone(self.demo.proc.poll())
        svc.clear_faults()
        self.assert_online()

    def _wait(self, pred, timeout):
        import time

        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if pred():
                return True
            time.sleep(0.05)
        return pred()


if __name__ == "__main__":
    unittest.main(verbosity=2)
