"""End to end: the demo camera answers the platform's "TriggerPicCapture"
with its sample JPEG, uploaded to devcloud's object store through a URL the
store signed. The object must equal demo/media/1.jpg byte for byte; refusals,
errors and dropped connections of the store are reported and the next picture
still arrives; a store the camera was not told to trust gets nothing."""

import hashlib
import os
import secrets
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo_e2e_test import MEDIA, DemoProcess  # noqa: E402
from devcloud_lib import storage  # noqa: E402
from devcloud_lib.platform import envelope  # noqa: E402
from devcloud_lib.testing import LocalCloud  # noqa: E402

PK = "e2ePicturePK"
DN = "camera03"
DS = "e2eDeviceSecret0123456789abcdef"
PICTURE_WITHIN_S = 15.0


def md5_of(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


class DemoPictures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="kestrel-e2e-pictures-")
        cls.cloud = LocalCloud().start()
        cls.demos = []
        try:
            cls.cloud.add_device(PK, DN, DS)
            cls.demo = cls.start_demo(DN, trust_store=True)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def start_demo(cls, dn, trust_store):
        args = ["-p", PK, "-n", dn, "-s", DS, "-l", "5", "-H", cls.cloud.host,
                "-P", str(cls.cloud.port), "-C", cls.cloud.ca, "-m", MEDIA]  # fmt: skip
        if trust_store:
            args += ["-S", cls.cloud.ca]
        demo = DemoProcess(args, cls.workdir)
        cls.demos.append(demo)
        if demo.wait_line("Cloud Connected", 20) is None:
            raise AssertionError("demo did not come online:\n" + demo.output()[-3000:])
        return demo

    @classmethod
    def tearDownClass(cls):
        for demo in cls.demos:
            demo.stop(15)
        cls.cloud.stop()
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def trigger(self, dn, name):
        key = "%spicture/%s-%s.jpg" % (storage.device_prefix(PK, dn), name, secrets.token_hex(3))
        base = "https://127.0.0.1:%d" % self.cloud.store_port
        url = storage.presign(storage.master_key(self.cloud.home), base, key)
        self.cloud.send(PK, dn, "/thing/service/TriggerPicCapture",
                        envelope(secrets.token_hex(4), {"UploadUrl": url}, "thing.service.TriggerPicCapture"))
        return key

    def test_trigger_picture_is_the_sample_jpeg_byte_for_byte(self):
        key = self.trigger(DN, "plain")
        info = self.cloud.wait_object(key, PICTURE_WITHIN_S)
        self.assertIsNotNone(info, "no picture:\n" + self.demo.output()[-3000:])
        self.assertEqual(os.path.getsize(os.path.join(MEDIA, "1.jpg")), info["size"])
        self.assertEqual(md5_of(os.path.join(MEDIA, "1.jpg")), md5_of(info["path"]))

    def test_store_failures_are_reported_and_the_next_picture_arrives(self):
        for mode in ("403", "409", "500", "drop"):
            mark = self.demo.mark()
            self.cloud.store_fault(mode, count=1)
            failed = self.trigger(DN, "fault-" + mode)
            line = self.demo.wait_line("Put picture result = Failed", PICTURE_WITHIN_S, mark)
            self.assertIsNotNone(line, mode + ":\n" + self.demo.output()[-3000:])
            self.assertIsNone(self.cloud.wait_object(failed, 0.5), mode)
            key = self.trigger(DN, "after-" + mode)
            self.assertIsNotNone(self.cloud.wait_object(key, PICTURE_WITHIN_S), mode)

    def test_a_camera_without_the_storage_anchor_sends_nothing(self):
        dn = "camera03b"
        self.cloud.add_device(PK, dn, DS)
        demo = self.start_demo(dn, trust_store=False)
        mark = demo.mark()
        key = self.trigger(dn, "untrusted")
        self.assertIsNotNone(demo.wait_line("Put picture result = Failed", PICTURE_WITHIN_S, mark),
                             demo.output()[-3000:])
        self.assertIsNone(self.cloud.wait_object(key, 0.5))
        puts = [r for r in self.cloud.store_log() if key in str(r.get("target", ""))]
        self.assertEqual([], puts)


if __name__ == "__main__":
    unittest.main()
