#!/usr/bin/python3 -B -u
"""Throughput of the server stand-in (tests/server_stand_in), so that it does
not set the pace of end-to-end figures:
  - 1 GiB up and down, plain and TLS, against a plain Python copy between a
    socket and a file run beside it (the stand-in must reach 0.7 of it);
  - 1 KiB uploads over four connections (at least 2,000 per second);
  - a 100,000-record pull (time only).
Run: /usr/bin/python3 -B -u bench/stand_in_throughput.py [--size-mib N] [--strict]
A missed floor is marked; with --strict it also makes the exit status 1 (a
loaded machine slows the stand-in and the copy beside it unevenly, so the
CPU seconds of both are printed too)."""

import argparse
import base64
import json
import multiprocessing
import os
import shutil
import socket
import ssl
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "server_stand_in"))

from standin import codec, md4  # noqa: E402
from standin.client import Client, StandIn  # noqa: E402

PKI = os.path.join(ROOT, "tests", "data", "pki")
CA = os.path.join(PKI, "ca.pem")
S = {"session": "tok", "view_id": 1}
CHUNK = 1 << 20


def make_file(path, size):
    block = os.urandom(CHUNK)
    with open(path, "wb") as f:
        left = size
        i = 0
        while left:
            n = min(CHUNK, left)
            # Vary each block so the content is not a repetition.
            f.write(i.to_bytes(8, "big") + block[8:n] if n >= 8 else block[:n])
            left -= n
            i += 1


# ------------------------------------------------------- plain baselines

def server_ctx():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(PKI, "srv.pem"), os.path.join(PKI, "srv.key"))
    return ctx


def client_ctx():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.load_verify_locations(CA)
    return ctx


def baseline(direction, src, dst, tls):
    """A plain copy: socket to file (up) or file to socket (down), the
    receiving and sending loops written as simply as Python allows."""
    lsock = socket.create_server(("127.0.0.1", 0))
    port = lsock.getsockname()[1]
    size = os.path.getsize(src)
    done = threading.Event()
    cpu = [0.0]

    def recv_to_file(sock, path):
        buf = bytearray(CHUNK)
        mv = memoryview(buf)
        got = 0
        with open(path, "wb", buffering=0) as f:
            while got < size:
                n = sock.recv_into(mv)
                if not n:
                    break
                f.write(mv[:n])
                got += n

    def send_file(sock, path):
        with open(path, "rb") as f:
            if isinstance(sock, ssl.SSLSocket):
                while True:
                    chunk = f.read(CHUNK)
                    if not chunk:
                        break
                    sock.sendall(chunk)
            else:
                sock.sendfile(f)

    def serve():
        s, _ = lsock.accept()
        if tls:
            s = server_ctx().wrap_socket(s, server_side=True)
        c0 = time.thread_time()
        if direction == "up":
            recv_to_file(s, dst)
            s.sendall(b"k")
        else:
            send_file(s, src)
        cpu[0] = time.thread_time() - c0
        s.close()
        done.set()

    t = threading.Thread(target=serve)
    t.start()
    c = socket.create_connection(("127.0.0.1", port))
    if tls:
        c = client_ctx().wrap_socket(c, server_hostname="server.test")
    start = time.monotonic()
    if direction == "up":
        send_file(c, src)
        c.recv(1)
    else:
        recv_to_file(c, dst)
    elapsed = time.monotonic() - start
    c.close()
    t.join()
    lsock.close()
    return elapsed, cpu[0]


# ------------------------------------------------------------ stand-in

def stand_in_up(si, src, tls, path):
    c = si.client(tls="encrypt" if tls else None, cafile=CA)
    size = os.path.getsize(src)
    h = md4.md4_file(src)
    m = dict(S, sync_id=0, max_id=0, path=path, is_dir=0,
             file={"size": size, "hash": h, "refer": 0, "is_delta": 0,
                   "data": codec.FileSlice(src)}, mtime={"refer": 0, "mtime": 1})
    start = time.monotonic()
    r = c.call("upload", m)
    elapsed = time.monotonic() - start
    c.close()
    if "error" in r or r["file"]["hash"] != h:
        raise SystemExit("upload failed: %r" % r)
    return elapsed


def stand_in_down(si, path, tls, sink_dir):
    c = si.client(tls="encrypt" if tls else None, cafile=CA)
    tok = c.call("resume_get_token", S)["resume_token"]
    req = dict(S, sync_id=0, max_id=0, target_sync_id=1, path=path, file={"offset": 0},
               mtime={"offset": 0}, force_current_version=0, resume_token=tok)
    start = time.monotonic()
    r = c.call("resume_download", req, sink_dir=sink_dir)
    elapsed = time.monotonic() - start
    c.close()
    if "error" in r:
        raise SystemExit("download failed: %r" % r)
    os.unlink(r["file"]["data"].path)
    return elapsed


