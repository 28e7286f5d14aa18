"""The server loop: one thread per connection, handshakes, requests."""

import base64
import os
import socket
import ssl
import struct
import sys
import threading
import time
import traceback

from . import codec, faults as faultmod, md4 as md4mod, rdiff
from .journal import Journal
from .store import (Refusal, Store, valid_path, SESSION_MISS, INTERNAL,
                    DOWNLOAD, DOWNLOAD_NOFILE, UPLOAD, RESUME, RESUME_NOTOKEN,
                    VIEW_INVALID_PATH)

MAX_CONNECTIONS = 64
STALL_SECONDS = 120
HANDSHAKE_SECONDS = 10

ACTIONS = {
    "encrypt_channel": (22,),
    "connect": (14,),
    "pull_event": (6,),
    "remove": (15,),
    "upload": (23,),
    "resume_get_token": (27,),
    "resume_get_status": (27,),
    "resume_upload": (27,),
    "resume_download": (27,),
}

CERTS = {"srv": "srv", "cn-only": "cn-only", "self-signed": "self-signed",
         "expired": "expired"}

DEFAULT_SETTINGS = {"alive": 60, "expect_tls": False, "tls_max_1_2": False,
                    "cert": "srv", "server_build": 5000, "store_unchecked": False,
                    "pull_page_size": 0}


def log(msg):
    print("stand-in: " + msg, file=sys.stderr, flush=True)


STALLED = (socket.timeout, TimeoutError, BlockingIOError, ssl.SSLWantReadError,
           ssl.SSLWantWriteError)


def set_timeouts(sock, seconds):
    tv = struct.pack("ll", int(seconds), 0)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, tv)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, tv)


class Close(Exception):
    """The server closes the connection (phase, reason)."""

    def __init__(self, phase, reason=""):
        super().__init__(reason)
        self.phase = phase


class BadRequest(Exception):
    """A malformed request member: a violation, refused with 0x7000."""


def dotted_set(d, path, value, delete=False):
    keys = path.split(".")
    for k in keys[:-1]:
        if not isinstance(d.get(k), dict):
            if delete:
                return
            d[k] = {}
        d = d[k]
    if delete:
        d.pop(keys[-1], None)
    else:
        d[keys[-1]] = value


SMALL_BODY = 256 << 10


class MemoryBody:
    """A received body small enough to keep in memory."""

    __slots__ = ("data", "length", "complete")

    def __init__(self, data, complete=True):
        self.data = data
        self.length = len(data)
        self.complete = complete


class Server:
    def __init__(self, data_dir, pki_dir, tokens=(), views=(), first_version=1):
        self.data_dir = os.path.abspath(data_dir)
        self.pki_dir = os.path.abspath(pki_dir)
        os.makedirs(self.data_dir, exist_ok=True)
        self.store = Store(self.data_dir, first_version=first_version)
        for t in tokens:
            self.store.sessions.add(t)
        for v in views:
            self.store.add_view(v)
        self.first_view = views[0] if views else None
        self.journal = Journal(os.path.join(self.data_dir, "journal.jsonl"))
        self.faults = faultmod.Faults()
        self.settings = dict(DEFAULT_SETTINGS)
        self.settings_lock = threading.Lock()
        self.ssl_contexts = {}
        self.conn_numbers = 0
        self.conns = {}
        self.conns_lock = threading.Lock()
        self.stopping = threading.Event()
        self.exit = threading.Event()
        self.threads = []
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=128)
        self.control = socket.create_server(("127.0.0.1", 0), backlog=16)
        self.port = self.listener.getsockname()[1]
        self.control_port = self.control.getsockname()[1]
        self.control_conns = []

    # ------------------------------------------------------------ settings

    def setting(self, name):
        with self.settings_lock:
            return self.settings[name]

    def ssl_context(self, cert, tls12):
        key = (cert, tls12)
        with self.settings_lock:
            ctx = self.ssl_contexts.get(key)
            if ctx is None:
                ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                ctx.load_cert_chain(os.path.join(self.pki_dir, cert + ".pem"),
                                    os.path.join(self.pki_dir, cert + ".key"))
                ctx.options |= getattr(ssl, "OP_IGNORE_UNEXPECTED_EOF", 0)
                if tls12:
                    ctx.maximum_version = ssl.TLSVersion.TLSv1_2
                self.ssl_contexts[key] = ctx
            return ctx

    # ------------------------------------------------------------- running

    def start(self):
        for target in (self._accept_loop, self._control_loop):
            t = threading.Thread(target=target, daemon=True)
            t.start()
            self.threads.append(t)

    def _accept_loop(self):
        while not self.stopping.is_set():
            try:
                sock, _ = self.listener.accept()
            except OSError:
                if self.stopping.is_set():
                    return
                continue
            with self.conns_lock:
                self.conn_numbers += 1
                n = self.conn_numbers
                self.journal.count("accepts")
                self.journal.log(n, "accept")
                if len(self.conns) >= MAX_CONNECTIONS or self.stopping.is_set():
                    self.journal.log(n, "close", by="server", phase="idle",
                                     reason="too many connections")
                    sock.close()
                    continue
                c = Connection(self, n, sock)
                c.thread = threading.Thread(target=c.run, daemon=True)
                self.conns[n] = c
                c.thread.start()

    def _control_loop(self):
        from .control import ControlSession
        while not self.stopping.is_set():
            try:
                sock, _ = self.control.accept()
            except OSError:
                if self.stopping.is_set():
                    return
                continue
            s = ControlSession(self, sock)
            self.control_conns.append(s)
            t = threading.Thread(target=s.run, daemon=True)
            t.start()

    def stop(self):
        """Closes every socket and joins the threads (within about 2 s)."""
        self.stopping.set()
        for s in (self.listener, self.control):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
        with self.conns_lock:
            conns = list(self.conns.values())
        for c in conns:
            c.abort()
        for s in self.control_conns:
            s.abort()
        deadline = time.monotonic() + 2
        for c in conns:
            if c.thread is not None and c.thread.ident is not None:
                c.thread.join(max(0, deadline - time.monotonic()))
        for t in self.threads:
            t.join(max(0, deadline - time.monotonic()))
        self.journal.close()

    def forget(self, n):
        with self.conns_lock:
            self.conns.pop(n, None)


