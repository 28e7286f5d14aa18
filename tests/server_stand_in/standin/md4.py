"""MD4 through libcrypto (hashlib lacks it without the legacy provider).

The low-level MD4_* functions need no provider. ctypes releases the GIL
during each call, so hashing can overlap with socket reads in another thread.
"""

import ctypes
import ctypes.util

_lib = None


def _crypto():
    global _lib
    if _lib is None:
        lib = None
        for name in ("libcrypto.so.3", ctypes.util.find_library("crypto")):
            if not name:
                continue
            try:
                lib = ctypes.CDLL(name)
                break
            except OSError:
                continue
        if lib is None:
            raise OSError("libcrypto not found")
        lib.MD4_Init.argtypes = [ctypes.c_void_p]
        lib.MD4_Update.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
        lib.MD4_Final.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
        _lib = lib
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
            self._lib.MD4_Update(self._ctx, data, n)
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
