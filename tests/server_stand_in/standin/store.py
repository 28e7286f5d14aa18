"""The stand-in's store: views of versioned paths, content blobs, resume
tokens. Pure bookkeeping under one lock; file bodies are moved by callers
outside the lock. The rules are listed in ../README.md ("Store rules")."""

import itertools
import json
import os
import threading

from . import md4 as md4mod

MAX_SYNC_ID = (1 << 63) - 1

# Server error codes.
SESSION_MISS = 0x2001
INVALID_VIEW_ID = 0x3001
VIEW_INVALID_PATH = 0x3003
READ_ONLY = 0x3004
CONFLICT = 0x6000
INTERNAL = 0x7000
DOWNLOAD = 0x8000
DOWNLOAD_NOFILE = 0x8001
UPLOAD = 0x9000
UPLOAD_NOBASE = 0x9001
UPLOAD_BASE_CHANGED = 0x9002
REMOVE_NOFILE = 0xA001
REMOVE_MODIFIED = 0xA002
RESUME = 0xB000
RESUME_NOTOKEN = 0xB001

CONTROL = "control"


class Refusal(Exception):
    """A request refused with a server code; `violation` names a protocol
    fault of the client when the refusal also is one."""

    def __init__(self, code, text="", violation=None):
        super().__init__(text or "code 0x%x" % code)
        self.code = code
        self.violation = violation


def valid_path(path, allow_root=False):
    if not isinstance(path, str) or not path.startswith("/"):
        return False
    if path == "/":
        return allow_root
    if path.endswith("/"):
        return False
    return all(c not in ("", ".", "..") for c in path[1:].split("/"))


def parent_of(path):
    i = path.rfind("/")
    return "/" if i <= 0 else path[:i]


def ancestors(path):
    """Proper ancestors of path, outermost first, "/" excluded."""
    parts = path[1:].split("/")
    return ["/" + "/".join(parts[:i]) for i in range(1, len(parts))]


def is_under(path, folder):
    """True when path lies strictly below folder."""
    if folder == "/":
        return path != "/"
    return path.startswith(folder + "/")


class Blob:
    __slots__ = ("md4", "size", "file_id", "path")

    def __init__(self, md4, size, file_id, path):
        self.md4, self.size, self.file_id, self.path = md4, size, file_id, path


class Entry:
    __slots__ = ("version", "removed", "type", "size", "md4", "mtime", "blob", "origin")

    def __init__(self, version, removed, type_, size=0, md4="", mtime=0, blob=None,
                 origin=CONTROL):
        self.version = version
        self.removed = removed
        self.type = type_
        self.size = size
        self.md4 = md4
        self.mtime = mtime
        self.blob = blob
        self.origin = origin

    @property
    def is_dir(self):
        return self.type == "dir"

    def describe(self):
        d = {"version": self.version, "removed": self.removed, "type": self.type,
             "size": self.size, "md4": self.md4, "mtime": self.mtime}
        if self.blob is not None:
            d["content_path"] = self.blob.path
        return d


class View:
    def __init__(self, vid, read_only, first_version):
        self.id = vid
        self.read_only = read_only
        self.next = first_version
        self.moved = False
        self.head = 0
        self.objects = {}  # path -> [Entry], oldest first


class Token:
    def __init__(self, name, path):
        self.name = name
        self.path = path
        self.reported = 0  # offset last reported (0 after issue)
        self.unreported = False  # bytes arrived after the last report

    def held(self):
        try:
            return os.path.getsize(self.path)
        except OSError:
            return 0


