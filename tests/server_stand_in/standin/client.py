"""A small client of the stand-in, for its self-tests and its benchmark:
the protocol side (framing, TLS upgrade) and the control side."""

import json
import os
import socket
import ssl
import subprocess
import sys

from . import codec

AGENT = {"platform": "Windows", "version": {"build": 3005, "major": 3, "minor": 0}}
COMMANDS = {"encrypt_channel": 22, "connect": 14, "pull_event": 6, "remove": 15,
            "upload": 23, "resume_get_token": 27, "resume_get_status": 27,
            "resume_upload": 27, "resume_download": 27}
SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                      "stand_in.py")


class Client:
    def __init__(self, port, host="127.0.0.1", timeout=30):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.io = self.sock
        self.reader = codec.Reader(lambda mv: self.io.recv_into(mv))
        self.keep_alives = 0

    def close(self):
        try:
            self.io.close()
        finally:
            self.sock.close()

    def send_raw(self, data):
        self.io.sendall(data)

    def send(self, action, members=None, command=None):
        req = {"action": action, "agent": AGENT}
        req.update(members or {})
        cmd = COMMANDS.get(action, 0) if command is None else command
        segs = codec.encode_segments(req, codec.daemon_order)
        head = bytearray(codec.header(cmd))
        for s in segs:
            if isinstance(s, codec.FileSlice):
                self.io.sendall(bytes(head))
                head = bytearray()
                self._send_file(s)
            else:
                head += s
        if head:
            self.io.sendall(bytes(head))

    def _send_file(self, fs):
        with open(fs.path, "rb") as f:
            if self.io is self.sock and fs.length:
                if self.sock.sendfile(f, fs.offset, fs.length) != fs.length:
                    raise IOError("short file")
                return
            f.seek(fs.offset)
            left = fs.length
            while left:
                chunk = f.read(min(1 << 20, left))
                if not chunk:
                    raise IOError("short file")
                self.io.sendall(chunk)
                left -= len(chunk)

    def recv(self, sink_dir=None, skip_keep_alive=True):
        """One reply; bodies go to files in sink_dir (else into bytes)."""
        sink = None
        if sink_dir is not None:
            counter = [0]

            def sink(keys, root, n):
                counter[0] += 1
                path = os.path.join(sink_dir, "body-%d" % counter[0])
                f = open(path, "wb", buffering=0)
                got = [0]

                def write(mv):
                    f.write(mv)
                    got[0] += len(mv)

                def finish(complete, n2):
                    f.close()
                    return codec.BinaryFile(path, got[0], complete)
                return write, finish
        while True:
            reply = codec.Decoder(self.reader, binary_sink=sink).decode()
            if skip_keep_alive and isinstance(reply, dict) and reply.get("type") == "keep_alive":
                self.keep_alives += 1
                continue
            return reply

    def call(self, action, members=None, **kw):
        self.send(action, members, command=kw.pop("command", None))
        return self.recv(**kw)

    def start_tls(self, cafile=None, hostname="server.test", verify=True, max_tls12=False):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        if verify:
            ctx.load_verify_locations(cafile)
        else:
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
        if max_tls12:
            ctx.maximum_version = ssl.TLSVersion.TLSv1_2
        self.io = ctx.wrap_socket(self.sock, server_hostname=hostname)
        return self.io.version()


class StandIn:
    """Runs the stand-in as a child process (READY line, control socket)."""

    def __init__(self, data, pki, tokens=("tok",), views=(1,), seed=None,
                 max_lifetime=None, extra=()):
        args = [sys.executable if sys.executable else "/usr/bin/python3", "-B", "-u",
                SCRIPT, "--data", data, "--pki", pki]
        for t in tokens:
            args += ["--token", t]
        for v in views:
            args += ["--view", str(v)]
        if seed:
            args += ["--seed", seed]
        if max_lifetime is not None:
            args += ["--max-lifetime", str(max_lifetime)]
        args += list(extra)
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("READY "):
            err = self.proc.stderr.read().decode(errors="replace")
            raise RuntimeError("stand-in did not start: %r %s" % (line, err))
        _, p, c = line.split()
        self.port, self.control_port = int(p), int(c)
        self.ctl = socket.create_connection(("127.0.0.1", self.control_port), timeout=60)
        self.ctl_file = self.ctl.makefile("rb")
        self.clients = []

    def control(self, op, **kw):
        kw["op"] = op
        self.ctl.sendall(json.dumps(kw).encode() + b"\n")
        line = self.ctl_file.readline()
        if not line:
            raise EOFError("control connection closed")
        return json.loads(line)

    def ok(self, op, **kw):
        r = self.control(op, **kw)
        if not r.get("ok"):
            raise AssertionError("control %s failed: %s" % (op, r))
        return r

    def raw_client(self):
        """A client that has sent nothing yet (closed by stop)."""
        c = Client(self.port)
        self.clients.append(c)
        return c

    def client(self, token="tok", view=1, tls=None, cafile=None):
        """A connected client: tls None (plain), "encrypt" (upgrade before
        connect) or "do_ssl" (connect, then upgrade)."""
        c = self.raw_client()
        if tls == "encrypt":
            r = c.call("encrypt_channel")
            assert "error" not in r, r
            c.start_tls(cafile)
        members = {"session": token, "view_id": view}
        if tls == "do_ssl":
            members["do_ssl"] = 1
        r = c.call("connect", members)
        assert "error" not in r and r.get("alive"), r
        if tls == "do_ssl":
            c.start_tls(cafile)
        return c

    def stop(self, timeout=10):
        """Shuts the stand-in down (clients still connected), then closes
        the clients. Returns its exit status."""
        if self.proc.poll() is None:
            try:
                self.control("shutdown")
            except (OSError, EOFError, ValueError):
                pass
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        for c in self.clients:
            try:
                c.close()
            except OSError:
                pass
        self.clients = []
        for f in (self.ctl_file, self.ctl):
            try:
                f.close()
            except OSError:
                pass
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                f.close()
            except OSError:
                pass
        return self.proc.returncode
