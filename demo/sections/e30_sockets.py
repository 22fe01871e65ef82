"""The system's sockets: listening sockets with their owners, the TCP
connections by state, and this process's own sockets. The module lists the
sockets an open descriptor holds that this process may see: those of other
users' processes only with the privilege to look into them."""
import collections
import os
import socket

from units import cut

TITLE = "Sockets"

STATES = ["CLOSED", "LISTEN", "SYN_SENT", "SYN_RECEIVED", "ESTABLISHED", "CLOSE_WAIT", "FIN_WAIT_1",
          "CLOSING", "LAST_ACK", "FIN_WAIT_2", "TIME_WAIT"]
FAMILIES = {1: "unix", 2: "inet", 28: "inet6"}


def address(value):
    if isinstance(value, tuple):
        return f"{value[0]}:{value[1]}" if value else "-"
    return value or "-"


def show(norvik):
    # A listener and a connection of the demo's own, so that there is something to see.
    with socket.create_server(("127.0.0.1", 0)) as server, \
            socket.create_connection(server.getsockname()) as client, server.accept()[0]:
        rows = norvik.net_connections((1, 2, 28), (1, 2))
        listening = [r for r in rows if r[2] == 1 and r[1] != 1 and r[5] == norvik.TCPS_LISTEN]
        print("counted: the sockets held by the open descriptors this process can see")
        print(f"listening TCP sockets: {len(listening)}")
        print(f"{'PID':>7} {'FD':>4} {'FAMILY':<6} {'LOCAL ADDRESS:PORT':<40} PROCESS NAME")
        for r in listening[:20]:
            try:
                name = norvik.proc_name(r[6])
            except ProcessLookupError:
                name = "(ended)"
            print(f"{r[6]:>7} {r[0]:>4} {FAMILIES[r[1]]:<6} {cut(address(r[3]), 40):<40} {name}")
        if len(listening) > 20:
            print(f"... and {len(listening) - 20} more")
        print()
        counts = collections.Counter(STATES[r[5]] for r in rows if r[1] != 1 and r[2] == 1)
        print("TCP sockets by state: " + ", ".join(f"{state} {n}" for state, n in sorted(counts.items())))
        udp = sum(1 for r in rows if r[1] != 1 and r[2] == 2)
        local = sum(1 for r in rows if r[1] == 1)
        print(f"UDP sockets: {udp}, unix-domain sockets: {local}, all sockets: {len(rows)}")
        print()
        mine = norvik.proc_net_connections(os.getpid(), (1, 2, 28), (1, 2))
        print(f"this process ({os.getpid()}): {len(mine)} sockets")
        print(f"  {'FD':>6} {'FAMILY':<6} {'LOCAL ADDRESS:PORT':<24} {'REMOTE ADDRESS:PORT':<24} TCP STATE")
        for r in mine[:20]:
            state = STATES[r[5]] if r[5] < len(STATES) else "-"
            print(f"  {r[0]:>6} {FAMILIES[r[1]]:<6} {cut(address(r[3]), 24):<24} {cut(address(r[4]), 24):<24} {state}")
        del client
