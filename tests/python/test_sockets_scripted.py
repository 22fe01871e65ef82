"""Socket listings over scripted kernel tables: the framing and failure cases
this machine does not produce (sizes, generations, growth, odd records)."""
import errno
import os

import pytest

from norvik_bsd_testing.proc_records import KF_TYPE_SOCKET, kinfo_file
from malformed_records import pack, with_length
from norvik_bsd_testing.net_records import sockaddr_in, sockaddr_in6, sockaddr_un
from norvik_bsd_testing.socket_records import XTCPCB, XUNPGEN, gen, pcblist, tcpcb, udpcb, unpcb, xfile

ME = os.getpid()


@pytest.fixture
def tables(kernel):
    """Owners 0x10 (pid 500 fd 3, then pid 600 fd 9: shared) and 0x20; empty
    lists unless a test answers its own."""
    kernel.answer("kern.file", xfile(500, 3, 0x10) + xfile(600, 9, 0x10) + xfile(500, 4, 0x20))
    for name in ("net.inet.tcp.pcblist", "net.inet.udp.pcblist"):
        kernel.answer(name, pcblist([]))
    for name in ("net.local.stream.pcblist", "net.local.dgram.pcblist"):
        kernel.answer(name, pcblist([], XUNPGEN))
    return kernel


def test_records_become_tuples_for_their_first_owner(norvik, tables):
    tables.answer("net.inet.tcp.pcblist", pcblist([
        tcpcb(0x10, 80), tcpcb(0x99, 81), tcpcb(0x20, 5000, 80, state=4), pack(tcpcb(0x10, 82), 8 + 392, "<B", 0)]))
    tables.answer("net.inet.udp.pcblist", pcblist([udpcb(0x20, 53), udpcb(0x10, 54, vflag=3)]))
    tables.answer("net.local.dgram.pcblist", pcblist([unpcb(0x20, b"/run/x"), pack(unpcb(0x10, b"/abc"), 152, "<B", 0)],
                                                     XUNPGEN))
    rows = norvik.net_connections((2, 1), (1, 2))
    assert rows == [
        (3, 2, 1, ("127.0.0.1", 80), (), 1, 500),
        (4, 2, 1, ("127.0.0.1", 5000), ("127.0.0.1", 80), 4, 500),
        (4, 2, 2, ("127.0.0.1", 53), (), 128, 500),
        (4, 1, 2, "/run/x", "", 128, 500),
        (3, 1, 2, "/abc", "", 128, 500),  # a length byte below 2: up to the first NUL
    ]
    # A block of both families is listed only when both are asked for.
    assert (3, 2, 2, ("127.0.0.1", 54), (), 128, 500) in norvik.net_connections((2, 28), (2,))


@pytest.mark.parametrize("node,answer,message", [
    ("kern.file", with_length(xfile(1, 1, 1), 120), "struct xfile size mismatch"),
    ("net.inet.tcp.pcblist", pcblist([with_length(tcpcb(0x10, 80), 700)]), "struct xtcpcb size mismatch"),
    ("net.inet.tcp.pcblist", pcblist([tcpcb(0x10, 80)])[:-10], "struct xinpgen size mismatch"),
    ("net.inet.tcp.pcblist", with_length(gen(64, 1), 60) + gen(64, 1), "struct xinpgen size mismatch"),
    ("net.inet.udp.pcblist", pcblist([with_length(udpcb(0x10, 80), 401)]), "struct xinpcb size mismatch"),
    ("net.inet.udp.pcblist", b"", "struct xinpgen size mismatch"),
    ("net.local.stream.pcblist", pcblist([with_length(unpcb(0x10), 900)], XUNPGEN), "struct xunpcb size mismatch"),
    ("net.local.stream.pcblist", with_length(gen(32, 1), 64) + gen(32, 1), "struct xinpgen size mismatch"),
])
def test_wrong_sizes_are_refused(norvik, tables, node, answer, message):
    tables.answer(node, answer)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        norvik.net_connections((1, 2, 28), (1, 2))


def test_a_read_claiming_more_than_its_buffer_is_refused(norvik, tables):
    """The table read into 128 bytes "succeeds" with the length of three
    records: nothing past the first was copied, so nothing past it is read."""
    tables.overreport("kern.file")
    with pytest.raises(RuntimeError, match="^struct xfile size mismatch$"):
        norvik.net_connections((1, 2, 28), (1, 2))


