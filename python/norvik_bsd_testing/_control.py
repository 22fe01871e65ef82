"""The scripted kernel's control functions, through ctypes.

The scripted build of _norvik_bsd exports the control functions of its
overlay (norvik_script_*); loading the same shared object again with ctypes
reaches the very state the module's calls consult.
"""
import ctypes
import errno as _errno
from typing import Any, Union

# The kinds of question the overlay counts and can fail.
SIZE, READ, WRITE, CALL = 0, 1, 2, 3
ANY = -1


class ScriptError(RuntimeError):
    """The overlay refused a control (a bad key, or a kernel failure without an errno)."""


class KernelScript:
    """One call per control of the overlay; every refusal raises."""

    def __init__(self, path: str):
        try:
            lib = ctypes.CDLL(path)
            lib.norvik_script_reset  # noqa: B018 - only the scripted build has it
        except (OSError, AttributeError) as exc:
            raise ScriptError(f"{path} is not the scripted build of _norvik_bsd: {exc}") from None
        lib.norvik_script_answer.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
        lib.norvik_script_fail.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
        lib.norvik_script_grow.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.norvik_script_exhaust.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.norvik_script_overreport.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.norvik_script_fail_on.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                              ctypes.c_int]
        lib.norvik_script_size.argtypes = [ctypes.c_char_p, ctypes.c_long]
        lib.norvik_script_count.argtypes = [ctypes.c_char_p, ctypes.c_int]
        lib.norvik_script_count.restype = ctypes.c_long
        lib.norvik_script_set_root.argtypes = [ctypes.c_char_p]
        self._lib = lib

    @staticmethod
    def _check(status: int, what: str) -> None:
        if status != 0:
            raise ScriptError(f"the scripted kernel refused {what}")

    def reset(self) -> None:
        self._lib.norvik_script_reset()

    def answer(self, key: str, data: Union[bytes, str]) -> None:
        """The key answers these bytes (a str is encoded)."""
        if isinstance(data, str):
            data = data.encode()
        data = bytes(data)
        self._check(self._lib.norvik_script_answer(key.encode(), data, len(data)), f"an answer for {key}")

    def fail(self, key: str, err: int, times: int = -1) -> None:
        """The key fails with errno `err` on its next `times` calls (-1: always)."""
        self._check(self._lib.norvik_script_fail(key.encode(), err, times),
                    f"failing {key} with {_errno.errorcode.get(err, err)}")

    def fail_on(self, key: str, err: int, what: int, skip: int = 0, times: int = 1) -> None:
        """Only questions of kind `what` (SIZE, READ, WRITE, CALL, ANY) fail,
        after the first `skip` of them went through."""
        self._check(self._lib.norvik_script_fail_on(key.encode(), what, err, skip, times),
                    f"failing {key} with {_errno.errorcode.get(err, err)}")

    def size(self, key: str, size: int) -> None:
        """Size questions answer `size` bytes whatever the answer (-1: its own)."""
        self._check(self._lib.norvik_script_size(key.encode(), size), f"a size for {key}")

    def grow(self, key: str, times: int = -1) -> None:
        """The next `times` reads of the key fail with ENOMEM (-1: always)."""
        self._check(self._lib.norvik_script_grow(key.encode(), times), f"growing {key}")

    def exhaust(self, key: str, times: int = -1) -> None:
        """The key's next `times` questions run out of memory inside the call (-1: always)."""
        self._check(self._lib.norvik_script_exhaust(key.encode(), times), f"exhausting {key}")

    def overreport(self, key: str, on: bool = True) -> None:
        self._check(self._lib.norvik_script_overreport(key.encode(), int(on)), f"overreporting {key}")

    def count(self, key: str, what: int) -> int:
        return int(self._lib.norvik_script_count(key.encode(), what))

    def set_root(self, path: Any) -> None:
        self._check(self._lib.norvik_script_set_root(str(path).encode()), f"the root {path}")


def pack_int(value: int) -> bytes:
    return value.to_bytes(4, "little", signed=True)
