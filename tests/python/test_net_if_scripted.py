"""Interface functions over kernel states this machine can't produce: framing
faults in the interface list, addresses of every shape, every media word."""
import errno
import os
import struct

import pytest

import malformed_records as malformed
from norvik_bsd_testing.net_records import (AF_INET, AF_INET6, AF_LINK, IFF_BROADCAST, IFF_LOOPBACK, IFF_MULTICAST,
                                 IFF_POINTOPOINT, IFF_RUNNING, IFF_SIMPLEX, IFF_UP, IFLIST_KEY, IFM_ETHER,
                                 IFM_FDX, IFM_HDX, IFM_IEEE80211, announce, ether_word, ifaddrs_record,
                                 ifinfo, ifmedia_words, ifmtu, ifreq_flags, newaddr, sockaddr_dl, sockaddr_in,
                                 sockaddr_in6)

COUNTERS = (1_000_003, 2_000_017, 3_041, 4_057, 5, 6, 7, 8)  # ibytes obytes ipkts opkts ierr oerr iqd oqd


def expected(counters=COUNTERS):
    ibytes, obytes, ipackets, opackets, ierrors, oerrors, iqdrops, oqdrops = counters
    return (obytes, ibytes, opackets, ipackets, ierrors, oerrors, iqdrops, oqdrops)


# ---- the interface list -------------------------------------------------------

def test_interface_list_walk(norvik, kernel):
    """Messages of other types are stepped over; the eighth counter is the
    outgoing drops; usbus* is left out but usb0 kept; the later of two
    messages with one name wins; a name longer than 31 bytes comes whole."""
    long_name = "n" * 40
    table = (ifinfo("em0", COUNTERS, index=1) + newaddr(1) + newaddr(1, "10.0.0.2") + announce()
             + ifinfo("usbus0", index=2) + ifinfo("usb0", (9,) * 8, index=3)
             + ifinfo("em0", (11,) * 8, index=1)
             + malformed.ifinfo("em9", sdl=malformed.long_sockaddr_dl(long_name, index=4), counters=COUNTERS, index=4))
    kernel.answer(IFLIST_KEY, table)
    assert norvik.net_io_counters() == {"em0": (11,) * 8, "usb0": (9,) * 8, long_name: expected()}
    kernel.answer(IFLIST_KEY, ifinfo("em1", COUNTERS))
    assert norvik.net_io_counters()["em1"] == expected()
    assert norvik.net_io_counters()["em1"][7] == 8


@pytest.mark.parametrize("case", ["zero length", "past the end", "cut header", "cut name", "not link-level"])
def test_malformed_interface_lists_end_the_walk_inside_the_buffer(norvik, kernel, case):
    """The walk never loops on a zero length nor reads past the buffer: what
    came before the fault stands, nothing is invented after it."""
    good = ifinfo("em0", COUNTERS)
    bad = {
        "zero length": malformed.ifinfo("em1", msglen=0),
        "past the end": malformed.ifinfo("em1", msglen=4000),
        "cut header": struct.pack("<HBB", 4, 5, 0xE),
        "cut name": malformed.ifinfo("em1", sdl=malformed.sockaddr_dl("em1", 200)),
        "not link-level": malformed.ifinfo("em1", sdl=b"\x10\x02" + b"\0" * 14),
    }[case]
    kernel.answer(IFLIST_KEY, good + bad + ifinfo("em2"))
    result = norvik.net_io_counters()
    assert result["em0"] == expected() and "em1" not in result
    # A message framed right but unreadable is stepped over; a framing fault ends the walk.
    assert ("em2" in result) == (case in ("cut header", "cut name", "not link-level"))


def test_interface_list_size_and_growth(norvik, kernel):
    kernel.answer(IFLIST_KEY, b"")
    assert norvik.net_io_counters() == {}
    kernel.answer(IFLIST_KEY, ifinfo("em0", COUNTERS))
    kernel.grow(IFLIST_KEY, 2)  # the list grew between the size question and the read, twice
    assert norvik.net_io_counters() == {"em0": expected()}
    kernel.grow(IFLIST_KEY, -1)
    with pytest.raises(RuntimeError, match="retry limit"):
        norvik.net_io_counters()
    kernel.reset()
    kernel.fail(IFLIST_KEY, errno.EACCES)
    with pytest.raises(PermissionError, match=r"originated from sysctl\(\) malloc 1/3"):
        norvik.net_io_counters()


