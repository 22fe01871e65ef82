"""Network interfaces: flags, MTU, link speed and duplex, addresses by
family and traffic counters in human units."""
from units import cut, human

import collections

TITLE = "Network interfaces"
SHOWN = 20


def media(duplex, speed):
    if speed == 0:
        return "unknown"
    text = f"{speed // 1000} Gbit/s" if speed >= 1000 and speed % 1000 == 0 else f"{speed} Mbit/s"
    return text + {2: " full", 1: " half"}.get(duplex, "")


def show(norvik):
    counters = norvik.net_io_counters()
    addrs = collections.defaultdict(list)
    for name, family, address, netmask, broadcast, peer in norvik.net_if_addrs():
        label = {2: "inet", 28: "inet6", norvik.AF_LINK: "link"}.get(family, str(family))
        text = f"{label} {address}"
        if netmask:
            text += f"/{netmask}"
        if broadcast:
            text += f" brd {broadcast}"
        if peer:
            text += f" -> {peer}"
        addrs[name].append(text)
    names = sorted(set(counters) | set(addrs))
    print("MTU in bytes; link: speed and duplex; sent and received: bytes; errors and drops: packets in and out")
    print(f"{'interface':<16} {'flags':<34} {'MTU':>6} {'link':>14} {'sent':>10} {'received':>10}"
          f" {'errors':>6} {'drops':>6}")
    totals = [0, 0, 0, 0]
    for name in names[:SHOWN]:
        try:
            flags = ",".join(norvik.net_if_flags(name))
            mtu = norvik.net_if_mtu(name)
            link = media(*norvik.net_if_duplex_speed(name))
        except OSError as exc:  # an interface may go while it is shown
            flags, mtu, link = f"({exc.strerror})", "-", "-"
        sent, received, _, _, ierr, oerr, idrop, odrop = counters.get(name, (0,) * 8)
        print(f"{cut(name, 16):<16} {cut(flags, 34):<34} {mtu:>6} {link:>14} {human(sent):>10} {human(received):>10}"
              f" {ierr + oerr:>6} {idrop + odrop:>6}")
        for text in addrs.get(name, []):
            print(f"{'':<16}   {text}")
        totals = [totals[0] + sent, totals[1] + received, totals[2] + ierr + oerr, totals[3] + idrop + odrop]
    if len(names) > SHOWN:
        print(f"... and {len(names) - SHOWN} more interfaces")
    print(f"{'total':<16} {len(names)} interfaces, {sum(len(v) for v in addrs.values())} addresses"
          f"{'':<5} {human(totals[0]):>10} {human(totals[1]):>10} {totals[2]:>6} {totals[3]:>6}")