def small_uploads_worker(port, idx, seconds, q):
    c = Client(port)
    c.call("connect", S)
    data = os.urandom(1024)
    p = os.path.join(tempfile.gettempdir(), "stand-in-bench-%d-%d" % (os.getpid(), idx))
    with open(p, "wb") as f:
        f.write(data)
    h = md4.md4_hex(data)
    n = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        m = dict(S, sync_id=0, max_id=0, path="/small/w%d/f%06d" % (idx, n), is_dir=0,
                 file={"size": 1024, "hash": h, "refer": 0, "is_delta": 0,
                       "data": codec.FileSlice(p)}, mtime={"refer": 0, "mtime": 1})
        r = c.call("upload", m)
        if "error" in r:
            q.put(("error", r))
            return
        n += 1
    c.close()
    os.unlink(p)
    q.put(("ok", n))


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def small_uploads(si, seconds=3.0, conns=4):
    """Uploads per second, and the stand-in's CPU seconds per upload."""
    q = multiprocessing.Queue()
    cpu0 = cpu_seconds(si.proc.pid)
    procs = [multiprocessing.Process(target=small_uploads_worker,
                                     args=(si.port, i, seconds, q)) for i in range(conns)]
    start = time.monotonic()
    for p in procs:
        p.start()
    total = 0
    for _ in procs:
        kind, v = q.get()
        if kind != "ok":
            raise SystemExit("small upload failed: %r" % (v,))
        total += v
    for p in procs:
        p.join()
    elapsed = time.monotonic() - start
    return total / elapsed, (cpu_seconds(si.proc.pid) - cpu0) / total


def big_pull(si, records=100000):
    # Pipelined control puts: every line out first, then the replies.
    payload = base64.b64encode(b"x").decode()
    lines = b"".join(json.dumps({"op": "put", "path": "/pull/d%02d/f%06d" % (i % 50, i),
                                 "data_b64": payload, "mtime": 1}).encode() + b"\n"
                     for i in range(records - 50))
    sender = threading.Thread(target=si.ctl.sendall, args=(lines,))
    sender.start()
    for _ in range(records - 50):
        r = json.loads(si.ctl_file.readline())
        if not r.get("ok"):
            raise SystemExit("put failed: %r" % r)
    sender.join()
    c = si.client()
    req = dict(S, sync_id=0, path="/pull", node_id=0, recursive=1, file={"offset": 0},
               mtime={"offset": 0})
    start = time.monotonic()
    r = c.call("pull_event", req)
    elapsed = time.monotonic() - start
    c.close()
    reply = [e for e in si.ok("journal")["events"] if e["event"] == "reply"][-1]
    return len(r["event_list"]), elapsed, reply["ms"] / 1000.0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--strict", action="store_true", help="exit 1 when a floor is missed")
    args = ap.parse_args()
    size = args.size_mib << 20
    tmp = tempfile.mkdtemp(prefix="stand-in-bench-")
    ok = True
    try:
        src = os.path.join(tmp, "src")
        make_file(src, size)
        si = StandIn(os.path.join(tmp, "data"), PKI)
        try:
            print("%-16s %8s %8s %6s %6s %8s %8s" % (
                "%d MiB" % args.size_mib, "plain s", "stand-in", "MB/s", "ratio",
                "plain cpu", "s-i cpu"))
            for tls in (False, True):
                for direction in ("up", "down"):
                    dst = os.path.join(tmp, "copy")
                    base, base_cpu = baseline(direction, src, dst, tls)
                    os.unlink(dst)
                    cpu0 = cpu_seconds(si.proc.pid)
                    if direction == "up":
                        t = stand_in_up(si, src, tls, "/big-%s" % ("tls" if tls else "plain"))
                    else:
                        t = stand_in_down(si, "/big-plain", tls, tmp)
                    cpu = cpu_seconds(si.proc.pid) - cpu0
                    ratio = base / t
                    ok &= ratio >= 0.7
                    print("%-16s %8.3f %8.3f %6.0f %6.2f %8.2f %8.2f%s" % (
                        "%s %s" % (direction, "TLS" if tls else "plain"), base, t,
                        size / t / 1e6, ratio, base_cpu, cpu,
                        "" if ratio >= 0.7 else "  (below 0.7)"))
            rate, cpu = small_uploads(si, args.seconds)
            ok &= rate >= 2000
            print("1 KiB uploads over 4 connections: %.0f per second%s; stand-in CPU %.0f us "
                  "per upload (%.0f per CPU second)" % (
                      rate, "" if rate >= 2000 else " (below 2000)", cpu * 1e6, 1 / cpu))
            n, t, server = big_pull(si)
            print("pull of %d records: %.3f s in all, %.3f s in the stand-in (store and "
                  "encoding)" % (n, t, server))
            print("load average: %s" % open("/proc/loadavg").read().split()[0])
            if si.ok("violations")["violations"]:
                print("violations: %r" % si.ok("violations")["violations"])
                ok = False
        finally:
            si.stop()
    finally:
        shutil.rmtree(tmp)
    return 0 if ok or not args.strict else 1


if __name__ == "__main__":
    sys.exit(main())
