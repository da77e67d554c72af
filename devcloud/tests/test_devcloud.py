"""The local cloud against real peers: mosquitto, mosquitto_pub/_sub playing
the device, and the openssl command line."""

import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from helpers import (
    DEVCLOUD,
    Broker,
    DeviceSub,
    LineReader,
    alive,
    devcloud,
    devcloud_bg,
    kv,
    require_tools,
    wait_gone,
)

from devcloud_lib.platform import PlatformClient
from devcloud_lib.testing import LocalCloud, matching


def read(path):
    with open(path) as f:
        return f.read()


def setUpModule():
    require_tools()


def openssl_hmac_sha1(key, text):
    r = subprocess.run(
        ["openssl", "dgst", "-sha1", "-hmac", key],
        input=text,
        stdout=subprocess.PIPE,
        universal_newlines=True,
        check=True,
    )
    return r.stdout.strip().split()[-1]


A = ("pkA1", "camA", "secretA")
DEVICE_CLIENT_ID = ("pkA1.camA|securemode=2,_v=sdk-c-2.3.0,timestamp=2524608000000,"
                    "signmethod=hmacsha1,lan=C,gw=0,ext=0,pid=partner,mid=module|")  # fmt: skip
B = ("pkB2", "camB", "secretB")


def user(dev):
    return "%s&%s" % (dev[1], dev[0])


