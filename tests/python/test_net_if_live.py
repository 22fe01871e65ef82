"""Interface addresses, counters, flags, MTU and media against what the host's
own tools report: `ip -j`, socket.if_nameindex() and /sys/class/net."""
import ipaddress
import json
import os
import socket
import subprocess

import pytest

ENXIO = 6
# `ip link` flags in the order the module reports them. RUNNING, which `ip`
# does not show, is FreeBSD's driver state: an interface that is up runs,
# carrier or not; only a layer-3 tun runs while a program holds it open
# (the host gives it carrier then: operstate UP or UNKNOWN).
FLAG_ORDER = [("UP", "up"), ("BROADCAST", "broadcast"), ("DEBUG", "debug"), ("LOOPBACK", "loopback"),
              ("POINTOPOINT", "pointopoint"), ("RUNNING", "running"), ("NOARP", "noarp"),
              ("PROMISC", "promisc"), ("ALLMULTI", "allmulti"), ("MULTICAST", "multicast")]


def ip_json(*args, netns=None):
    cmd = ["ip"] + (["-n", netns] if netns else []) + ["-j"] + list(args)
    return json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)


def netmask_text(family, prefix):
    return str(ipaddress.ip_network(f"{'0.0.0.0' if family == 2 else '::'}/{prefix}").netmask)


def expected_addresses(links):
    """What a FreeBSD getifaddrs lists for `ip -j addr`: per interface its
    hardware address (none for the loopback or an interface without one),
    then each address with netmask, broadcast or peer by the interface's flags."""
    rows = []
    for link in links:
        name, flags = link["ifname"], link["flags"]
        if link.get("link_type") not in ("loopback", "none") and link.get("address"):
            rows.append((name, 18, link["address"], None, None, None))
        for a in link.get("addr_info", []):
            family = 2 if a["family"] == "inet" else 28
            local = a["local"]
            if family == 28 and ipaddress.ip_address(local).is_link_local:
                local += "%" + name
            peer = a.get("address") if a.get("address", local) != a["local"] else None
            other = a.get("broadcast") or peer
            broadcast = other if "BROADCAST" in flags else None
            ptp = other if "BROADCAST" not in flags and "POINTOPOINT" in flags else None
            rows.append((name, family, local, netmask_text(family, a["prefixlen"]), broadcast, ptp))
    return rows


def expected_flags(link):
    present = set(link["flags"])
    opened = link.get("link_type") != "none" or link.get("operstate") in ("UP", "UNKNOWN")
    if "UP" in present and opened:
        present.add("RUNNING")
    return [name for flag, name in FLAG_ORDER if flag in present]


def sys_value(name, what):
    try:
        with open(f"/sys/class/net/{name}/{what}") as f:
            return f.read().strip()
    except OSError:
        return None


def device_driver(name):
    """The host driver bound to the interface's device, or None."""
    try:
        return os.path.basename(os.readlink(f"/sys/class/net/{name}/device/driver"))
    except OSError:
        return None


def link_kind(link):
    """The host's kind of a link (`ip -d`), as FreeBSD's drivers tell them."""
    info = link.get("linkinfo", {})
    kind = info.get("info_kind")
    if kind == "tun":
        return info.get("info_data", {}).get("type", "tun")
    return kind


def expected_media(sys, link=None, links=()):
    """What FreeBSD's driver of the same kind answers: a tun or a bridge has
    no media, a tap or a lagg autoselect without speed or duplex, a vlan its
    parent's; a virtio device vtnet's made-up 10GBASE-T full duplex while it
    has carrier; any other the host's link settings (a veth: 10 Gbit/s full)."""
    kind = link_kind(link) if link else None
    if kind in ("tun", "bridge", "tap", "bond", "team"):
        return [0, 0]
    if sys.get("driver") == "virtio_net":
        return [2, 10000] if sys.get("carrier") == "1" else [0, 0]
    if kind == "vlan":
        parent = next(p for p in links if p["ifname"] == link["link"])
        return expected_media(sys_values(parent["ifname"]), parent, links)
    speed = sys["speed"]
    if speed is None or int(speed) <= 0:
        return [0, 0]
    return [{"full": 2, "half": 1}.get(sys["duplex"], 0), int(speed)]


def sys_values(name):
    values = {what: sys_value(name, what) for what in ("mtu", "speed", "duplex", "carrier")}
    values["driver"] = device_driver(name)
    return values


