"""The local cloud's HTTPS service and its command-line verbs: firmware and
configuration pushes reach the device with a URL, size and digests that match
what the service then serves; bootstrap and dynamic registration answer as
the platform does and refuse what it would refuse."""

import hashlib
import hmac
import json
import os
import shutil
import ssl
import subprocess
import tempfile
import unittest
import urllib.error
import urllib.parse
import urllib.request

from helpers import Broker, DeviceSub, alive, devcloud, kv, require_tools, wait_gone  # noqa: F401

from devcloud_lib.cloud import Cloud
from devcloud_lib.https_service import BOOTSTRAP_PATH, REGISTER_PATH, HttpsService, daemon_status

DEV = ("pkOta1", "camOta", "secretOta")
PS = "productSecretOta"


def setUpModule():
    require_tools()


class HttpsCloudTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix="devcloud-ota-")
        r = devcloud(cls.home, "up", "--port", "0")
        if r.returncode != 0:
            raise AssertionError("up failed: %s%s" % (r.stdout, r.stderr))
        cls.up = kv(r.stdout)
        cls.broker = Broker(cls.up["port"], cls.up["ca"])
        r = devcloud(cls.home, "device", "add", *DEV)
        cls.password = kv(r.stdout)["password"]
        cls.ctx = ssl.create_default_context(cafile=cls.up["ca"])

    @classmethod
    def tearDownClass(cls):
        devcloud(cls.home, "down")
        shutil.rmtree(cls.home, ignore_errors=True)

    def get(self, url):
        try:
            with urllib.request.urlopen(url, context=self.ctx, timeout=10) as r:
                return r.status, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.read()

    def post(self, port, path, form):
        req = urllib.request.Request(
            "https://127.0.0.1:%d%s" % (port, path),
            data=urllib.parse.urlencode(form).encode(),
            headers={"Content-Type": "application/x-www-form-urlencoded;charset=utf-8"},
        )
        with urllib.request.urlopen(req, context=self.ctx, timeout=10) as r:
            return json.loads(r.read())

    def test_firmware_push_announces_what_the_service_serves(self):
        image = os.urandom(50000)
        path = os.path.join(self.home, "image.bin")
        with open(path, "wb") as f:
            f.write(image)
        with DeviceSub(self.broker, "%s&%s" % (DEV[1], DEV[0]), self.password,
                       ["/ota/device/upgrade/%s/%s" % (DEV[0], DEV[1])],
                       client_id="%s.%s|securemode=2|" % (DEV[0], DEV[1])) as sub:  # fmt: skip
            r = devcloud(self.home, "firmware", "push", DEV[0], DEV[1], path, "--version", "9.1")
            self.assertEqual(0, r.returncode, r.stderr)
            out = kv(r.stdout)
            msg = sub.next(10)
        self.assertIsNotNone(msg)
        data = json.loads(msg[1])["data"]
        self.assertEqual(("9.1", len(image)), (data["version"], data["size"]))
        self.assertEqual(hashlib.md5(image).hexdigest(), data["md5"])
        self.assertEqual(hashlib.sha256(image).hexdigest(), data["sha256"])
        self.assertEqual(out["url"], data["url"])
        self.assertEqual((200, image), self.get(data["url"]))
        self.assertEqual(404, self.get(data["url"] + ".missing")[0])
        # The service outlives the command and goes with 'down'.
        self.assertIsNotNone(daemon_status(Cloud(self.home)))

    def test_firmware_push_refuses_unknown_devices_and_files(self):
        r = devcloud(self.home, "firmware", "push", "nopk", "nodn", "/etc/hostname", "--version", "1")
        self.assertEqual(1, r.returncode)
        self.assertIn("unknown device", r.stderr)
        r = devcloud(self.home, "firmware", "push", DEV[0], DEV[1], "/nonexistent", "--version", "1")
        self.assertEqual(1, r.returncode)

    def test_bootstrap_and_registration(self):
        cloud = Cloud(self.home)
        svc = HttpsService(cloud).start()
        self.addCleanup(svc.stop)
        form = {"productKey": DEV[0], "deviceName": DEV[1], "clientId": "x", "resources": "mqtt"}
        mqtt = self.post(svc.port, BOOTSTRAP_PATH, form)["data"]["resources"]["mqtt"]
        self.assertEqual({"host": "127.0.0.1", "port": int(self.up["port"])}, mqtt)
        svc.mqtt_port_as_text = True
        mqtt = self.post(svc.port, BOOTSTRAP_PATH, form)["data"]["resources"]["mqtt"]
        self.assertEqual(self.up["port"], mqtt["port"])
        self.assertEqual(404, self.post(svc.port, BOOTSTRAP_PATH, dict(form, productKey="zz"))["code"])

        r = devcloud(self.home, "product", "add", "pkReg", PS)
        self.assertEqual(0, r.returncode, r.stderr)

        def register(dn, secret=PS, random="0123456789abcde"):
            sign = hmac.new(secret.encode(), ("deviceName%sproductKey%srandom%s" % (dn, "pkReg", random)).encode(),
                            hashlib.sha256).hexdigest()  # fmt: skip
            return self.post(svc.port, REGISTER_PATH, {"productKey": "pkReg", "deviceName": dn, "random": random,
                                                       "sign": sign, "signMethod": "hmacsha256"})  # fmt: skip

        first = register("selfreg")
        self.assertEqual(200, first["code"], first)
        ds = first["data"]["deviceSecret"]
        self.assertTrue(ds)
        # The secret works at the broker at once.
        r = subprocess.run(["mosquitto_pub"] + self.broker.base("selfreg&pkReg", _password(ds, "pkReg", "selfreg"))
                           + ["-t", "/sys/pkReg/selfreg/thing/event/property/post", "-m", "{}"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=20)  # fmt: skip
        self.assertEqual(0, r.returncode, r.stdout)
        self.assertEqual(409, register("selfreg")["code"], "a secret is given once")
        self.assertEqual(401, register("other", secret="wrong")["code"])


def _password(ds, pk, dn):
    text = "clientId%s.%sdeviceName%sproductKey%stimestamp2524608000000" % (pk, dn, dn, pk)
    return hmac.new(ds.encode(), text.encode(), hashlib.sha1).hexdigest()


if __name__ == "__main__":
    unittest.main()