def test_read_failures_carry_their_errno(norvik, tables):
    for node in ("kern.file", "net.inet.udp.pcblist", "net.local.dgram.pcblist"):
        tables.fail(node, errno.EACCES, 1)
        with pytest.raises(PermissionError):
            norvik.net_connections((1, 2), (1, 2))


def test_tables_grow_by_doubling_many_times(norvik, tables):
    tables.grow("kern.file", 20)
    tables.grow("net.inet.tcp.pcblist", 12)
    tables.answer("net.inet.tcp.pcblist", pcblist([tcpcb(0x10, 80)]))
    assert norvik.net_connections((2,), (1,)) == [(3, 2, 1, ("127.0.0.1", 80), (), 1, 500)]
    assert tables.count("kern.file", 1) == 21


def test_a_list_that_changes_is_read_again_five_times_at_most(norvik, tables):
    from norvik_bsd_testing import READ
    tables.answer("net.inet.udp.pcblist", pcblist([udpcb(0x10, 9)], head=1, tail=2))
    # Scripted answers never change; a list whose ends differ keeps differing,
    # so the count of reads shows the allowance.
    rows = norvik.net_connections((2,), (2,))
    assert rows == [(3, 2, 2, ("127.0.0.1", 9), (), 128, 500)]
    assert tables.count("net.inet.udp.pcblist", READ) == 6
    tables.answer("net.inet.udp.pcblist", pcblist([udpcb(0x10, 9)], head=4, tail=4))
    norvik.net_connections((2,), (2,))
    assert tables.count("net.inet.udp.pcblist", READ) == 7


def test_no_open_file_no_row_and_no_walk_without_a_type(norvik, tables):
    from norvik_bsd_testing import READ
    tables.answer("kern.file", b"")
    tables.answer("net.inet.tcp.pcblist", pcblist([tcpcb(0x10, 80)]))
    assert norvik.net_connections((2,), (1,)) == []
    assert norvik.net_connections((), ()) == []
    assert tables.count("kern.file", READ) == 2
    assert tables.count("net.inet.tcp.pcblist", READ) == 1


def sock(fd, domain, type_, proto=0, lport=0, fport=0, path=None):
    if path is not None:
        local, peer = sockaddr_un(path), b""
    else:
        local, peer = sockaddr_in("127.0.0.1", lport), sockaddr_in("127.0.0.1", fport)
    return kinfo_file(fd, KF_TYPE_SOCKET, kf_sock_domain=domain, kf_sock_type=type_, kf_sock_protocol=proto,
                      kf_sa_local=local, kf_sa_peer=peer)


def test_per_process_records_and_states(norvik, kernel):
    kernel.answer(f"kinfo_getfile.{ME}", b"".join([
        sock(3, 2, 1, 6, 80), sock(4, 2, 1, 6, 5000, 80), sock(5, 2, 3, 1, 0), sock(6, 1, 5, path=b"/sp"),
        sock(7, 2, 2, 17, 53, 99), sock(8, 2, 1, 6, 81)]))
    kernel.answer("net.inet.tcp.pcblist", pcblist([
        tcpcb(1, 80), tcpcb(2, 5000, 80, state=9), tcpcb(3, 5000, 80, state=4)]))
    rows = norvik.proc_net_connections(ME, [1, 2], [1, 2, 3, 5])
    assert rows == [
        (3, 2, 1, ("127.0.0.1", 80), (), 1),
        (4, 2, 1, ("127.0.0.1", 5000), ("127.0.0.1", 80), 9),  # the first matching block
        (5, 2, 3, ("127.0.0.1", 0), (), 128),
        (6, 1, 5, "/sp", "", 128),
        (7, 2, 2, ("127.0.0.1", 53), ("127.0.0.1", 99), 128),
        (8, 2, 1, ("127.0.0.1", 81), (), 128),  # no block
    ]
    assert norvik.proc_net_connections(ME, (2,), (2,)) == [rows[4]]


