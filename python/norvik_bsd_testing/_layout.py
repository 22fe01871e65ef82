"""Packs a C structure from named fields, refusing what the kernel never writes.

A layout is a fixed size and, per field, its offset and a `struct` format.
Text fields (format "<n>s") must leave room for their terminating NUL, as
every string the kernel copies out is terminated within its array; numbers
must fit their C type (struct.pack refuses the rest).
"""
import struct
from typing import Any, Dict, Mapping, Tuple

Field = Tuple[int, str]


class RecordError(ValueError):
    """A field value that no FreeBSD kernel would write."""


def text(value: Any, width: int, name: str, terminated: bool = True) -> bytes:
    """A NUL-terminated string of at most width - 1 bytes (str is encoded as
    the file system encodes names); not terminated: up to width bytes, the
    NUL only when shorter (strncpy's arrays)."""
    raw = value.encode("utf-8", "surrogateescape") if isinstance(value, str) else bytes(value)
    if b"\0" in raw:
        raise RecordError(f"{name}: a kernel string holds no NUL before its end")
    if len(raw) > width - terminated:
        raise RecordError(f"{name}: {len(raw)} bytes do not fit {width} with the terminating NUL")
    return raw


class Layout:
    def __init__(self, name: str, size: int, fields: Mapping[str, Field]):
        self.name = name
        self.size = size
        self.fields: Dict[str, Field] = dict(fields)
        for field, (offset, fmt) in self.fields.items():
            if offset + struct.calcsize(fmt) > size:
                raise AssertionError(f"{name}.{field} ends past the record")

    def pack(self, values: Mapping[str, Any]) -> bytes:
        rec = bytearray(self.size)
        self.pack_into(rec, 0, values)
        return bytes(rec)

    def pack_into(self, rec: bytearray, base: int, values: Mapping[str, Any]) -> None:
        for field, value in values.items():
            if field not in self.fields:
                raise TypeError(f"struct {self.name} has no field {field!r}")
            offset, fmt = self.fields[field]
            if fmt.endswith("s"):
                raw = text(value, struct.calcsize(fmt), f"{self.name}.{field}")
                rec[base + offset:base + offset + len(raw)] = raw
                continue
            try:
                if isinstance(value, (tuple, list)):
                    struct.pack_into(fmt, rec, base + offset, *value)
                else:
                    struct.pack_into(fmt, rec, base + offset, value)
            except struct.error as exc:
                raise RecordError(f"{self.name}.{field} = {value!r}: {exc}") from None


def timeval(value: Any, name: str) -> Tuple[int, int]:
    """(seconds, microseconds) of a struct timeval; a float is split."""
    if isinstance(value, (int, float)):
        sec = int(value)
        value = (sec, int(round((value - sec) * 1_000_000)))
    sec, usec = value
    if not 0 <= usec < 1_000_000:
        raise RecordError(f"{name}: tv_usec {usec} is not below one million")
    return int(sec), int(usec)
