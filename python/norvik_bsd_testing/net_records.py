"""FreeBSD 14 amd64 interface records as the kernel answers them: the
routing messages of the interface list (sysctl NET_RT_IFLIST: if_msghdr with
its if_data and link-level address, ifa_msghdr), socket addresses with
sa_len, the entries of the scripted getifaddrs, and the words of the
interface ioctls."""
import socket
import struct
from typing import Sequence, Union

from ._layout import RecordError

AF_INET, AF_LINK, AF_INET6 = 2, 18, 28
RTM_NEWADDR, RTM_IFINFO, RTM_IFANNOUNCE = 0xC, 0xE, 0x11
RTA_NETMASK, RTA_IFP, RTA_IFA = 0x4, 0x10, 0x20
IFT_ETHER = 6
IFLIST_KEY = "net.routetable.0.0.3.0"

IFF_UP, IFF_BROADCAST, IFF_LOOPBACK, IFF_POINTOPOINT = 0x1, 0x2, 0x8, 0x10
IFF_RUNNING, IFF_SIMPLEX, IFF_MULTICAST = 0x40, 0x800, 0x8000

IFM_ETHER, IFM_IEEE80211 = 0x20, 0x80
IFM_FDX, IFM_HDX = 0x00100000, 0x00200000


def pad8(data: bytes) -> bytes:
    return data + b"\0" * (-len(data) % 8 or (8 if not data else 0))


IFNAMSIZ = 16
Text = Union[str, bytes]


def _ifname(name: Text) -> bytes:
    name = name.encode() if isinstance(name, str) else bytes(name)
    if not 0 < len(name) < IFNAMSIZ or b"\0" in name:
        raise RecordError(f"interface name {name!r}: 1 to {IFNAMSIZ - 1} bytes")
    return name


def sockaddr_dl(name: Text, hw: bytes = b"", index: int = 1) -> bytes:
    """struct sockaddr_dl: at least its 54-byte size, sdl_data the name then
    the hardware address."""
    name = _ifname(name)
    if len(hw) > 46 - len(name) or not 0 < index <= 0xFFFF:
        raise RecordError("sockaddr_dl: the name and address fit sdl_data; sdl_index is 1 to 65535")
    body = name + hw
    length = max(54, 8 + len(body))
    head = struct.pack("<BBHBBBB", length, AF_LINK, index, IFT_ETHER, len(name), len(hw), 0)
    return (head + body).ljust(length, b"\0")


def if_data(counters: Sequence[int] = (0,) * 8, mtu: int = 1500) -> bytes:
    """struct if_data (152 bytes). counters: ifi_ibytes, ifi_obytes,
    ifi_ipackets, ifi_opackets, ifi_ierrors, ifi_oerrors, ifi_iqdrops,
    ifi_oqdrops."""
    ibytes, obytes, ipackets, opackets, ierrors, oerrors, iqdrops, oqdrops = counters
    head = struct.pack("<6BHII", IFT_ETHER, 0, 6, 0, 2, 0, 152, mtu, 0)
    body = struct.pack("<15Q", 0, ipackets, ierrors, opackets, oerrors, 0, ibytes, obytes, 0, 0, iqdrops,
                       oqdrops, 0, 0, 0)
    return head + body + b"\0" * 16


def ifinfo(name: Text, counters: Sequence[int] = (0,) * 8, hw: bytes = b"\x02\0\0\0\0\x01", index: int = 1,
           flags: int = IFF_UP) -> bytes:
    """An RTM_IFINFO message (if_msghdr, its if_data) with its link-level
    address; ifm_flags are the interface's and its driver's flags."""
    address = pad8(sockaddr_dl(name, hw, index))
    data = if_data(counters)
    length = 16 + len(data) + len(address)
    return struct.pack("<HBBiiHH", length, 5, RTM_IFINFO, RTA_IFP, flags, index, 0) + data + address


def sockaddr_in(text: str, port: int = 0) -> bytes:
    """struct sockaddr_in, 16 bytes."""
    return struct.pack("<BB", 16, AF_INET) + struct.pack(">H", port) + socket.inet_aton(text) + b"\0" * 8


def newaddr(index: int = 1, address: str = "10.0.0.1", netmask: str = "255.255.255.0") -> bytes:
    """An RTM_NEWADDR message, netmask and address."""
    addrs = pad8(sockaddr_in(netmask)) + pad8(sockaddr_in(address))
    return struct.pack("<HBBiiHHi", 20 + len(addrs), 5, RTM_NEWADDR, RTA_NETMASK | RTA_IFA, 0, index, 0,
                       0) + addrs


def announce() -> bytes:
    """An RTM_IFANNOUNCE message (24 bytes), which the walk steps over."""
    return struct.pack("<HBBH16sH", 24, 5, RTM_IFANNOUNCE, 1, b"gone0", 0)


def sockaddr_in6(text: str, scope: int = 0, port: int = 0) -> bytes:
    """struct sockaddr_in6, 28 bytes."""
    return struct.pack("<BB", 28, AF_INET6) + struct.pack(">H", port) + b"\0" * 4 + \
        socket.inet_pton(socket.AF_INET6, text) + struct.pack("<I", scope)


AF_UNIX = 1


def sockaddr_un(path: bytes) -> bytes:
    """struct sockaddr_un as far as its path goes (sun_len = 2 + the path)."""
    if len(path) > 103 or b"\0" in path:
        raise RecordError("sockaddr_un: sun_path holds at most 103 bytes and its NUL")
    return struct.pack("<BB", len(path) + 2, AF_UNIX) + path


def ifaddrs_record(name: Text, flags: int, addr: bytes = b"", netmask: bytes = b"", dst: bytes = b"") -> bytes:
    """One scripted getifaddrs entry: name, FreeBSD flags, three socket
    addresses (a netmask's sa_len may be shorter than its bytes: routing
    masks are cut after their last set byte)."""
    for sa in (addr, netmask, dst):
        if sa and sa[0] > len(sa):
            raise RecordError("ifaddrs: a socket address holds the sa_len bytes it claims")
    return (_ifname(name).ljust(16, b"\0") + struct.pack("<IBBBB", flags, len(addr), len(netmask), len(dst), 0)
            + addr + netmask + dst)


def ifreq_flags(flags: int) -> bytes:
    """The bytes after the name of a SIOCGIFFLAGS answer."""
    return struct.pack("<hh", flags & 0xFFFF if flags < 0x8000 else flags - 0x10000, 0)


def ifmtu(mtu: int) -> bytes:
    """The bytes after the name of a SIOCGIFMTU answer: ifr_mtu."""
    if not 0 < mtu <= 65535:
        raise RecordError("ifr_mtu: 1 to 65535")
    return struct.pack("<i", mtu)


def ifmedia_words(active: int, status: int = 0x3) -> bytes:
    """The bytes after the name of a media answer: current, mask, status, active, count."""
    return struct.pack("<iiiii", active, 0, status, active, 0)


def ether_word(subtype: int) -> int:
    """An Ethernet media word of a subtype number (above 31 in the extended bits)."""
    return IFM_ETHER | (subtype & 0x1F) | ((subtype & 0x1E0) << 6)