class Store:
    def __init__(self, data_dir, first_version=1, history_depth=0):
        self.lock = threading.RLock()
        self.dir = data_dir
        self.blob_dir = os.path.join(data_dir, "blobs")
        self.spool_dir = os.path.join(data_dir, "spool")
        self.token_dir = os.path.join(data_dir, "tokens")
        self.body_dir = os.path.join(data_dir, "bodies")
        for d in (self.blob_dir, self.spool_dir, self.token_dir, self.body_dir):
            os.makedirs(d, exist_ok=True)
        self.first_version = first_version
        self.history_depth = history_depth
        self.views = {}
        self.sessions = set()
        self.blobs = {}
        self.blobs_by_id = {}
        self.file_ids = itertools.count(1)
        self.tokens = {}
        self.aliases = {}
        self.token_numbers = itertools.count(1)
        self.spool_numbers = itertools.count(1)
        self.pulled = {}  # (session, view, path) -> highest next_sync_id given
        self.bodies = {}  # (token, view, path, base) -> (entry, body path, delta)

    # -------------------------------------------------------------- basics

    def spool_path(self, tag="body"):
        return os.path.join(self.spool_dir, "%s-%d" % (tag, next(self.spool_numbers)))

    def add_view(self, vid, read_only=False):
        with self.lock:
            if vid in self.views:
                self.views[vid].read_only = read_only
            else:
                self.views[vid] = View(vid, read_only, self.first_version)
            return self.views[vid]

    def set_first_version(self, v):
        with self.lock:
            self.first_version = v
            for view in self.views.values():
                if not view.moved:
                    view.next = v

    def view(self, vid):
        v = self.views.get(vid)
        if v is None:
            raise Refusal(INVALID_VIEW_ID, "unknown view %r" % (vid,))
        return v

    def _take_version(self, view):
        v = view.next
        if v >= MAX_SYNC_ID:
            raise Refusal(INTERNAL, "version space exhausted")
        view.next = v + 1
        view.moved = True
        view.head = v
        return v

    def latest(self, view, path):
        h = view.objects.get(path)
        return h[-1] if h else None

    def live(self, view, path):
        e = self.latest(view, path)
        return e if e is not None and not e.removed else None

    def _append(self, view, path, entry):
        h = view.objects.setdefault(path, [])
        h.append(entry)
        if self.history_depth and len(h) > self.history_depth:
            del h[:len(h) - self.history_depth]

    def version_of(self, view, path, version):
        for e in view.objects.get(path, ()):
            if e.version == version:
                return e
        return None

    # --------------------------------------------------------------- blobs

    def ingest(self, path, md4=None, size=None):
        """Turns a finished body file into a blob (moved into the blob
        folder, or dropped when the same content is held already)."""
        if size is None:
            size = os.path.getsize(path)
        if md4 is None:
            md4 = md4mod.md4_file(path)
        key = (md4, size)
        with self.lock:
            b = self.blobs.get(key)
            if b is not None:
                os.unlink(path)
                return b
            dest = os.path.join(self.blob_dir, "%s-%d" % key)
            os.replace(path, dest)
            b = Blob(md4, size, next(self.file_ids), dest)
            self.blobs[key] = b
            self.blobs_by_id[b.file_id] = b
            return b

    def ingest_data(self, data):
        """A blob from a small body held in memory."""
        md4 = md4mod.md4_hex(data)
        key = (md4, len(data))
        with self.lock:
            b = self.blobs.get(key)
            if b is not None:
                return b
        p = self.spool_path("mem")
        with open(p, "wb") as f:
            f.write(data)
        return self.ingest(p, md4, len(data))

    def ingest_bytes(self, data):
        p = self.spool_path("put")
        with open(p, "wb") as f:
            f.write(data)
        return self.ingest(p, md4mod.md4_hex(data), len(data))

    def blob_by_content(self, md4, size):
        with self.lock:
            return self.blobs.get((md4, size))

    # ------------------------------------------------------------- writing

    def _ensure_parents(self, view, path, origin):
        for a in ancestors(path):
            e = self.latest(view, a)
            if e is not None and not e.removed:
                if not e.is_dir:
                    raise Refusal(CONFLICT, "a file lies at the parent %s" % a)
                continue
            self._append(view, a, Entry(self._take_version(view), False, "dir",
                                        origin=origin))

    def _check_parents(self, view, path):
        for a in ancestors(path):
            e = self.live(view, a)
            if e is not None and not e.is_dir:
                raise Refusal(CONFLICT, "a file lies at the parent %s" % a)

    def put_file(self, vid, path, blob, mtime, origin=CONTROL):
        with self.lock:
            view = self.view(vid)
            cur = self.live(view, path)
            if cur is not None and cur.is_dir:
                raise Refusal(CONFLICT, "a folder lies at %s" % path)
            self._check_parents(view, path)
            self._ensure_parents(view, path, origin)
            e = Entry(self._take_version(view), False, "file", blob.size, blob.md4,
                      mtime, blob, origin)
            self._append(view, path, e)
            return e

    def mkdir(self, vid, path, mtime, origin=CONTROL):
        with self.lock:
            view = self.view(vid)
            cur = self.live(view, path)
            if cur is not None and not cur.is_dir:
                raise Refusal(CONFLICT, "a file lies at %s" % path)
            self._check_parents(view, path)
            self._ensure_parents(view, path, origin)
            e = Entry(self._take_version(view), False, "dir", mtime=mtime, origin=origin)
            self._append(view, path, e)
            return e

    def remove(self, vid, path, origin=CONTROL):
        """Removes a live object; a folder takes everything below it along,
        all tombstones at one version."""
        with self.lock:
            view = self.view(vid)
            cur = self.live(view, path)
            if cur is None:
                raise Refusal(REMOVE_NOFILE, "nothing live at %s" % path)
            v = self._take_version(view)
            victims = [path]
            if cur.is_dir:
                victims += [p for p, h in view.objects.items()
                            if is_under(p, path) and not h[-1].removed]
            for p in victims:
                last = view.objects[p][-1]
                self._append(view, p, Entry(v, True, last.type, origin=origin))
            return v

    # ---------------------------------------------------------------- pull

    @staticmethod
    def _matches(cond, rel, e):
        if cond is None:
            return True
        if e.removed:
            return False
        name = rel.rsplit("/", 1)[-1]
        if "extension" in cond:
            if e.is_dir:
                return False
            want = cond["extension"]
            if want == "*":
                return True
            i = name.rfind(".")
            ext = name[i + 1:] if i > 0 else None
            return ext is not None and ext == want.lstrip(".")
        if "prefix" in cond:
            pre = cond["prefix"]
            if not pre.startswith("/"):
                pre = "/" + pre
            pre = pre.rstrip("/") or "/"
            return pre == "/" or rel == pre or rel.startswith(pre + "/")
        if "name" in cond:
            return not e.is_dir and name == cond["name"]
        lo = cond.get("min_size", 0)
        hi = cond.get("max_size", 0)
        return not e.is_dir and e.size > lo and (hi == 0 or e.size <= hi)

    @staticmethod
    def record(rel, e):
        r = {"path": rel, "is_dir": 1 if e.is_dir else 0,
             "is_removed": 1 if e.removed else 0,
             "sync_id": e.version, "max_id": e.version}
        if not e.removed:
            if not e.is_dir:
                r["file"] = {"hash": e.md4, "size": e.size}
                r["mtime"] = {"mtime": e.mtime & 0xFFFFFFFF}
            elif e.mtime:
                r["mtime"] = {"mtime": e.mtime & 0xFFFFFFFF}
        return r

    def pull(self, vid, path, sync_id, recursive, cond=None, page_size=0, session=None):
        """Returns (records, next_sync_id)."""
        with self.lock:
            view = self.view(vid)
            if path != "/" and self.live(view, path) is None:
                raise Refusal(VIEW_INVALID_PATH, "%s is not a live folder" % path)
            if path != "/" and not self.live(view, path).is_dir:
                raise Refusal(VIEW_INVALID_PATH, "%s is not a folder" % path)
            found = []
            cut = 0 if path == "/" else len(path)
            prefix = "/" if path == "/" else path + "/"
            matches = self._matches
            for p, h in view.objects.items():
                e = h[-1]
                if e.version <= sync_id or not p.startswith(prefix):
                    continue
                rel = p[cut:]
                if not recursive and rel.count("/") != 1:
                    continue
                if cond is not None and not matches(cond, rel, e):
                    continue
                found.append((e.version, rel, e))
            # Code point order of str equals the byte order of UTF-8.
            found.sort(key=lambda t: (t[0], t[1]))
            if not found:
                nxt = sync_id
            elif page_size and len(found) > page_size:
                last = found[page_size - 1][0]
                n = page_size
                while n < len(found) and found[n][0] == last:
                    n += 1
                found = found[:n]
                nxt = last
            else:
                nxt = view.head
            if session is not None:
                key = (session, vid, path)
                if nxt > self.pulled.get(key, 0):
                    self.pulled[key] = nxt
            return [self.record(rel, e) for _, rel, e in found], nxt

    # -------------------------------------------------------------- upload

    def check_upload(self, vid, path, is_dir, sync_id, f=None):
        """The base checks of an upload, in their order. Returns the live
        entry (or None) and whether the request is an idempotent success."""
        view = self.view(vid)
        if view.read_only:
            raise Refusal(READ_ONLY, "view %d is read-only" % vid)
        cur = self.live(view, path)
        if is_dir and sync_id == 0 and cur is not None and cur.is_dir:
            return cur, True
        if sync_id != 0 and cur is None:
            raise Refusal(UPLOAD_NOBASE, "nothing live at %s" % path)
        if f is not None and not is_dir and sync_id == 0:
            if f.get("is_delta") or (f.get("refer") and not f.get("file_id")):
                raise Refusal(UPLOAD_NOBASE, "no base for %s" % path,
                              violation="delta or reference without a base at %s" % path)
        if cur is not None and cur.is_dir != bool(is_dir):
            raise Refusal(CONFLICT, "type clash at %s" % path)
        self._check_parents(view, path)
        if sync_id == 0 and cur is not None:
            if f is not None and f.get("size") == cur.size and f.get("hash") == cur.md4:
                return cur, True
            raise Refusal(CONFLICT, "%s exists with other content" % path)
        if cur is not None and cur.version != sync_id:
            raise Refusal(UPLOAD_BASE_CHANGED, "%s is at %d, not %d"
                          % (path, cur.version, sync_id))
        return cur, False

    def commit_upload(self, vid, path, is_dir, sync_id, f, blob, mtime, origin):
        """Re-runs the checks and writes the new version. mtime None keeps
        the stored time. Returns (entry, idempotent)."""
        with self.lock:
            cur, same = self.check_upload(vid, path, is_dir, sync_id, f)
            if same:
                return cur, True
            view = self.views[vid]
            self._ensure_parents(view, path, origin)
            if mtime is None:
                mtime = cur.mtime if cur is not None else 0
            if is_dir:
                e = Entry(self._take_version(view), False, "dir", mtime=mtime, origin=origin)
            else:
                e = Entry(self._take_version(view), False, "file", blob.size, blob.md4,
                          mtime, blob, origin)
            self._append(view, path, e)
            return e, False

    # -------------------------------------------------------------- remove

    def remove_request(self, vid, path, sync_id, max_id, session):
        with self.lock:
            view = self.view(vid)
            if view.read_only:
                raise Refusal(READ_ONLY, "view %d is read-only" % vid)
            cur = self.live(view, path)
            if cur is None:
                raise Refusal(REMOVE_NOFILE, "nothing live at %s" % path)
            if not cur.is_dir:
                if cur.version != sync_id:
                    raise Refusal(REMOVE_MODIFIED, "%s is at %d, not %d"
                                  % (path, cur.version, sync_id))
            else:
                seen = max_id
                for (s, v, p), n in self.pulled.items():
                    if s == session and v == vid and (p == path or is_under(path, p)):
                        seen = max(seen, n)
                for p, h in view.objects.items():
                    e = h[-1]
                    if is_under(p, path) and e.origin != session and e.version > seen:
                        raise Refusal(REMOVE_MODIFIED, "%s changed below %s at %d"
                                      % (p, path, e.version))
            return self.remove(vid, path, origin=session)

    # ------------------------------------------------------------- tokens

    def new_token(self):
        with self.lock:
            name = "rt-%d" % next(self.token_numbers)
            t = Token(name, os.path.join(self.token_dir, name))
            open(t.path, "wb").close()
            self.tokens[name] = t
            return t

    @staticmethod
    def _canon(value):
        return json.dumps(value, sort_keys=True, default=repr)

    def lookup_token(self, value):
        """The token a request names: its own name, or the value a fault
        issued in its place (an integer or a map, echoed by the client)."""
        with self.lock:
            if isinstance(value, str) and value in self.tokens:
                return self.tokens[value]
            name = self.aliases.get(self._canon(value))
            return self.tokens.get(name) if name is not None else None

    def alias_token(self, value, name):
        with self.lock:
            self.aliases[self._canon(value)] = name

    def drop_token_value(self, value):
        t = self.lookup_token(value)
        if t is not None:
            self.drop_token(t.name)

    def drop_token(self, name):
        with self.lock:
            t = self.tokens.pop(name, None) if isinstance(name, str) else None
        if t is not None:
            try:
                os.unlink(t.path)
            except OSError:
                pass

    def forget_tokens(self):
        with self.lock:
            names = list(self.tokens)
            self.aliases.clear()
        for n in names:
            self.drop_token(n)

    # ----------------------------------------------------------- control

    def describe(self, vid, path):
        with self.lock:
            view = self.view(vid)
            if path == "/":
                return {"version": 0, "max_id": 0, "type": "dir", "size": 0,
                        "md4": "", "mtime": 0}
            e = self.live(view, path)
            if e is None:
                raise Refusal(DOWNLOAD_NOFILE, "nothing live at %s" % path)
            d = e.describe()
            d.pop("removed")
            d["max_id"] = e.version
            return d

    def history(self, vid, path):
        with self.lock:
            return [e.describe() for e in self.view(vid).objects.get(path, ())]

    def versions(self, vid):
        """Every kept state of every path of the view, tombstones included,
        sorted by path and then version."""
        with self.lock:
            out = []
            for p, h in self.view(vid).objects.items():
                for e in h:
                    d = e.describe()
                    d["path"] = p
                    out.append(d)
            out.sort(key=lambda d: (d["path"], d["version"]))
            return out

    def listing(self, vid, path="/"):
        with self.lock:
            view = self.view(vid)
            out = []
            for p, h in view.objects.items():
                e = h[-1]
                if not e.removed and is_under(p, path):
                    d = e.describe()
                    d.pop("removed")
                    d["path"] = p
                    out.append(d)
            out.sort(key=lambda d: d["path"])
            return out
