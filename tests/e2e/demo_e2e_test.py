"""End to end: a local cloud (Mosquitto over TLS plus the platform agent),
the kestrel_demo program logged in as one camera, and a platform client that
sees every device message and sends the platform's requests.

Paths come from the environment (set by CMake): KESTREL_DEMO (the program),
DEVCLOUD_DIR (the local cloud's package), KESTREL_MEDIA (sample media).
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest


def _required_env(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError("%s is not set: run this test through ctest" % name)
    return value


DEMO = _required_env("KESTREL_DEMO")
sys.path.insert(0, _required_env("DEVCLOUD_DIR"))
MEDIA = _required_env("KESTREL_MEDIA")

from devcloud_lib.testing import LocalCloud  # noqa: E402

PK = "e2eDemoPK"
DN = "camera01"
DS = "e2eDeviceSecret0123456789abcdef"
PREFIX = "/sys/%s/%s" % (PK, DN)

ONLINE_WITHIN_S = 5.0
NO_REPLY_WINDOW_S = 1.5
STOP_WITHIN_S = 15.0

# The camera's property table, as reported at start (name order).
CAMERA_PROPERTIES = (
    '{"AlarmFrequencyLevel":0,"AlarmSwitch":0,"DayNightMode":0,"EncryptSwitch":0,'
    '"ImageFlipState":0,"MicSwitch":0,"MotionDetectSensitivity":0,"SpeakerSwitch":0,'
    '"StatusLightSwitch":0,"StorageRecordMode":0,"StorageRemainCapacity":64.12,'
    '"StorageStatus":1,"StorageTotalCapacity":128.000,"StreamVideoQuality":0,'
    '"SubStreamVideoQuality":0,"VoiceDetectionSensitivity":0}'
)


def property_post(params):
    return re.compile(
        r'\{"id":"\d+","version":"1\.0","params":'
        + re.escape(params)
        + r',"method":"thing\.event\.property\.post"\}\Z'
    )


# What the device must send on coming online: topic -> exact payload.
ONLINE_REPORTS = [
    (
        PREFIX + "/vision/biz/dev/monitor/upstream",
        re.compile(
            r'\{"version":"1\.0","method":"IpcNvrSDKVersion","params":\{"version":'
            r'"\d+\.\d+\.\d+_[0-9a-f]+_[0-9a-f]+_[0-9a-f]+_\d{14}_[^"]+","pic":"kiv"\}\}\Z'
        ),
    ),
    (
        PREFIX + "/thing/event/property/post",
        property_post('{"UploadPictureType":1,"EncryptTypeList":[0],"PreRecordSupport":0}'),
    ),
    (
        PREFIX + "/vision/biz/dev/core/ability/upstream",
        re.compile(
            re.escape('{"version":"1.0","params":{"domainNameSupport": true,"preRecordSupport":false}}')
            + r"\Z"
        ),
    ),
    (
        PREFIX + "/vision/p2p/dev/ability/upstream",
        re.compile(re.escape('{"version":"1.0","params":{"p2pPreConnect":true}}') + r"\Z"),
    ),
    (PREFIX + "/thing/event/property/post", property_post(CAMERA_PROPERTIES)),
]


class DemoProcess(object):
    """kestrel_demo with its standard output collected line by line."""

    def __init__(self, args, cwd):
        self.lines = []
        self._cond = threading.Condition()
        self.started_wall = time.time()
        self.proc = subprocess.Popen(
            [DEMO] + args,
            cwd=cwd,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL,
        )
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self._cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def mark(self):
        with self._cond:
            return len(self.lines)

    def wait_line(self, text, timeout, after=0):
        """The first output line (from position after) containing text, or None."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self.lines[after:]:
                    if text in line:
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self._reader.is_alive()):
                    return None
                self._cond.wait(min(left, 0.2))

    def output(self):
        with self._cond:
            return "\n".join(self.lines)

    def stop(self, timeout):
        """SIGTERM, then the exit code; SIGKILL (and None) when it hangs."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            code = None
        self._reader.join(5)
        return code


class DemoEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="kestrel-e2e-")
        cls.cloud = LocalCloud().start()
        try:
            cls.cloud.add_device(PK, DN, DS)
            args = ["-p", PK, "-n", DN, "-s", DS, "-l", "5", "-H", cls.cloud.host,
                    "-P", str(cls.cloud.port), "-C", cls.cloud.ca, "-m", MEDIA]  # fmt: skip
            cls.demo = DemoProcess(args, cls.workdir)
        except BaseException:
            cls.cloud.stop()
            shutil.rmtree(cls.workdir, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        code = cls.demo.stop(STOP_WITHIN_S)
        cls.cloud.stop()
        shutil.rmtree(cls.workdir, ignore_errors=True)
        if code != 0 or cls.demo.wait_line("Stopped", 0) is None:
            raise AssertionError(
                "kestrel_demo did not stop cleanly on SIGTERM (exit %r); output:\n%s"
                % (code, cls.demo.output()[-4000:])
            )

    def setUp(self):
        self.assertIsNone(self.demo.proc.poll(), "kestrel_demo ended:\n" + self.demo.output()[-4000:])
        self.online()

    # helpers

    _online = False
    early_set = None  # (platform mark before the set, the set reply)

    def online(self):
        """Waits (once) until the device has sent every online report, each
        within ONLINE_WITHIN_S of the demo's start. The moment the version
        report arrives the platform sets a property: the device must be able
        to serve it from its very first online moment."""
        if DemoEndToEnd._online:
            return
        version_topic, version_payload = ONLINE_REPORTS[0]
        first = self.cloud.wait_for(
            lambda m: m.topic == version_topic and version_payload.match(m.text),
            ONLINE_WITHIN_S + 10,
        )
        if first is not None:
            at = self.cloud.mark()
            DemoEndToEnd.early_set = (at, self.cloud.set_property(PK, DN, {"MicSwitch": 1}))
        seen = []
        for topic, payload in ONLINE_REPORTS:

            def pred(m, topic=topic, payload=payload):
                return m.topic == topic and payload.match(m.text) and m not in seen

            m = self.cloud.wait_for(pred, 0 if first is None else 5)
            if m is None or m.time - self.demo.started_wall > ONLINE_WITHIN_S:
                got = "\n".join("%.3f %s %s" % (x.time - self.demo.started_wall, x.topic, x.text)
                                for x in self.cloud.messages())  # fmt: skip
                self.fail(
                    "no %s matching %s within %.0f s of start; the platform got:\n%s\n"
                    "demo output:\n%s"
                    % (topic, payload.pattern, ONLINE_WITHIN_S, got, self.demo.output()[-3000:])
                )
            seen.append(m)
        DemoEndToEnd._online = True

    def call_without_reply(self, service, params):
        """A service call that must arrive at the demo and get no answer."""
        at = self.demo.mark()
        reply = self.cloud.call(PK, DN, service, params, timeout=NO_REPLY_WINDOW_S)
        line = self.demo.wait_line("Service ID: %s," % service, 5, at)
        self.assertIsNotNone(line, "the demo never saw the %s call" % service)
        self.assertIsNone(reply, "%s got a reply: %s" % (service, reply and reply.text))
        return at

    # tests

    def test_online_with_version_property_and_ability_reports(self):
        # online() has checked topics and payloads; the version report names the
        # device once only.
        versions = [m for m in self.cloud.messages() if "IpcNvrSDKVersion" in m.text]
        self.assertEqual(1, len(versions))

    def test_property_set_at_once_after_connect_is_applied_and_answered(self):
        start, reply = self.early_set
        self.assertIsNotNone(reply, "no property set reply")
        self.assertEqual(200, reply.json().get("code"), reply.text)
        post = self.cloud.wait_for(
            lambda m: m.topic == PREFIX + "/thing/event/property/post"
            and property_post('{"MicSwitch":1}').match(m.text),
            5,
            after=start,
        )
        self.assertIsNotNone(post, "no property post of MicSwitch 1:\n" + self.demo.output()[-3000:])

    def test_ptz_action_prints_its_line_without_reply(self):
        at = self.call_without_reply("PTZActionControl", {"ActionType": 1, "Step": 5})
        self.assertIsNotNone(self.demo.wait_line("PTZActionControl 1 5", 5, at))

    def test_start_vod_by_time_reaches_the_sdk(self):
        params = {"BeginTime": 1700000000, "EndTime": 1700000060, "SeekTime": 0}
        at = self.demo.mark()
        self.cloud.call(PK, DN, "StartVodByTime", params, timeout=0.1)
        text = json.dumps(params, separators=(",", ":"))
        line = self.demo.wait_line("Dev id = 0, key = StartVodByTime, value = " + text, 5, at)
        self.assertIsNotNone(line, "the SDK's intake never logged the call:\n" + self.demo.output()[-3000:])

    def test_unknown_service_gets_no_reply(self):
        self.call_without_reply("Reboot", {})

    def test_malformed_requests_leave_the_device_working(self):
        at = self.demo.mark()
        self.call_without_reply("PTZActionControl", {"ActionType": "left"})
        self.assertIsNotNone(self.demo.wait_line("JSON Parse Error", 5, at))
        # Bodies that are not JSON, on the property, service and SDK topics.
        for suffix in ("/thing/service/property/set", "/thing/service/PTZActionControl",
                       "/vision/biz/event/downstream", "/vision/biz/dev/SendMessageToDev/invoke"):  # fmt: skip
            self.cloud.send(PK, DN, suffix, "\x00{not json")
        self.cloud.send(PK, DN, "/vision/biz/event/downstream", "")
        # A property value that is not a number is stored as JSON text, so the
        # report stays valid JSON.
        start = self.cloud.mark()
        reply = self.cloud.set_property(PK, DN, {"DayNightMode": "auto"})
        self.assertIsNotNone(reply)
        post = self.cloud.wait_for(
            lambda m: m.topic == PREFIX + "/thing/event/property/post" and "DayNightMode" in m.text,
            5,
            after=start,
        )
        self.assertIsNotNone(post)
        self.assertEqual({"DayNightMode": "auto"}, post.json()["params"])
        self.assertIsNone(self.demo.proc.poll(), "kestrel_demo ended:\n" + self.demo.output()[-3000:])


if __name__ == "__main__":
    unittest.main(verbosity=2)
