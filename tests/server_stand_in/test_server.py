"""The stand-in over sockets, driven by a small client."""

import base64
import os
import shutil
import signal
import ssl
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from standin import codec, md4, rdiff  # noqa: E402
from standin.client import StandIn  # noqa: E402

PKI = os.path.join(os.path.dirname(HERE), "data", "pki")
CA = os.path.join(PKI, "ca.pem")
S = {"session": "tok", "view_id": 1}


def pull(path="/", sync_id=0, recursive=1, **kw):
    m = dict(S, sync_id=sync_id, path=path, node_id=3, recursive=recursive,
             file={"offset": 0}, mtime={"offset": 0})
    m.update(kw)
    return m


class ServerCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.si = StandIn(os.path.join(self.tmp, "data"), PKI)
        self.expected = []

    def tearDown(self):
        try:
            v = self.si.ok("violations")["violations"]
            texts = [x["text"] for x in v]
            unexpected = [t for t in texts if not any(e in t for e in self.expected)]
            self.assertEqual(unexpected, [], "violations not expected")
        finally:
            self.si.stop()
            shutil.rmtree(self.tmp)

    def expect_violation(self, text):
        self.expected.append(text)
        v = [x["text"] for x in self.si.ok("violations")["violations"]]
        self.assertTrue(any(text in t for t in v), "no violation %r in %r" % (text, v))

    def put(self, path, data, **kw):
        return self.si.ok("put", path=path, data_b64=base64.b64encode(data).decode(),
                          **kw)["version"]

    def file(self, name, data):
        p = os.path.join(self.tmp, name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def upload(self, path, data, sync_id=0, **kw):
        p = self.file("up-" + path.replace("/", "_"), data)
        m = dict(S, sync_id=sync_id, max_id=sync_id, path=path, is_dir=0,
                 file={"size": len(data), "hash": md4.md4_hex(data), "refer": 0,
                       "is_delta": 0, "data": codec.FileSlice(p)},
                 mtime={"refer": 0, "mtime": 1000})
        m.update(kw)
        return m

    def events(self, kind):
        return [e for e in self.si.ok("journal")["events"] if e["event"] == kind]


class Handshakes(ServerCase):
    def test_plain_and_both_tls_orders(self):
        self.put("/a", b"a")
        for mode in (None, "encrypt", "do_ssl"):
            with self.subTest(mode=mode):
                c = self.si.client(tls=mode, cafile=CA)
                r = c.call("pull_event", pull())
                self.assertEqual(r["next_sync_id"], 1)
                self.assertEqual(r["alive"], 60)
                c.close()
        cnt = self.si.ok("counters")["counters"]
        self.assertEqual((cnt["connects_plain"], cnt["connects_do_ssl"], cnt["connects_in_tls"],
                          cnt["tls_handshakes"]), (1, 1, 1, 2))
        self.assertEqual(len(self.events("tls")), 2)

    def test_connect_reply_and_refusals(self):
        c = self.si.raw_client()
        r = c.call("connect", S)
        self.assertEqual(r, {"alive": 60, "server": {"package_version": {"build": 5000}}})
        self.si.ok("set", server_build=None)
        self.assertEqual(c.call("connect", S), {"alive": 60})
        self.assertEqual(c.call("connect", dict(S, session="bad")),
                         {"alive": 60, "error": {"code": 0x2001}})
        self.assertEqual(c.call("connect", dict(S, view_id=9)),
                         {"alive": 60, "error": {"code": 0x3001}})
        c.close()

    def test_certificates_against_the_client_check(self):
        cases = [("srv", CA, True), ("self-signed", CA, False),
                 ("srv", os.path.join(PKI, "ca2.pem"), False), ("expired", CA, False)]
        for cert, ca, ok in cases:
            with self.subTest(cert=cert, ca=os.path.basename(ca)):
                if not os.path.exists(os.path.join(PKI, cert + ".pem")):
                    self.skipTest("%s.pem not in the test PKI" % cert)
                self.si.ok("set", cert=cert)
                c = self.si.raw_client()
                c.call("encrypt_channel")
                if ok:
                    c.start_tls(ca)
                    self.assertEqual(c.call("connect", S)["alive"], 60)
                else:
                    with self.assertRaises(ssl.SSLCertVerificationError):
                        c.start_tls(ca)
                c.close()

    def test_tls_1_2_as_the_maximum(self):
        self.si.ok("set", tls_max_1_2=True)
        c = self.si.raw_client()
        c.call("encrypt_channel")
        self.assertEqual(c.start_tls(CA), "TLSv1.2")
        c.close()

    def test_refused_encrypt_channel_stays_plain(self):
        self.si.ok("fault", rule={"action": "encrypt_channel", "error": 0x7000})
        c = self.si.raw_client()
        self.assertEqual(c.call("encrypt_channel"), {"error": {"code": 0x7000}})
        self.assertEqual(c.call("connect", S)["alive"], 60)
        c.close()

    def test_request_after_a_refused_connect_and_a_downgrade(self):
        self.si.ok("set", expect_tls=True)
        self.si.ok("fault", rule={"action": "connect", "error": 0x7000})
        c = self.si.raw_client()
        self.assertEqual(c.call("connect", dict(S, do_ssl=1)),
                         {"alive": 60, "error": {"code": 0x7000}})
        r = c.call("pull_event", pull())
        self.assertEqual(r["error"]["code"], 0x2001)
        self.expect_violation("pull_event without a successful connect")
        self.expect_violation("pull_event on a plain connection")
        c.close()

    def test_second_tls_start_and_bytes_before_the_switch(self):
        c = self.si.client(tls="encrypt", cafile=CA)
        self.assertEqual(c.call("encrypt_channel"), {"error": {"code": 0x7000}})
        self.assertEqual(c.call("connect", dict(S, do_ssl=1))["alive"], 60)
        self.assertEqual(c.call("pull_event", pull())["next_sync_id"], 0)
        v = [x["text"] for x in self.si.ok("violations")["violations"]]
        self.assertEqual(v, ["a second TLS start"] * 2)
        self.expected.append("a second TLS start")
        c = self.si.raw_client()
        c.send_raw(codec.header(22) + codec.encode({"action": "encrypt_channel",
                                                    "agent": {"platform": "x", "version": {
                                                        "build": 1, "major": 1, "minor": 1}}})
                   + b"early")
        self.assertEqual(c.recv(), {})
        self.assertRaises((codec.PeerClosed, ConnectionResetError), c.recv)
        self.expect_violation("5 bytes before the TLS switch")

    def test_connection_limit(self):
        clients = [self.si.client() for _ in range(64)]
        extra = self.si.raw_client()
        self.assertRaises((codec.PeerClosed, ConnectionResetError), extra.recv)
        closes = [e for e in self.events("close") if e.get("reason") == "too many connections"]
        self.assertEqual(len(closes), 1)
        clients[0].close()
        deadline = time.time() + 5
        while len(self.events("close")) < 2 and time.time() < deadline:
            time.sleep(0.02)
        self.assertEqual(self.si.client().call("pull_event", pull())["next_sync_id"], 0)

    def test_alive_zero_refuses_the_connect(self):
        self.si.ok("fault", rule={"action": "connect", "alive": 0})
        c = self.si.raw_client()
        self.assertEqual(c.call("connect", dict(S, do_ssl=1))["alive"], 0)
        # No TLS followed: the connection still talks plain and is not connected.
        self.assertEqual(c.call("pull_event", pull())["error"]["code"], 0x2001)
        self.expect_violation("without a successful connect")
        c.close()


class Requests(ServerCase):
    def test_request_checks(self):
        self.si.ok("add_view", view=2, read_only=True)
        c = self.si.client()
        cases = [
            ("pull_event", pull(session="bad"), 0x2001, None),
            ("pull_event", pull(view_id=7), 0x3001, None),
            ("pull_event", pull(path="/a/../b"), 0x3003, "bad path"),
            ("pull_event", pull(path="/missing"), 0x3003, None),
            ("upload", self.upload("/ro", b"x", view_id=2), 0x3004, None),
            ("remove", dict(S, view_id=2, sync_id=0, max_id=0, path="/x"), 0x3004, None),
            ("remove", dict(S, sync_id=0, max_id=0, path="/x"), 0xA001, None),
            ("resume_get_status", dict(S, resume_token="rt-99"), 0xB001, None),
            ("pull_event", dict(S, path="/"), 0x7000, "pull_event without sync_id"),
            ("pull_event", pull(sync_id="1"), 0x7000, "sync_id is not an integer"),
            ("pull_event", pull(condition={"name": "a", "prefix": "/b"}), 0x7000,
             "condition is not exactly one form"),
        ]
        for action, members, code, violation in cases:
            with self.subTest(action=action, code=hex(code)):
                r = c.call(action, members)
                self.assertEqual(r["error"], {"code": code})
                self.assertEqual(r["alive"], 60)
                if violation:
                    self.expect_violation(violation)

    def test_protocol_violations(self):
        c = self.si.client()
        r = c.call("pull_event", pull(), command=24)
        self.assertEqual(r["error"]["code"], 0x8000)
        self.expect_violation("command 24")
        c.call("pull_event", pull(), command=23)
        self.expect_violation("command 23 with action pull_event")
        c.send_raw(codec.header(6) + codec.encode(dict(pull(), action="pull_event")))
        self.assertNotIn("error", c.recv())
        self.expect_violation("without agent")
        c.send_raw(codec.header(6, version=71))
        self.assertRaises(codec.PeerClosed, c.recv)
        self.expect_violation("bad header")
        c.close()

    def test_hostile_requests_leave_no_file(self):
        body = b"\x30" + (1000).to_bytes(8, "big") + b"x" * 1000
        cases = {
            "width 9": b"\x42\x10\x00\x01a\x01\x09" + b"\x00" * 9 + b"\x40",
            "unknown tag": b"\x42\x10\x00\x01a" + body + b"\x10\x00\x01b\x7f",
            "non-string key": b"\x42\x10\x00\x01a" + body + b"\x01\x01\x01",
            "null 01": b"\x42\x10\x00\x01a\x00\x01\x40",
            "depth 65": b"\x42\x10\x00\x01a" + b"\x41" * 64,
            "NUL": b"\x42\x10\x00\x01a\x10\x00\x03a\x00b\x40",
            "invalid UTF-8": b"\x42\x10\x00\x01a\x10\x00\x02\xc3\x28\x40",
        }
        for name, wire in cases.items():
            with self.subTest(name):
                c = self.si.raw_client()
                c.send_raw(codec.header(23) + wire)
                self.assertRaises((codec.PeerClosed, ConnectionResetError), c.recv)
                c.close()
        self.expect_violation("decode error")
        self.assertEqual(len([v for v in self.si.ok("violations")["violations"]]), len(cases))
        self.assertEqual(os.listdir(os.path.join(self.tmp, "data", "spool")), [])

    def test_pull_upload_download_remove(self):
        c = self.si.client()
        r = c.call("upload", self.upload("/dir/f", b"hello"))
        self.assertEqual(r, {"sync_id": 2, "max_id": 2, "is_dir": 0, "alive": 60,
                             "file": {"size": 5, "hash": md4.md4_hex(b"hello"), "file_id": 1}})
        r = c.call("upload", dict(S, sync_id=0, max_id=0, path="/dir/g", is_dir=1,
                                  mtime={"refer": 0, "mtime": 77}))
        self.assertEqual(r, {"sync_id": 3, "max_id": 3, "is_dir": 1, "alive": 60})
        recs = c.call("pull_event", pull("/dir"))["event_list"]
        self.assertEqual([(x["path"], x["sync_id"]) for x in recs], [("/f", 2), ("/g", 3)])
        self.assertEqual(recs[1]["mtime"], {"mtime": 77})
        got = self.si.ok("get", path="/dir/f")
        self.assertEqual((got["version"], got["size"], got["mtime"]), (2, 5, 1000))
        tok = c.call("resume_get_token", S)["resume_token"]
        dl = dict(S, sync_id=0, max_id=0, target_sync_id=2, path="/dir/f",
                  file={"offset": 0}, mtime={"offset": 0}, force_current_version=0,
                  resume_token=tok)
        r = c.call("resume_download", dl)
        self.assertEqual(r["file"], {"data": b"hello", "is_delta": 0, "refer": 0,
                                     "hash": md4.md4_hex(b"hello"), "size": 5})
        self.assertEqual((r["sync_id"], r["mtime"]), (2, {"mtime": 1000}))
        r = c.call("resume_download", dict(dl, sync_id=2))
        self.assertNotIn("file", r)
        self.assertEqual(c.call("resume_download", dict(dl, file={"offset": 6}))["error"],
                         {"code": 0xB000})
        self.expect_violation("offset 6 of a 5-byte body")
        self.assertEqual(c.call("resume_download", dict(dl, path="/no"))["error"],
                         {"code": 0x8001})
        self.assertEqual(c.call("remove", dict(S, sync_id=2, max_id=2, path="/dir/f")),
                         {"alive": 60})
        recs = c.call("pull_event", pull("/dir", 3))["event_list"]
        self.assertEqual(recs, [{"path": "/f", "is_dir": 0, "is_removed": 1, "sync_id": 4,
                                 "max_id": 4}])

    def test_delta_both_ways_and_refer(self):
        base = os.urandom(200000)
        new = base[:5000] + b"changed" + base[5007:]
        c = self.si.client()
        v1 = c.call("upload", self.upload("/f", base))["sync_id"]
        sig, dl = self.file("sig", b""), self.file("delta", b"")
        rdiff.signature(self.file("base", base), sig)
        rdiff.delta(sig, self.file("new", new), dl)
        m = self.upload("/f", new, sync_id=v1)
        m["file"].update(is_delta=1, data=codec.FileSlice(dl))
        m["mtime"] = {"refer": 1}
        r = c.call("upload", m)
        v2 = r["sync_id"]
        self.assertEqual(r["file"]["hash"], md4.md4_hex(new))
        self.assertEqual(self.si.ok("get", path="/f")["mtime"], 1000)
        tok = c.call("resume_get_token", S)["resume_token"]
        req = dict(S, sync_id=v1, max_id=v1, target_sync_id=v2, path="/f",
                   file={"offset": 0}, mtime={"offset": 0}, force_current_version=0,
                   resume_token=tok)
        r = c.call("resume_download", req, sink_dir=self.tmp)
        self.assertEqual((r["file"]["is_delta"], r["file"]["refer"]), (1, 0))
        self.assertLess(r["file"]["data"].length, 20000)
        out = os.path.join(self.tmp, "out")
        rdiff.patch(self.file("base2", base), r["file"]["data"].path, out)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), new)
        # Same content at a new version: the base is referred to.
        m = self.upload("/f", new, sync_id=v2)
        m["file"] = {"size": len(new), "hash": md4.md4_hex(new), "refer": 1}
        v3 = c.call("upload", m)["sync_id"]
        r = c.call("resume_download", dict(req, sync_id=v2, target_sync_id=v3))
        self.assertEqual((r["sync_id"], r["file"]["refer"]), (v3, 1))
        self.assertNotIn("data", r["file"])
        # A bad delta is refused with a violation.
        m = self.upload("/f", b"x", sync_id=v3)
        m["file"].update(is_delta=1)
        self.assertEqual(c.call("upload", m)["error"], {"code": 0x9000})
        self.expect_violation("bad delta")
        # A hash that does not match the body.
        m = self.upload("/g", b"body")
        m["file"]["hash"] = "0" * 32
        self.assertEqual(c.call("upload", m)["error"], {"code": 0x9000})
        self.expect_violation("content has size")

    def test_dry_run_then_reference(self):
        self.put("/held", b"same content")
        c = self.si.client()
        tok = c.call("resume_get_token", S)["resume_token"]
        m = self.upload("/copy", b"same content", resume_token=tok)
        dry = dict(m, dry_run=1, file={k: v for k, v in m["file"].items() if k != "data"})
        r = c.call("upload", dry)
        self.assertEqual(r, {"file": {"file_id": 1}, "alive": 60})
        self.assertEqual(c.call("upload", dict(dry, path="/held", sync_id=5))["error"],
                         {"code": 0x9002})
        m["file"] = dict(dry["file"], refer=1, file_id=1)
        r = c.call("resume_upload", m)
        self.assertEqual(r["file"]["file_id"], 1)
        self.assertEqual(self.si.ok("tokens")["tokens"], [])
        r = c.call("upload", dict(dry, path="/other", file=dict(dry["file"], size=1)))
        self.assertEqual(r["file"]["file_id"], 0)


