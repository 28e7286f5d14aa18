"""Codec of the stand-in against bytes written by hand from the wire format."""

import os
import random
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from standin import codec  # noqa: E402


def s(text):
    b = text.encode()
    return b"\x10" + struct.pack(">H", len(b)) + b


def i1(v):
    return b"\x01\x01" + bytes([v])


AGENT_BYTES = (b"\x42" + s("platform") + s("Windows") + s("version") + b"\x42"
               + s("build") + b"\x01\x02\x0b\xbd" + s("major") + i1(3) + s("minor") + i1(0)
               + b"\x40\x40")
AGENT = {"platform": "Windows", "version": {"build": 3005, "major": 3, "minor": 0}}


class GoldenBytes(unittest.TestCase):
    def test_values_encode_and_decode_both_ways(self):
        cases = [
            ({}, "42 40"),
            ([], "41 40"),
            ("", "10 00 00"),
            (None, "00 00"),
            (0, "01 01 00"),
            (255, "01 01 ff"),
            (256, "01 02 01 00"),
            (65536, "01 04 00 01 00 00"),
            (1 << 32, "01 08 00 00 00 01 00 00 00 00"),
            (b"", "30 00 00 00 00 00 00 00 00"),
            (True, "01 01 01"),
            ({"agent": {"platform": "Windows"}, "count": 300},
             "42 10 00 05 6167656e74 42 10 00 08 706c6174666f726d 10 00 07 57696e646f7773 40"
             " 10 00 05 636f756e74 01 02 01 2c 40"),
        ]
        for value, hexbytes in cases:
            with self.subTest(value=value):
                wire = bytes.fromhex(hexbytes)
                self.assertEqual(codec.encode(value), wire)
                back = codec.decode_bytes(wire)
                self.assertEqual(back, int(value) if isinstance(value, bool) else value)

    def test_reader_accepts_every_integer_width(self):
        self.assertEqual(codec.decode_bytes(b"\x01\x00"), 0)
        for w in range(1, 9):
            with self.subTest(width=w):
                self.assertEqual(codec.decode_bytes(b"\x01" + bytes([w]) + b"\x00" * (w - 1)
                                                    + b"\x07"), 7)
        self.assertEqual(codec.decode_bytes(b"\x01\x08" + b"\xff" * 8), (1 << 64) - 1)

    def test_header_and_keep_alive(self):
        self.assertEqual(codec.header(6), bytes.fromhex("7c4e9a13 46 06 00 00"))
        self.assertEqual(codec.parse_header(codec.header(27)), (True, 70, 27, 0))
        self.assertEqual(codec.KEEP_ALIVE, b"\x42" + s("type") + s("keep_alive") + b"\x40")
        self.assertEqual(codec.decode_bytes(codec.KEEP_ALIVE), {"type": "keep_alive"})

    def test_pull_request_written_by_hand(self):
        wire = (b"\x42" + s("action") + s("pull_event") + s("agent") + AGENT_BYTES
                + s("file") + b"\x42" + s("offset") + i1(0) + b"\x40"
                + s("mtime") + b"\x42" + s("offset") + i1(0) + b"\x40"
                + s("node_id") + i1(9) + s("path") + s("/docs") + s("recursive") + i1(1)
                + s("session") + s("tok") + s("sync_id") + b"\x01\x08\x00\x00\x00\x01\x00\x00\x00\x0a"
                + s("view_id") + i1(1) + b"\x40")
        want = {"action": "pull_event", "agent": AGENT, "file": {"offset": 0},
                "mtime": {"offset": 0}, "node_id": 9, "path": "/docs", "recursive": 1,
                "session": "tok", "sync_id": (1 << 32) + 10, "view_id": 1}
        self.assertEqual(codec.decode_bytes(wire), want)
        self.assertEqual(codec.encode(want), wire)

    def test_binaries_of_zero_bytes_and_three_mib(self):
        big = os.urandom(3 << 20)
        for body in (b"", big):
            with self.subTest(size=len(body)):
                wire = codec.encode({"data": body})
                self.assertEqual(wire[:9], b"\x42" + s("data") + b"\x30")
                self.assertEqual(struct.unpack(">Q", wire[9:17])[0], len(body))
                self.assertEqual(codec.decode_bytes(wire), {"data": body})

    def test_file_slice_streams_the_slice(self):
        with tempfile.NamedTemporaryFile() as f:
            f.write(b"0123456789")
            f.flush()
            wire = codec.encode(codec.FileSlice(f.name, 3, 4))
            self.assertEqual(wire, b"\x30" + struct.pack(">Q", 4) + b"3456")

    def test_duplicate_keys_merge(self):
        cases = [
            (b"\x42" + s("a") + b"\x42" + s("x") + i1(1) + b"\x40"
             + s("a") + b"\x42" + s("y") + i1(2) + b"\x40\x40", {"a": {"x": 1, "y": 2}}),
            (b"\x42" + s("a") + i1(1) + s("a") + s("z") + b"\x40", {"a": "z"}),
            (b"\x42" + s("a") + b"\x41" + i1(1) + b"\x40" + s("a") + b"\x41" + i1(2)
             + b"\x40\x40", {"a": [1, 2]}),
        ]
        for wire, want in cases:
            with self.subTest(want=want):
                self.assertEqual(codec.decode_bytes(wire), want)

    def test_keys_go_out_in_byte_order_as_given(self):
        wire = codec.encode({"b": 1, "_x": 2, "a": 3, "\u00e9": 4})
        keys = [b"_x", b"a", b"b", "\u00e9".encode()]
        pos = [wire.index(struct.pack(">H", len(k)) + k) for k in keys]
        self.assertEqual(pos, sorted(pos))

    def test_raw_values_go_out_unchanged(self):
        self.assertEqual(codec.encode({"a": codec.Raw(b"\x7f")}), b"\x42" + s("a") + b"\x7f\x40")


