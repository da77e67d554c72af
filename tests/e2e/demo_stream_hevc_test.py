"""End to end: a camera whose media is H.265 with G.711 A-law (made at test
time) streams live to nginx through the demo; the recording, turned into a
container ffmpeg reads, decodes without an error line and carries both
codecs.

Paths come from the environment (set by CMake): KESTREL_DEMO, DEVCLOUD_DIR,
KESTREL_MEDIA.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo_e2e_test import MEDIA, DemoProcess  # noqa: E402
from demo_stream_e2e_test import DEVCLOUD, decode_errors, fields, video_pts  # noqa: E402

from devcloud_lib.testing import LocalCloud  # noqa: E402

PK = "e2eHevcPK"
DN = "camera05"
DS = "c2VjcmV0LWtleS01Njc4"


class DemoHevcG711Live(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="kestrel-hevc-")
        media = os.path.join(cls.workdir, "media")
        os.mkdir(media)
        r = subprocess.run(["sh", os.path.join(MEDIA, "make_media.sh"), "-o", media, "-s", "8", "hevc_g711a"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)  # fmt: skip
        if r.returncode != 0:
            shutil.rmtree(cls.workdir, ignore_errors=True)
            raise AssertionError("make_media.sh failed:\n" + r.stdout.decode("utf-8", "replace")[-3000:])
        # The camera's live sources go by their default names.
        for name in ("avc_aac_1000k", "avc_aac_500k"):
            for ext in ("", ".index", ".meta"):
                shutil.copy(os.path.join(media, "hevc_g711a" + ext), os.path.join(media, name + ext))
        shutil.copy(os.path.join(MEDIA, "1.jpg"), media)
        cls.cloud = LocalCloud().start()
        try:
            cls.cloud.add_device(PK, DN, DS)
            args = ["-p", PK, "-n", DN, "-s", DS, "-l", "4", "-H", cls.cloud.host,
                    "-P", str(cls.cloud.port), "-C", cls.cloud.ca, "-m", media]  # fmt: skip
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

    def test_live_h265_g711_records_and_decodes(self):
        env = dict(os.environ, DEVCLOUD_HOME=self.cloud.home)
        r = subprocess.run([sys.executable, DEVCLOUD, "live", PK, DN, "--seconds", "6"], env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=180)  # fmt: skip
        text = r.stdout.decode("utf-8", "replace")
        self.assertEqual(0, r.returncode, text + "\ndemo:\n" + self.demo.output()[-3000:])
        out = fields(text)
        self.assertEqual("hevc", out.get("video"), text)
        self.assertTrue(out.get("audio", "").startswith("pcm_alaw 8000Hz 1ch"), text)
        self.assertGreaterEqual(float(out["duration_s"]), 4.0, text)
        self.assertGreater(int(out["audio_frames"]), 0, text)
        play = out["play"].split(" ", 1)[1]
        self.assertEqual((0, ""), decode_errors(play))
        pts = video_pts(play)
        self.assertEqual(pts, sorted(pts), "video timestamps go backwards")


if __name__ == "__main__":
    unittest.main()
