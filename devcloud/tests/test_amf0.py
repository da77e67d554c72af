"""AMF0 values: binary carried in Strings goes out byte for byte."""

import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from devcloud_lib import amf0  # noqa: E402


class Amf0Test(unittest.TestCase):
    def test_binary_strings_keep_every_byte(self):
        # The play parameters are an AMF0 Object inside a String; speed 1.0
        # is 3F F0 00 ..., a byte >= 0x80 that UTF-8 would double.
        inner = amf0.encode({"onlyKeyFrame": True, "speed": 1.0})
        cases = [
            ("play parameters", inner),
            ("every byte value", bytes(range(256))),
            ("long string", bytes([0xFF]) * 0x10000),
        ]
        for name, raw in cases:
            with self.subTest(name):
                out = amf0.encode(raw)
                if len(raw) > 0xFFFF:
                    self.assertEqual(out[:5], bytes([amf0.LONG_STRING]) + struct.pack(">I", len(raw)))
                else:
                    self.assertEqual(out[:3], bytes([amf0.STRING]) + struct.pack(">H", len(raw)))
                self.assertEqual(out[-len(raw):], raw)
                got = amf0.decode_all(out, keep_bytes=True)[0]
                self.assertEqual(got.encode("utf-8") if isinstance(got, str) else got, raw)
        self.assertEqual(amf0.decode_all(amf0.decode_all(amf0.encode(inner), keep_bytes=True)[0]),
                         [{"onlyKeyFrame": True, "speed": 1.0}])  # fmt: skip

    def test_text_is_utf8_and_strict_decoding_refuses_binary(self):
        self.assertEqual(amf0.encode("é"), b"\x02\x00\x02\xc3\xa9")
        self.assertEqual(amf0.decode_all(b"\x02\x00\x02\xc3\xa9"), ["é"])
        with self.assertRaises(amf0.Amf0Error):
            amf0.decode_all(b"\x02\x00\x01\xf0")
        # Keys stay text even when values may be bytes.
        with self.assertRaises(amf0.Amf0Error):
            amf0.decode_all(b"\x03\x00\x01\xf0\x05\x00\x00\x09", keep_bytes=True)


if __name__ == "__main__":
    unittest.main()
