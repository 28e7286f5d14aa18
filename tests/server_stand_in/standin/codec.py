"""Message encoding of the server protocol: tagged values, request header.

Python values map to wire values as follows:
  None -> null, bool/int -> integer, str -> string, bytes -> binary,
  FileSlice -> binary streamed from a file, dict -> map, list -> array,
  Raw -> exactly the bytes it holds (for fault injection).
Decoded binaries become BinaryFile (the body lands in a file) or bytes when
the caller keeps bodies in memory.
"""

import os
import re
import struct

TAG_NULL = 0x00
TAG_INT = 0x01
TAG_STRING = 0x10
TAG_BINARY = 0x30
TAG_END = 0x40
TAG_ARRAY = 0x41
TAG_MAP = 0x42

MAGIC = b"\x7c\x4e\x9a\x13"
PROTO_VERSION = 70
HEADER_SIZE = 8

MAX_DEPTH = 64
MAX_VALUES = 1 << 24
MAX_STRING = 0xFFFF
CHUNK = 1 << 20
GATHER = 256 << 10

KEEP_ALIVE = b"\x42\x10\x00\x04type\x10\x00\x0akeep_alive\x40"


class DecodeError(Exception):
    """Malformed input: the stream is out of step."""


class PeerClosed(Exception):
    """The peer closed the connection (or it broke) inside a read."""

    def __init__(self, msg="connection closed", got=0):
        super().__init__(msg)
        self.got = got


class Raw:
    """Bytes written to the wire as they are, in place of a value."""

    __slots__ = ("data",)

    def __init__(self, data):
        self.data = bytes(data)

    def __repr__(self):
        return "Raw(%r)" % self.data


class FileSlice:
    """A binary value whose bytes come from a file when encoded."""

    __slots__ = ("path", "offset", "length")

    def __init__(self, path, offset=0, length=None):
        self.path = path
        self.offset = offset
        self.length = os.path.getsize(path) - offset if length is None else length


class BinaryFile:
    """A received binary value: `length` bytes stored in the file `path`."""

    __slots__ = ("path", "length", "complete")

    def __init__(self, path, length, complete=True):
        self.path = path
        self.length = length
        self.complete = complete

    def read(self):
        with open(self.path, "rb") as f:
            return f.read()

    def __repr__(self):
        return "BinaryFile(%r, %d)" % (self.path, self.length)


def header(command, length=0, version=PROTO_VERSION, magic=MAGIC):
    return magic + bytes([version & 0xFF, command & 0xFF]) + struct.pack(">H", length)


def parse_header(data):
    """Returns (magic ok, version, command, length) of 8 header bytes."""
    return (data[:4] == MAGIC, data[4], data[5], struct.unpack(">H", data[6:8])[0])


# ---------------------------------------------------------------- encoding

def _int_bytes(v):
    v &= 0xFFFFFFFFFFFFFFFF
    if v < 0x100:
        return b"\x01\x01" + bytes((v,))
    if v < 0x10000:
        return b"\x01\x02" + struct.pack(">H", v)
    if v < 0x100000000:
        return b"\x01\x04" + struct.pack(">I", v)
    return b"\x01\x08" + struct.pack(">Q", v)


def _str_bytes(s):
    b = s.encode("utf-8") if isinstance(s, str) else bytes(s)
    if len(b) > MAX_STRING:
        raise ValueError("string of %d bytes exceeds 65535" % len(b))
    return b"\x10" + struct.pack(">H", len(b)) + b


def daemon_order(key):
    """The daemon's member order: it holds "action", "agent" and
    "resume_token" with a leading "_" (stripped on the wire), so they sort
    before the other members."""
    return "_" + key if key in ("action", "agent", "resume_token") else key


_KEYS = {}


def _key_bytes(k):
    b = _KEYS.get(k)
    if b is None:
        b = _str_bytes(k)
        if len(_KEYS) < 4096:
            _KEYS[k] = b
    return b


