"""MD4 through libcrypto (hashlib lacks it without the legacy provider).

The low-level MD4_* functions need no provider. ctypes releases the GIL
during each call, so hashing can overlap with socket reads in another thread.
"""

import ctypes
import ctypes.util

_lib = None
_lib_gil = None
SMALL = 64 << 10


def _load(loader):
    for name in ("libcrypto.so.3", ctypes.util.find_library("crypto")):
        if not name:
            continue
        try:
            lib = loader(name)
        except OSError:
            continue
        lib.MD4_Init.argtypes = [ctypes.c_void_p]
        lib.MD4_Update.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
        lib.MD4_Final.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
        return lib
    raise OSError("libcrypto not found")


def _crypto():
    """libcrypto twice: calls through CDLL release the GIL (worth it for
    large blocks), calls through PyDLL keep it (cheaper for small ones, where
    a release would let other connection threads cut in)."""
    global _lib, _lib_gil
    if _lib is None:
        _lib_gil = _load(ctypes.PyDLL)
        _lib = _load(ctypes.CDLL)
    return _lib


class MD4:
    def __init__(self, data=None):
        self._lib = _crypto()
        self._ctx = ctypes.create_string_buffer(256)
        if self._lib.MD4_Init(self._ctx) != 1:
            raise OSError("MD4_Init failed")
        if data:
            self.update(data)

    def update(self, data):
        n = len(data)
        if not n:
            return
        if isinstance(data, bytes):
            (_lib_gil if n < SMALL else self._lib).MD4_Update(self._ctx, data, n)
        else:
            mv = memoryview(data)
            if mv.readonly:
                self._lib.MD4_Update(self._ctx, bytes(mv), n)
            else:
                buf = (ctypes.c_char * n).from_buffer(mv)
                self._lib.MD4_Update(self._ctx, buf, n)

    def hexdigest(self):
        out = ctypes.create_string_buffer(16)
        self._lib.MD4_Final(out, self._ctx)
        return out.raw.hex()


class ThreadedMD4:
    """MD4 computed in a helper thread, so that hashing a large body overlaps
    with receiving it. Bytes are copied into a few reused 1 MiB buffers (fresh
    ones would cost a page fault per 4 KiB)."""

    BLOCK = 1 << 20
    BUFFERS = 4

    def __init__(self):
        import queue
        import threading
        self._h = MD4()
        self._full = queue.Queue()
        self._free = queue.Queue()
        for _ in range(self.BUFFERS):
            self._free.put(bytearray(self.BLOCK))
        self._buf = self._free.get()
        self._n = 0
        self._t = threading.Thread(target=self._run, daemon=True)
        self._t.start()

    def _run(self):
        while True:
            item = self._full.get()
            if item is None:
                return
            buf, n = item
            self._h.update(memoryview(buf)[:n])
            self._free.put(buf)

    def update(self, data):
        mv = memoryview(data)
        while len(mv):
            k = min(len(mv), self.BLOCK - self._n)
            self._buf[self._n:self._n + k] = mv[:k]
            self._n += k
            mv = mv[k:]
            if self._n == self.BLOCK:
                self._full.put((self._buf, self._n))
                self._buf = self._free.get()
                self._n = 0

    def close(self):
        if self._t is not None:
            if self._n:
                self._full.put((self._buf, self._n))
                self._n = 0
            self._full.put(None)
            self._t.join()
            self._t = None

    def hexdigest(self):
        self.close()
        return self._h.hexdigest()


def md4_hex(data):
    return MD4(data).hexdigest()


def md4_file(path, chunk=1 << 20):
    h = MD4()
    buf = bytearray(chunk)
    mv = memoryview(buf)
    with open(path, "rb", buffering=0) as f:
        while True:
            n = f.readinto(buf)
            if not n:
                break
            h.update(mv[:n])
    return h.hexdigest()
