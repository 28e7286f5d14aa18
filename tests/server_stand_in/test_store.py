"""The store rules of the stand-in, in process."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from standin import md4  # noqa: E402
from standin.store import Refusal, Store, valid_path  # noqa: E402


class StoreCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.store = Store(self.dir)
        self.store.add_view(1)
        self.store.add_view(2, read_only=True)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def put(self, path, data, view=1, origin="control", mtime=100):
        return self.store.put_file(view, path, self.store.ingest_bytes(data), mtime, origin)

    def refusal(self, fn, *args):
        with self.assertRaises(Refusal) as cm:
            fn(*args)
        return cm.exception


class Paths(unittest.TestCase):
    def test_path_rules(self):
        cases = [("/a", True), ("/a/b.c", True), ("/", False), ("a", False), ("", False),
                 ("/a/", False), ("/a//b", False), ("/a/./b", False), ("/../x", False),
                 ("/..", False), ("/a/..", False), ("/.hidden", True), ("/a..b", True)]
        for p, ok in cases:
            with self.subTest(path=p):
                self.assertEqual(valid_path(p), ok)
        self.assertTrue(valid_path("/", allow_root=True))


class Uploads(StoreCase):
    def setUp(self):
        super().setUp()
        self.store.mkdir(1, "/d", 5)
        self.f = self.put("/d/f", b"content")
        self.g = self.put("/g", b"gee")
        self.same = {"size": 7, "hash": md4.md4_hex(b"content"), "refer": 0}
        self.other = {"size": 3, "hash": md4.md4_hex(b"new"), "refer": 0}

    def test_checks_in_order(self):
        f, v = self.f, self.f.version
        cases = [
            # name, view, path, is_dir, sync_id, file, code (None: idempotent success)
            ("folder again", 1, "/d", True, 0, None, None),
            ("no live object", 1, "/nope", False, 7, self.other, 0x9001),
            ("delta without base", 1, "/new", False, 0, dict(self.other, is_delta=1), 0x9001),
            ("refer without base", 1, "/new", False, 0, {"size": 3, "hash": "x", "refer": 1},
             0x9001),
            ("file onto folder", 1, "/d", False, 0, self.other, 0x6000),
            ("folder onto file", 1, "/g", True, 0, None, 0x6000),
            ("file below a file", 1, "/g/x", False, 0, self.other, 0x6000),
            ("same content again", 1, "/d/f", False, 0, self.same, None),
            ("other content, no base", 1, "/d/f", False, 0, self.other, 0x6000),
            ("stale base", 1, "/d/f", False, v - 1, self.other, 0x9002),
            ("read-only view", 2, "/x", False, 0, self.other, 0x3004),
        ]
        for name, view, path, is_dir, sync_id, fm, code in cases:
            with self.subTest(name):
                if code is None:
                    with self.store.lock:
                        cur, same = self.store.check_upload(view, path, is_dir, sync_id, fm)
                    self.assertTrue(same)
                    self.assertEqual(cur.version, self.store.live(self.store.views[1],
                                                                  path).version)
                else:
                    with self.store.lock:
                        r = self.refusal(self.store.check_upload, view, path, is_dir,
                                         sync_id, fm)
                    self.assertEqual(r.code, code)
                    self.assertEqual(r.violation is not None,
                                     name in ("delta without base", "refer without base"))
        self.assertEqual(f.version, self.store.live(self.store.views[1], "/d/f").version)

    def test_commit_takes_the_next_version_and_makes_parents(self):
        blob = self.store.ingest_bytes(b"new")
        head = self.store.views[1].head
        e, same = self.store.commit_upload(1, "/p/q/r", False, 0, self.other, blob, 9, "tok")
        self.assertFalse(same)
        self.assertEqual(e.version, head + 3)
        for p, v in (("/p", head + 1), ("/p/q", head + 2)):
            d = self.store.live(self.store.views[1], p)
            self.assertEqual((d.type, d.version, d.mtime), ("dir", v, 0))
        # "mtime" refer keeps the stored time.
        e2, _ = self.store.commit_upload(1, "/p/q/r", False, e.version, self.other, blob,
                                         None, "tok")
        self.assertEqual((e2.version, e2.mtime), (e.version + 1, 9))

    def test_first_version_above_32_bits(self):
        s = Store(os.path.join(self.dir, "other"), first_version=(1 << 32) + 10)
        s.add_view(1)
        e = s.put_file(1, "/a", s.ingest_bytes(b"a"), 1)
        self.assertEqual(e.version, (1 << 32) + 10)
        s.set_first_version(5)  # the counter has moved: unchanged
        self.assertEqual(s.put_file(1, "/b", s.ingest_bytes(b"b"), 1).version, (1 << 32) + 11)

    def test_history_depth(self):
        self.store.history_depth = 2
        for i in range(4):
            self.put("/h", b"v%d" % i)
        self.assertEqual([e.describe()["size"] for e in self.store.views[1].objects["/h"]],
                         [2, 2])
        self.assertEqual(len(self.store.history(1, "/h")), 2)


class Pulls(StoreCase):
    def setUp(self):
        super().setUp()
        self.store.mkdir(1, "/a", 5)               # 1
        self.put("/a/x.txt", b"12345")             # 2
        self.put("/a/sub/y.log", b"1")             # 3 (/a/sub), 4
        self.put("/b.txt", b"1234567890")          # 5

    def paths(self, recs):
        return [(r["path"], r["sync_id"]) for r in recs]

    def test_records_versions_and_next(self):
        recs, nxt = self.store.pull(1, "/", 0, 1)
        self.assertEqual(self.paths(recs), [("/a", 1), ("/a/x.txt", 2), ("/a/sub", 3),
                                            ("/a/sub/y.log", 4), ("/b.txt", 5)])
        self.assertEqual(nxt, 5)
        f = recs[1]
        self.assertEqual(f, {"path": "/a/x.txt", "is_dir": 0, "is_removed": 0, "sync_id": 2,
                             "max_id": 2, "file": {"hash": md4.md4_hex(b"12345"), "size": 5},
                             "mtime": {"mtime": 100}})
        self.assertEqual(self.store.pull(1, "/", 5, 1), ([], 5))
        recs, nxt = self.store.pull(1, "/a", 2, 1)
        self.assertEqual(self.paths(recs), [("/sub", 3), ("/sub/y.log", 4)])
        self.assertEqual(nxt, 5)
        recs, _ = self.store.pull(1, "/a", 0, 0)
        self.assertEqual(self.paths(recs), [("/x.txt", 2), ("/sub", 3)])

    def test_pull_of_a_path_that_is_not_a_live_folder(self):
        for p in ("/nope", "/b.txt"):
            with self.subTest(path=p):
                self.assertEqual(self.refusal(self.store.pull, 1, p, 0, 1).code, 0x3003)

    def test_tombstones_at_one_version_for_a_folder_and_below(self):
        v = self.store.remove(1, "/a")
        recs, nxt = self.store.pull(1, "/", 5, 1)
        self.assertEqual(nxt, v)
        self.assertEqual(sorted((r["path"], r["is_removed"], r["is_dir"], r["sync_id"])
                                for r in recs),
                         [("/a", 1, 1, v), ("/a/sub", 1, 1, v), ("/a/sub/y.log", 1, 0, v),
                          ("/a/x.txt", 1, 0, v)])
        self.assertNotIn("file", recs[0])
        # Recreated: a client from before the remove sees the tombstones of
        # the children and the new folder.
        self.store.mkdir(1, "/a", 7)
        recs, _ = self.store.pull(1, "/", 5, 1)
        self.assertIn(("/a", 0), [(r["path"], r["is_removed"]) for r in recs])
        self.assertIn(("/a/x.txt", 1), [(r["path"], r["is_removed"]) for r in recs])

    def test_pages_end_at_a_version_boundary(self):
        v = self.store.remove(1, "/a")  # four records at one version
        self.put("/c", b"c")
        recs, nxt = self.store.pull(1, "/", 0, 1, page_size=2)
        # /b.txt (5) then the tie at v, all of it.
        self.assertEqual([r["sync_id"] for r in recs], [5, v, v, v, v])
        self.assertEqual(nxt, v)
        recs, nxt = self.store.pull(1, "/", nxt, 1, page_size=2)
        self.assertEqual(self.paths(recs), [("/c", v + 1)])
        self.assertEqual(nxt, v + 1)
        self.assertEqual(self.store.pull(1, "/", 0, 1, page_size=1)[1], 5)

    def test_conditions(self):
        self.store.remove(1, "/b.txt")
        self.put("/.profile", b"p")
        self.put("/a/big.txt", b"x" * 100)
        cases = [
            ({"extension": "txt"}, ["/a/x.txt", "/a/big.txt"]),
            ({"extension": ".log"}, ["/a/sub/y.log"]),
            ({"extension": "*"}, ["/a/x.txt", "/a/sub/y.log", "/.profile", "/a/big.txt"]),
            ({"extension": "profile"}, []),
            ({"prefix": "/a/sub"}, ["/a/sub", "/a/sub/y.log"]),
            ({"name": "y.log"}, ["/a/sub/y.log"]),
            ({"min_size": 1, "max_size": 5}, ["/a/x.txt"]),
            ({"min_size": 5, "max_size": 0}, ["/a/big.txt"]),
        ]
        for cond, want in cases:
            with self.subTest(cond=cond):
                recs, _ = self.store.pull(1, "/", 0, 1, cond)
                self.assertEqual([r["path"] for r in recs], want)
        recs, _ = self.store.pull(1, "/a", 0, 1, {"prefix": "/sub"})
        self.assertEqual([r["path"] for r in recs], ["/sub", "/sub/y.log"])


class Removes(StoreCase):
    def setUp(self):
        super().setUp()
        self.store.mkdir(1, "/d", 5, origin="tok")     # 1
        self.f = self.put("/d/f", b"f", origin="tok")  # 2

    def test_file_and_missing(self):
        cases = [("/nope", 0, 0xA001), ("/d/f", self.f.version - 1, 0xA002),
                 ("/d/f", 0, 0xA002)]
        for path, sync_id, code in cases:
            with self.subTest(path=path, sync_id=sync_id):
                self.assertEqual(self.refusal(self.store.remove_request, 1, path, sync_id, 0,
                                              "tok").code, code)
        v = self.store.remove_request(1, "/d/f", self.f.version, self.f.version, "tok")
        self.assertIsNone(self.store.live(self.store.views[1], "/d/f"))
        self.assertEqual(self.store.latest(self.store.views[1], "/d/f").version, v)
        self.assertEqual(self.refusal(self.store.remove_request, 2, "/d", 0, 0, "tok").code,
                         0x3004)

    def test_folder_rule_by_origin(self):
        # Own uploads below the folder never block its remove.
        self.put("/d/own", b"o", origin="tok")
        self.assertIsNotNone(self.store.remove_request(1, "/d", 1, 1, "tok"))

    def test_folder_rule_with_other_origins(self):
        for origin in ("control", "other-token"):
            with self.subTest(origin=origin):
                self.store.mkdir(1, "/e", 5, origin="tok")
                e = self.store.live(self.store.views[1], "/e").version
                w = self.put("/e/theirs", b"t", origin=origin).version
                r = self.refusal(self.store.remove_request, 1, "/e", e, e, "tok")
                self.assertEqual(r.code, 0xA002)
                # A max_id at the change lets it go.
                self.store.remove_request(1, "/e", e, w, "tok")

    def test_folder_rule_counts_what_the_token_pulled(self):
        self.put("/d/theirs", b"t", origin="control")
        self.assertEqual(self.refusal(self.store.remove_request, 1, "/d", 1, 1, "tok").code,
                         0xA002)
        self.store.pull(1, "/", 0, 1, session="other")  # another token's pull: no help
        self.assertEqual(self.refusal(self.store.remove_request, 1, "/d", 1, 1, "tok").code,
                         0xA002)
        self.store.pull(1, "/", 0, 1, session="tok")
        self.store.remove_request(1, "/d", 1, 1, "tok")


if __name__ == "__main__":
    unittest.main()