def snapshot(norvik):
    """Everything the module says about this namespace's interfaces, and
    what /sys says (read here: /sys shows the reader's namespace)."""
    names = [name for _, name in socket.if_nameindex()]
    per_name = {}
    for name in names:
        per_name[name] = {"flags": norvik.net_if_flags(name), "mtu": norvik.net_if_mtu(name),
                          "running": norvik.net_if_is_running(name),
                          "media": norvik.net_if_duplex_speed(name),
                          "sys": sys_values(name)}
    return {"names": names, "addrs": [list(r) for r in norvik.net_if_addrs()],
            "counters": {k: list(v) for k, v in norvik.net_io_counters().items()}, "per_name": per_name}


def check_snapshot(snap, links):
    assert sorted(snap["names"]) == sorted(link["ifname"] for link in links)
    assert [tuple(r) for r in snap["addrs"]] == expected_addresses(links)
    assert sorted(snap["counters"]) == sorted(snap["names"])
    for link in links:
        name = link["ifname"]
        seen = snap["per_name"][name]
        assert seen["mtu"] == link["mtu"] == int(seen["sys"]["mtu"])
        assert seen["flags"] == expected_flags(link), name
        assert seen["running"] is ("running" in seen["flags"])
        assert seen["media"] == expected_media(seen["sys"], link, links), name


def test_every_interface_as_ip_reports_it(norvik):
    check_snapshot(snapshot(norvik), ip_json("-d", "addr"))


def test_counters_lie_between_two_readings_of_ip_and_grow_with_traffic(norvik):
    """Counters of every interface are bracketed by `ip -s` before and after;
    datagrams sent over the loopback show in its counters."""
    fields = [("tx", "bytes"), ("rx", "bytes"), ("tx", "packets"), ("rx", "packets"), ("rx", "errors"),
              ("tx", "errors"), ("rx", "dropped"), ("tx", "dropped")]

    def ip_counters():
        return {link["ifname"]: [link["stats64"][d][k] for d, k in fields] for link in ip_json("-s", "link")}

    before = ip_counters()
    ours_before = norvik.net_io_counters()
    receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    receiver.bind(("127.0.0.1", 0))
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    count, size = 37, 1117
    for _ in range(count):
        sender.sendto(b"x" * size, receiver.getsockname())
    ours = norvik.net_io_counters()
    after = ip_counters()
    sender.close()
    receiver.close()
    for name, values in ours.items():
        assert len(values) == 8 and all(isinstance(v, int) for v in values)
        for i, value in enumerate(values):
            assert before[name][i] <= value <= after[name][i], (name, fields[i])
    lo_gain = [a - b for a, b in zip(ours["lo"], ours_before["lo"])]
    assert lo_gain[0] >= count * size and lo_gain[1] >= count * size
    assert lo_gain[2] >= count and lo_gain[3] >= count


def test_virtio_interfaces_answer_vtnets_media(norvik):
    """FreeBSD's vtnet has no speed from the device either and makes one up:
    10GBASE-T full duplex while the link is up, none while it is down."""
    virtio = [name for _, name in socket.if_nameindex() if device_driver(name) == "virtio_net"]
    if not virtio:
        pytest.skip("no virtio_net interface on this machine")
    for name in virtio:
        carrier = sys_value(name, "carrier")
        assert norvik.net_if_duplex_speed(name) == ([2, 10000] if carrier == "1" else [0, 0]), name


def test_a_name_no_interface_has(norvik):
    name = "nvk9-none%d" % os.getpid()
    for fn in (norvik.net_if_flags, norvik.net_if_mtu, norvik.net_if_is_running):
        with pytest.raises(OSError) as err:
            fn(name)
        assert err.value.errno == ENXIO
    assert norvik.net_if_duplex_speed(name) == [0, 0]
    with pytest.raises(OSError, match=r"originated from ioctl\(SIOCGIFFLAGS\)"):
        norvik.net_if_flags(name)


@pytest.mark.parametrize("bad, error", [(b"lo", TypeError), ("l\0o", ValueError), (3, TypeError)])
def test_names_that_are_not_text(norvik, bad, error):
    for fn in (norvik.net_if_flags, norvik.net_if_mtu, norvik.net_if_is_running, norvik.net_if_duplex_speed):
        with pytest.raises(error):
            fn(bad)


def test_table_functions_ignore_arguments(norvik):
    assert sorted(norvik.net_io_counters(1, "x")) == sorted(norvik.net_io_counters())
    assert norvik.net_if_addrs(None)[:1] == norvik.net_if_addrs()[:1]


# ---- a namespace of our own (root) --------------------------------------------

