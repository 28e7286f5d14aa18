"""The control interface: one JSON object per line, one reply per line."""

import base64
import json
import os
import socket
import sys
import time
import traceback

from .store import Refusal, valid_path, CONTROL

SETTINGS = {"first_version", "pull_page_size", "history_depth", "alive", "expect_tls",
            "tls_max_1_2", "cert", "server_build", "store_unchecked"}
CERTS = ("srv", "cn-only", "self-signed", "expired")


class ControlError(Exception):
    pass


class ControlSession:
    def __init__(self, server, sock):
        self.srv = server
        self.sock = sock

    def abort(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def run(self):
        f = self.sock.makefile("rwb", buffering=0)
        try:
            # A "put" line carries a whole file in base64 (tens of MB): the
            # buffer grows in place and only the bytes just received are
            # searched for the line's end, so reading a line stays linear.
            buf = bytearray()
            while True:
                chunk = self.sock.recv(1 << 20)
                if not chunk:
                    break
                start = len(buf)
                buf += chunk
                end = buf.find(b"\n", start)
                while end >= 0:
                    line = buf[:end]
                    del buf[:end + 1]
                    if line.strip():
                        reply, after = self.one(line)
                        # The action after the reply (the exit of
                        # "shutdown") takes place even when the client has
                        # gone without reading the reply: the stand-in would
                        # otherwise live on until its lifetime ends.
                        try:
                            self.sock.sendall(json.dumps(reply).encode() + b"\n")
                        finally:
                            if after:
                                after()
                    end = buf.find(b"\n")
        except OSError:
            pass
        finally:
            try:
                f.close()
                self.sock.close()
            except OSError:
                pass

    def one(self, line):
        try:
            req = json.loads(line)
            if not isinstance(req, dict) or not isinstance(req.get("op"), str):
                raise ControlError("a request is an object with \"op\"")
            fn = getattr(self, "op_" + req["op"], None)
            if fn is None:
                raise ControlError("unknown op %r" % req["op"])
            out = fn(req)
            after = None
            if isinstance(out, tuple):
                out, after = out
            reply = {"ok": True}
            reply.update(out or {})
            return reply, after
        except (ControlError, Refusal, ValueError, KeyError, TypeError, OSError) as e:
            return {"ok": False, "error": str(e) or type(e).__name__}, None
        except Exception as e:  # noqa: BLE001
            traceback.print_exc(file=sys.stderr)
            return {"ok": False, "error": "%s: %s" % (type(e).__name__, e)}, None

    # ------------------------------------------------------------ helpers

    def view(self, req):
        v = req.get("view", self.srv.first_view)
        if v is None:
            raise ControlError("no view")
        return v

    @staticmethod
    def path(req, default=None, allow_root=False):
        p = req.get("path", default)
        if not valid_path(p, allow_root=allow_root):
            raise ControlError("bad path %r" % (p,))
        return p

    @staticmethod
    def mtime(req):
        m = req.get("mtime")
        return int(time.time()) if m is None else int(m)

    # ---------------------------------------------------------------- ops

    def op_put(self, req):
        data = base64.b64decode(req.get("data_b64", ""), validate=True)
        store = self.srv.store
        blob = store.ingest_bytes(data)
        e = store.put_file(self.view(req), self.path(req), blob, self.mtime(req), CONTROL)
        return {"version": e.version}

    def op_put_file(self, req):
        store = self.srv.store
        src = req["file"]
        tmp = store.spool_path("put")
        with open(src, "rb") as i, open(tmp, "wb") as o:
            while True:
                chunk = i.read(1 << 20)
                if not chunk:
                    break
                o.write(chunk)
        blob = store.ingest(tmp)
        e = store.put_file(self.view(req), self.path(req), blob, self.mtime(req), CONTROL)
        return {"version": e.version}

    def op_mkdir(self, req):
        e = self.srv.store.mkdir(self.view(req), self.path(req), self.mtime(req), CONTROL)
        return {"version": e.version}

    def op_remove(self, req):
        return {"version": self.srv.store.remove(self.view(req), self.path(req), CONTROL)}

    def op_get(self, req):
        return self.srv.store.describe(self.view(req), self.path(req, allow_root=True))

    def op_history(self, req):
        return {"versions": self.srv.store.history(self.view(req), self.path(req))}

    def op_versions(self, req):
        return {"versions": self.srv.store.versions(self.view(req))}

    def op_list(self, req):
        return {"entries": self.srv.store.listing(self.view(req),
                                                  self.path(req, "/", allow_root=True))}

    def op_head(self, req):
        store = self.srv.store
        with store.lock:
            return {"head": store.view(self.view(req)).head}

    def op_add_view(self, req):
        v = req["view"]
        if not isinstance(v, int):
            raise ControlError("view must be an integer")
        self.srv.store.add_view(v, bool(req.get("read_only", False)))
        if self.srv.first_view is None:
            self.srv.first_view = v
        return {}

    def op_add_token(self, req):
        t = req["token"]
        if not isinstance(t, str):
            raise ControlError("token must be a string")
        self.srv.store.sessions.add(t)
        return {}

    def op_fault(self, req):
        return {"id": self.srv.faults.add(req.get("rule"))}

    def op_clear_faults(self, req):
        self.srv.faults.clear()
        return {}

    def op_set(self, req):
        changes = {k: v for k, v in req.items() if k != "op"}
        unknown = set(changes) - SETTINGS
        if unknown:
            raise ControlError("unknown settings: %s" % ", ".join(sorted(unknown)))
        if "cert" in changes:
            if changes["cert"] not in CERTS:
                raise ControlError("cert must be one of %s" % ", ".join(CERTS))
            name = changes["cert"]
            for ext in (".pem", ".key"):
                if not os.path.exists(os.path.join(self.srv.pki_dir, name + ext)):
                    raise ControlError("%s%s is not in the pki folder" % (name, ext))
        store = self.srv.store
        if "first_version" in changes:
            store.set_first_version(int(changes.pop("first_version")))
        if "history_depth" in changes:
            with store.lock:
                store.history_depth = int(changes.pop("history_depth"))
        with self.srv.settings_lock:
            self.srv.settings.update(changes)
        return {}

    def op_journal(self, req):
        events, nxt = self.srv.journal.since(int(req.get("since", 0)))
        return {"events": events, "next": nxt}

    def op_counters(self, req):
        return {"counters": self.srv.journal.snapshot()}

    def op_violations(self, req):
        return {"violations": self.srv.journal.violation_list()}

    def op_tokens(self, req):
        store = self.srv.store
        with store.lock:
            toks = list(store.tokens.values())
        return {"tokens": [{"token": t.name, "offset": t.held(), "reported": t.reported,
                            "path": t.path} for t in toks]}

    def op_forget_tokens(self, req):
        self.srv.store.forget_tokens()
        return {}

    def op_shutdown(self, req):
        return {}, self.srv.exit.set