class RunningCloudTest(unittest.TestCase):
    """One cloud brought up on a fresh directory, two devices added after."""

    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix="devcloud-test-")
        r = devcloud(cls.home, "up", "--port", "0")
        if r.returncode != 0:
            raise AssertionError("up failed: %s%s" % (r.stdout, r.stderr))
        cls.up = kv(r.stdout)
        cls.broker = Broker(cls.up["port"], cls.up["ca"])
        cls.password = {}
        for dev in (A, B):
            r = devcloud(cls.home, "device", "add", *dev)
            if r.returncode != 0:
                raise AssertionError("device add failed: %s" % r.stderr)
            cls.password[dev] = kv(r.stdout)["password"]

    @classmethod
    def tearDownClass(cls):
        devcloud(cls.home, "down")
        shutil.rmtree(cls.home, ignore_errors=True)

    def platform(self):
        with open(os.path.join(self.home, "platform.json")) as f:
            rec = json.load(f)
        c = PlatformClient(
            "127.0.0.1", self.broker.port, self.broker.ca, rec["user"], rec["password"]
        ).connect()
        self.addCleanup(c.close)
        c.subscribe_devices()
        return c

    def device_sub(self, dev, filters):
        s = DeviceSub(self.broker, user(dev), self.password[dev], filters,
                      client_id="%s.%s|securemode=2,signmethod=hmacsha1|" % (dev[0], dev[1]))  # fmt: skip
        self.addCleanup(s.close)
        return s

    def pub(self, dev, topic, payload, **kw):
        return self.broker.pub(user(dev), self.password[dev], topic, payload, **kw)

    # ---- up ---------------------------------------------------------------

    def test_up_serves_tls_with_a_certificate_for_loopback(self):
        ca = self.up["ca"]
        self.assertTrue(os.path.isfile(ca))
        server = os.path.join(self.home, "server.pem")
        r = subprocess.run(["openssl", "x509", "-in", server, "-noout", "-ext", "subjectAltName"],
                           stdout=subprocess.PIPE, universal_newlines=True)  # fmt: skip
        self.assertIn("IP Address:127.0.0.1", r.stdout)
        self.assertIn("DNS:localhost", r.stdout)
        r = subprocess.run(
            ["openssl", "s_client", "-connect", "127.0.0.1:%s" % self.up["port"], "-CAfile", ca,
             "-verify_return_error", "-verify_hostname", "localhost", "-brief"],
            input="", stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
            timeout=20,
        )  # fmt: skip
        self.assertIn("Verification: OK", r.stdout)
        self.assertIn("TLSv1.2", subprocess.run(
            ["openssl", "s_client", "-connect", "127.0.0.1:%s" % self.up["port"], "-CAfile", ca,
             "-tls1_2", "-brief"], input="", stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            universal_newlines=True, timeout=20).stdout)  # fmt: skip

    def test_up_again_reports_the_running_cloud(self):
        r = devcloud(self.home, "up")
        self.assertEqual(r.returncode, 0, r.stderr)
        again = kv(r.stdout)
        for key in ("port", "ca", "broker_pid", "agent_pid"):
            self.assertEqual(again[key], self.up[key], key)
        other = str(int(self.up["port"]) + 1 if int(self.up["port"]) < 65535 else 1024)
        r = devcloud(self.home, "up", "--port", other)
        self.assertEqual(r.returncode, 1)
        self.assertIn("already running", r.stderr)
        self.assertEqual(devcloud(self.home, "ca-path").stdout.strip(), self.up["ca"])

    # ---- login --------------------------------------------------------------

    def test_password_is_the_signature_of_the_identity(self):
        expected = openssl_hmac_sha1(
            "secretA", "clientIdpkA1.camAdeviceNamecamAproductKeypkA1timestamp2524608000000"
        )
        self.assertEqual(self.password[A], expected)

    def test_login_needs_the_device_credentials(self):
        topic = "/sys/pkA1/camA/thing/event/property/post"
        cases = [
            ("right credentials", dict(user="camA&pkA1", password=self.password[A]), True),
            ("the device's own client id", dict(user="camA&pkA1", password=self.password[A],
                                                client_id=DEVICE_CLIENT_ID), True),
            ("wrong password", dict(user="camA&pkA1", password="0" * 40), False),
            ("other device's password", dict(user="camA&pkA1", password=self.password[B]), False),
            ("user name the wrong way round", dict(user="pkA1&camA", password=self.password[A]), False),
            ("anonymous", dict(user=None, password=None), False),
            ("plain TCP", dict(user="camA&pkA1", password=self.password[A], tls=False), False),
        ]
        for name, creds, ok in cases:
            with self.subTest(name):
                u, p = creds.pop("user"), creds.pop("password")
                r = self.broker.pub(u, p, topic, "{}", **creds)
                self.assertEqual(r.returncode == 0, ok, r.stderr)

    def test_device_changes_take_effect_without_restart(self):
        home = self.home
        pid = self.up["broker_pid"]
        dev = ("pkC3", "camC")
        first = kv(devcloud(home, "device", "add", *dev, "one").stdout)["password"]
        topic = "/sys/pkC3/camC/thing/event/property/post"
        self.assertEqual(self.broker.pub("camC&pkC3", first, topic, "{}").returncode, 0)
        second = kv(devcloud(home, "device", "add", *dev, "two").stdout)["password"]
        self.assertNotEqual(self.broker.pub("camC&pkC3", first, topic, "{}").returncode, 0)
        self.assertEqual(self.broker.pub("camC&pkC3", second, topic, "{}").returncode, 0)
        self.assertIn("pkC3 camC", devcloud(home, "device", "list").stdout.splitlines())
        r = devcloud(home, "device", "remove", *dev)
        self.assertEqual(r.returncode, 0, r.stderr)
        # The removal is asynchronous in the broker; wait for it to bite.
        deadline = time.monotonic() + 5
        while self.broker.pub("camC&pkC3", second, topic, "{}").returncode == 0:
            self.assertLess(time.monotonic(), deadline, "removed device still logs in")
            time.sleep(0.1)
        self.assertEqual(kv(devcloud(home, "status").stdout)["broker_pid"], pid)

    def test_bad_identities_are_refused(self):
        cases = [
            ("slash in product key", ["pk/1", "dn", "s"], "product key"),
            ("wildcard in device name", ["pk", "dn+", "s"], "device name"),
            ("ampersand in device name", ["pk", "a&b", "s"], "device name"),
            ("colon in product key", ["pk:1", "dn", "s"], "product key"),
            ("product key too long", ["p" * 21, "dn", "s"], "longer than 20"),
            ("device name too long", ["pk", "d" * 33, "s"], "longer than 32"),
            ("secret too long", ["pk", "dn", "s" * 65], "longer than 64"),
            ("blank in secret", ["pk", "dn", "a b"], "secret"),
            ("empty secret", ["pk", "dn", ""], "secret"),
        ]
        for name, args, message in cases:
            with self.subTest(name):
                r = devcloud(self.home, "device", "add", *args)
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr)
        listed = devcloud(self.home, "device", "list").stdout.split()
        self.assertNotIn("pk", listed)

    # ---- ACL ---------------------------------------------------------------

    def test_device_may_send_on_its_upstream_topics(self):
        p = self.platform()
        topics = [
            "/sys/pkA1/camA/thing/event/property/post",
            "/sys/pkA1/camA/thing/event/AlarmEvent/post",
            "/sys/pkA1/camA/thing/service/StartPushStreaming_reply",
            "/sys/pkA1/camA/thing/service/property/set_reply",
            "/sys/pkA1/camA/rrpc/response/42",
            "/sys/pkA1/camA/_thing/event/notify_reply",
            "/sys/pkA1/camA/thing/status/update",
            "/sys/pkA1/camA/vision/biz/dev/monitor/upstream",
            "/sys/pkA1/camA/vision/biz/dev/core/ability/upstream",
            "/sys/pkA1/camA/vision/p2p/dev/ability/upstream",
            "/sys/pkA1/camA/vision/biz/event/upstream",
            "/sys/pkA1/camA/vision/pic/kiv/upstream",
            "/ext/ntp/pkA1/camA/request",
            "/ota/device/inform/pkA1/camA",
        ]
        for t in topics:
            self.assertEqual(self.pub(A, t, '{"id":"1"}').returncode, 0, t)
        for t in topics:
            with self.subTest(t):
                self.assertIsNotNone(p.wait_for(lambda m: m.topic == t, 5))

    def test_device_receives_its_downstream_topics(self):
        base = "/sys/pkA1/camA/"
        filters = [base + s for s in (
            "thing/model/down_raw", "thing/model/up_raw_reply", "thing/service/property/set",
            "thing/service/+", "vision/+/+/+/downstream", "vision/+/+/+/invoke",
            "vision/+/+/downstream", "vision/+/+/invoke", "thing/event/+/post_reply",
            "thing/deviceinfo/update_reply", "thing/deviceinfo/delete_reply",
            "thing/dynamicTsl/get_reply", "rrpc/request/+", "_thing/event/notify")]  # fmt: skip
        filters += ["/ext/ntp/pkA1/camA/response", "/ext/error/pkA1/camA"]
        sub = self.device_sub(A, filters)
        p = self.platform()
        sent = [f.replace("+", "x") for f in filters]
        for t in sent:
            p.publish(t, "{}")
        got = []
        for _ in sent:
            m = sub.next(5)
            if m is None:
                break
            got.append(m[0])
        # The agent answers nothing here, so exactly the platform's messages arrive.
        self.assertEqual(sorted(got), sorted(sent))

    def test_device_is_confined_to_its_own_topics(self):
        p = self.platform()
        b_calls = self.device_sub(B, ["/sys/pkB2/camB/thing/service/+"])
        a_spy = self.device_sub(A, ["#", "/sys/pkB2/camB/thing/service/+"])
        forbidden = [
            "/sys/pkB2/camB/thing/event/property/post",  # B's upstream
            "/sys/pkB2/camB/thing/service/StartPushStreaming",  # platform -> B
            "/ext/ntp/pkB2/camB/request",
            "/sys/pkA1/other/thing/event/property/post",
            "/elsewhere",
        ]
        start = p.mark()
        for t in forbidden:
            self.assertEqual(self.pub(A, t, "{}").returncode, 0)  # refused silently
        marker = "/sys/pkA1/camA/thing/event/property/post"
        self.assertEqual(self.pub(A, marker, '{"id":"marker"}').returncode, 0)
        # Messages of one connection arrive in order: once the marker is
        # here, anything let through would be here too.
        self.assertIsNotNone(p.wait_for(lambda m: m.topic == marker, 5, after=start))
        passed = [m.topic for m in p.messages(start) if m.topic in forbidden]
        self.assertEqual(passed, [])
        self.assertIsNone(b_calls.next(0.3))
        # A subscribing to everything sees none of B's traffic.
        p.publish("/sys/pkB2/camB/thing/service/Probe", "{}")
        self.assertEqual(b_calls.next(5)[0], "/sys/pkB2/camB/thing/service/Probe")
        leaked = a_spy.next(0.5)
        while leaked is not None and "pkB2" not in leaked[0]:
            leaked = a_spy.next(0.5)
        self.assertIsNone(leaked)
        self.assertIn("Denied PUBLISH", read(os.path.join(self.home, "mosquitto.log")))

    # ---- platform commands ----------------------------------------------------

    def test_platform_requests_round_trip(self):
        base = "/sys/pkA1/camA/"
        service_reply = lambda req, rid: (base + "thing/service/StartPushStreaming_reply",
                                          '{"id":"%s","code":200,"data":{"ok":1}}' % req["id"])  # fmt: skip
        sdk_reply = lambda req, rid: (base + "rrpc/response/" + req["id"],
                                      '{"id":"1000001","code":200,"data":{"ok":1}}')  # fmt: skip
        rrpc_reply = lambda req, rid: (base + "rrpc/response/" + rid,
                                       '{"id":"%s","code":200,"data":{"ok":1}}' % req["id"])  # fmt: skip
        set_reply = lambda req, rid: (base + "thing/service/property/set_reply",
                                      '{"id":"%s","code":200,"data":{"ok":1}}' % req["id"])  # fmt: skip
        stale_reply = lambda req, rid: (base + "thing/service/StartPushStreaming_reply",
                                        '{"id":"1","code":200,"data":{"ok":1}}')  # fmt: skip
        push = '{"PushUrl":"rtmp://127.0.0.1/live/x","StreamType":0}'
        cases = [
            # name, command, request topic pattern, method, reply, exit code
            ("call answered on the service reply topic",
             ["call", "pkA1", "camA", "StartPushStreaming", push],
             r"thing/service/StartPushStreaming", "thing.service.StartPushStreaming", service_reply, 0),
            ("call answered by the SDK on rrpc/response/<id>",
             ["call", "pkA1", "camA", "StartPushStreaming", push],
             r"thing/service/StartPushStreaming", "thing.service.StartPushStreaming", sdk_reply, 0),
            ("rrpc", ["rrpc", "pkA1", "camA", "QueryRecordList", push],
             r"rrpc/request/(\d+)", "thing.service.QueryRecordList", rrpc_reply, 0),
            ("property set", ["set", "pkA1", "camA", '{"Brightness":5}'],
             r"thing/service/property/set", "thing.service.property.set", set_reply, 0),
            ("reply to another request is not taken",
             ["call", "pkA1", "camA", "StartPushStreaming", push, "--timeout", "1"],
             r"thing/service/StartPushStreaming", "thing.service.StartPushStreaming", stale_reply, 3),
        ]  # fmt: skip
        sub = self.device_sub(A, [base + "thing/service/+", base + "thing/service/property/set",
                                  base + "rrpc/request/+"])  # fmt: skip
        for name, cmd, pattern, method, reply, code in cases:
            with self.subTest(name):
                proc = devcloud_bg(self.home, *cmd)
                try:
                    got = sub.next_request(10)
                    self.assertIsNotNone(got, "no request reached the device")
                    topic, payload = got
                    m = re.fullmatch(re.escape(base) + pattern, topic)
                    self.assertIsNotNone(m, topic)
                    req = json.loads(payload)
                    self.assertEqual(req["method"], method)
                    self.assertEqual(req["version"], "1.0")
                    self.assertEqual(req["params"], json.loads(cmd[4 if cmd[0] != "set" else 3]))
                    self.assertRegex(req["id"], r"^\d+$")
                    rtopic, rbody = reply(req, m.group(1) if m.groups() else None)
                    self.assertEqual(self.pub(A, rtopic, rbody).returncode, 0)
                    out, err = proc.communicate(timeout=15)
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.communicate()
                self.assertEqual(proc.returncode, code, err)
                if code == 0:
                    self.assertEqual(json.loads(out), json.loads(rbody))
                else:
                    self.assertIn("no reply", err)

    def test_send_delivers_the_payload_unchanged(self):
        base = "/sys/pkA1/camA"
        sub = self.device_sub(A, [base + "/vision/+/+/downstream"])
        payload = '{"id": "7","params":{"single":-1,"batch":5}}'
        for suffix in ("/vision/biz/event/downstream", "vision/pic/kiv/downstream"):
            with self.subTest(suffix):
                r = devcloud(self.home, "send", "pkA1", "camA", suffix, payload)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(sub.next(5), (base + "/" + suffix.lstrip("/"), payload))
        bad = [
            (["send", "pkA1", "camA", "/vision/+/x", "{}"], 2, "must not contain"),
            (["send", "pkA1", "camA", "/vision/x/downstream", "{oops"], 2, "not valid JSON"),
            (["send", "pkZ", "camZ", "/vision/x/downstream", "{}"], 1, "not registered"),
            (["call", "pkA1", "camA", "a/b", "{}"], 2, "service name"),
            (["set", "pkA1", "camA", "[1,"], 2, "not valid JSON"),
        ]
        for args, code, message in bad:
            with self.subTest(" ".join(args)):
                r = devcloud(self.home, *args)
                self.assertEqual(r.returncode, code, r.stderr)
                self.assertIn(message, r.stderr)

    def test_bodies_come_from_a_file_or_standard_input(self):
        base = "/sys/pkA1/camA"
        sub = self.device_sub(A, [base + "/vision/+/+/downstream"])
        # Longer than one command-line argument may be.
        payload = '{"params":{"blob":"%s"}}' % ("x" * 200000)
        path = os.path.join(self.home, "body.json")
        with open(path, "w") as f:
            f.write(payload)
        suffix = "/vision/biz/event/downstream"
        self.assertEqual(devcloud(self.home, "send", "pkA1", "camA", suffix, "@" + path).returncode, 0)
        self.assertEqual(sub.next(5), (base + suffix, payload))
        r = subprocess.run(["/usr/bin/python3", DEVCLOUD, "--home", self.home, "send", "pkA1", "camA", suffix, "-"],
                           input=payload, universal_newlines=True, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=30)  # fmt: skip
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sub.next(5), (base + suffix, payload))
        r = devcloud(self.home, "call", "pkA1", "camA", "S", "@" + path + ".missing")
        self.assertEqual(r.returncode, 2)
        self.assertIn("cannot read params", r.stderr)

    def test_deeply_nested_json_stops_neither_watch_nor_agent(self):
        deep = "[" * 20000 + "]" * 20000
        w = devcloud_bg(self.home, "watch", "pkA1", "camA", "--count", "2", "--timeout", "20", "--no-broker")
        self.addCleanup(lambda: w.poll() is None and w.kill())
        err = LineReader(w.stderr)
        self.assertIsNotNone(err.wait(lambda l: "watching pkA1/camA" in l, 10), err.seen)
        sub = self.device_sub(A, ["/ext/ntp/pkA1/camA/response"])
        self.assertEqual(self.pub(A, "/sys/pkA1/camA/thing/event/property/post", deep).returncode, 0)
        self.assertEqual(self.pub(A, "/ext/ntp/pkA1/camA/request", deep).returncode, 0)
        self.assertEqual(self.pub(A, "/ext/ntp/pkA1/camA/request", '{"deviceSendTime":"5"}').returncode, 0)
        got = sub.next(5)
        self.assertIsNotNone(got, "the agent stopped answering")
        self.assertEqual(json.loads(got[1])["deviceSendTime"], "5")
        out, _ = w.communicate(timeout=30)
        self.assertEqual(w.returncode, 0)
        self.assertIn("!! not JSON (or nested deeper than", out.splitlines()[0])

    def test_time_request_is_answered(self):
        sub = self.device_sub(A, ["/ext/ntp/pkA1/camA/response"])
        before = int(time.time() * 1000)
        self.assertEqual(self.pub(A, "/ext/ntp/pkA1/camA/request",
                                  '{"deviceSendTime":"1234"}').returncode, 0)  # fmt: skip
        got = sub.next(5)
        after = int(time.time() * 1000)
        self.assertIsNotNone(got, "no time response")
        body = json.loads(got[1])
        self.assertEqual(body["deviceSendTime"], "1234")
        self.assertTrue(before <= int(body["utc"]) <= after, body)
        # A request that is not JSON gets no answer but a log line.
        self.assertEqual(self.pub(A, "/ext/ntp/pkA1/camA/request", "garbage").returncode, 0)
        self.assertIsNone(sub.next(1))
        self.assertIn("not a JSON object", read(os.path.join(self.home, "agent.log")))

    def test_watch_shows_each_upstream_message_on_one_line(self):
        w = devcloud_bg(self.home, "watch", "pkA1", "camA", "--count", "5", "--timeout", "20")
        self.addCleanup(lambda: w.poll() is None and w.kill())
        err = LineReader(w.stderr)
        self.assertIsNotNone(err.wait(lambda l: "watching pkA1/camA" in l, 10), err.seen)
        sent = [
            ("/sys/pkB2/camB/thing/event/property/post", '{"id":"9"}', B),  # other device
            ("/sys/pkA1/camA/vision/biz/dev/monitor/upstream",
             '{"version":"1.0","method":"IpcNvrSDKVersion","params":{"version":"2.1.2_x","pic":"kiv"}}', A),
            ("/sys/pkA1/camA/thing/event/property/post",
             '{"id":"1000002","version":"1.0","params":{"PreRecordSupport":1},'
             '"method":"thing.event.property.post"}', A),
            ("/sys/pkA1/camA/thing/event/AlarmEvent/post",
             '{"id":"1000003","version":"1.0","params":{},"method":"thing.event.Other.post"}', A),
            ("/sys/pkA1/camA/vision/pic/kiv/upstream", "not json", A),
            ("/sys/pkB2/camB/vision/biz/event/upstream", "{}", A),  # denied
        ]  # fmt: skip
        for topic, payload, dev in sent:
            self.assertEqual(self.pub(dev, topic, payload).returncode, 0)
        out, _ = w.communicate(timeout=30)
        self.assertEqual(w.returncode, 0)
        lines = out.splitlines()
        expect = [
            ["UP", "pkA1/camA sdk /vision/biz/dev/monitor/upstream", "method=IpcNvrSDKVersion",
             'params={"version":"2.1.2_x","pic":"kiv"}'],
            ["pkA1/camA property.post", "id=1000002", 'params={"PreRecordSupport":1}'],
            ["event.post AlarmEvent", "!! method should be thing.event.AlarmEvent.post"],
            ["/vision/pic/kiv/upstream", "!! not JSON"],
            ["BROKER camA&pkA1 DENIED publish topic=/sys/pkB2/camB/vision/biz/event/upstream"],
        ]  # fmt: skip
        self.assertEqual(len(lines), len(expect), lines)
        for pieces in expect:
            with self.subTest(pieces[0]):
                self.assertTrue(any(all(p in l for p in pieces) for l in lines), lines)
        self.assertFalse(any(" pkB2/camB " in l for l in lines), lines)

    def test_watch_until_and_time_out(self):
        w = devcloud_bg(self.home, "watch", "--json", "--until", "IpcNvrSDKVersion", "--timeout", "20")
        err = LineReader(w.stderr)
        self.assertIsNotNone(err.wait(lambda l: "watching all devices" in l, 10), err.seen)
        self.pub(B, "/sys/pkB2/camB/vision/biz/dev/monitor/upstream",
                 '{"version":"1.0","method":"IpcNvrSDKVersion","params":{}}')  # fmt: skip
        out, _ = w.communicate(timeout=30)
        self.assertEqual(w.returncode, 0)
        rec = json.loads(out.splitlines()[-1])
        self.assertEqual((rec["pk"], rec["dn"], rec["kind"]), ("pkB2", "camB", "sdk"))
        self.assertEqual(rec["payload"]["method"], "IpcNvrSDKVersion")
        r = devcloud(self.home, "watch", "--until", "never-sent", "--timeout", "1")
        self.assertEqual(r.returncode, 3)
        self.assertIn("time-out", r.stderr)