def test_a_tcp_list_that_grows_between_size_and_read_is_asked_again(norvik, kernel):
    """Connections opened between the two steps make the read fail with
    ENOMEM; the call asks again instead of failing."""
    kernel.answer(f"kinfo_getfile.{ME}", sock(3, 2, 1, 6, 80))
    kernel.answer("net.inet.tcp.pcblist", pcblist([tcpcb(1, 80)]))
    kernel.grow("net.inet.tcp.pcblist", 3)
    assert norvik.proc_net_connections(ME, (2,), (1,)) == [(3, 2, 1, ("127.0.0.1", 80), (), 1)]
    kernel.grow("net.inet.tcp.pcblist", -1)
    with pytest.raises(OSError) as caught:
        norvik.proc_net_connections(ME, (2,), (1,))
    assert caught.value.errno == errno.ENOMEM
    kernel.reset()
    kernel.fail("net.inet.tcp.pcblist", errno.EPERM, 1)
    with pytest.raises(PermissionError):
        norvik.proc_net_connections(ME, (2,), (1,))


def test_a_tcp_list_cut_short_ends_the_lookup(norvik, kernel):
    kernel.answer(f"kinfo_getfile.{ME}", sock(3, 2, 1, 6, 80))
    kernel.answer("net.inet.tcp.pcblist", gen(64, 1) + tcpcb(1, 80)[:300])
    assert norvik.proc_net_connections(ME, (2,), (1,)) == [(3, 2, 1, ("127.0.0.1", 80), (), 128)]


def test_records_longer_than_the_structure_are_stepped_by_their_length(norvik, kernel):
    # The first record claims one spare byte, so the second starts at an odd
    # offset and must still be read (the sanitizer build checks the access).
    kernel.answer(f"kinfo_getfile.{ME}", sock(3, 2, 1, 6, 80) + sock(4, 2, 1, 6, 81))
    kernel.answer("net.inet.tcp.pcblist", gen(64, 1) + with_length(tcpcb(1, 80, state=4), XTCPCB + 1) + b"\0" +
                  tcpcb(2, 81, state=9) + gen(64, 1))
    assert [row[-1] for row in norvik.proc_net_connections(ME, (2,), (1,))] == [4, 9]


def test_kinfo_getfile_failures_are_classified(norvik, kernel):
    kernel.fail(f"kinfo_getfile.{ME}", errno.EPERM, 1)
    with pytest.raises(PermissionError):
        norvik.proc_net_connections(ME, (2,), (1,))


def sock6(fd, lport, fport, laddr, faddr):
    """A TCP descriptor of an AF_INET6 (28) socket."""
    return kinfo_file(fd, KF_TYPE_SOCKET, kf_sock_domain=28, kf_sock_type=1, kf_sock_protocol=6,
                      kf_sa_local=sockaddr_in6(laddr, port=lport), kf_sa_peer=sockaddr_in6(faddr, port=fport))


def test_dual_stack_connection_as_freebsd_records_it(norvik, kernel):
    """FreeBSD's records of a dual-stack listener, the connection it accepted
    from a client over 127.0.0.1 (an INP_IPV4 block holding IPv4 addresses,
    its descriptor showing them IPv4-mapped), the client, and a socket bound
    to a mapped address; ahead of them, an IPv6 block whose addresses are
    the IPv4-compatible ::127.0.0.1, which carries no IPv4 traffic."""
    v4 = "::ffff:127.0.0.1"
    kernel.answer(f"kinfo_getfile.{ME}", b"".join([
        sock6(3, 80, 0, "::", "::"), sock6(4, 80, 5000, v4, v4), sock(5, 2, 1, 6, 5000, 80),
        sock6(6, 81, 0, v4, "::"), sock6(7, 82, 5001, "::1", "::1")]))
    kernel.answer("net.inet.tcp.pcblist", pcblist([
        tcpcb(1, 80, state=1, vflag=3, family=28, v6=("::", "::")),
        tcpcb(2, 80, 5000, state=9, vflag=2, family=28, v6=("::127.0.0.1", "::127.0.0.1")),
        tcpcb(3, 80, 5000, state=4, vflag=1, family=28),
        tcpcb(4, 5000, 80, state=4, vflag=1),
        tcpcb(5, 81, state=1, vflag=1, family=28, v6=("::127.0.0.1", "::")),
        tcpcb(6, 82, 5001, state=5, vflag=2, family=28, v6=("::1", "::1"))]))
    assert norvik.proc_net_connections(ME, (2, 28), (1,)) == [
        (3, 28, 1, ("::", 80), (), 1),
        (4, 28, 1, (v4, 80), (v4, 5000), 4),
        (5, 2, 1, ("127.0.0.1", 5000), ("127.0.0.1", 80), 4),
        (6, 28, 1, (v4, 81), (), 1),
        (7, 28, 1, ("::1", 82), ("::1", 5001), 5),
    ]