class Connection:
    def __init__(self, server, n, sock):
        self.srv = server
        self.n = n
        self.sock = sock
        self.io = sock
        self.tls = False
        self.cert = server.setting("cert")
        self.connected = False
        self.thread = None
        self.closed = False
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # Blocking with kernel time-outs: Python's own time-out would add a
        # poll() before every read and write.
        sock.settimeout(None)
        set_timeouts(sock, STALL_SECONDS)
        self.reader = codec.Reader(self._recv)

    # ----------------------------------------------------------------- i/o

    def _recv(self, mv):
        return self.io.recv_into(mv)

    def abort(self):
        # The plain socket's shutdown, also under TLS: SSLSocket.shutdown
        # would drop the TLS state under the reading thread.
        try:
            socket.socket.shutdown(self.sock, socket.SHUT_RDWR)
        except OSError:
            pass

    def send(self, data):
        self.io.sendall(data)

    def violation(self, text):
        self.srv.journal.violation(self.n, text)

    def jlog(self, event, **kw):
        self.srv.journal.log(self.n, event, **kw)

    # ---------------------------------------------------------------- loop

    def run(self):
        by, phase, reason = "client", "idle", ""
        try:
            while True:
                try:
                    self.reader.wait_first_byte()
                except STALLED:
                    if self.srv.stopping.is_set():
                        by, phase, reason = "server", "idle", "shutdown"
                        break
                    continue
                self.one_message()
        except codec.PeerClosed as e:
            by, phase = "client", getattr(e, "phase", "idle")
        except Close as e:
            by, phase, reason = "server", e.phase, str(e)
        except STALLED as e:
            by, phase, reason = "server", getattr(e, "phase", "request"), "stalled"
        except (ConnectionError, ssl.SSLError, OSError) as e:
            if self.srv.stopping.is_set():
                by, reason = "server", "shutdown"
            else:
                by, reason = "client", str(e)
            phase = getattr(e, "phase", phase)
        except Exception as e:  # noqa: BLE001 - every stand-in fault is reported
            self.violation("stand-in exception: %s: %s" % (type(e).__name__, e))
            traceback.print_exc(file=sys.stderr)
            by, phase, reason = "server", "request", "exception"
        finally:
            if self.srv.stopping.is_set() and by == "client":
                by = "server"
                reason = reason or "shutdown"
            try:
                self.io.close()
            except OSError:
                pass
            try:
                self.sock.close()
            except OSError:
                pass
            # Forgotten before the close is journaled: a test that saw the
            # close may connect again at once, within the connection limit.
            self.srv.forget(self.n)
            self.jlog("close", by=by, phase=phase, reason=reason)

    def one_message(self):
        j = self.srv.journal
        try:
            hdr = self.reader.read(codec.HEADER_SIZE)
        except codec.PeerClosed as e:
            e.phase = "header"
            raise
        except STALLED as e:
            e.phase = "header"
            raise
        ok, version, command, length = codec.parse_header(hdr)
        if not ok or version != codec.PROTO_VERSION or length != 0:
            self.violation("bad header %s" % hdr.hex())
            raise Close("header", "bad header")
        self.body_files = []
        self.token_used = None
        self.body_md4 = {}
        dec = codec.Decoder(self.reader, binary_sink=self._sink, progress=None)
        self.decoder = dec
        self.body_limit = None
        self.body_stall = None
        self.body_rate = None
        self.body_rules_done = False
        self.command = command
        try:
            req = dec.decode()
        except codec.PeerClosed as e:
            e.phase = "body" if self.in_body else "request"
            self._drop_bodies()
            raise
        except STALLED as e:
            e.phase = "body" if self.in_body else "request"
            self._drop_bodies()
            raise
        except codec.DecodeError as e:
            self._drop_bodies()
            self.violation("decode error: %s" % e)
            raise Close("request", "decode error")
        except Close:
            self._drop_bodies()
            raise
        finally:
            j.count("body_bytes_in", dec.body_bytes)
        t_end = time.monotonic()
        try:
            self.handle(command, req, t_end)
        finally:
            self._drop_bodies()

    # ---------------------------------------------------------- body sink

    in_body = False

    def _sink(self, keys, root, length):
        """Where a request body goes: the resume token's file for a resumed
        upload that named its token first, else a spool file."""
        root = root or {}
        self._body_rules(root)
        store = self.srv.store
        tok = None
        if root.get("action") == "resume_upload" and keys[-1:] == ["data"]:
            tok = store.lookup_token(root.get("resume_token"))
        if tok is not None:
            if tok.held() > tok.reported:
                self.violation("resume_upload for token %s holding %d bytes of which only "
                               "%d were reported" % (tok.name, tok.held(), tok.reported))
            fd = os.open(tok.path, os.O_WRONLY | os.O_CREAT)
            os.ftruncate(fd, tok.reported)
            os.lseek(fd, tok.reported, os.SEEK_SET)
            path = tok.path
            hasher = None
            self.token_used = tok
        elif length <= SMALL_BODY:
            return self._memory_sink(length)
        else:
            path = store.spool_path("in")
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
            self.body_files.append(path)
            hasher = md4mod.ThreadedMD4()
        limit = None
        if self.body_limit is not None:
            limit = max(0, self.body_limit - self.decoder.body_bytes)
        got = [0]
        self.in_body = True

        def write(mv):
            self._maybe_stall(len(mv))
            if limit is not None and got[0] + len(mv) >= limit:
                mv = mv[:limit - got[0]]
                os.write(fd, mv)
                got[0] += len(mv)
                if hasher is not None:
                    hasher.update(mv)
                self.decoder.body_bytes += len(mv)
                raise Close("body", "fault: close after %d body bytes" % self.body_limit)
            n = 0
            while n < len(mv):
                n += os.write(fd, mv[n:])
            got[0] += len(mv)
            if hasher is not None:
                hasher.update(mv)

        def finish(complete, n):
            os.close(fd)
            self.in_body = False
            if hasher is not None:
                if complete:
                    self.body_md4[path] = hasher.hexdigest()
                else:
                    hasher.close()
            return codec.BinaryFile(path, got[0], complete)
        if limit == 0:
            finish(False, 0)
            self.in_body = True
            raise Close("body", "fault: close after %d body bytes" % self.body_limit)
        return write, finish

    def _memory_sink(self, length):
        """Small bodies stay in memory: no spool file to make and drop."""
        buf = bytearray()
        limit = None
        if self.body_limit is not None:
            limit = max(0, self.body_limit - self.decoder.body_bytes)
        if limit == 0:
            raise Close("body", "fault: close after %d body bytes" % self.body_limit)
        self.in_body = True

        def write(mv):
            self._maybe_stall(len(mv))
            if limit is not None and len(buf) + len(mv) >= limit:
                keep = limit - len(buf)
                buf.extend(mv[:keep])
                self.decoder.body_bytes += keep
                raise Close("body", "fault: close after %d body bytes" % self.body_limit)
            buf.extend(mv)

        def finish(complete, n):
            self.in_body = False
            return MemoryBody(bytes(buf), complete)
        return write, finish

    def _body_rules(self, root):
        if self.body_rules_done:
            return
        self.body_rules_done = True
        rules = self.srv.faults.take(root.get("action"), root.get("path"), self.command, True)
        if rules:
            eff = faultmod.merged(rules)
            if "stall_ms" in eff:
                self.body_stall = [eff.get("bytes", 0), eff["stall_ms"]]
                self.jlog("fault", rule=[r.id for r in rules], effect="stall %d ms after %d body bytes"
                          % (eff["stall_ms"], eff.get("bytes", 0)))
            if "recv_rate" in eff:
                self.body_rate = eff["recv_rate"]
                self.jlog("fault", rule=[r.id for r in rules], effect="read body at %d bytes/s"
                          % self.body_rate)
            if eff.get("close") == "recv_bytes":
                self.body_limit = eff.get("bytes", 0)
                self.jlog("fault", rule=[r.id for r in rules], effect="close recv_bytes %d"
                          % self.body_limit)

    def _maybe_stall(self, n):
        """Once the body has passed the stall offset, waits once (the sender
        blocks meanwhile, its file still open). With a read rate, every
        chunk waits its share of a second."""
        if self.body_rate:
            time.sleep(n / float(self.body_rate))
        st = self.body_stall
        if st is None or self.decoder.body_bytes + n < st[0]:
            return
        self.body_stall = None
        # Cut short by a shutdown, which also shuts the socket.
        self.srv.stopping.wait(st[1] / 1000.0)

    def _drop_bodies(self):
        for p in self.body_files:
            try:
                os.unlink(p)
            except OSError:
                pass
        self.body_files = []

    # ------------------------------------------------------------ replies

    def send_reply(self, reply, eff, action, t_end, error=None, summary=None):
        """Sends keep-alives, then the reply, applying the reply effects."""
        for _ in range(int(eff.get("keep_alives", 0))):
            if eff.get("keep_alive_ms"):
                # Waited on the stop event: a shutdown ends the stream at
                # once instead of after the next keep-alive's send fails.
                if self.srv.stopping.wait(eff["keep_alive_ms"] / 1000.0):
                    raise Close("reply", "shutdown")
            self.send(codec.KEEP_ALIVE)
            self.jlog("keep_alive")
        if eff.get("final_type"):
            reply["type"] = "reply"
        ms = round((time.monotonic() - t_end) * 1000, 3)
        preset = eff.get("preset")
        if preset == "truncated":
            data = codec.encode(reply)
            self.jlog("reply", action=action, error=error, summary={"preset": preset}, ms=ms)
            self.send(data[:max(1, len(data) // 2)])
            raise Close("request", "fault: preset truncated")
        if preset is not None and preset != "binary_in_pull":
            self.jlog("reply", action=action, error=error, summary={"preset": preset}, ms=ms)
            self.send(faultmod.preset_bytes(preset))
            raise Close("request", "fault: preset %s" % preset)
        if "raw_b64" in eff:
            data = base64.b64decode(eff["raw_b64"])
            self.jlog("reply", action=action, error=error, summary={"raw": len(data)}, ms=ms)
            self.send(data)
            if eff.get("raw_then_close"):
                raise Close("request", "fault: raw then close")
            return
        segs = codec.encode_segments(reply)
        self.jlog("reply", action=action, error=error, summary=summary or {}, ms=ms)
        limit = eff.get("bytes") if eff.get("close") == "send_bytes" else None
        corrupt = eff.get("corrupt_body_byte")
        sent_body = 0
        head = bytearray()
        for s in segs:
            if not isinstance(s, codec.FileSlice):
                head += s
                continue
            self.send(bytes(head))
            head = bytearray()
            done = self._send_file(s, limit, corrupt, sent_body, eff.get("send_rate"))
            sent_body += done
            if done < s.length:
                # A cut connection sends nothing after the cut: the rest of
                # the message would pass for body bytes.
                raise Close("body", "fault: close after %d reply body bytes" % limit)
        if head:
            self.send(bytes(head))
        if limit is not None:
            raise Close("body", "fault: close after %d reply body bytes" % limit)

    def _send_file(self, fs, limit, corrupt, base, rate=None):
        total = fs.length if limit is None else min(fs.length, max(0, limit - base))
        done = 0
        if corrupt is None and not self.tls and total > 0 and not rate:
            with open(fs.path, "rb") as f:
                done = self.sock.sendfile(f, fs.offset, total)
            if done != total:
                raise Close("body", "file shorter than its slice")
        else:
            with open(fs.path, "rb") as f:
                f.seek(fs.offset)
                while done < total:
                    chunk = f.read(min(codec.CHUNK, total - done))
                    if not chunk:
                        raise Close("body", "file shorter than its slice")
                    if corrupt is not None and done <= corrupt - base < done + len(chunk):
                        b = bytearray(chunk)
                        b[corrupt - base - done] ^= 0xFF
                        chunk = bytes(b)
                    if rate:
                        time.sleep(len(chunk) / float(rate))
                    self.send(chunk)
                    done += len(chunk)
        self.srv.journal.count("body_bytes_out", done)
        return done

    # ---------------------------------------------------------- requests

    def handle(self, command, req, t_end):
        store = self.srv.store
        if not isinstance(req, dict):
            self.violation("request is not a map")
            raise Close("request", "request is not a map")
        action = req.get("action")
        self.srv.journal.count_request(action if isinstance(action, str) else "?")
        self.jlog("request", command=command, action=action, request=req, tls=self.tls)
        if not isinstance(req.get("agent"), dict):
            self.violation("request %s without agent" % action)
        else:
            ag = req["agent"]
            if "platform" not in ag or not isinstance(ag.get("version"), dict) or not all(
                    k in ag["version"] for k in ("build", "major", "minor")):
                self.violation("request %s with an incomplete agent" % action)
        path = req.get("path") if isinstance(req.get("path"), str) else None
        rules = self.srv.faults.take(action, path, command, False)
        eff = faultmod.merged(rules)
        if rules:
            self.jlog("fault", rule=[r.id for r in rules],
                      effect=sorted(k for k in eff))
        if eff.get("forget_tokens"):
            store.forget_tokens()
        if "delay_ms" in eff:
            time.sleep(eff["delay_ms"] / 1000.0)

        if command == 24:
            self.violation("command 24 (download) sent")
            return self.refuse(action, DOWNLOAD, eff, t_end)
        if not isinstance(action, str) or action not in ACTIONS:
            self.violation("unknown action %r (command %d)" % (action, command))
            return self.refuse(action, INTERNAL, eff, t_end)
        if command not in ACTIONS[action]:
            self.violation("command %d with action %s" % (command, action))
            return self.refuse(action, INTERNAL, eff, t_end)
        if self.srv.setting("expect_tls") and not self.tls:
            if action == "connect" and req.get("do_ssl") == 1:
                pass
            elif action != "encrypt_channel":
                self.violation("%s on a plain connection" % action)

        if action == "encrypt_channel":
            return self.encrypt_channel(req, eff, t_end)
        if "error" in eff or "raw_b64" in eff or \
                eff.get("preset") not in (None, "truncated", "binary_in_pull"):
            if action == "resume_upload":
                store.drop_token_value(req.get("resume_token"))
            if "error" in eff:
                return self.refuse(action, eff["error"], eff, t_end)
            return self.send_reply({"alive": self.alive(eff)}, eff, action, t_end)
        if eff.get("close") == "before_reply" and action != "connect":
            try:
                self.dispatch(action, req, eff)
            except (Refusal, BadRequest):
                pass
            raise Close("request", "fault: close before reply")
        try:
            reply, summary = self.dispatch(action, req, eff)
            error = None
        except Refusal as r:
            if r.violation:
                self.violation(r.violation)
            reply, summary, error = {"error": {"code": r.code}}, {"text": str(r)}, r.code
        except BadRequest as b:
            self.violation(str(b))
            reply, summary, error = {"error": {"code": INTERNAL}}, {"text": str(b)}, INTERNAL
        if action == "connect":
            return self.finish_connect(req, reply, eff, t_end, error, summary)
        if "hold_after_commit_ms" in eff:
            time.sleep(eff["hold_after_commit_ms"] / 1000.0)
        issued = reply.get("resume_token") if action == "resume_get_token" else None
        reply = self.apply_reply_effects(action, reply, eff)
        if issued is not None and reply.get("resume_token") != issued:
            self.srv.store.alias_token(reply.get("resume_token"), issued)
        self.send_reply(reply, eff, action, t_end, error, summary)
        if eff.get("close") == "after_reply":
            raise Close("idle", "fault: close after reply")

    def alive(self, eff):
        return eff["alive"] if "alive" in eff else self.srv.setting("alive")

    def apply_reply_effects(self, action, reply, eff):
        reply["alive"] = self.alive(eff)
        if action == "pull_event" and "event_list" in reply:
            for rec in eff.get("extra_records", ()):
                reply["event_list"].append(faultmod.json_value(rec))
            if eff.get("preset") == "binary_in_pull":
                reply["event_list"].append({
                    "path": "/binary-record", "is_dir": 0, "is_removed": 0,
                    "sync_id": 1, "max_id": 1,
                    "file": {"hash": "0" * 32, "size": 4, "data": b"body"},
                    "mtime": {"mtime": 0}})
        for p in eff.get("omit", ()):
            dotted_set(reply, p, None, delete=True)
        for p, v in (eff.get("set") or {}).items():
            dotted_set(reply, p, faultmod.json_value(v))
        return reply

    def refuse(self, action, code, eff, t_end):
        reply = {"error": {"code": code}}
        if action != "encrypt_channel":
            reply["alive"] = self.alive(eff)
        self.send_reply(reply, eff, action, t_end, error=code)
        if eff.get("close") == "after_reply":
            raise Close("idle", "fault: close after reply")

    # ------------------------------------------------------- handshakes

    def start_tls(self):
        if self.tls:
            self.violation("a second TLS start")
            return
        if self.reader.buffered():
            self.violation("%d bytes before the TLS switch" % self.reader.buffered())
            raise Close("request", "bytes before the TLS switch")
        try:
            peek = self.sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT)
            if peek and peek[0] != 0x16:
                self.violation("bytes before the TLS switch (not a TLS handshake)")
                raise Close("request", "bytes before the TLS switch")
        except (BlockingIOError, InterruptedError):
            pass
        ctx = self.srv.ssl_context(self.cert, self.srv.setting("tls_max_1_2"))
        set_timeouts(self.sock, HANDSHAKE_SECONDS)
        try:
            self.io = ctx.wrap_socket(self.sock, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.jlog("tls_failed", reason=str(e) or type(e).__name__)
            raise Close("request", "TLS handshake failed")
        # The plain socket object is detached by the wrap; the TLS one owns
        # the descriptor from here on.
        self.sock = self.io
        set_timeouts(self.sock, STALL_SECONDS)
        self.tls = True
        self.srv.journal.count("tls_handshakes")
        self.jlog("tls", version=self.io.version())

    def encrypt_channel(self, req, eff, t_end):
        if "error" in eff:
            return self.refuse("encrypt_channel", eff["error"], eff, t_end)
        if self.tls:
            self.violation("a second TLS start")
            return self.refuse("encrypt_channel", INTERNAL, eff, t_end)
        if eff.get("close") == "before_reply":
            raise Close("request", "fault: close before reply")
        reply = {}
        for p, v in (eff.get("set") or {}).items():
            dotted_set(reply, p, faultmod.json_value(v))
        self.send_reply(reply, eff, "encrypt_channel", t_end)
        if eff.get("close") == "after_reply":
            raise Close("idle", "fault: close after reply")
        self.start_tls()

    def do_connect(self, req):
        store = self.srv.store
        session = self.member(req, "session", str)
        vid = self.member(req, "view_id", int)
        do_ssl = self.member(req, "do_ssl", int, None)
        if self.tls:
            self.srv.journal.count("connects_in_tls")
        elif do_ssl == 1:
            self.srv.journal.count("connects_do_ssl")
        else:
            self.srv.journal.count("connects_plain")
        if session not in store.sessions:
            raise Refusal(SESSION_MISS, "unknown session")
        store.view(vid)
        reply = {}
        build = self.srv.setting("server_build")
        if build is not None:
            reply["server"] = {"package_version": {"build": build}}
        return reply, {"session": session}

    def finish_connect(self, req, reply, eff, t_end, error, summary):
        reply = self.apply_reply_effects("connect", reply, eff)
        ok = "error" not in reply and isinstance(reply.get("alive"), int) and reply["alive"] > 0
        self.connected = ok
        if eff.get("close") == "before_reply":
            raise Close("request", "fault: close before reply")
        self.send_reply(reply, eff, "connect", t_end, error, summary)
        if eff.get("close") == "after_reply":
            raise Close("idle", "fault: close after reply")
        if ok and req.get("do_ssl") == 1:
            self.start_tls()

    # ---------------------------------------------------------- dispatch

    def member(self, req, key, kind, default=BadRequest):
        v = req.get(key, None) if isinstance(req, dict) else None
        if v is None and key not in (req or {}):
            if default is BadRequest:
                raise BadRequest("%s without %s" % (req.get("action"), key))
            return default
        if kind is int and (not isinstance(v, int) or isinstance(v, bool)):
            raise BadRequest("%s: %s is not an integer" % (req.get("action"), key))
        if kind is str and not isinstance(v, str):
            raise BadRequest("%s: %s is not a string" % (req.get("action"), key))
        if kind is dict and not isinstance(v, dict):
            raise BadRequest("%s: %s is not a map" % (req.get("action"), key))
        return v

    def common(self, req, with_path=True, root_ok=False):
        """Session, connection, view and path checks."""
        store = self.srv.store
        if not self.connected:
            raise Refusal(SESSION_MISS, "no successful connect",
                          violation="%s without a successful connect" % req.get("action"))
        session = self.member(req, "session", str)
        if session not in store.sessions:
            raise Refusal(SESSION_MISS, "unknown session")
        vid = self.member(req, "view_id", int)
        store.view(vid)
        path = None
        if with_path:
            path = self.member(req, "path", str)
            if not valid_path(path, allow_root=root_ok):
                raise Refusal(VIEW_INVALID_PATH, "bad path %r" % path,
                              violation="bad path %r in %s" % (path, req.get("action")))
        return session, vid, path

    def dispatch(self, action, req, eff):
        if action == "connect":
            return self.do_connect(req)
        return getattr(self, "do_" + action)(req, eff)

    def do_pull_event(self, req, eff):
        session, vid, path = self.common(req, root_ok=True)
        sync_id = self.member(req, "sync_id", int)
        for k in ("node_id", "recursive"):
            self.member(req, k, int)
        for k in ("file", "mtime"):
            self.member(req, k, dict)
        cond = self.member(req, "condition", dict, None)
        if cond is not None:
            cond = self.condition(cond)
        records, nxt = self.srv.store.pull(vid, path, sync_id, req["recursive"], cond,
                                           self.srv.setting("pull_page_size"), session)
        return ({"next_sync_id": nxt, "event_list": records},
                {"records": len(records), "next_sync_id": nxt})

    @staticmethod
    def condition(c):
        forms = [("extension",), ("prefix",), ("name",), ("min_size", "max_size")]
        for f in forms:
            if set(c) == set(f):
                kinds = str if f[0] in ("extension", "prefix", "name") else int
                if not all(isinstance(c[k], kinds) and not isinstance(c[k], bool) for k in f):
                    raise BadRequest("condition member of the wrong type: %r" % c)
                return c
        raise BadRequest("condition is not exactly one form: %r" % sorted(c))

    def upload_fields(self, req):
        session, vid, path = self.common(req)
        sync_id = self.member(req, "sync_id", int)
        self.member(req, "max_id", int)
        is_dir = self.member(req, "is_dir", int)
        f = None
        if not is_dir:
            f = self.member(req, "file", dict)
            for k in ("size",):
                if not isinstance(f.get(k), int):
                    raise BadRequest("upload: file.%s is not an integer" % k)
            if not isinstance(f.get("hash"), str):
                raise BadRequest("upload: file.hash is not a string")
        m = self.member(req, "mtime", dict, None)
        return session, vid, path, sync_id, bool(is_dir), f, m

    def do_upload(self, req, eff):
        if req.get("dry_run"):
            return self.dry_run(req)
        return self.upload(req, eff, resumed=False)

    def do_resume_upload(self, req, eff):
        store = self.srv.store
        tok = store.lookup_token(req.get("resume_token"))
        try:
            if tok is None:
                self.common(req)
                raise Refusal(RESUME_NOTOKEN, "unknown resume token")
            return self.upload(req, eff, resumed=True, token=tok)
        finally:
            if tok is not None:
                store.drop_token(tok.name)

    def dry_run(self, req):
        store = self.srv.store
        session, vid, path, sync_id, is_dir, f, m = self.upload_fields(req)
        with store.lock:
            store.check_upload(vid, path, is_dir, sync_id, f)
        fid = 0
        if f is not None:
            b = store.blob_by_content(f.get("hash"), f.get("size"))
            fid = b.file_id if b is not None else 0
        return {"file": {"file_id": fid}}, {"file_id": fid}

    def upload(self, req, eff, resumed, token=None):
        store = self.srv.store
        session, vid, path, sync_id, is_dir, f, m = self.upload_fields(req)
        with store.lock:
            cur, same = store.check_upload(vid, path, is_dir, sync_id, f)
        blob = None
        if not is_dir and not same:
            blob = self.upload_content(req, f, cur, resumed, token)
            if not self.srv.setting("store_unchecked") and (
                    blob.size != f["size"] or blob.md4 != f["hash"]):
                raise Refusal(UPLOAD, "content differs from file",
                              violation="upload of %s: content has size %d, MD4 %s; the "
                                        "request says %s, %s" % (path, blob.size, blob.md4,
                                                                 f["size"], f["hash"]))
        mtime = None
        if m is not None and not m.get("refer"):
            mtime = m.get("mtime", 0)
            if not isinstance(mtime, int):
                raise BadRequest("upload: mtime.mtime is not an integer")
        e, _ = store.commit_upload(vid, path, is_dir, sync_id, f, blob, mtime, session)
        reply = {"sync_id": e.version, "max_id": e.version, "is_dir": 1 if e.is_dir else 0}
        if not e.is_dir:
            reply["file"] = {"size": e.size, "hash": e.md4,
                             "file_id": e.blob.file_id if e.blob else 0}
        return reply, {"sync_id": e.version}

    def upload_content(self, req, f, cur, resumed, token):
        store = self.srv.store
        if f.get("refer"):
            fid = f.get("file_id")
            if fid:
                b = store.blobs_by_id.get(fid)
                if b is None:
                    raise Refusal(UPLOAD, "unknown file_id",
                                  violation="upload refers to unknown file_id %r" % fid)
                return b
            return cur.blob
        body = f.get("data")
        if isinstance(body, MemoryBody) and resumed and token is not None:
            # The body came before its token: append it at the reported offset.
            with open(token.path, "r+b") as out:
                out.truncate(token.reported)
                out.seek(token.reported)
                out.write(body.data)
            body = codec.BinaryFile(token.path, body.length)
        if isinstance(body, MemoryBody):
            if not f.get("is_delta"):
                return store.ingest_data(body.data)
            p = store.spool_path("delta")
            with open(p, "wb") as out:
                out.write(body.data)
            self.body_files.append(p)
            body = codec.BinaryFile(p, body.length)
        if not isinstance(body, codec.BinaryFile):
            raise Refusal(UPLOAD, "no body", violation="upload of %s without a body"
                          % req.get("path"))
        if resumed and token is not None:
            if body.path != token.path:
                # The body came before its token: append it at the reported offset.
                with open(token.path, "r+b") as out, open(body.path, "rb") as src:
                    out.truncate(token.reported)
                    out.seek(token.reported)
                    while True:
                        chunk = src.read(codec.CHUNK)
                        if not chunk:
                            break
                        out.write(chunk)
            content = token.path
            md4 = None
        else:
            content = body.path
            md4 = self.body_md4.get(body.path)
        if f.get("is_delta"):
            new = store.spool_path("patched")
            try:
                rdiff.patch(cur.blob.path, content, new)
            except rdiff.RdiffError as e:
                try:
                    os.unlink(new)
                except OSError:
                    pass
                raise Refusal(UPLOAD, "bad delta", violation="bad delta for %s: %s"
                              % (req.get("path"), e))
            return store.ingest(new)
        if content in self.body_files:
            self.body_files.remove(content)
        if resumed:
            # The token file becomes the blob; a fresh empty one keeps the
            # token usable until it is dropped.
            staged = store.spool_path("resumed")
            os.replace(content, staged)
            content = staged
        return store.ingest(content, md4)

    def do_resume_get_token(self, req, eff):
        self.common(req, with_path=False)
        t = self.srv.store.new_token()
        return {"resume_token": t.name}, {"token": t.name}

    def do_resume_get_status(self, req, eff):
        self.common(req, with_path=False)
        store = self.srv.store
        t = store.lookup_token(req.get("resume_token"))
        if t is None:
            raise Refusal(RESUME_NOTOKEN, "unknown resume token")
        held = t.held()
        off = eff["status_offset"] if "status_offset" in eff else held
        with store.lock:
            t.reported = off
        return {"file": {"offset": off}}, {"token": t.name, "offset": off, "held": held}

    def do_resume_download(self, req, eff):
        store = self.srv.store
        session, vid, path = self.common(req)
        sync_id = self.member(req, "sync_id", int)
        self.member(req, "max_id", int)
        target = self.member(req, "target_sync_id", int)
        f = self.member(req, "file", dict)
        self.member(req, "mtime", dict)
        offset = f.get("offset", 0)
        if not isinstance(offset, int):
            raise BadRequest("resume_download: file.offset is not an integer")
        tok = store.lookup_token(req.get("resume_token"))
        with store.lock:
            view = store.view(vid)
            cur = store.live(view, path)
            if cur is None:
                raise Refusal(DOWNLOAD_NOFILE, "nothing live at %s" % path)
            if tok is None:
                raise Refusal(RESUME_NOTOKEN, "unknown resume token")
            if target > view.head:
                self.violation("resume_download of %s: target_sync_id %d above the head %d"
                               % (path, target, view.head))
            base = None
            if sync_id and sync_id != cur.version:
                b = store.version_of(view, path, sync_id)
                if b is not None and not b.removed and not b.is_dir and b.blob is not None:
                    base = b
        reply = {"sync_id": cur.version, "max_id": cur.version,
                 "is_dir": 1 if cur.is_dir else 0}
        if cur.mtime or not cur.is_dir:
            reply["mtime"] = {"mtime": cur.mtime & 0xFFFFFFFF}
        if cur.is_dir or (sync_id and sync_id == cur.version):
            return reply, {"sync_id": cur.version, "current": True}
        entry, body, is_delta = self.download_body(tok, vid, path, base, cur)
        fm = {"is_delta": 1 if is_delta else 0, "refer": 0, "hash": entry.md4,
              "size": entry.size}
        reply["sync_id"] = reply["max_id"] = entry.version
        if body is None:
            fm["refer"] = 1
            fm["is_delta"] = 0
        else:
            length = os.path.getsize(body)
            if eff.get("ignore_offset"):
                offset = 0
            if offset > length:
                raise Refusal(RESUME, "offset beyond the body",
                              violation="resume_download of %s at offset %d of a %d-byte body"
                                        % (path, offset, length))
            fm["data"] = codec.FileSlice(body, offset, length - offset)
        reply["file"] = fm
        return reply, {"sync_id": entry.version, "delta": bool(is_delta),
                       "refer": body is None, "offset": offset,
                       "body": 0 if body is None else length - offset}

    def download_body(self, tok, vid, path, base, cur):
        """One body per (token, path, base), kept until shutdown, so that a
        resumed download continues the same bytes."""
        store = self.srv.store
        key = (tok.name, vid, path, base.version if base else 0)
        with store.lock:
            got = store.bodies.get(key)
        if got is not None:
            return got
        if base is not None and base.blob is cur.blob:
            got = (cur, None, False)
        elif base is not None:
            sig = os.path.join(store.body_dir, "sig-%s" % os.urandom(6).hex())
            out = os.path.join(store.body_dir, "delta-%s" % os.urandom(6).hex())
            rdiff.signature(base.blob.path, sig)
            rdiff.delta(sig, cur.blob.path, out)
            os.unlink(sig)
            got = (cur, out, True)
        else:
            got = (cur, cur.blob.path, False)
        with store.lock:
            return store.bodies.setdefault(key, got)

    def do_remove(self, req, eff):
        session, vid, path = self.common(req)
        sync_id = self.member(req, "sync_id", int)
        max_id = self.member(req, "max_id", int)
        v = self.srv.store.remove_request(vid, path, sync_id, max_id, session)
        return {}, {"version": v}