def test_live_interface_list_size_answers_cover_the_read(norvik, kernel):
    """Without a script the host's list is built in FreeBSD's framing; the
    size answer and the read meet."""
    result = norvik.net_io_counters()
    assert "lo" in result
    # One size question per read (more of both only if an interface came meanwhile).
    assert kernel.count(IFLIST_KEY, 0) == kernel.count(IFLIST_KEY, 1) >= 1


# ---- addresses ----------------------------------------------------------------

def link(name, hw, flags=IFF_UP):
    return ifaddrs_record(name, flags, sockaddr_dl(name, hw))


def test_address_entries(norvik, kernel):
    short_mask = b"\x05\x02\0\0\xff\xff\xff\0"  # a netmask whose own length says 5
    records = [
        link("em0", b"\x0a\xAB\xcd\x00\x01\xFF"),
        ifaddrs_record("em0", IFF_UP | IFF_BROADCAST | IFF_POINTOPOINT, sockaddr_in("10.1.2.3"), short_mask,
                       sockaddr_in("10.1.2.255")),
        ifaddrs_record("em0", IFF_UP | IFF_BROADCAST, sockaddr_in6("fe80::1", scope=1),
                       sockaddr_in6("ffff:ffff:ffff:ffff::")),
        link("lo0", b"", IFF_LOOPBACK),
        ifaddrs_record("lo0", IFF_LOOPBACK, sockaddr_in("127.0.0.1"), sockaddr_in("255.0.0.0")),
        link("tun0", b"\x7f"),
        ifaddrs_record("tun0", IFF_POINTOPOINT, sockaddr_in("10.9.0.1"), sockaddr_in("255.255.255.255"),
                       sockaddr_in("10.9.0.2")),
        ifaddrs_record("gif0", IFF_UP),  # no address at all
        ifaddrs_record("odd0", IFF_UP, b"\x10\x11" + b"\0" * 14),  # a family without a text form
        ifaddrs_record("ptp0", IFF_POINTOPOINT, sockaddr_in("10.8.0.1"), sockaddr_in("255.0.0.0")),
    ]
    kernel.answer("getifaddrs", b"".join(records))
    assert norvik.net_if_addrs() == [
        ("em0", AF_LINK, "0a:ab:cd:00:01:ff", None, None, None),
        ("em0", AF_INET, "10.1.2.3", "255.255.255.0", "10.1.2.255", None),
        ("em0", AF_INET6, "fe80::1%lo", "ffff:ffff:ffff:ffff::", None, None),
        ("lo0", AF_INET, "127.0.0.1", "255.0.0.0", None, None),
        ("tun0", AF_LINK, "7f", None, None, None),
        ("tun0", AF_INET, "10.9.0.1", "255.255.255.255", None, "10.9.0.2"),
        ("ptp0", AF_INET, "10.8.0.1", "255.0.0.0", None, None),
    ]


def test_address_list_failures(norvik, kernel):
    kernel.fail("getifaddrs", errno.ENOMEM)
    with pytest.raises(OSError) as err:
        norvik.net_if_addrs()
    assert err.value.errno == errno.ENOMEM
    kernel.reset()
    kernel.answer("getifaddrs", b"")
    assert norvik.net_if_addrs() == []


@pytest.mark.parametrize("raw", [b"\xffeth0", b"em\xc3(1", b"caf\xc3\xa9"], ids=["ff", "bad-utf8", "utf8"])
def test_names_that_are_not_utf8_come_through_surrogate_escapes(norvik, kernel, raw):
    """FreeBSD lets an interface have any bytes for a name: each table
    answers whole, the name decoded as file names are (surrogate escapes
    for what is not UTF-8), and the other interfaces with it."""
    name = os.fsdecode(raw)
    kernel.answer(IFLIST_KEY, ifinfo("em0", COUNTERS, index=1) + ifinfo(raw, (3,) * 8, index=2))
    assert norvik.net_io_counters() == {"em0": expected(), name: (3,) * 8}
    kernel.answer("getifaddrs", link("em0", b"\x02\0\0\0\0\x01") + link(raw, b"\x02\0\0\0\0\x02")
                  + ifaddrs_record(raw, IFF_UP | IFF_BROADCAST, sockaddr_in("10.4.0.1"), sockaddr_in("255.0.0.0"),
                                   sockaddr_in("10.255.255.255")))
    assert norvik.net_if_addrs() == [
        ("em0", AF_LINK, "02:00:00:00:00:01", None, None, None),
        (name, AF_LINK, "02:00:00:00:00:02", None, None, None),
        (name, AF_INET, "10.4.0.1", "255.0.0.0", "10.255.255.255", None),
    ]
    assert os.fsencode(norvik.net_if_addrs()[1][0]) == raw