def encode_segments(value, sort_key=None):
    """Encodes a value into a list of bytes objects and FileSlice items,
    so that file bodies can be streamed rather than held in memory.
    sort_key orders map members (default: byte order of the keys)."""
    segs = []
    out = bytearray()
    pack_q = struct.Struct(">Q").pack

    def enc(v):
        nonlocal out
        t = type(v)
        if t is int:
            if 0 <= v < 0x100:
                out += b"\x01\x01"
                out.append(v)
            else:
                out += _int_bytes(v)
        elif t is str:
            out += _str_bytes(v)
        elif t is dict:
            out.append(TAG_MAP)
            for k in sorted(v, key=sort_key):
                if type(k) is str:
                    out += _key_bytes(k)
                elif isinstance(k, Raw):
                    out += k.data
                else:
                    out += _str_bytes(k)
                enc(v[k])
            out.append(TAG_END)
        elif v is None:
            out += b"\x00\x00"
        elif v is True or v is False:
            out += b"\x01\x01\x01" if v else b"\x01\x01\x00"
        elif isinstance(v, int):
            out += _int_bytes(v)
        elif isinstance(v, str):
            out += _str_bytes(v)
        elif isinstance(v, dict):
            out.append(TAG_MAP)
            for k in sorted(v, key=sort_key):
                out += k.data if isinstance(k, Raw) else _str_bytes(k)
                enc(v[k])
            out.append(TAG_END)
        elif isinstance(v, (list, tuple)):
            out.append(TAG_ARRAY)
            for e in v:
                enc(e)
            out.append(TAG_END)
        elif isinstance(v, (bytes, bytearray, memoryview)):
            out += b"\x30" + pack_q(len(v))
            out += v
        elif isinstance(v, FileSlice):
            out += b"\x30" + pack_q(v.length)
            segs.append(bytes(out))
            out = bytearray()
            segs.append(v)
        elif isinstance(v, Raw):
            out += v.data
        elif isinstance(v, BinaryFile):
            enc(FileSlice(v.path, 0, v.length))
        else:
            raise TypeError("cannot encode %r" % type(v))

    enc(value)
    if out or not segs:
        segs.append(bytes(out))
    return segs


def encode(value, sort_key=None):
    """Encodes a value whole into bytes (file slices are read in)."""
    parts = []
    for s in encode_segments(value, sort_key):
        if isinstance(s, FileSlice):
            with open(s.path, "rb") as f:
                f.seek(s.offset)
                data = f.read(s.length)
            if len(data) != s.length:
                raise ValueError("file %s is shorter than its slice" % s.path)
            parts.append(data)
        else:
            parts.append(s)
    return b"".join(parts)


def merge_into(target, value):
    """Merges a received value into an existing one: maps merge member by
    member, arrays append, anything else is replaced."""
    if isinstance(target, dict) and isinstance(value, dict):
        for k, v in value.items():
            if k in target:
                target[k] = merge_into(target[k], v)
            else:
                target[k] = v
        return target
    if isinstance(target, list) and isinstance(value, list):
        target.extend(value)
        return target
    return value


# ---------------------------------------------------------------- decoding

class Reader:
    """Exact reads over a recv_into-style source, with a small look-ahead
    buffer. `source(memoryview) -> n` returns 0 at the end of the stream."""

    def __init__(self, source, bufsize=65536):
        self.source = source
        self.buf = bytearray(bufsize)
        self.view = memoryview(self.buf)
        self.start = 0
        self.end = 0

    def buffered(self):
        return self.end - self.start

    def _fill(self, need):
        if self.start + need > len(self.buf):
            n = self.end - self.start
            if need > len(self.buf):
                nb = bytearray(max(need, 2 * len(self.buf)))
                nb[:n] = self.buf[self.start:self.end]
                self.buf = nb
                self.view = memoryview(nb)
            else:
                self.buf[:n] = self.buf[self.start:self.end]
            self.start, self.end = 0, n
        while self.end - self.start < need:
            got = self.source(self.view[self.end:])
            if not got:
                raise PeerClosed(got=self.end - self.start)
            self.end += got

    def read(self, n):
        if self.end - self.start < n:
            self._fill(n)
        s = self.start
        self.start = s + n
        return bytes(self.buf[s:s + n])

    def byte(self):
        if self.end == self.start:
            self._fill(1)
        b = self.buf[self.start]
        self.start += 1
        return b

    def wait_first_byte(self):
        """Blocks until at least one byte is available (the idle wait)."""
        if self.end == self.start:
            self._fill(1)

    def copy_to(self, n, write, progress=None, chunk=CHUNK):
        """Moves n body bytes to write(memoryview). progress(done) is called
        after each chunk and may raise to stop. Returns n."""
        done = 0
        if self.end > self.start:
            k = min(n, self.end - self.start)
            write(self.view[self.start:self.start + k])
            self.start += k
            done = k
            if progress:
                progress(done)
        if done < n:
            buf = bytearray(min(chunk, n - done))
            mv = memoryview(buf)
            while done < n:
                # Gather a few reads per write: fewer calls per byte.
                want = min(len(buf), n - done)
                got = 0
                while got < want:
                    r = self.source(mv[got:want])
                    if not r:
                        if got:
                            # Keep what arrived: a resumed upload continues it.
                            write(mv[:got])
                            done += got
                            if progress:
                                progress(done)
                        raise PeerClosed(got=done)
                    got += r
                    if got >= GATHER:
                        break
                write(mv[:got])
                done += got
                if progress:
                    progress(done)
        return n


def bytes_source(data):
    """A Reader source over a bytes object (for tests and files)."""
    mv = memoryview(bytes(data))
    pos = [0]

    def src(dst):
        n = min(len(dst), len(mv) - pos[0])
        dst[:n] = mv[pos[0]:pos[0] + n]
        pos[0] += n
        return n
    src.remaining = lambda: len(mv) - pos[0]
    return src