NS_CHILD = """
import json, sys
sys.path.insert(0, sys.argv[1])
sys.path.insert(0, sys.argv[2])
import _norvik_bsd
from test_net_if_live import snapshot
print(json.dumps(snapshot(_norvik_bsd)))
"""


@pytest.fixture
def netns():
    if os.geteuid() != 0:
        pytest.skip("namespaces need root")
    name = "nvk9-%d-%d" % (os.getpid(), int.from_bytes(os.urandom(2), "little"))
    made = subprocess.run(["ip", "netns", "add", name], capture_output=True)
    if made.returncode != 0:
        pytest.skip("namespaces refused: " + made.stderr.decode().strip())
    try:
        yield name
    finally:
        subprocess.run(["ip", "netns", "del", name], capture_output=True)


def ns_run(netns, *commands):
    for command in commands:
        done = subprocess.run(["ip", "-n", netns] + command.split(), capture_output=True, text=True)
        if done.returncode != 0:
            pytest.skip(f"ip {command}: {done.stderr.strip()}")


def ns_snapshot(netns):
    from conftest import SCRIPTED_DIR, module_env
    done = subprocess.run(["ip", "netns", "exec", netns, os.sys.executable, "-c", NS_CHILD, SCRIPTED_DIR,
                           os.path.dirname(os.path.abspath(__file__))], capture_output=True, text=True,
                          timeout=60, env=module_env())
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_interfaces_made_in_a_namespace(netns):
    """A veth pair with an MTU, a MAC, an address and promisc; a point-to-point
    tun with a peer; a tap and a bridge, up without carrier; an interface
    down; a 15-character name."""
    long_name = "nvk9-0123456789"
    ns_run(netns, "link set lo up",
           "link add nvk9a type veth peer name nvk9b",
           "link set nvk9a mtu 1234 address 02:00:00:aa:bb:01 promisc on",
           "addr add 10.77.1.1/24 broadcast 10.77.1.255 dev nvk9a",
           "link set nvk9a up", "link set nvk9b up",
           "tuntap add nvk9t mode tun",
           "addr add 10.77.3.1 peer 10.77.3.2/32 dev nvk9t",
           "link set nvk9t up",
           "tuntap add nvk9p mode tap", "link set nvk9p up",
           "link add nvk9r type bridge", "link set nvk9r up",
           f"link add {long_name} type ifb")
    snap = ns_snapshot(netns)
    links = ip_json("-d", "addr", netns=netns)
    check_snapshot(snap, links)
    a = snap["per_name"]["nvk9a"]
    assert a["mtu"] == 1234 and "promisc" in a["flags"] and a["running"] is True
    assert a["media"] == [2, 10000]  # a veth reports 10 Gbit/s, full duplex
    rows = [tuple(r) for r in snap["addrs"]]
    assert ("nvk9a", 18, "02:00:00:aa:bb:01", None, None, None) in rows
    assert ("nvk9a", 2, "10.77.1.1", "255.255.255.0", "10.77.1.255", None) in rows
    assert ("nvk9t", 2, "10.77.3.1", "255.255.255.255", None, "10.77.3.2") in rows
    assert [r[0] for r in rows if r[0] == "nvk9t" and r[1] == 18] == []  # no hardware address
    assert snap["per_name"][long_name]["flags"] == ["broadcast", "noarp"]
    # Nobody holds the tun or the tap open, and the bridge has no port, so
    # none has carrier: the tap and the bridge run all the same (their
    # drivers are up), the layer-3 tun does not. A tun and a bridge have no
    # media, a tap only autoselect: neither speed nor duplex.
    per = snap["per_name"]
    assert (per["nvk9t"]["running"], per["nvk9p"]["running"], per["nvk9r"]["running"]) == (False, True, True)
    assert per["nvk9t"]["media"] == per["nvk9p"]["media"] == per["nvk9r"]["media"] == [0, 0]
    assert sys_value("nvk9p", "carrier") != "1"
    assert {"lo", "nvk9a", "nvk9b", "nvk9t", long_name} <= set(snap["counters"])

    # Down, then up again: each function sees the change.
    ns_run(netns, "link set nvk9b down")
    down = ns_snapshot(netns)
    check_snapshot(down, ip_json("-d", "addr", netns=netns))
    assert "up" not in down["per_name"]["nvk9b"]["flags"] and down["per_name"]["nvk9b"]["running"] is False
    # Its peer is down, so it has no carrier, and its driver still runs.
    assert down["per_name"]["nvk9a"]["running"] is True and "running" in down["per_name"]["nvk9a"]["flags"]
    assert [link["operstate"] for link in ip_json("link", "show", "nvk9a", netns=netns)] == ["LOWERLAYERDOWN"]
    ns_run(netns, "link set nvk9b up", "link set nvk9a promisc off")
    up = ns_snapshot(netns)
    check_snapshot(up, ip_json("-d", "addr", netns=netns))
    assert "promisc" not in up["per_name"]["nvk9a"]["flags"]


