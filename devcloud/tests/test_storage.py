"""The object store, the agent's credential, event-limit and alarm answers,
and the picture console, against real peers: curl as the uploading device,
signatures computed by the openssl command, mosquitto_pub/_sub as the
device on MQTT."""

import email.utils
import hashlib
import http.client
import json
import os
import shutil
import ssl
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

from helpers import DeviceSub, Broker, devcloud, devcloud_bg, kv, require_tools, wait_gone

from devcloud_lib import storage

JPEG = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                    "demo", "media", "1.jpg")  # fmt: skip
DEV = ("pkS1", "camS", "secretS")
OTHER = ("pkS2", "camT", "secretT")


def setUpModule():
    require_tools()
    for tool in ("curl", "openssl"):
        if shutil.which(tool) is None:
            raise RuntimeError("%s is required" % tool)


def openssl_sign(secret, text):
    """Base64 HMAC-SHA1 by the openssl command, independent of the store."""
    dgst = subprocess.run(["openssl", "dgst", "-sha1", "-hmac", secret, "-binary"], input=text.encode(),
                          stdout=subprocess.PIPE, check=True).stdout  # fmt: skip
    return subprocess.run(["base64", "-w0"], input=dgst, stdout=subprocess.PIPE, check=True).stdout.decode()


def md5(data):
    return hashlib.md5(data).hexdigest()


class StoreTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix="devcloud-store-")
        r = devcloud(cls.home, "up", "--port", "0")
        if r.returncode != 0:
            devcloud(cls.home, "down")
            raise AssertionError("up failed: %s%s" % (r.stdout, r.stderr))
        cls.up = kv(r.stdout)
        cls.port = int(cls.up["store_port"])
        cls.broker = Broker(cls.up["port"], cls.up["ca"])
        cls.password = {}
        for dev in (DEV, OTHER):
            cls.password[dev] = kv(devcloud(cls.home, "device", "add", *dev).stdout)["password"]
        with open(JPEG, "rb") as f:
            cls.jpeg = f.read()

    @classmethod
    def tearDownClass(cls):
        devcloud(cls.home, "down")
        shutil.rmtree(cls.home, ignore_errors=True)

    def setUp(self):
        self.control("POST", "/clear")

    # ---- helpers -----------------------------------------------------------------

    def dc(self, *args, code=0):
        r = devcloud(self.home, *args)
        self.assertEqual(r.returncode, code, r.stdout + r.stderr)
        return r

    def control(self, method, path, params=None):
        """The store's control endpoint, as the device's own tests use it."""
        url = "http://127.0.0.1:%s%s" % (self.up["store_control_port"], path)
        if params:
            url += "?" + urllib.parse.urlencode(params)
        req = urllib.request.Request(url, method=method, data=b"" if method == "POST" else None)
        with urllib.request.urlopen(req, timeout=10) as r:
            return json.loads(r.read().decode())

    def creds(self, dev=DEV, active=3600):
        return self.control("GET", "/credentials", {"pk": dev[0], "dn": dev[1], "active_time": active})

    def url(self, key, method="PUT", lifetime=600):
        ctype = "image/jpeg" if method == "PUT" else ""
        return storage.presign(storage.master_key(self.home), "https://127.0.0.1:%d" % self.port, key, method,
                               ctype, lifetime)  # fmt: skip

    def log_since(self, mark):
        return [r for r in storage.read_log(self.home)[mark:] if r.get("event") == "request"]

    def curl(self, method, url, body=None, headers=(), extra=()):
        """(HTTP status or None, curl exit code, response body)."""
        argv = ["curl", "-sS", "--max-time", "10", "--cacert", self.up["ca"], "-X", method, "-o", "-",
                "-w", "\n%{http_code}"] + list(extra)  # fmt: skip
        for h in headers:
            argv += ["-H", h]
        tmp = None
        if body is not None:
            tmp = tempfile.NamedTemporaryFile(delete=False)
            tmp.write(body)
            tmp.close()
            self.addCleanup(os.unlink, tmp.name)
            argv += ["--data-binary", "@" + tmp.name]
        r = subprocess.run(argv + [url], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
        text, _, code = r.stdout.decode("utf-8", "replace").rpartition("\n")
        return (int(code) if code.isdigit() and code != "000" else None), r.returncode, text

    def sts_put(self, c, name, body, method="PUT", query="", token=None, host=None, date=None,
                sign_type="image/jpeg", send_type="image/jpeg", secret=None, line_key=None):  # fmt: skip
        """An upload signed by openssl the way the device signs it."""
        token = c["stsToken"] if token is None else token
        key = storage.key_prefix(c) + name
        date = date or email.utils.formatdate(usegmt=True)
        target = "/" + key + ("?" + query if query else "")
        text = "%s\n\n%s\n%s\nx-kiv-security-token:%s\n/%s%s" % (method, sign_type, date, token, c["bucketName"], target)
        sig = openssl_sign(secret or c["accessSecret"], text)
        path = "/" + (line_key if line_key is not None else key) + ("?" + query if query else "")
        headers = ["Host: " + (host or "%s.%s" % (c["bucketName"], c["endpoint"])), "Date: " + date,
                   "Content-Type: " + send_type, "x-kiv-security-token: " + token,
                   "Authorization: KIV %s:%s" % (c["accessKey"], sig)]  # fmt: skip
        status, _, text = self.curl(method, "https://127.0.0.1:%d%s" % (self.port, path), body, headers)
        return status, key, text

    def stored(self, key):
        try:
            with open(storage.object_path(self.home, key), "rb") as f:
                return f.read()
        except OSError:
            return None

    # ---- signatures ------------------------------------------------------------------

    def test_signature_is_base64_hmac_sha1_as_openssl_computes_it(self):
        text = storage.string_to_sign("PUT", "image/jpeg", "Thu, 10 Dec 2026 08:00:00 GMT", "tok", "bkt", "/p_a.jpg")
        self.assertEqual(text, "PUT\n\nimage/jpeg\nThu, 10 Dec 2026 08:00:00 GMT\nx-kiv-security-token:tok\n/bkt/p_a.jpg")
        for name, secret in [("short key", "secret"), ("64-byte key", "k" * 64), ("key over 64 bytes is hashed", "K" * 100)]:
            with self.subTest(name):
                self.assertEqual(storage.sign(secret, text), openssl_sign(secret, text))
        self.assertEqual(storage.authorization("AK", "secret", "PUT", "image/jpeg", "Thu, 10 Dec 2026 08:00:00 GMT",
                                               "tok", "bkt", "/p_a.jpg"),
                         "KIV AK:" + openssl_sign("secret", text))  # fmt: skip

    # ---- uploads with credentials --------------------------------------------------

    def test_credential_uploads_are_checked_field_by_field(self):
        c = self.creds()
        other = self.creds(OTHER)
        expired = self.creds(active=1)
        stale = email.utils.formatdate(time.time() - 3600, usegmt=True)
        tampered = c["stsToken"][:-1] + ("0" if c["stsToken"][-1] != "0" else "1")
        cases = [
            # name, sts_put arguments, status, error code in the log
            ("well signed", {}, 200, None),
            ("object key percent-encoded in the request line, raw key signed", {"encode": True}, 200, None),
            ("signature by another secret", {"secret": "not-the-secret"}, 403, "SignatureDoesNotMatch"),
            ("content type sent differs from the one signed", {"send_type": "image/png"}, 403, "SignatureDoesNotMatch"),
            ("Host not bucket.endpoint", {"host": "127.0.0.1:%d" % self.port}, 403, "InvalidHost"),
            ("Date an hour old", {"date": stale}, 403, "RequestTimeTooSkewed"),
            ("token altered", {"token": tampered}, 403, "InvalidToken"),
            ("another device's token", {"token": other["stsToken"]}, 403, "InvalidAccessKeyId"),
            ("no token", {"token": ""}, 403, "InvalidToken"),
        ]  # fmt: skip
        time.sleep(1.1)  # the one-second credentials have run out now
        for i, (name, kw, status, error) in enumerate(cases):
            with self.subTest(name):
                mark = len(storage.read_log(self.home))
                body = os.urandom(2000 + i)
                name_ = "case%d.jpg" % i
                if kw.pop("encode", False):
                    kw["line_key"] = urllib.parse.quote(storage.key_prefix(c) + name_, safe="")
                got, key, text = self.sts_put(c, name_, body, **kw)
                self.assertEqual(got, status, text)
                self.assertEqual(self.stored(key), body if status == 200 else None)
                rec = self.log_since(mark)[-1]
                self.assertEqual((rec["status"], rec.get("error")), (status, error), rec)
                if status == 200:
                    self.assertEqual((rec["md5"], rec["device"], rec["key"]), (md5(body), "pkS1/camS", key))
        with self.subTest("expired credentials"):
            got, key, text = self.sts_put(expired, "late.jpg", b"x")
            self.assertEqual(got, 403)
            self.assertIn("ExpiredToken", text)
        with self.subTest("key outside the token's prefix (MD5 of another token)"):
            body = b"y" * 10
            key = c["fileNamePrefix"] + md5(other["stsToken"].encode()) + "_x.jpg"
            got, _, text = self.sts_put(c, "", body, line_key=key)
            self.assertEqual(got, 403)  # signed for another key, and outside the prefix anyway

    def test_append_follows_the_position_the_store_gives(self):
        c = self.creds()
        got, key, _ = self.sts_put(c, "rec.flv", b"a" * 100, method="POST", query="append&position=0")
        self.assertEqual(got, 200)
        got, _, text = self.sts_put(c, "rec.flv", b"b" * 50, method="POST", query="append&position=0")
        self.assertEqual(got, 409, text)
        got, _, _ = self.sts_put(c, "rec.flv", b"c" * 50, method="POST", query="append&position=100")
        self.assertEqual(got, 200)
        self.assertEqual(self.stored(key), b"a" * 100 + b"c" * 50)
        self.assertEqual(self.log_since(0)[-1]["next_position"], 150)

    def test_record_stop_waits_for_the_append_connection_to_close(self):
        """'record stop' returns once the device's append connection has
        closed, and names a connection still open at its deadline."""
        dev = ("pkS3", "camR", "secretR")
        self.dc("device", "add", *dev)
        c = self.creds(dev)
        key = storage.key_prefix(c) + "held.bin"  # not .flv: the listing probes no media
        date = email.utils.formatdate(usegmt=True)
        target = "/%s?append&position=0" % key
        text = storage.string_to_sign("POST", "image/jpeg", date, c["stsToken"], c["bucketName"], target)
        ctx = ssl.create_default_context(cafile=self.up["ca"])
        held = http.client.HTTPSConnection("127.0.0.1", self.port, context=ctx, timeout=10)
        self.addCleanup(held.close)
        held.request("POST", target, b"x" * 10, {
            "Host": "%s.%s" % (c["bucketName"], c["endpoint"]), "Date": date, "Content-Type": "image/jpeg",
            "x-kiv-security-token": c["stsToken"],
            "Authorization": "KIV %s:%s" % (c["accessKey"], storage.sign(c["accessSecret"], text))})  # fmt: skip
        reply = held.getresponse()
        self.assertEqual((reply.status, reply.read()), (200, b""))

        r = self.dc("record", dev[0], dev[1], "stop", "r1", "--timeout", "0.5", code=1)
        self.assertIn("%s/%s still has 1 append connection(s) open" % dev[:2], r.stderr)
        held.close()
        self.dc("record", dev[0], dev[1], "stop", "r1", "--timeout", "20")
        self.assertEqual(self.stored(key), b"x" * 10)
        closed = [e for e in storage.read_log(self.home) if e.get("event") == "closed"]
        self.assertEqual(closed[-1]["device"], "%s/%s" % dev[:2])

    # ---- pre-signed URLs ---------------------------------------------------------------

    def test_presigned_url_put_and_get(self):
        url = self.dc("store", "url", "pkS1/camS/picture/u1.jpg").stdout.strip()
        q = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(url).query))
        secret = storage.url_secret(storage.master_key(self.home))
        self.assertEqual(q["Signature"], openssl_sign(secret, "PUT\n\nimage/jpeg\n%s\n/devcloud/pkS1/camS/picture/u1.jpg"
                                                      % q["Expires"]))  # fmt: skip
        jpeg = ["Content-type: image/jpeg"]
        status, _, text = self.curl("PUT", url, self.jpeg, jpeg)
        self.assertEqual(status, 200, text)
        self.assertEqual(self.stored("pkS1/camS/picture/u1.jpg"), self.jpeg)
        get = self.url("pkS1/camS/picture/u1.jpg", "GET")
        r = subprocess.run(["curl", "-sS", "--cacert", self.up["ca"], get], stdout=subprocess.PIPE, timeout=30)
        self.assertEqual(r.stdout, self.jpeg)
        expired = self.url("pkS1/camS/picture/u2.jpg", lifetime=-1)
        cases = [
            ("another key than signed", url.replace("u1.jpg", "u3.jpg"), jpeg),
            ("no content type", url, []),
            ("signature altered", url.replace("Signature=", "Signature=A"), jpeg),
            ("expired", expired, jpeg),
            ("no signature at all", url.split("?")[0], jpeg),
        ]
        for name, u, headers in cases:
            with self.subTest(name):
                status, _, text = self.curl("PUT", u, b"z", headers)
                self.assertEqual(status, 403, text)
        self.assertIsNone(self.stored("pkS1/camS/picture/u3.jpg"))

    def test_bad_requests_get_an_error_and_a_log_line(self):
        url = self.url("pkS1/camS/picture/b.jpg")
        base = "https://127.0.0.1:%d" % self.port
        cases = [
            ("dot-dot key", "PUT", base + "/devcloud/pkS1/../../x?Signature=a", ["--path-as-is"], 400),
            ("key that is not UTF-8", "PUT", base + "/devcloud/pkS1/%ff.jpg?Signature=a", [], 400),
            ("no length", "PUT", url, ["Content-type: image/jpeg", "Transfer-Encoding: chunked"], 411),
            ("DELETE", "DELETE", url, [], 405),
            ("missing object", "GET", self.url("pkS1/camS/none.jpg", "GET"), [], 404),
        ]  # fmt: skip
        for name, method, u, headers, status in cases:
            with self.subTest(name):
                mark = len(storage.read_log(self.home))
                extra = [h for h in headers if h.startswith("--")]
                headers = [h for h in headers if not h.startswith("--")]
                got, _, text = self.curl(method, u, b"q" if method == "PUT" else None, headers, extra)
                self.assertEqual(got, status, text)
                self.assertEqual(self.log_since(mark)[-1]["status"], status)

    # ---- faults ------------------------------------------------------------------------------

    def test_faults_hit_the_next_requests_and_then_the_store_works_again(self):
        cases = [
            # mode, extra args, curl's view: status or curl exit code
            ("403", [], 403),
            ("409", ["--count", "2"], 409),
            ("500", [], 500),
            ("drop", [], "error"),
            ("garbage", [], "error"),
            ("stall", ["--seconds", "0.5"], "error"),
            ("interim", [], 200),
            ("interim-stall", ["--seconds", "0.5"], "error"),
        ]
        for mode, extra, want in cases:
            with self.subTest(mode):
                count = int(extra[1]) if extra[:1] == ["--count"] else 1
                if mode == "409":  # once through the console, otherwise as the device's tests do
                    self.dc("store", "fault", mode, *extra)
                else:
                    self.control("POST", "/fault", {"mode": mode, "count": count, "seconds": extra[-1] if extra else ""})
                for i in range(count + 1):
                    key = "pkS1/camS/fault/%s-%d.jpg" % (mode, i)
                    url = self.url(key)
                    status, rc, text = self.curl("PUT", url, b"data", ["Content-type: image/jpeg"])
                    if i == count or want == 200:
                        self.assertEqual(status, 200, (i, text))
                        self.assertEqual(self.stored(key), b"data")
                        break
                    if want == "error":
                        # No final answer: curl fails (having seen at most a 100).
                        self.assertIn(status, (None, 100))
                        self.assertNotEqual(rc, 0)
                    else:
                        self.assertEqual(status, want)
                    self.assertIsNone(self.stored(key))
                rec = [r for r in self.log_since(0) if str(r.get("fault")) == mode]
                self.assertTrue(rec, "no log line for the %s fault" % mode)
        self.assertIn("[]", self.dc("store", "faults").stdout)
        self.dc("store", "fault", "stal", code=2)
        self.dc("store", "fault", "200", code=2)

    # ---- the agent as the device sees it ----------------------------------------------------

    def device_sub(self, dev, suffixes):
        user = "%s&%s" % (dev[1], dev[0])
        s = DeviceSub(self.broker, user, self.password[dev], ["/sys/%s/%s%s" % (dev[0], dev[1], x) for x in suffixes])
        self.addCleanup(s.close)
        return s

    def pub(self, dev, suffix, payload):
        r = self.broker.pub("%s&%s" % (dev[1], dev[0]), self.password[dev], "/sys/%s/%s%s" % (dev[0], dev[1], suffix), payload)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_agent_answers_credential_requests_with_working_credentials(self):
        sub = self.device_sub(DEV, ["/vision/pic/kiv/downstream"])
        bad = ["not json", "[]", '{"id":"1","version":"1.0","method":"requestEventLimit","params":{}}',
               '{"id":1,"version":"1.0","method":"requestKIVToken","params":{}}',
               '{"id":"2","version":"1.0","method":"requestKIVToken"}']  # fmt: skip
        for payload in bad:
            self.pub(DEV, "/vision/pic/kiv/upstream", payload)
        self.pub(DEV, "/vision/pic/kiv/upstream", '{"id": "7","version": "1.0","method": "requestKIVToken","params": {}}')
        topic, payload = sub.next(10)
        answer = json.loads(payload)
        self.assertEqual((topic, answer["id"]), ("/sys/pkS1/camS/vision/pic/kiv/downstream", "7"))
        c = answer["params"]
        self.assertEqual(set(c), {"accessKey", "accessSecret", "stsToken", "endpoint", "bucketName",
                                  "fileNamePrefix", "contentType", "activeTime"})  # fmt: skip
        self.assertEqual((c["endpoint"], c["contentType"], c["activeTime"]), ("127.0.0.1:%d" % self.port, "image/jpeg", 3600))
        self.assertTrue(all(isinstance(c[k], str) for k in c if k != "activeTime"))
        self.assertIsNone(sub.next(0.5), "a bad request was answered")
        got, key, text = self.sts_put(c, "1.jpg", self.jpeg)
        self.assertEqual(got, 200, text)
        self.assertEqual(self.stored(key), self.jpeg)
        self.assertTrue(key.startswith("pkS1/camS/"))
        issued = [r for r in storage.read_log(self.home) if r.get("event") == "credentials"]
        self.assertEqual((issued[-1]["device"], issued[-1]["request_id"]), ("pkS1/camS", "7"))

    def test_event_limits_come_from_the_settings_and_the_console(self):
        sub = self.device_sub(OTHER, ["/vision/biz/event/downstream"])
        request = '{"id": "%s","version": "1.0","method": "requestEventLimit","params": {}}'
        self.pub(OTHER, "/vision/biz/event/upstream", request % "1")
        self.assertIsNone(sub.next(1.0), "answered without a configured limit")
        out = self.dc("alarm", "pkS2", "camT", "limit", "--single", "3000", "--batch", "5").stdout
        self.assertIn('event_limit={"single":3000,"batch":5}', out)
        pushed = json.loads(sub.next(10)[1])
        self.assertEqual(pushed["params"], {"single": 3000, "batch": 5})
        self.pub(OTHER, "/vision/biz/event/upstream", request % "2")
        answer = json.loads(sub.next(10)[1])
        self.assertEqual((answer["id"], answer["params"]), ("2", {"single": 3000, "batch": 5}))

    # ---- console flows --------------------------------------------------------------------------

    def run_bg(self, *args, ready=None):
        p = devcloud_bg(self.home, *args)
        self.addCleanup(lambda: p.poll() is None and (p.kill(), p.communicate()))
        return p

    def test_picture_round_trip(self):
        sub = self.device_sub(DEV, ["/thing/service/TriggerPicCapture"])
        p = self.run_bg("picture", "pkS1", "camS", "--timeout", "20")
        topic, payload = sub.next(10)
        call = json.loads(payload)
        self.assertEqual(call["method"], "thing.service.TriggerPicCapture")
        url = call["params"]["UploadUrl"]
        self.assertNotIn("eventType", url)
        status, _, text = self.curl("PUT", url, self.jpeg, ["Content-type: image/jpeg"])
        self.assertEqual(status, 200, text)
        out, err = p.communicate(timeout=20)
        self.assertEqual(p.returncode, 0, err)
        got = kv(out)
        with open(got["path"], "rb") as f:
            self.assertEqual(f.read(), self.jpeg)
        self.assertEqual((got["size"], got["md5"]), (str(len(self.jpeg)), md5(self.jpeg)))
        listing = self.dc("objects", "pkS1", "camS", "list").stdout
        self.assertIn(" %d %s %s" % (len(self.jpeg), got["key"], got["path"]), listing)
        fetched = kv(self.dc("objects", "pkS1", "camS", "fetch", got["key"][len("pkS1/camS/"):]).stdout)
        self.assertEqual(fetched["md5"], md5(self.jpeg))
        self.dc("objects", "pkS1", "camS", "fetch", "../../x", code=2)
        self.dc("objects", "pkS2", "camT", "fetch", got["key"], code=1)  # another device's key
        r = self.dc("picture", "pkS1", "camS", "--timeout", "0.3", code=3)
        self.assertIn("no picture arrived", r.stderr)

    def test_alarm_event_is_answered_with_an_upload_url(self):
        sub = self.device_sub(DEV, ["/thing/service/TriggerPicCapture"])
        p = self.run_bg("alarm", "pkS1", "camS", "wait", "--timeout", "20")
        self.assertIsNotNone(_wait_line(p.stderr, "waiting for"))
        self.pub(DEV, "/thing/event/AlarmEvent/post",
                 '{"id":"11","version":"1.0","method":"thing.event.AlarmEvent.post",'
                 '"params":{"AlarmType":2,"AlarmPicID":"1_51234567"}}')  # fmt: skip
        topic, payload = sub.next(10)
        url = json.loads(payload)["params"]["UploadUrl"]
        q = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(url).query))
        self.assertEqual((q["eventType"], q["id"]), ("2", "1_51234567"))
        status, _, text = self.curl("PUT", url, self.jpeg, ["Content-type: image/jpeg"])
        self.assertEqual(status, 200, text)
        out, err = p.communicate(timeout=20)
        self.assertEqual(p.returncode, 0, err)
        self.assertIn("event=AlarmEvent", out)
        self.assertEqual(kv(out)["key"], "pkS1/camS/alarm/1_51234567.jpg")
        with self.subTest("bad alarm posts get no URL"):
            for params in ('{"AlarmType":2,"AlarmPicID":"../x"}', '{"AlarmType":"2","AlarmPicID":"1_1"}', '{}'):
                self.pub(DEV, "/thing/event/AlarmEvent/post",
                         '{"id":"12","version":"1.0","method":"thing.event.AlarmEvent.post","params":%s}' % params)
            self.assertIsNone(sub.next(1.0))

    def test_file_transfer_invocations_carry_working_urls(self):
        sub = self.device_sub(DEV, ["/vision/biz/dev/UploadFile/invoke", "/vision/biz/dev/DownloadFile/invoke"])
        self.dc("file", "pkS1", "camS", "upload", "log.bin", "--file-type", "3")
        topic, payload = sub.next(10)
        entry = json.loads(payload)["paramList"][0]
        self.assertEqual((topic, entry["fileName"], entry["fileType"]),
                         ("/sys/pkS1/camS/vision/biz/dev/UploadFile/invoke", "log.bin", 3))  # fmt: skip
        status, _, text = self.curl("PUT", entry["uploadUrl"], b"log", ["Content-Type: application/octet-stream"])
        self.assertEqual(status, 200, text)
        self.dc("file", "pkS1", "camS", "download", "files/log.bin", "pkS1/camS/files/log.bin")
        topic, payload = sub.next(10)
        entries = json.loads(payload)["paramList"]
        self.assertEqual((topic, len(entries)), ("/sys/pkS1/camS/vision/biz/dev/DownloadFile/invoke", 2))
        r = subprocess.run(["curl", "-sS", "--cacert", self.up["ca"], entries[1]["downloadUrl"]],
                           stdout=subprocess.PIPE, timeout=30)  # fmt: skip
        self.assertEqual((entries[1]["fileName"], r.stdout), ("log.bin", b"log"))
        self.dc("file", "pkS1", "camS", "upload", "a/b", code=2)

    def test_intelligent_alarm_names_an_object_of_its_size(self):
        c = self.creds()
        got, key, _ = self.sts_put(c, "ia1", self.jpeg)
        self.assertEqual(got, 200)
        for size, code in ((len(self.jpeg), 0), (len(self.jpeg) + 1, 1)):
            with self.subTest(size=size):
                p = self.run_bg("alarm", "pkS1", "camS", "wait", "--kind", "intelligent", "--timeout", "20")
                self.assertIsNotNone(_wait_line(p.stderr, "waiting for"))
                event = {"EventList": [{"AlarmType": 1, "AlarmPicID": key, "AlarmPicSize": size,
                                        "EventTime": "1765375200000", "Data": "test"}]}  # fmt: skip
                self.pub(DEV, "/thing/event/IntelligentAlarm/post", json.dumps(
                    {"id": "21", "version": "1.0", "method": "thing.event.IntelligentAlarm.post", "params": event}))
                out, err = p.communicate(timeout=20)
                self.assertEqual(p.returncode, code, out + err)
                self.assertEqual(kv(out)["event0_key"], key)


