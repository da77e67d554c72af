"""End to end: the local cloud opens a voice intercom with the demo camera
through devcloud's own relay (private handshake). The WAV the cloud speaks
goes down as G.711, clear or AES-encrypted, with broken bodies slipped in
that the device drops while the session goes on, and the demo writes the same
samples into its per-session WAV file. The relay says "NetStream.TalkReady"
a second late and flags any audio that comes before it; what the camera
sends after it is recorded and decodes to the camera's 440 Hz tone."""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo_e2e_test import MEDIA, DemoProcess  # noqa: E402
from devcloud_lib.testing import LocalCloud  # noqa: E402

PK = "e2eVoicePK"
DN = "camera03"
DS = "ZTJlLXZvaWNlLWRldmljZS1zZWNyZXQ="
FFMPEG = shutil.which("ffmpeg") or "/usr/bin/ffmpeg"
DEVCLOUD = os.path.join(os.environ["DEVCLOUD_DIR"], "devcloud")


def run(argv, timeout=60):
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    return r.returncode, r.stdout.decode("utf-8", "replace")


def wav_chunks(path):
    """{chunk id: bytes} of a RIFF/WAVE file."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise AssertionError("%s is not a WAV file" % path)
    if struct.unpack("<I", data[4:8])[0] != len(data) - 8:
        raise AssertionError("%s: RIFF size does not match the file" % path)
    chunks, pos = {}, 12
    while pos + 8 <= len(data):
        cid, size = data[pos : pos + 4], struct.unpack("<I", data[pos + 4 : pos + 8])[0]
        chunks[cid] = data[pos + 8 : pos + 8 + size]
        pos += 8 + size + (size & 1)
    return chunks


def tone_hz(path, rate=16000):
    """Median pitch by zero crossings over 100 ms windows of the decoded audio."""
    r = subprocess.run([FFMPEG, "-v", "error", "-i", path, "-vn", "-ac", "1", "-ar", str(rate),
                        "-f", "s16le", "-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=60)  # fmt: skip
    if r.returncode != 0:
        raise AssertionError("ffmpeg cannot decode %s: %s" % (path, r.stderr[-500:]))
    n = len(r.stdout) // 2
    s = struct.unpack("<%dh" % n, r.stdout[: n * 2])
    win = rate // 10
    pitches = []
    for w in range(0, n - win, win):
        part = s[w : w + win]
        if max(abs(v) for v in part) < 500:
            continue  # silence
        crossings = sum(1 for a, b in zip(part, part[1:]) if (a < 0) != (b < 0))
        pitches.append(crossings / 2.0 * 10)
    if len(pitches) < 10:
        raise AssertionError("%s holds %d windows of sound" % (path, len(pitches)))
    pitches.sort()
    return pitches[len(pitches) // 2], len(pitches)


class DemoVoice(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="kestrel-e2e-voice-")
        cls.cloud = LocalCloud().start()
        try:
            cls.cloud.add_device(PK, DN, DS)
            args = ["-p", PK, "-n", DN, "-s", DS, "-l", "5", "-H", cls.cloud.host,
                    "-P", str(cls.cloud.port), "-C", cls.cloud.ca, "-m", MEDIA]  # fmt: skip
            cls.demo = DemoProcess(args, cls.workdir)
            if cls.demo.wait_line("Cloud Connected", 20) is None:
                raise AssertionError("demo did not come online:\n" + cls.demo.output()[-3000:])
            # Two seconds of speech stand-in: a 1 kHz tone with a sweep, so
            # a lost or reordered frame changes the bytes.
            cls.wav = os.path.join(cls.workdir, "cloud.wav")
            code, out = run([FFMPEG, "-v", "error", "-y", "-f", "lavfi", "-t", "2",
                             "-i", "aevalsrc=sin(2*PI*(1000+200*t)*t):s=8000", cls.wav])  # fmt: skip
            if code != 0:
                raise AssertionError(out)
        except BaseException:
            cls.cloud.stop()
            shutil.rmtree(cls.workdir, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        code = cls.demo.stop(15)
        cls.cloud.stop()
        shutil.rmtree(cls.workdir, ignore_errors=True)
        # Voice threads joined and files closed: the demo ends cleanly (and,
        # under the sanitizers, without a leak report).
        if code != 0:
            raise AssertionError("demo exit %s:\n%s" % (code, cls.demo.output()[-3000:]))

    def talk(self, *extra):
        mark = self.demo.mark()
        code, out = run([DEVCLOUD, "--home", self.cloud.home, "talk", PK, DN, "--audio", self.wav,
                         "--seconds", "5", "--talk-delay", "1", "--bad-bodies"] + list(extra),
                        timeout=90)  # fmt: skip
        self.assertEqual(0, code, out + "\n" + self.demo.output()[-3000:])
        fields = dict(re.findall(r"^(\w+)=(\S+)", out, re.M))
        start = self.demo.wait_line("startPushStreamingCallback:", 5, after=mark)
        self.assertIsNotNone(start)
        service_id, kind = map(int, start.split(":", 1)[1].split())
        self.assertEqual(4, kind)
        self.assertIsNotNone(self.demo.wait_line("stopPushStreamingCallback:%d" % service_id, 10, after=mark),
                             self.demo.output()[-3000:])  # fmt: skip
        return service_id, fields, mark

    def check_session(self, bad_bodies, *extra):
        service_id, fields, mark = self.talk(*extra)
        self.assertNotIn("relay_problems", fields)
        self.assertIsNotNone(self.demo.wait_line("Talk is not ready, device audio is not queued", 1, after=mark))
        lines = self.demo.lines[mark:]
        self.assertEqual(bad_bodies, sum("Audio parse failed" in line for line in lines), "\n".join(lines[-50:]))
        # Down: the demo's file holds exactly the A-law samples the cloud sent.
        with open(fields["sent_audio"], "rb") as f:
            sent = f.read()
        chunks = wav_chunks(os.path.join(self.workdir, "voice_%d.wav" % service_id))
        fmt = struct.unpack("<HHIIHH", chunks[b"fmt "][:16])
        self.assertEqual((6, 1, 8000, 8000, 1, 8), fmt)
        self.assertEqual(len(sent), len(chunks[b"data"]))
        self.assertTrue(sent == chunks[b"data"], "received samples differ from the sent ones")
        self.assertIsNotNone(self.demo.wait_line("Receive voice data, param = 1 0 1 11", 1, after=mark))
        # Up: the relay's recording of the camera's microphone is its tone.
        hz, windows = tone_hz(fields["file"])
        self.assertLess(abs(hz - 440), 25, "median pitch %.0f Hz over %d windows" % (hz, windows))

    def test_clear_session_both_ways(self):
        # In the clear the body too short for its header is refused before
        # parsing, without a line; encrypted it is a whole block and fails
        # once decrypted.
        self.check_session(1)

    def test_encrypted_session_both_ways(self):
        self.check_session(3, "--encrypt")


if __name__ == "__main__":
    unittest.main()