def test_a_long_name_is_cut_to_fifteen_bytes(netns):
    """The request's name field holds 15 bytes: the rest of a longer name is
    not looked up."""
    ns_run(netns, "link add nvk9-0123456789 type ifb", "link set nvk9-0123456789 mtu 1456")
    code = ("import sys; sys.path.insert(0, sys.argv[1]); import _norvik_bsd as m; "
            "print(m.net_if_mtu('nvk9-0123456789-and-more'), m.net_if_flags('nvk9-0123456789xyz'))")
    from conftest import SCRIPTED_DIR, module_env
    done = subprocess.run(["ip", "netns", "exec", netns, os.sys.executable, "-c", code, SCRIPTED_DIR],
                          capture_output=True, text=True, timeout=60, env=module_env())
    assert done.returncode == 0, done.stderr
    assert done.stdout.split()[0] == "1456"


NAMES_CHILD = """
import json, os, sys
sys.path.insert(0, sys.argv[1])
import _norvik_bsd as m
raw = bytes.fromhex(sys.argv[2])
name = os.fsdecode(raw)
out = {"counters": sorted(os.fsencode(k).hex() for k in m.net_io_counters()),
       "addrs": sorted({os.fsencode(r[0]).hex() for r in m.net_if_addrs()})}
for fn in ("net_if_flags", "net_if_mtu", "net_if_is_running", "net_if_duplex_speed"):
    try:
        out[fn] = repr(getattr(m, fn)(name))
    except Exception as exc:
        out[fn] = type(exc).__name__
print(json.dumps(out))
"""


def test_an_interface_name_that_is_not_utf8(netns):
    """A veth named with bytes that are not UTF-8, beside its peer and the
    loopback: both tables list every interface, the odd name decoded with
    surrogate escapes; the query functions, which take the name as UTF-8
    text, refuse it as they refuse any text that can't be encoded."""
    raw = b"\xffnvk9"
    made = subprocess.run([b"ip", b"-n", netns.encode(), b"link", b"add", b"name", raw, b"type", b"veth",
                           b"peer", b"name", b"nvk9b"],
                          capture_output=True)
    if made.returncode != 0:
        pytest.skip("ip link add: " + made.stderr.decode(errors="replace").strip())
    ns_run(netns, "link set lo up")
    subprocess.run([b"ip", b"-n", netns.encode(), b"addr", b"add", b"10.77.9.1/24", b"dev", raw], check=True)
    from conftest import SCRIPTED_DIR, module_env
    done = subprocess.run(["ip", "netns", "exec", netns, os.sys.executable, "-c", NAMES_CHILD, SCRIPTED_DIR,
                           raw.hex()], capture_output=True, text=True, timeout=60, env=module_env())
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    # ip's one-line form: "index: name[@peer]: <flags> ...", the name's bytes as they are.
    lines = subprocess.run(["ip", "-n", netns, "-o", "link"], capture_output=True, check=True).stdout
    listed = sorted(line.split(b": ")[1].split(b"@")[0].hex() for line in lines.splitlines())
    assert listed == sorted([b"lo".hex(), b"nvk9b".hex(), raw.hex()])
    assert seen["counters"] == listed and seen["addrs"] == listed
    for fn in ("net_if_flags", "net_if_mtu", "net_if_is_running", "net_if_duplex_speed"):
        assert seen[fn] == "UnicodeEncodeError", fn


@pytest.mark.parametrize("made", [
    ("link add nvk9d type dummy", "link add nvk9g type bond", "link set nvk9g up"),
    ("link add nvk9d type dummy", "link set nvk9d up", "link add link nvk9d name nvk9v type vlan id 7",
     "link set nvk9v up"),
], ids=["bond", "vlan"])
def test_lagg_and_vlan_media(netns, made):
    """A bond answers as FreeBSD's lagg (autoselect: [0, 0]); a vlan answers
    its parent's media. Skipped where the host kernel lacks the driver."""
    ns_run(netns, *made)
    snap = ns_snapshot(netns)
    check_snapshot(snap, ip_json("-d", "addr", netns=netns))