class StoreLifecycleTest(unittest.TestCase):
    def test_up_restarts_a_dead_store_on_its_port_and_down_stops_it(self):
        home = tempfile.mkdtemp(prefix="devcloud-store-life-")
        self.addCleanup(shutil.rmtree, home, True)
        self.addCleanup(devcloud, home, "down")
        first = kv(devcloud(home, "up", "--port", "0").stdout)
        pid = int(first["store_pid"])
        os.kill(pid, 9)
        self.assertTrue(wait_gone(pid))
        st = devcloud(home, "status")
        self.assertEqual((st.returncode, kv(st.stdout)["down"]), (1, "store"))
        again = kv(devcloud(home, "up").stdout)
        self.assertNotEqual(again["store_pid"], first["store_pid"])
        # Credentials and URLs already handed out name this port.
        self.assertEqual(again["store_port"], first["store_port"])
        self.assertEqual(devcloud(home, "down").stdout.strip(), "stopped")
        self.assertTrue(wait_gone(int(again["store_pid"])))


def _wait_line(stream, text, timeout=10.0):
    """Reads stream lines until one contains text (None at its end)."""
    import select

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([stream], [], [], deadline - time.monotonic())
        if not ready:
            return None
        line = stream.readline()
        if not line:
            return None
        if text in line:
            return line
    return None


if __name__ == "__main__":
    unittest.main()