class LibraryTest(unittest.TestCase):
    def test_local_cloud_call_and_wait_for(self):
        with LocalCloud() as cloud:
            home = cloud.home
            pids = [cloud.cloud.broker_pid(), cloud.cloud.agent_pid()]
            dev = cloud.add_device("pkL", "camL", "s3cret")
            device = PlatformClient("127.0.0.1", cloud.port, cloud.ca, dev.user, dev.password,
                                    client_id="pkL.camL|securemode=2|").connect()  # fmt: skip
            self.addCleanup(device.close)
            device.subscribe("/sys/pkL/camL/thing/service/+")

            def answer():
                m = device.next_message(0, 10)
                if m is not None:
                    device.publish("/sys/pkL/camL/rrpc/response/%s" % m.id,
                                   '{"id":"1000001","code":200,"data":{"svc":1}}')  # fmt: skip

            t = threading.Thread(target=answer)
            t.start()
            reply = cloud.call("pkL", "camL", "TriggerPicCapture", {}, timeout=10)
            t.join()
            self.assertIsNotNone(reply)
            self.assertEqual(reply.json()["data"], {"svc": 1})
            device.publish("/sys/pkL/camL/vision/biz/dev/monitor/upstream",
                           '{"version":"1.0","method":"IpcNvrSDKVersion","params":{}}')  # fmt: skip
            m = cloud.wait_for(matching(pk="pkL", method="IpcNvrSDKVersion"), 5)
            self.assertIsNotNone(m)
            self.assertEqual(m.kind.name, "/vision/biz/dev/monitor/upstream")
            self.assertIsNone(cloud.wait_for(matching(pk="pkL", kind="property.post"), 0.2))
        for pid in pids:
            self.assertTrue(wait_gone(pid), pid)
        self.assertFalse(os.path.exists(home))


class LifecycleTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="devcloud-life-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.addCleanup(devcloud, self.home, "down")

    def test_down_leaves_no_process_and_up_comes_back_with_its_state(self):
        r = devcloud(self.home, "up", "--port", "0")
        self.assertEqual(r.returncode, 0, r.stderr)
        first = kv(r.stdout)
        ca = read(first["ca"])
        devcloud(self.home, "device", "add", "pkD", "camD", "sd")
        pids = [int(first["broker_pid"]), int(first["agent_pid"])]
        self.assertTrue(all(alive(p) for p in pids))
        r = devcloud(self.home, "down")
        self.assertEqual((r.returncode, r.stdout.strip()), (0, "stopped"))
        for pid in pids:
            self.assertFalse(alive(pid), pid)
        with socket.socket() as s:
            self.assertNotEqual(s.connect_ex(("127.0.0.1", int(first["port"]))), 0)
        self.assertEqual(devcloud(self.home, "status").returncode, 1)
        r = devcloud(self.home, "down")
        self.assertEqual((r.returncode, r.stdout.strip()), (0, "not running"))
        # Up again: the same trust anchor and devices.
        r = devcloud(self.home, "up", "--port", "0")
        self.assertEqual(r.returncode, 0, r.stderr)
        second = kv(r.stdout)
        self.assertEqual(read(second["ca"]), ca)
        broker = Broker(second["port"], second["ca"])
        from devcloud_lib.identity import password

        r = broker.pub("camD&pkD", password("pkD", "camD", "sd"),
                       "/sys/pkD/camD/thing/event/property/post", "{}")  # fmt: skip
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_up_heals_a_cloud_whose_process_died(self):
        first = kv(devcloud(self.home, "up", "--port", "0").stdout)
        for dead in ("agent_pid", "broker_pid"):
            with self.subTest(dead):
                before = kv(devcloud(self.home, "status").stdout)
                os.kill(int(before[dead]), 9)
                self.assertTrue(wait_gone(int(before[dead])))
                st = devcloud(self.home, "status")
                self.assertEqual(st.returncode, 1)
                after = kv(devcloud(self.home, "up", "--port", "0").stdout)
                self.assertEqual(kv(devcloud(self.home, "status").stdout)["state"], "running")
                self.assertNotEqual(after[dead], before[dead])
                if dead == "broker_pid":
                    # The old agent does not linger next to the new one.
                    self.assertFalse(alive(int(before["agent_pid"])))
                else:
                    self.assertEqual(after["broker_pid"], before["broker_pid"])
        self.assertEqual(after["ca"], first["ca"])

    def test_commands_need_a_running_cloud(self):
        self.assertEqual(devcloud(self.home, "ca-path").returncode, 1)
        devcloud(self.home, "device", "add", "pkE", "camE", "s")
        cases = [
            ["call", "pkE", "camE", "S", "{}"],
            ["set", "pkE", "camE", "{}"],
            ["send", "pkE", "camE", "/vision/x/y/downstream", "{}"],
            ["watch", "--timeout", "1"],
        ]
        for args in cases:
            with self.subTest(args[0]):
                r = devcloud(self.home, *args)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("not running", r.stderr)

    def test_up_on_a_busy_port_fails_and_leaves_nothing(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            s.listen(1)
            port = s.getsockname()[1]
            r = devcloud(self.home, "up", "--port", str(port))
            self.assertEqual(r.returncode, 1)
            self.assertIn("in use", r.stderr)
        st = kv(devcloud(self.home, "status").stdout)
        self.assertEqual((st["broker_pid"], st["agent_pid"]), ("", ""))

    def test_down_never_kills_a_stranger_named_in_a_stale_pid_file(self):
        stranger = subprocess.Popen(["sleep", "30"])
        self.addCleanup(stranger.wait)
        self.addCleanup(stranger.kill)
        for name in ("mosquitto.pid", "agent.pid"):
            with open(os.path.join(self.home, name), "w") as f:
                f.write("%d\n" % stranger.pid)
        r = devcloud(self.home, "down")
        self.assertEqual((r.returncode, r.stdout.strip()), (0, "not running"))
        self.assertIsNone(stranger.poll())


if __name__ == "__main__":
    unittest.main()