class RandomTrees(unittest.TestCase):
    def tree(self, rnd, depth):
        k = rnd.randrange(7 if depth < 6 else 4)
        if k == 0:
            return None
        if k == 1:
            return rnd.choice([0, 1, 255, 256, 65535, 65536, (1 << 32) - 1, 1 << 32,
                               (1 << 64) - 1, rnd.getrandbits(64)])
        if k == 2:
            return "".join(rnd.choice("ab/é_\u4e2d") for _ in range(rnd.randrange(20)))
        if k == 3:
            return bytes(rnd.getrandbits(8) for _ in range(rnd.randrange(40)))
        if k in (4, 5):
            return {"".join(rnd.choice("abc_") for _ in range(rnd.randrange(1, 6))):
                    self.tree(rnd, depth + 1) for _ in range(rnd.randrange(5))}
        return [self.tree(rnd, depth + 1) for _ in range(rnd.randrange(5))]

    def test_seeded_trees_round_trip(self):
        rnd = random.Random(20240519)
        for n in range(300):
            t = self.tree(rnd, 0)
            with self.subTest(n=n):
                self.assertEqual(codec.decode_bytes(codec.encode(t)), t)


class Hostile(unittest.TestCase):
    def test_malformed_input_gives_a_clean_error(self):
        deep = b"\x41" * 65 + b"\x40" * 65
        cases = {
            "width 9": b"\x01\x09" + b"\x00" * 9,
            "unknown tag": b"\x7f",
            "non-string key": b"\x42\x01\x01\x05\x01\x01\x01\x40",
            "null with 01": b"\x00\x01",
            "depth 65": deep,
            "truncated string": b"\x10\x00\x05ab",
            "truncated map": b"\x42" + s("a"),
            "truncated binary": b"\x30" + struct.pack(">Q", 10) + b"abc",
            "NUL in a string": s("a\x00b"),
            "invalid UTF-8": b"\x10\x00\x02\xc3\x28",
            "end tag alone": b"\x40",
        }
        for name, wire in cases.items():
            with self.subTest(name):
                with self.assertRaises((codec.DecodeError, codec.PeerClosed)):
                    codec.decode_bytes(wire)

    def test_depth_64_is_accepted(self):
        v = codec.decode_bytes(b"\x41" * 64 + b"\x40" * 64)
        for _ in range(63):
            v = v[0]
        self.assertEqual(v, [])

    def test_one_value_over_the_limit(self):
        # 2^24 values pass; the array itself makes one more.
        ok = b"\x41" + b"\x01\x00" * ((1 << 24) - 1) + b"\x40"
        self.assertEqual(len(codec.decode_bytes(ok)), (1 << 24) - 1)
        with self.assertRaises(codec.DecodeError):
            codec.decode_bytes(b"\x41" + b"\x01\x00" * (1 << 24) + b"\x40")

    def test_small_integer_runs_across_reads(self):
        # Runs of integers of width 0 and 1 between other values, handed to
        # the reader a few bytes at a time so that values straddle its reads.
        want = [0] * 7 + [5, 255, 0, "x", 0, 0, 256, None] + [1] * 5
        wire = (b"\x41" + b"\x01\x00" * 7 + i1(5) + i1(255) + i1(0) + s("x") + b"\x01\x00" * 2
                + b"\x01\x02\x01\x00" + b"\x00\x00" + i1(1) * 5 + b"\x40")
        for step in (1, 2, 3, 5, len(wire)):
            data = memoryview(wire)
            pos = [0]

            def src(dst):
                n = min(step, len(dst), len(data) - pos[0])
                dst[:n] = data[pos[0]:pos[0] + n]
                pos[0] += n
                return n
            with self.subTest(step=step):
                self.assertEqual(codec.Decoder(codec.Reader(src, bufsize=4)).decode(), want)
        # The array and each value count toward the limit, runs included.
        self.assertEqual(codec.decode_bytes(wire, max_values=len(want) + 1), want)
        with self.assertRaises(codec.DecodeError):
            codec.decode_bytes(wire, max_values=len(want))
        with self.assertRaises(codec.DecodeError):
            codec.decode_bytes(b"\x41" + b"\x01\x00" * 7 + b"\x40", max_values=7)

    def test_oversized_string_is_refused_on_output(self):
        codec.encode("x" * 65535)
        with self.assertRaises(ValueError):
            codec.encode("x" * 65536)


if __name__ == "__main__":
    unittest.main()
