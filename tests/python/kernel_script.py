"""Drives the scripted kernel of the test build of the module through ctypes.

The test build of _norvik_bsd exports the control functions of its scripted
stand-in; loading the same shared object again with ctypes reaches the very
state the module's calls consult.
"""
import ctypes
import struct

# What norvik_script_count counts.
SIZE, READ, WRITE, CALL = 0, 1, 2, 3


class KernelScript:
    def __init__(self, module):
        lib = ctypes.CDLL(module.__file__)
        lib.norvik_script_answer.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
        lib.norvik_script_fail.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
        lib.norvik_script_grow.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.norvik_script_overreport.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.norvik_script_fail_on.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                              ctypes.c_int]
        lib.norvik_script_size.argtypes = [ctypes.c_char_p, ctypes.c_long]
        lib.norvik_script_count.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.norvik_script_count.restype = ctypes.c_long
        lib.norvik_script_set_root.argtypes = [ctypes.c_char_p]
        self._lib = lib

    def reset(self):
        self._lib.norvik_script_reset()

    def answer(self, key, data):
        """The key answers these bytes (a str is encoded)."""
        if isinstance(data, str):
            data = data.encode()
        assert self._lib.norvik_script_answer(key.encode(), bytes(data), len(data)) == 0

    def fail(self, key, err, times=-1):
        """The key fails with errno `err` on its next `times` calls (-1: always)."""
        assert self._lib.norvik_script_fail(key.encode(), err, times) == 0

    def fail_on(self, key, err, what, skip=0, times=1):
        """Only questions of kind `what` (SIZE, READ, WRITE, CALL) fail, after
        the first `skip` of them went through."""
        assert self._lib.norvik_script_fail_on(key.encode(), what, err, skip, times) == 0

    def size(self, key, size):
        """Size questions answer `size` bytes whatever the answer (-1: its own)."""
        assert self._lib.norvik_script_size(key.encode(), size) == 0

    def grow(self, key, times=-1):
        """The next `times` reads of the key fail with ENOMEM (-1: always)."""
        assert self._lib.norvik_script_grow(key.encode(), times) == 0

    def overreport(self, key, on=True):
        assert self._lib.norvik_script_overreport(key.encode(), int(on)) == 0

    def count(self, key, what):
        return self._lib.norvik_script_count(key.encode(), what)

    def set_root(self, path):
        assert self._lib.norvik_script_set_root(str(path).encode()) == 0


def pack_int(value):
    return struct.pack("<i", value)