# Integers of width 0 (tag, 0) or of width 1 (tag, 1, byte), all alike.
_SMALL_INTS = re.compile(rb"(?:\x01\x00)+|(?:\x01\x01[\x00-\xff])+")


class Decoder:
    """Decodes one value from a Reader.

    binary_sink(keys, root, length) -> (write, finish) decides where a body
    goes: keys is the list of map keys leading to the binary, root the
    top-level map as received so far. write(memoryview) takes the bytes;
    finish(complete, got) returns the value stored in the tree. Without a
    sink, bodies are returned as bytes.
    """

    def __init__(self, reader, binary_sink=None, max_depth=MAX_DEPTH,
                 max_values=MAX_VALUES, progress=None):
        self.r = reader
        self.sink = binary_sink
        self.max_depth = max_depth
        self.max_values = max_values
        self.values = 0
        self.keys = []
        self.root = None
        self.progress = progress
        self.body_bytes = 0
        self._last_done = 0

    def decode(self):
        tag = self.r.byte()
        return self._value(tag, 0, top=True)

    def _count(self):
        self.values += 1
        if self.values > self.max_values:
            raise DecodeError("more than %d values in one message" % self.max_values)

    def _string(self):
        r = self.r
        s = r.start
        buf = r.buf
        if r.end - s >= 2:
            n = (buf[s] << 8) | buf[s + 1]
            if r.end - s - 2 >= n:
                b = bytes(buf[s + 2:s + 2 + n])
                r.start = s + 2 + n
            else:
                r.start = s + 2
                b = r.read(n)
        else:
            n = struct.unpack(">H", r.read(2))[0]
            b = r.read(n)
        if b"\x00" in b:
            raise DecodeError("string holds a NUL byte")
        try:
            return b.decode("utf-8")
        except UnicodeDecodeError:
            raise DecodeError("string is not UTF-8") from None

    def _value(self, tag, depth, top=False):
        r = self.r
        self._count()
        if tag == TAG_INT:
            w = r.byte()
            if w > 8:
                raise DecodeError("integer width %d" % w)
            if w == 1 and r.end > r.start:
                r.start += 1
                return r.buf[r.start - 1]
            return int.from_bytes(r.read(w), "big") if w else 0
        if tag == TAG_STRING:
            return self._string()
        if tag == TAG_MAP:
            if depth >= self.max_depth:
                raise DecodeError("nesting deeper than %d" % self.max_depth)
            m = {}
            if top:
                self.root = m
            while True:
                t = r.byte()
                if t == TAG_END:
                    return m
                if t != TAG_STRING:
                    raise DecodeError("map key with tag 0x%02x" % t)
                k = self._string()
                self.keys.append(k)
                v = self._value(r.byte(), depth + 1)
                self.keys.pop()
                if k in m:
                    m[k] = merge_into(m[k], v)
                else:
                    m[k] = v
        if tag == TAG_ARRAY:
            if depth >= self.max_depth:
                raise DecodeError("nesting deeper than %d" % self.max_depth)
            a = []
            while True:
                # A run of integers of width 0 or 1 already in the buffer
                # is taken whole: arrays of millions of them (the value
                # limit's tests) would otherwise cost four calls a value.
                m = _SMALL_INTS.match(r.buf, r.start, r.end)
                if m:
                    s, e = m.span()
                    width = r.buf[s + 1]
                    n = (e - s) // (2 + width)
                    if self.values + n > self.max_values:
                        self.values = self.max_values
                        self._count()  # raises
                    self.values += n
                    a.extend(r.buf[s + 2:e:3] if width else bytes(n))
                    r.start = e
                    continue
                t = r.byte()
                if t == TAG_END:
                    return a
                a.append(self._value(t, depth + 1))
        if tag == TAG_NULL:
            b = r.byte()
            if b != 0:
                raise DecodeError("null with body byte 0x%02x" % b)
            return None
        if tag == TAG_BINARY:
            n = struct.unpack(">Q", r.read(8))[0]
            return self._binary(n)
        raise DecodeError("unknown tag 0x%02x" % tag)

    def _binary(self, n):
        if self.sink is None:
            self._last_done = 0
            parts = []
            self.r.copy_to(n, lambda mv: parts.append(bytes(mv)), self._progress)
            return b"".join(parts)
        self._last_done = 0
        write, finish = self.sink(list(self.keys), self.root, n)
        got = [0]

        def prog(done):
            got[0] = done
            self._progress(done)
        try:
            self.r.copy_to(n, write, prog)
        except BaseException:
            finish(False, got[0])
            raise
        return finish(True, n)

    def _progress(self, done):
        delta = done - self._last_done
        self._last_done = done
        self.body_bytes += delta
        if self.progress:
            self.progress(self.body_bytes)


def decode_bytes(data, **kw):
    """Decodes one value from bytes; the whole input must be consumed."""
    src = bytes_source(data)
    r = Reader(src)
    v = Decoder(r, **kw).decode()
    left = r.buffered() + src.remaining()
    if left:
        raise DecodeError("%d bytes after the value" % left)
    return v