class Resume(ServerCase):
    def send_into_close(self, c, action, message):
        """Sends a request whose body the stand-in cuts off: the close meets
        either the rest of the send (a reset) or the wait for a reply."""
        try:
            c.send(action, message)
        except (ConnectionResetError, BrokenPipeError):
            return
        self.assertRaises((codec.PeerClosed, ConnectionResetError), c.recv)

    def test_upload_dropped_after_k_bytes_then_resumed(self):
        data = os.urandom(1 << 20)
        c = self.si.client()
        tok = c.call("resume_get_token", S)["resume_token"]
        self.si.ok("fault", rule={"action": "resume_upload", "close": "recv_bytes",
                                  "bytes": 300000})
        # The daemon's member order: action, agent, resume_token, file (data
        # first), then the rest; the body lands in the token's file.
        m = self.upload("/big", data, resume_token=tok)
        self.send_into_close(c, "resume_upload", m)
        c.close()
        toks = self.si.ok("tokens")["tokens"]
        self.assertEqual([(t["token"], t["offset"]) for t in toks], [(tok, 300000)])
        with open(toks[0]["path"], "rb") as f:
            self.assertEqual(f.read(), data[:300000])
        c = self.si.client()
        r = c.call("resume_get_status", dict(S, resume_token=tok))
        self.assertEqual(r["file"], {"offset": 300000})
        m["file"]["data"] = codec.FileSlice(m["file"]["data"].path, 300000)
        r = c.call("resume_upload", m)
        self.assertEqual(r["file"]["hash"], md4.md4_hex(data))
        with open(self.si.ok("get", path="/big")["content_path"], "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(self.si.ok("tokens")["tokens"], [])
        close = [e for e in self.events("close") if e["conn"] == 1]
        self.assertEqual((close[0]["by"], close[0]["phase"]), ("server", "body"))

    def test_resume_without_a_status_report_is_a_violation(self):
        data = os.urandom(100000)
        c = self.si.client()
        tok = c.call("resume_get_token", S)["resume_token"]
        self.si.ok("fault", rule={"action": "resume_upload", "close": "recv_bytes",
                                  "bytes": 1000})
        m = self.upload("/f", data, resume_token=tok)
        self.send_into_close(c, "resume_upload", m)
        c = self.si.client()
        r = c.call("resume_upload", m)  # the whole body again, no status asked
        self.assertEqual(r["file"]["hash"], md4.md4_hex(data))
        self.expect_violation("only 0 were reported")

    def test_download_dropped_after_k_bytes_then_resumed(self):
        data = os.urandom(500000)
        self.put("/f", data)
        self.si.ok("fault", rule={"action": "resume_download", "close": "send_bytes",
                                  "bytes": 123456})
        c = self.si.client()
        tok = c.call("resume_get_token", S)["resume_token"]
        req = dict(S, sync_id=0, max_id=0, target_sync_id=1, path="/f", file={"offset": 0},
                   mtime={"offset": 0}, force_current_version=0, resume_token=tok)
        c.send("resume_download", req)
        with self.assertRaises(codec.PeerClosed):
            c.recv()
        # The client's reader kept what arrived of the body.
        c.close()
        self.put("/f", b"changed meanwhile")
        c = self.si.client()
        r = c.call("resume_download", dict(req, file={"offset": 123456}))
        self.assertEqual(r["file"]["data"], data[123456:])
        self.assertEqual((r["sync_id"], r["file"]["size"]), (1, len(data)))
        # The journal's reply summary counts the body bytes of each attempt.
        bodies = [(e["summary"]["offset"], e["summary"]["body"])
                  for e in self.si.ok("journal")["events"]
                  if e["event"] == "reply" and e["action"] == "resume_download"]
        self.assertEqual(bodies[-1], (123456, len(data) - 123456))

    def test_body_before_its_token_is_appended_to_the_token(self):
        data = os.urandom(300000)
        c = self.si.client()
        tok = c.call("resume_get_token", S)["resume_token"]
        m = dict(self.upload("/f", data, resume_token=tok), action="resume_upload",
                 agent={"platform": "x", "version": {"build": 1, "major": 1, "minor": 1}})
        # Byte order: "file" (and its body) before "resume_token".
        c.send_raw(codec.header(27) + codec.encode(m))
        self.assertEqual(c.recv()["file"]["hash"], md4.md4_hex(data))
        with open(self.si.ok("get", path="/f")["content_path"], "rb") as f:
            self.assertEqual(f.read(), data)

    def test_download_target_above_the_head(self):
        self.put("/f", b"f")
        c = self.si.client()
        tok = c.call("resume_get_token", S)["resume_token"]
        r = c.call("resume_download", dict(S, sync_id=0, max_id=0, target_sync_id=9, path="/f",
                                           file={"offset": 0}, mtime={"offset": 0},
                                           force_current_version=0, resume_token=tok))
        self.assertEqual(r["file"]["data"], b"f")
        self.expect_violation("target_sync_id 9 above the head 1")

    def test_token_knobs(self):
        c = self.si.client()
        self.si.ok("fault", rule={"action": "resume_get_token", "set": {"resume_token": 42}})
        tok = c.call("resume_get_token", S)["resume_token"]
        self.assertEqual(tok, 42)
        self.assertEqual(c.call("resume_get_status", dict(S, resume_token=42))["file"],
                         {"offset": 0})
        self.si.ok("fault", rule={"action": "resume_get_status", "status_offset": 999})
        self.assertEqual(c.call("resume_get_status", dict(S, resume_token=42))["file"],
                         {"offset": 999})
        self.si.ok("fault", rule={"action": "resume_get_status", "forget_tokens": True})
        self.assertEqual(c.call("resume_get_status", dict(S, resume_token=42))["error"],
                         {"code": 0xB001})


class Faults(ServerCase):
    def test_reply_knobs(self):
        self.put("/a", b"a")
        c = self.si.client()
        rules = [
            ({"keep_alives": 3}, lambda r: self.assertEqual((c.keep_alives, "type" in r),
                                                            (3, False))),
            ({"keep_alives": 1, "final_type": True},
             lambda r: self.assertEqual(r["type"], "reply")),
            ({"error": 0x12345}, lambda r: self.assertEqual(r, {"error": {"code": 0x12345},
                                                                "alive": 60})),
            ({"alive": 2}, lambda r: self.assertEqual(r["alive"], 2)),
            ({"omit": ["next_sync_id"]}, lambda r: self.assertNotIn("next_sync_id", r)),
            ({"set": {"next_sync_id": 7, "x.y": "z"}},
             lambda r: self.assertEqual((r["next_sync_id"], r["x"]), (7, {"y": "z"}))),
        ]
        for rule, check in rules:
            with self.subTest(rule=rule):
                c.keep_alives = 0
                self.si.ok("fault", rule=dict(rule, action="pull_event"))
                check(c.call("pull_event", pull()))
        self.assertEqual(len(self.events("keep_alive")), 4)

    def test_extra_records_with_exact_bytes(self):
        c = self.si.client()
        bad = "s64:" + base64.b64encode(b"/a\x00/../x").decode()
        self.si.ok("fault", rule={"action": "pull_event", "extra_records": [
            {"path": bad, "is_dir": 0, "is_removed": 0, "sync_id": 1, "max_id": 1},
            {"path": "/../x", "is_dir": 0, "is_removed": 0, "sync_id": 1, "max_id": 1,
             "file": {"hash": "x' OR '1'='1", "size": 1}}]})
        c.send("pull_event", pull())
        raw = c.reader.read(200)
        self.assertIn(b"\x10\x00\x08/a\x00/../x", raw)
        self.assertIn(b"x' OR '1'='1", raw)

    def test_presets(self):
        cases = {
            "unknown_tag": b"\x7f",
            "non_string_key": b"\x42\x01",
            "null_body_01": b"\x00\x01",
            "width_9": b"\x01\x09",
            "deep_nesting": b"\x41" * 1000,
        }
        for preset, marker in cases.items():
            with self.subTest(preset):
                c = self.si.client()
                self.si.ok("fault", rule={"action": "pull_event", "preset": preset})
                c.send("pull_event", pull())
                got = b""
                while True:
                    chunk = c.sock.recv(65536)
                    if not chunk:
                        break
                    got += chunk
                self.assertIn(marker, got)
                c.close()
        c = self.si.client()
        self.si.ok("fault", rule={"action": "pull_event", "preset": "binary_in_pull"})
        r = c.call("pull_event", pull())
        self.assertEqual(r["event_list"][-1]["file"]["data"], b"body")
        self.si.ok("fault", rule={"action": "pull_event", "preset": "truncated"})
        c.send("pull_event", pull())
        self.assertRaises(codec.PeerClosed, c.recv)

    def test_too_many_values_preset(self):
        c = self.si.client()
        self.si.ok("fault", rule={"action": "pull_event", "preset": "too_many_values"})
        c.send("pull_event", pull())
        with self.assertRaises(codec.DecodeError):
            c.recv()

    def test_raw_corrupt_ignore_offset_and_nth(self):
        self.put("/f", b"0123456789")
        c = self.si.client()
        self.si.ok("fault", rule={"action": "pull_event", "raw_b64":
                                  base64.b64encode(b"\x42\x40").decode(),
                                  "raw_then_close": True, "nth": 2})
        self.assertIn("event_list", c.call("pull_event", pull()))
        self.assertEqual(c.call("pull_event", pull()), {})
        self.assertRaises(codec.PeerClosed, c.recv)
        c = self.si.client()
        tok = c.call("resume_get_token", S)["resume_token"]
        req = dict(S, sync_id=0, max_id=0, target_sync_id=1, path="/f",
                   file={"offset": 4}, mtime={"offset": 0}, force_current_version=0,
                   resume_token=tok)
        self.si.ok("fault", rule={"action": "resume_download", "corrupt_body_byte": 1,
                                  "count": 2})
        self.assertEqual(c.call("resume_download", req)["file"]["data"], b"4\xca6789")
        self.si.ok("clear_faults")
        self.si.ok("fault", rule={"action": "resume_download", "ignore_offset": True,
                                  "path": "/f"})
        self.assertEqual(c.call("resume_download", req)["file"]["data"], b"0123456789")
        self.assertEqual(c.call("resume_download", req)["file"]["data"], b"456789")

    def test_delay_and_hold_after_commit(self):
        c = self.si.client()
        self.si.ok("fault", rule={"action": "pull_event", "delay_ms": 300, "count": -1})
        self.si.ok("fault", rule={"action": "upload", "hold_after_commit_ms": 2000})
        for _ in range(2):
            t = time.monotonic()
            c.call("pull_event", pull())
            self.assertGreaterEqual(time.monotonic() - t, 0.3)
        t = time.monotonic()
        c.send("upload", self.upload("/f", b"x"))
        # Committed while the reply is held back.
        while not self.si.control("get", path="/f")["ok"]:
            self.assertLess(time.monotonic() - t, 1.5)
            time.sleep(0.02)
        self.assertEqual(c.recv()["sync_id"], 1)
        self.assertGreaterEqual(time.monotonic() - t, 2)

    def test_read_rate_and_spaced_keep_alives(self):
        c = self.si.client()
        self.si.ok("fault", rule={"action": "upload", "recv_rate": 200000})
        t = time.monotonic()
        self.assertEqual(c.call("upload", self.upload("/f", os.urandom(100000)))["sync_id"], 1)
        self.assertGreaterEqual(time.monotonic() - t, 0.45)
        self.si.ok("fault", rule={"action": "pull_event", "keep_alives": 3, "keep_alive_ms": 200})
        c.keep_alives = 0
        t = time.monotonic()
        self.assertIn("event_list", c.call("pull_event", pull()))
        self.assertGreaterEqual(time.monotonic() - t, 0.6)
        self.assertEqual(c.keep_alives, 3)
        tok = c.call("resume_get_token", S)["resume_token"]
        self.si.ok("fault", rule={"action": "resume_download", "send_rate": 200000})
        t = time.monotonic()
        r = c.call("resume_download", dict(S, sync_id=0, max_id=0, target_sync_id=1, path="/f",
                                           file={"offset": 0}, mtime={"offset": 0},
                                           force_current_version=0, resume_token=tok))
        self.assertEqual(len(r["file"]["data"]), 100000)
        self.assertGreaterEqual(time.monotonic() - t, 0.45)
        self.assertFalse(self.si.control("fault", rule={"action": "x", "recv_rate": 0})["ok"])
        self.assertFalse(self.si.control("fault", rule={"action": "x", "send_rate": -1})["ok"])

    def test_close_before_and_after_reply(self):
        c = self.si.client()
        self.si.ok("fault", rule={"action": "upload", "close": "before_reply"})
        c.send("upload", self.upload("/f", b"x"))
        self.assertRaises((codec.PeerClosed, ConnectionResetError), c.recv)
        # The upload was carried out.
        self.assertEqual(self.si.ok("get", path="/f")["version"], 1)
        c = self.si.client()
        self.si.ok("fault", rule={"action": "pull_event", "close": "after_reply"})
        self.assertIn("event_list", c.call("pull_event", pull()))
        self.assertRaises(codec.PeerClosed, c.recv)

    def test_bad_rules_are_refused(self):
        for rule in ({}, {"action": "x", "close": "sometimes"}, {"action": "x", "bogus": 1},
                     {"action": "x", "preset": "nope"}):
            with self.subTest(rule=rule):
                self.assertFalse(self.si.control("fault", rule=rule)["ok"])


class Control(ServerCase):
    def test_store_operations(self):
        self.assertEqual(self.put("/a/b", b"x", mtime=5), 2)
        self.assertEqual(self.si.ok("mkdir", path="/c", mtime=6)["version"], 3)
        self.assertEqual([e["path"] for e in self.si.ok("list")["entries"]],
                         ["/a", "/a/b", "/c"])
        self.assertEqual(self.si.ok("head")["head"], 3)
        self.assertEqual(self.si.ok("remove", path="/a")["version"], 4)
        h = self.si.ok("history", path="/a/b")["versions"]
        self.assertEqual([(v["version"], v["removed"]) for v in h], [(2, False), (4, True)])
        self.assertEqual([(v["path"], v["version"], v["removed"])
                          for v in self.si.ok("versions")["versions"]],
                         [("/a", 1, False), ("/a", 4, True), ("/a/b", 2, False),
                          ("/a/b", 4, True), ("/c", 3, False)])
        self.assertFalse(self.si.control("get", path="/a/b")["ok"])
        self.assertFalse(self.si.control("put", path="bad", data_b64="")["ok"])
        self.assertFalse(self.si.control("nope")["ok"])
        self.assertFalse(self.si.control("set", bogus=1)["ok"])
        p = self.file("src", b"from a file")
        v = self.si.ok("put_file", path="/pf", file=p, mtime=9)["version"]
        got = self.si.ok("get", path="/pf")
        self.assertEqual((got["version"], got["size"], got["md4"], got["mtime"]),
                         (v, 11, md4.md4_hex(b"from a file"), 9))
        self.si.ok("set", first_version=(1 << 32) + 10)
        self.si.ok("add_view", view=5)
        self.assertEqual(self.put("/x", b"x", view=5), (1 << 32) + 10)
        self.si.ok("add_token", token="t2")
        c = self.si.client(token="t2", view=5)
        self.assertEqual(c.call("pull_event", pull(session="t2", view_id=5))["next_sync_id"],
                         (1 << 32) + 10)

    def test_journal(self):
        c = self.si.client()
        c.call("pull_event", pull())
        c.close()
        deadline = time.time() + 5
        while not self.events("close") and time.time() < deadline:
            time.sleep(0.02)
        kinds = [e["event"] for e in self.si.ok("journal")["events"]]
        self.assertEqual(kinds, ["accept", "request", "reply", "request", "reply", "close"])
        j = self.si.ok("journal", since=4)
        self.assertEqual([e["seq"] for e in j["events"]], [4, 5, 6])
        self.assertEqual(j["next"], 7)
        req = self.events("request")[1]
        self.assertEqual((req["command"], req["action"], req["request"]["path"], req["tls"]),
                         (6, "pull_event", "/", False))
        with open(os.path.join(self.tmp, "data", "journal.jsonl")) as f:
            self.assertEqual(len(f.readlines()), 6)


class Lifecycle(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def start(self, name, **kw):
        return StandIn(os.path.join(self.tmp, name), PKI, **kw)

    def test_two_instances_and_shutdown_with_clients_connected(self):
        a, b = self.start("a"), self.start("b")
        try:
            self.assertNotEqual(a.port, b.port)
            clients = [a.client(), a.client(tls="encrypt", cafile=CA), b.client()]
            half = a.raw_client()
            half.send_raw(codec.header(6) + b"\x42")  # a message begun, never ended
            t = time.monotonic()
            self.assertEqual(a.stop(), 0)
            self.assertLess(time.monotonic() - t, 4)
            self.assertEqual(b.client().call("pull_event", pull())["next_sync_id"], 0)
            for c in clients + [half]:
                c.close()
        finally:
            a.stop()
            b.stop()

    def test_end_of_stdin_sigterm_and_lifetime(self):
        cases = [("stdin", lambda s: s.proc.stdin.close()),
                 ("sigterm", lambda s: s.proc.send_signal(signal.SIGTERM)),
                 ("lifetime", lambda s: None)]
        for name, act in cases:
            with self.subTest(name):
                s = self.start(name, max_lifetime=1 if name == "lifetime" else None)
                try:
                    c = s.client()
                    act(s)
                    self.assertEqual(s.proc.wait(10), 0)
                    c.close()
                finally:
                    s.stop()

    def test_seed(self):
        seed = os.path.join(self.tmp, "seed")
        os.makedirs(os.path.join(seed, "sub"))
        for p, d in (("top", b"t"), ("sub/inner", b"in")):
            with open(os.path.join(seed, p), "wb") as f:
                f.write(d)
        s = self.start("s", seed=seed)
        try:
            self.assertEqual([e["path"] for e in s.ok("list")["entries"]],
                             ["/sub", "/sub/inner", "/top"])
        finally:
            s.stop()


if __name__ == "__main__":
    unittest.main()