# ---- flags, MTU, media --------------------------------------------------------

@pytest.mark.parametrize("flags, names", [
    (IFF_UP | IFF_LOOPBACK | IFF_RUNNING | IFF_MULTICAST, ["up", "loopback", "running", "multicast"]),
    (IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_SIMPLEX | IFF_MULTICAST,
     ["up", "broadcast", "running", "multicast", "simplex"]),
    (0x20, []),
    (0xFFFF, ["up", "broadcast", "debug", "loopback", "pointopoint", "running", "noarp", "promisc",
              "allmulti", "multicast", "oactive", "simplex", "link0", "link1", "link2"]),
])
def test_flag_words(norvik, kernel, flags, names):
    kernel.answer("SIOCGIFFLAGS.em0", ifreq_flags(flags))
    assert norvik.net_if_flags("em0") == names
    assert norvik.net_if_is_running("em0") is bool(flags & IFF_RUNNING)


def test_request_failures(norvik, kernel):
    kernel.fail("SIOCGIFFLAGS.em0", errno.EPERM)
    kernel.fail("SIOCGIFMTU.em0", errno.EPERM)
    with pytest.raises(PermissionError, match=r"originated from ioctl\(SIOCGIFFLAGS\)"):
        norvik.net_if_flags("em0")
    for fn in (norvik.net_if_mtu, norvik.net_if_is_running):
        with pytest.raises(PermissionError):
            fn("em0")
    kernel.fail("socket", errno.EMFILE)
    with pytest.raises(OSError, match=r"originated from socket\(SOCK_DGRAM\)") as err:
        norvik.net_if_flags("lo")
    assert err.value.errno == errno.EMFILE
    for fn in (norvik.net_if_mtu, norvik.net_if_is_running, norvik.net_if_duplex_speed):
        with pytest.raises(OSError) as err:
            fn("lo")
        assert err.value.errno == errno.EMFILE


def test_mtu_answer(norvik, kernel):
    kernel.answer("SIOCGIFMTU.em0", ifmtu(9216))
    assert norvik.net_if_mtu("em0") == 9216


# FreeBSD's Ethernet subtypes 3 to 119 in number order (net/if_media.h).
ETHER_SUBTYPES = """10_T 10_2 10_5 100_TX 100_FX 100_T4 100_VG 100_T2 1000_SX 10_STP 10_FL 1000_LX 1000_CX
1000_T HPNA_1 10G_LR 10G_SR 10G_CX4 2500_SX 10G_TWINAX 10G_TWINAX_LONG 10G_LRM UNKNOWN 10G_T 40G_CR4 40G_SR4
40G_LR4 1000_KX OTHER 10G_KX4 10G_KR 10G_CR1 20G_KR2 2500_KX 2500_T 5000_T 50G_PCIE 25G_PCIE 1000_SGMII
10G_SFI 40G_XLPPI 1000_CX_SGMII 40G_KR4 10G_ER 100G_CR4 100G_SR4 100G_KR4 100G_LR4 56G_R4 100_T 25G_CR 25G_KR
25G_SR 50G_CR2 50G_KR2 25G_LR 10G_AOC 25G_ACC 25G_AOC 100_SGMII 2500_X 5000_KR 25G_T 25G_CR_S 25G_CR1
25G_KR_S 5000_KR_S 5000_KR1 25G_AUI 40G_XLAUI 40G_XLAUI_AC 40G_ER4 50G_SR2 50G_LR2 50G_LAUI2_AC 50G_LAUI2
50G_AUI2_AC 50G_AUI2 50G_CP 50G_SR 50G_LR 50G_FR 50G_KR_PAM4 25G_KR1 50G_AUI1_AC 50G_AUI1 100G_CAUI4_AC
100G_CAUI4 100G_AUI4_AC 100G_AUI4 100G_CR_PAM4 100G_KR_PAM4 100G_CP2 100G_SR2 100G_DR 100G_KR2_PAM4
100G_CAUI2_AC 100G_CAUI2 100G_AUI2_AC 100G_AUI2 200G_CR4_PAM4 200G_SR4 200G_FR4 200G_LR4 200G_DR4
200G_KR4_PAM4 200G_AUI4_AC 200G_AUI4 200G_AUI8_AC 200G_AUI8 400G_FR8 400G_LR8 400G_DR4 400G_AUI8_AC 400G_AUI8
50G_KR4 40G_LM4""".split()


