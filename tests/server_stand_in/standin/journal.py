"""Journal of every exchange (JSON Lines), violations and counters."""

import json
import sys
import threading
import time


def _plain(v):
    """JSON stand-in for values json cannot write: bodies as their length."""
    n = getattr(v, "length", None)
    if n is not None:
        return {"binary": n}
    if isinstance(v, (bytes, bytearray, memoryview)):
        return {"binary": len(v)}
    data = getattr(v, "data", None)
    if isinstance(data, bytes):
        return {"raw": len(data)}
    return str(v)


class Journal:
    def __init__(self, path):
        self.lock = threading.Lock()
        self.f = open(path, "a", encoding="utf-8")
        self.t0 = time.monotonic()
        self.seq = 0
        self.events = []
        self.violations = []
        self.counters = {"accepts": 0, "tls_handshakes": 0, "connects_plain": 0,
                         "connects_do_ssl": 0, "connects_in_tls": 0, "requests": {},
                         "body_bytes_in": 0, "body_bytes_out": 0}

    def log(self, conn, event, **kw):
        with self.lock:
            self.seq += 1
            ev = {"seq": self.seq, "t": round(time.monotonic() - self.t0, 6),
                  "conn": conn, "event": event}
            ev.update(kw)
            line = json.dumps(ev, default=_plain)
            # Events are kept as their lines: no request (nor body) stays
            # referenced.
            self.events.append(line)
            if self.f is not None:
                self.f.write(line + "\n")
                self.f.flush()
            return self.seq

    def violation(self, conn, text):
        seq = self.log(conn, "violation", text=text)
        with self.lock:
            self.violations.append({"seq": seq, "conn": conn, "text": text})
        print("stand-in: violation (conn %s): %s" % (conn, text), file=sys.stderr)

    def count(self, key, n=1):
        with self.lock:
            self.counters[key] += n

    def count_request(self, action):
        with self.lock:
            r = self.counters["requests"]
            r[action] = r.get(action, 0) + 1

    def since(self, n):
        with self.lock:
            # Events with seq >= n; seq numbers start at 1 and are dense.
            lines = self.events[max(n - 1, 0):]
            nxt = self.seq + 1
        return [json.loads(x) for x in lines], nxt

    def snapshot(self):
        with self.lock:
            c = dict(self.counters)
            c["requests"] = dict(c["requests"])
            return c

    def violation_list(self):
        with self.lock:
            return [dict(v) for v in self.violations]

    def close(self):
        with self.lock:
            if self.f is not None:
                self.f.close()
                self.f = None
