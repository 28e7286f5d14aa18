#!/usr/bin/python3 -B -u
"""Storage-server stand-in for end-to-end tests. See README.md beside it."""

import argparse
import os
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from standin import server as servermod  # noqa: E402
from standin.store import CONTROL  # noqa: E402


def seed(srv, folder, view):
    """Puts a local folder's files and folders into a view."""
    store = srv.store
    root = os.path.abspath(folder)
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        rel = os.path.relpath(dirpath, root)
        base = "" if rel == "." else "/" + rel.replace(os.sep, "/")
        if base:
            store.mkdir(view, base, int(os.stat(dirpath).st_mtime), CONTROL)
        for name in sorted(filenames):
            p = os.path.join(dirpath, name)
            tmp = store.spool_path("seed")
            with open(p, "rb") as i, open(tmp, "wb") as o:
                o.write(i.read())
            blob = store.ingest(tmp)
            store.put_file(view, base + "/" + name, blob, int(os.stat(p).st_mtime), CONTROL)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--data", required=True, help="data folder (store, journal)")
    ap.add_argument("--pki", required=True, help="folder of the certificates and keys")
    ap.add_argument("--token", action="append", default=[], help="accepted session token")
    ap.add_argument("--view", action="append", type=int, default=[], help="view id")
    ap.add_argument("--seed", help="folder whose files go into the first view")
    ap.add_argument("--max-lifetime", type=float, default=900.0)
    args = ap.parse_args(argv)

    views = args.view or [1]
    tokens = args.token or ["session-token"]
    srv = servermod.Server(args.data, args.pki, tokens=tokens, views=views)
    if args.seed:
        seed(srv, args.seed, views[0])
    srv.start()

    # The handler only sets a flag: taking the event's lock in a handler can
    # deadlock against the main thread's own wait on it.
    signalled = []

    def on_term(signum, frame):
        signalled.append(signum)
    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)

    def watch_stdin():
        try:
            while os.read(0, 4096):
                pass
        except OSError:
            pass
        servermod.log("end of standard input")
        srv.exit.set()
    threading.Thread(target=watch_stdin, daemon=True).start()

    print("READY %d %d" % (srv.port, srv.control_port), flush=True)
    servermod.log("serving on 127.0.0.1:%d, control on %d, data %s"
                  % (srv.port, srv.control_port, srv.data_dir))
    deadline = time.monotonic() + args.max_lifetime
    while not srv.exit.is_set() and not signalled:
        left = deadline - time.monotonic()
        if left <= 0:
            servermod.log("lifetime of %g s reached" % args.max_lifetime)
            break
        srv.exit.wait(min(left, 0.2))
    if signalled:
        servermod.log("signal %d" % signalled[0])
    try:
        srv.stop()
    except Exception as e:  # noqa: BLE001 - exit in any case
        servermod.log("stop: %s: %s" % (type(e).__name__, e))
    servermod.log("stopped")
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
