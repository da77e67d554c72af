"""End to end: the platform asks the demo camera what it has recorded (record
list, time list, month flags) as service calls; the answers come back on the
call's RRPC response topic, built from the sample media's durations. Broken
queries get no answer and an error line."""

import base64
import json
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo_e2e_test import DEMO, MEDIA, DemoProcess  # noqa: E402
from devcloud_lib.testing import LocalCloud  # noqa: E402

PK = "e2eRecordsPK"
DN = "camera02"
DS = "e2eDeviceSecret0123456789abcdef"
BEGIN = 1765000000
# The camera's playback list: the two sample streams, 24 s each.
FILES = [os.path.join(MEDIA, "avc_aac_1000k"), os.path.join(MEDIA, "avc_aac_500k")]
SAMPLE_SECONDS = 24


class DemoRecords(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.mkdtemp(prefix="kestrel-e2e-records-")
        cls.cloud = LocalCloud().start()
        try:
            cls.cloud.add_device(PK, DN, DS)
            args = ["-p", PK, "-n", DN, "-s", DS, "-l", "5", "-H", cls.cloud.host,
                    "-P", str(cls.cloud.port), "-C", cls.cloud.ca, "-m", MEDIA]  # fmt: skip
            cls.demo = DemoProcess(args, cls.workdir)
            if cls.demo.wait_line("Cloud Connected", 20) is None:
                raise AssertionError("demo did not come online:\n" + cls.demo.output()[-3000:])
        except BaseException:
            cls.cloud.stop()
            shutil.rmtree(cls.workdir, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.demo.stop(15)
        cls.cloud.stop()
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def answer(self, service, params):
        reply = self.cloud.call(PK, DN, service, params, timeout=8)
        self.assertIsNotNone(reply, "%s got no answer:\n%s" % (service, self.demo.output()[-3000:]))
        body = json.loads(reply.text)
        self.assertEqual(200, body["code"])
        return body["data"]

    def test_record_list_time_list_and_month(self):
        data = self.answer(
            "QueryRecordList", {"BeginTime": BEGIN, "EndTime": BEGIN + 3600, "Type": 2, "QuerySize": 10}
        )
        expect = []
        start = BEGIN
        for path in FILES:
            expect.append({
                "FileName": base64.b64encode(path.encode()).decode(),
                "Size": 1024, "Type": 2, "EndTime": start + SAMPLE_SECONDS, "BeginTime": start,
            })  # fmt: skip
            start += SAMPLE_SECONDS
        self.assertEqual({"RecordList": expect}, data)

        # The two files follow each other without a gap: one interval.
        data = self.answer("QueryRecordTimeList", {"BeginTime": BEGIN, "EndTime": BEGIN + 3600, "Type": 2})
        self.assertEqual(
            {"TimeList": [{"Type": 2, "EndTime": BEGIN + 2 * SAMPLE_SECONDS, "BeginTime": BEGIN}]}, data
        )

        data = self.answer("QueryMonthRecord", {"Month": "202612"})
        self.assertEqual({"RecordFlags": "1000000000100000000000000001000"}, data)

    def test_broken_queries_get_no_answer_and_an_error_line(self):
        for service, params in (
            ("QueryRecordList", {"BeginTime": "soon", "EndTime": 2, "Type": 2, "QuerySize": 1}),
            ("QueryRecordTimeList", {"EndTime": 2, "Type": 2}),
            ("QueryMonthRecord", {"Month": 202612}),
        ):
            mark = self.demo.mark()
            self.assertIsNone(self.cloud.call(PK, DN, service, params, timeout=1.5), service)
            self.assertIsNotNone(self.demo.wait_line("parse value error", 2, after=mark), service)


if __name__ == "__main__":
    unittest.main()
