"""Journal of every exchange (JSON Lines), violations and counters."""

import json
import sys
import threading
import time


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
            self.events.append(ev)
            if self.f is not None:
                self.f.write(json.dumps(ev, default=str) + "\n")
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
            return [dict(e) for e in self.events[max(n - 1, 0):]], self.seq + 1

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
