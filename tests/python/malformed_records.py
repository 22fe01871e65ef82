"""Records no kernel writes, for the tests of how the module meets them: an
honest record from norvik_bsd_testing with some bytes written over."""
import struct

from norvik_bsd_testing import net_records


def patch(record, offset, data):
    """The record with data written at offset."""
    rec = bytearray(record)
    rec[offset:offset + len(data)] = data
    return bytes(rec)


def pack(record, offset, fmt, *values):
    """The record with values packed (struct format fmt) at offset."""
    return patch(record, offset, struct.pack(fmt, *values))


def with_length(record, length):
    """A record whose leading 8-byte length (xf_size, xi_len, xig_len...) lies."""
    return pack(record, 0, "<Q", length)


def unterminated(record, offset, width, fill=b"x"):
    """A text field filled to its last byte, with no NUL: '/' then fill."""
    return patch(record, offset, b"/" + fill * (width - 1))


def ifinfo(name, msglen=None, sdl=None, **fields):
    """An RTM_IFINFO message whose ifm_msglen lies, or that carries another
    address in place of its sockaddr_dl."""
    message = net_records.ifinfo(name, **fields)
    if sdl is not None:
        message = message[:168] + net_records.pad8(sdl)
        message = pack(message, 0, "<H", len(message))
    if msglen is not None:
        message = pack(message, 0, "<H", msglen)
    return message


def long_sockaddr_dl(name, hw=b"", index=1):
    """A link-level address with a name longer than any interface's."""
    name = name.encode()
    length = max(54, 8 + len(name) + len(hw))
    head = struct.pack("<BBHBBBB", length, net_records.AF_LINK, index, net_records.IFT_ETHER, len(name), len(hw), 0)
    return (head + name + hw).ljust(length, b"\0")


def sockaddr_dl(name, nlen, **fields):
    """A link-level address whose sdl_nlen claims nlen bytes of name."""
    return pack(net_records.sockaddr_dl(name, **fields), 5, "<B", nlen)
