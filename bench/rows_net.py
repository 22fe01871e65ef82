"""Network interfaces: the interface list (counters and addresses), and one
interface's flags, MTU and media, each beside the host reads behind it and
the way a Python user would get the same by hand."""
import contextlib
import ctypes
import fcntl
import os
import socket
import struct
import subprocess

from run import Row

SIOCGIFFLAGS, SIOCGIFADDR, SIOCGIFBRDADDR, SIOCGIFNETMASK = 0x8913, 0x8915, 0x8919, 0x891B
SIOCGIFMTU, SIOCGIFHWADDR = 0x8921, 0x8927
CLONE_NEWNET = 0x40000000


def counters_by_hand():
    """/proc/net/dev parsed into the module's eight columns."""
    result = {}
    with open("/proc/net/dev") as f:
        for line in f.readlines()[2:]:
            name, _, rest = line.partition(":")
            v = [int(x) for x in rest.split()]
            result[name.strip()] = (v[8], v[0], v[9], v[1], v[2], v[10], v[3], v[11])
    return result


def _ifreq_ioctl(sock, request, name):
    return fcntl.ioctl(sock, request, struct.pack("256s", name.encode()[:15]))


def addrs_by_hand():
    """Per interface its hardware address and IPv4 address, netmask and
    broadcast by ioctl; IPv6 addresses from /proc/net/if_inet6."""
    rows = []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        for _, name in socket.if_nameindex():
            hw = _ifreq_ioctl(sock, SIOCGIFHWADDR, name)[18:24]
            rows.append((name, 18, ":".join(f"{b:02x}" for b in hw), None, None, None))
            try:
                addr = socket.inet_ntoa(_ifreq_ioctl(sock, SIOCGIFADDR, name)[20:24])
            except OSError:
                continue
            mask = socket.inet_ntoa(_ifreq_ioctl(sock, SIOCGIFNETMASK, name)[20:24])
            brd = socket.inet_ntoa(_ifreq_ioctl(sock, SIOCGIFBRDADDR, name)[20:24])
            rows.append((name, 2, addr, mask, brd, None))
    with open("/proc/net/if_inet6") as f:
        for line in f:
            hexaddr, _, plen, _, _, name = line.split()
            text = socket.inet_ntop(socket.AF_INET6, bytes.fromhex(hexaddr))
            bits = int(plen, 16)
            mask = socket.inet_ntop(socket.AF_INET6, (((1 << bits) - 1) << (128 - bits)).to_bytes(16, "big"))
            rows.append((name, 28, text, mask, None, None))
    return rows


def flag_word_by_hand(name):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        return struct.unpack_from("h", _ifreq_ioctl(sock, SIOCGIFFLAGS, name), 16)[0]


def mtu_by_hand(name):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        return struct.unpack_from("i", _ifreq_ioctl(sock, SIOCGIFMTU, name), 16)[0]


def media_by_hand(name):
    try:
        with open(f"/sys/class/net/{name}/speed") as f:
            speed = int(f.read())
        with open(f"/sys/class/net/{name}/duplex") as f:
            duplex = f.read().strip()
    except OSError:
        return [0, 0]
    return [{"full": 2, "half": 1}.get(duplex, 0), max(speed, 0)]


@contextlib.contextmanager
def namespace_with_interfaces(count):
    """A network namespace of our own holding `count` ifb interfaces, each
    with an IPv4 address; the process is inside it meanwhile. None when
    namespaces are refused (not root)."""
    name = "nvk9-bench-%d" % os.getpid()
    if os.geteuid() != 0 or subprocess.run(["ip", "netns", "add", name], capture_output=True).returncode:
        yield None
        return
    libc = ctypes.CDLL(None, use_errno=True)
    home = os.open("/proc/self/ns/net", os.O_RDONLY)
    try:
        batch = [f"link add nvk9b{i} type ifb\naddr add 10.{i // 250}.{i % 250}.1/24 dev nvk9b{i}"
                 for i in range(count)]
        subprocess.run(["ip", "-n", name, "-batch", "-"], input="\n".join(batch) + "\n", text=True,
                       check=True, capture_output=True)
        target = os.open(f"/run/netns/{name}", os.O_RDONLY)
        try:
            if libc.setns(target, CLONE_NEWNET) != 0:
                yield None
                return
            try:
                yield count
            finally:
                libc.setns(home, CLONE_NEWNET)
        finally:
            os.close(target)
    finally:
        os.close(home)
        subprocess.run(["ip", "netns", "del", name], capture_output=True)


def rows(norvik):
    count = len(socket.if_nameindex())
    yield Row(f"net_io_counters() [{count} interfaces]", call=norvik.net_io_counters,
              floor="rtnetlink_link_addr_dumps", by_hand=counters_by_hand, calls=500)
    yield Row(f"net_if_addrs() [{count} interfaces]", call=norvik.net_if_addrs,
              floor="rtnetlink_link_addr_dumps", by_hand=addrs_by_hand, calls=500)
    for name in ("lo", "eth0"):
        if name not in [n for _, n in socket.if_nameindex()]:
            continue
        yield Row(f"net_if_flags({name})", call=lambda n=name: norvik.net_if_flags(n), floor="ioctl_flags",
                  floor_args=[name], by_hand=lambda n=name: flag_word_by_hand(n), calls=20000)
        yield Row(f"net_if_is_running({name})", call=lambda n=name: norvik.net_if_is_running(n),
                  floor="ioctl_flags", floor_args=[name], by_hand=lambda n=name: flag_word_by_hand(n) & 0x40,
                  calls=20000)
        yield Row(f"net_if_mtu({name})", call=lambda n=name: norvik.net_if_mtu(n), floor="ioctl_mtu",
                  floor_args=[name], by_hand=lambda n=name: mtu_by_hand(n), calls=20000)
        yield Row(f"net_if_duplex_speed({name})", call=lambda n=name: norvik.net_if_duplex_speed(n),
                  floor="media_reads", floor_args=[name], by_hand=lambda n=name: media_by_hand(n), calls=20000)
    for count in (100, 1000):
        with namespace_with_interfaces(count) as made:
            if made is None:
                continue
            label = f"[{made + 1} interfaces, own namespace]"
            yield Row(f"net_io_counters() {label}", call=norvik.net_io_counters,
                      floor="rtnetlink_link_addr_dumps", by_hand=counters_by_hand, calls=20, repeats=5)
            yield Row(f"net_if_addrs() {label}", call=norvik.net_if_addrs, floor="rtnetlink_link_addr_dumps",
                      by_hand=addrs_by_hand, calls=20, repeats=5)
