"""End to end streams: the kestrel_demo camera against a local cloud with its
relays (nginx with the RTMP module, and devcloud's own relay for the private
handshake, playback control and completion). The platform starts streams with
the devcloud console; the recordings are judged with ffprobe and ffmpeg.

Paths come from the environment (set by CMake): KESTREL_DEMO, DEVCLOUD_DIR,
KESTREL_MEDIA.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo_e2e_test import DEMO, MEDIA, DemoProcess  # noqa: E402

from devcloud_lib.testing import LocalCloud  # noqa: E402

PK = "e2eStreamPK"
DN = "camera02"
DS = "c2VjcmV0LWtleS0xMjM0"
DEVCLOUD = os.path.join(os.environ["DEVCLOUD_DIR"], "devcloud")
MONITOR = "/sys/%s/%s/vision/biz/dev/monitor/upstream" % (PK, DN)
# The sample playback file: 24 s, 600 video frames.
VOD_FILE = os.path.join(MEDIA, "avc_aac_500k")
VOD_FRAMES = 600


def fields(text):
    out = {}
    for line in text.splitlines():
        # "relay_frames=N relay_audio_frames=M" shares a line; a URL holds "=" too.
        pieces = line.split(" ") if line.startswith("relay_frames=") else [line]
        for piece in pieces:
            k, sep, v = piece.partition("=")
            if sep:
                out.setdefault(k, v)
    return out


def decode_errors(path):
    r = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)  # fmt: skip
    return r.returncode, r.stdout.decode("utf-8", "replace")


def video_pts(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                        "packet=pts_time", "-of", "csv=p=0", path],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)  # fmt: skip
    return [float(x.strip(",")) for x in r.stdout.decode().split() if x.strip(",")]


class DemoStreams(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="kestrel-streams-")
        cls.cloud = LocalCloud().start()
        try:
            cls.cloud.add_device(PK, DN, DS)
            args = ["-p", PK, "-n", DN, "-s", DS, "-l", "4", "-H", cls.cloud.host,
                    "-P", str(cls.cloud.port), "-C", cls.cloud.ca, "-m", MEDIA]  # fmt: skip
            cls.demo = DemoProcess(args, cls.workdir)
            online = cls.cloud.wait_for(lambda m: "IpcNvrSDKVersion" in m.text, 20)
            if online is None:
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
        env = dict(os.environ, DEVCLOUD_HOME=self.cloud.home)
        r = subprocess.run([sys.executable, DEVCLOUD] + list(args), env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=180)  # fmt: skip
        text = r.stdout.decode("utf-8", "replace")
        self.assertEqual(0, r.returncode, "devcloud %s:\n%s\ndemo:\n%s"
                         % (" ".join(args), text, self.demo.output()[-3000:]))  # fmt: skip
        return fields(text)

    def relay_report(self, method, session_id, after):
        m = self.cloud.wait_for(
            lambda m: m.topic == MONITOR and '"method":"%s"' % method in m.text
            and session_id in m.text, 10, after=after)  # fmt: skip
        self.assertIsNotNone(m, "no %s report for %s" % (method, session_id))
        return json.loads(m.text)

    def service_of(self, url, at):
        """The service id the demo was started with for the request sent at `at`."""
        line = self.demo.wait_line("startPushStreamingCallback:", 10, at)
        self.assertIsNotNone(line, "the camera was never asked to start:\n" + self.demo.output()[-3000:])
        return int(re.search(r"startPushStreamingCallback:(\d+)", line).group(1))

    def test_live_to_nginx_records_decodes_and_reports_the_drop(self):
        at, mark = self.demo.mark(), self.cloud.mark()
        out = self.devcloud("live", PK, DN, "--seconds", "10")
        service = self.service_of(out["url"], at)
        self.assertEqual("h264", out["video"])
        self.assertTrue(out["audio"].startswith("aac"), out)
        self.assertGreaterEqual(float(out["duration_s"]), 9.0, out)
        code, errors = decode_errors(out["file"])
        self.assertEqual((0, ""), (code, errors))
        pts = video_pts(out["file"])
        self.assertEqual(pts, sorted(pts), "video timestamps go backwards")
        # nginx's control module dropped the publisher: the camera is stopped
        # and the relay reports the lost connection with its statistics.
        self.assertIsNotNone(self.demo.wait_line("stopPushStreamingCallback:%d" % service, 10, at))
        token = re.search(r"token=([0-9a-f]+)", out["url"]).group(1)
        report = self.relay_report("startRelayStreaming", token, mark)
        self.assertEqual((1010, "Connection lost"), (report["code"], report["message"]))
        self.assertEqual(("H264", "AAC", "false"),
                         (report["params"]["videoCodec"], report["params"]["audioCodec"],
                          report["params"]["encrypt"]))  # fmt: skip
        quality = self.relay_report("transQualityStatistic", token, mark)
        self.assertGreater(quality["params"]["totalFlow"], 0)

    def test_private_encrypted_live_reaches_devclouds_relay(self):
        at, mark = self.demo.mark(), self.cloud.mark()
        out = self.devcloud("live", PK, DN, "--private", "--encrypt", "--seconds", "5")
        service = self.service_of(out["url"], at)
        self.assertFalse(out.get("relay_problems"), out)
        self.assertGreaterEqual(int(out["relay_frames"]), 75, out)
        self.assertGreater(int(out["relay_audio_frames"]), 0, out)
        # The relay decrypts what it records: the clear stream decodes.
        self.assertEqual((0, ""), decode_errors(out["file"]))
        self.assertIsNotNone(self.demo.wait_line("stopPushStreamingCallback:%d" % service, 10, at))
        token = re.search(r"token=([0-9a-f]+)", out["url"]).group(1)
        report = self.relay_report("startRelayStreaming", token, mark)
        self.assertEqual("true", report["params"]["encrypt"])

    def test_playback_by_file_sends_every_frame_then_completes(self):
        at, mark = self.demo.mark(), self.cloud.mark()
        out = self.devcloud("vod", PK, DN, "--file", VOD_FILE, "--speed", "4", "--seconds", "40")
        service = self.service_of(out["url"], at)
        self.assertEqual("NetStream.Vod.Complete", out.get("relay_complete"), out)
        self.assertEqual(VOD_FRAMES, int(out["frames"]), out)
        self.assertIsNotNone(self.demo.wait_line("Playback complete, service id = %d" % service, 5, at))
        session = re.search(r"session=([^/&]+)", out["url"]).group(1)
        report = self.relay_report("startRelayVod", session, mark)
        self.assertEqual((1013, "Device close connection"), (report["code"], report["message"]))
        self.assertIsNotNone(self.demo.wait_line("stopPushStreamingCallback:%d" % service, 10, at))

    def test_playback_by_time_follows_pause_resume_and_seek(self):
        at = self.demo.mark()
        now = int(time.time())
        out = self.devcloud("vod", PK, DN, "--begin", str(now - 3600), "--end", str(now),
                            "--pause-at", "1", "--resume-at", "2", "--seek-at", "3:30000",
                            "--seconds", "6")  # fmt: skip
        service = self.service_of(out["url"], at)
        self.assertFalse(out.get("relay_problems"), out)
        prefix = "on_push_streaming_cmd_cb service_id:%d, cmd:" % service
        for cmd in ("0", "1", "2", "3 30000"):
            self.assertIsNotNone(self.demo.wait_line(prefix + cmd, 5, at), "command %s:\n%s"
                                 % (cmd, self.demo.output()[-3000:]))  # fmt: skip
        pts = video_pts(out["file"])
        self.assertTrue(pts, out)
        # After the seek the stream continues from the sought position.
        self.assertGreaterEqual(max(pts), 30.0, pts[-5:])
        self.assertIsNotNone(self.demo.wait_line("stopPushStreamingCallback:%d" % service, 10, at))


if __name__ == "__main__":
    unittest.main(verbosity=2)
