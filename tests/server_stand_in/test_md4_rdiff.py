"""MD4 through libcrypto and deltas through rdiff, against outside references."""

import filecmp
import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from standin import md4, rdiff  # noqa: E402


class Md4(unittest.TestCase):
    def test_rfc1320_vectors(self):
        vectors = {
            b"": "31d6cfe0d16ae931b73c59d7e0c089c0",
            b"a": "bde52cb31de33e46245e05fbdbd6fb24",
            b"abc": "a448017aaf21d8525fc10ae87aa6729d",
            b"message digest": "d9130a8164549fe818874806e1c7014b",
            b"abcdefghijklmnopqrstuvwxyz": "d79e1c308aa5bbcdeea8ed63df412da9",
            b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789":
                "043f8582f241db351ce627e153e7f0e4",
            b"1234567890" * 8: "e33b4ddc9c38f2199c3e7b164fcc0536",
        }
        for data, want in vectors.items():
            with self.subTest(data=data[:20]):
                self.assertEqual(md4.md4_hex(data), want)

    def test_chunked_updates_equal_one_update(self):
        data = os.urandom(100000)
        h = md4.MD4()
        for i in range(0, len(data), 777):
            h.update(memoryview(bytearray(data[i:i + 777])))
        self.assertEqual(h.hexdigest(), md4.md4_hex(data))

    def test_three_mib_file_against_openssl(self):
        with tempfile.TemporaryDirectory() as d:
            p = os.path.join(d, "f")
            with open(p, "wb") as f:
                f.write(os.urandom(3 << 20))
            out = subprocess.run(["openssl", "dgst", "-md4", "-provider", "legacy",
                                  "-provider", "default", p], capture_output=True, check=True)
            want = out.stdout.decode().strip().rsplit(" ", 1)[-1]
            self.assertEqual(md4.md4_file(p), want)


class Rdiff(unittest.TestCase):
    def test_signature_delta_patch(self):
        with tempfile.TemporaryDirectory() as d:
            base, new = os.path.join(d, "base"), os.path.join(d, "new")
            data = os.urandom(50000)
            with open(base, "wb") as f:
                f.write(data)
            with open(new, "wb") as f:
                f.write(data[:20000] + b"edit" + data[20010:])
            sig, dl, out = (os.path.join(d, n) for n in ("sig", "delta", "out"))
            rdiff.signature(base, sig)
            with open(sig, "rb") as f:
                head = f.read(12)
            # Magic of MD4 signatures, then block length 2048 and sum length 8.
            self.assertEqual(head[:4], bytes.fromhex("72730136"))
            self.assertEqual(struct.unpack(">II", head[4:12]), (0x800, 8))
            rdiff.delta(sig, new, dl)
            with open(dl, "rb") as f:
                self.assertEqual(f.read(4), bytes.fromhex("72730236"))
            self.assertLess(os.path.getsize(dl), 10000)
            rdiff.patch(base, dl, out)
            self.assertTrue(filecmp.cmp(out, new, shallow=False))

    def test_a_bad_delta_is_refused(self):
        with tempfile.TemporaryDirectory() as d:
            base, dl, out = (os.path.join(d, n) for n in ("base", "delta", "out"))
            with open(base, "wb") as f:
                f.write(b"base")
            with open(dl, "wb") as f:
                f.write(b"not a delta")
            with self.assertRaises(rdiff.RdiffError):
                rdiff.patch(base, dl, out)


if __name__ == "__main__":
    unittest.main()
