"""The console's recording summaries, judged against what the file holds."""

import os
import shutil
import subprocess
import tempfile
import unittest

import helpers  # noqa: F401  (puts devcloud_lib on the path)

from devcloud_lib import amf0, console, flv


class SummaryTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="devcloud-console-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def recording(self, seconds, metadata):
        """seconds of H.264 + AAC at 25 fps, as a device sends them: its own
        metadata in place of the muxer's."""
        src = os.path.join(self.dir, "src.flv")
        r = subprocess.run(
            ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-f", "lavfi",
             "-i", "sine=f=440:r=8000", "-c:v", "libx264", "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "aac",
             "-ar", "8000", "-t", str(seconds), "-shortest", src],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60,
        )  # fmt: skip
        self.assertEqual(0, r.returncode, r.stderr)
        path = os.path.join(self.dir, "rec.flv")
        w = flv.Writer(path)
        w.write(flv.TAG_SCRIPT, 0, amf0.encode_all("onMetaData", metadata))
        media = [t for t in flv.read_tags(src) if t[0] != flv.TAG_SCRIPT]
        for t, ts, body in media:
            w.write(t, ts, body)
        w.close()
        return path, sum(len(b) for t, _, b in media if b[1:2] == b"\x01")  # coded frames only

    def test_duration_and_bit_rate_come_from_the_packets(self):
        # A live, pre-event or voice stream's metadata says a day, whatever it holds.
        for metadata in ({"duration": 86400.0, "videodatarate": 0.0}, {}):
            with self.subTest(metadata=metadata):
                path, payload = self.recording(2, metadata)
                s = console.summary(path)
                self.assertAlmostEqual(s["duration_s"], 2.0, delta=0.25)  # AAC runs a little past the video
                self.assertEqual(50, s["frames"])
                expected_kbps = payload * 8 / s["duration_s"] / 1000
                self.assertAlmostEqual(s["bit_rate_kbps"], expected_kbps, delta=expected_kbps * 0.05)

    def test_packet_span_reaches_the_end_of_the_last_packet(self):
        cases = [
            ([], 0.0),
            ([{"pts_time": "N/A"}], 0.0),
            ([{"pts_time": "1.0", "duration_time": "0.04"}, {"pts_time": "3.0", "duration_time": "0.04"}], 2.04),
            ([{"pts_time": "5.0"}, {"pts_time": "2.0", "duration_time": "N/A"}], 3.0),
        ]
        for pkts, span in cases:
            with self.subTest(pkts=pkts):
                self.assertAlmostEqual(console.packet_span(pkts), span)


if __name__ == "__main__":
    unittest.main()