def speed_in_name(name):
    """Mbit/s as the medium's name says it: 10G_T is 10000, 2500_SX 2500, HPNA_1 1."""
    head = name.split("_")[0]
    if head in ("UNKNOWN", "OTHER"):
        return 0
    if head == "HPNA":
        return 1
    return int(head[:-1]) * 1000 if head.endswith("G") else int(head)


MEDIA_CASES = (
    [(ether_word(n) | IFM_FDX, [2, speed_in_name(name)]) for n, name in enumerate(ETHER_SUBTYPES, 3)]
    + [(IFM_ETHER | 16 | IFM_HDX, [1, 1000]), (IFM_ETHER | 16, [0, 1000]),
       (IFM_ETHER | 16 | IFM_FDX | IFM_HDX, [2, 1000]), (IFM_ETHER | 0, [0, 0]), (IFM_ETHER | 2, [0, 0]),
       (ether_word(120), [0, 0]), (ether_word(511) | IFM_FDX, [2, 0]), (0xA0 | 16, [0, 0]), (0, [0, 0])]
    + [(IFM_IEEE80211 | n, [0, s]) for n, s in zip(range(3, 10), (1, 2, 1, 2, 5, 11, 22))]
    + [(IFM_IEEE80211 | 2, [0, 0]), (IFM_IEEE80211 | 10, [0, 0])])


def test_media_words(norvik, kernel):
    for word, answer in MEDIA_CASES:
        kernel.answer("SIOCGIFXMEDIA.em0", ifmedia_words(word))
        assert norvik.net_if_duplex_speed("em0") == answer, hex(word)


def test_media_falls_back_to_the_plain_request(norvik, kernel):
    kernel.fail("SIOCGIFXMEDIA.em0", errno.ENOTTY)
    kernel.answer("SIOCGIFMEDIA.em0", ifmedia_words(IFM_ETHER | 26 | IFM_FDX))
    assert norvik.net_if_duplex_speed("em0") == [2, 10000]
    kernel.fail("SIOCGIFMEDIA.em0", errno.EINVAL)
    assert norvik.net_if_duplex_speed("em0") == [0, 0]


# ---- the stand-in's media answer from /sys ------------------------------------

@pytest.mark.parametrize("speed, duplex, answer", [
    ("10", "half", [1, 10]), ("100", "full", [2, 100]), ("1000", "full", [2, 1000]), ("2500", "full", [2, 2500]),
    ("5000", "full", [2, 5000]), ("10000", "full", [2, 10000]), ("20000", "full", [2, 20000]),
    ("25000", "full", [2, 25000]), ("40000", "full", [2, 40000]), ("50000", "full", [2, 50000]),
    ("56000", "full", [2, 56000]), ("100000", "full", [2, 100000]), ("200000", "full", [2, 200000]),
    ("400000", "full", [2, 400000]), ("12345", "full", [2, 0]), ("-1", "unknown", [0, 0]),
])
def test_link_settings_become_media_words(norvik, kernel, tmp_path, speed, duplex, answer):
    """The host's speed and duplex of an existing interface (the loopback,
    with a captured /sys) come back through the media word."""
    folder = tmp_path / "sys" / "class" / "net" / "lo"
    folder.mkdir(parents=True)
    (folder / "speed").write_text(speed + "\n")
    (folder / "duplex").write_text(duplex + "\n")
    (folder / "carrier").write_text("1\n")
    kernel.set_root(tmp_path)
    assert norvik.net_if_duplex_speed("lo") == answer
    # The plain request reports an extended subtype as "other", as FreeBSD's does.
    kernel.fail("SIOCGIFXMEDIA.lo", errno.ENOTTY)
    plain = norvik.net_if_duplex_speed("lo")
    assert plain == (answer if int(speed) in (10, 100, 1000, 10000, 40000) or answer[1] == 0 else [2, 0])


def test_interfaces_without_link_settings_have_no_media(norvik, kernel, tmp_path):
    (tmp_path / "sys" / "class" / "net" / "lo").mkdir(parents=True)
    kernel.set_root(tmp_path)
    assert norvik.net_if_duplex_speed("lo") == [0, 0]
    assert kernel.count("SIOCGIFMEDIA.lo", 3) == 1  # the plain request was tried too
