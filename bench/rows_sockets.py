"""Socket listings: the whole system (against ss, which users run instead)
and one process, on this machine idle and loaded with 1,000 processes, 5,000
TCP and 2,500 unix sockets (and half that, to show how the cost grows): the
process that holds the load, and one with 1,000 TCP sockets of its own."""
import contextlib
import os
import resource
import socket
import subprocess
import sys

from run import Row

# Holds `pairs` connected TCP pairs and `unix` unix socketpairs' sockets, then
# starts `procs` sleepers; everything goes when stdin closes. The connections
# end with a reset, so no TIME_WAIT rows of one load stay behind in the next.
HOLDER = r"""
import os, socket, struct, subprocess, sys
pairs, unix, procs = (int(a) for a in sys.argv[1:4])
srv = socket.create_server(("127.0.0.1", 0), backlog=4096)
held = []
reset = struct.pack("ii", 1, 0)
for _ in range(pairs):
    c = socket.create_connection(srv.getsockname()); held += [c, srv.accept()[0]]
    c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, reset)
for _ in range(unix // 2):
    held += list(socket.socketpair())
kids = [subprocess.Popen(["/bin/sleep", "600"]) for _ in range(procs)]
print("READY", flush=True)
sys.stdin.read()
for k in kids: k.kill()
for k in kids: k.wait()
"""


def raise_nofile(want):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(want, hard), hard))


@contextlib.contextmanager
def load(tcp, unix, procs):
    want = tcp + unix + 256
    proc = subprocess.Popen([sys.executable, "-c", HOLDER, str(tcp // 2), str(unix), str(procs)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, preexec_fn=lambda: raise_nofile(want))
    try:
        assert proc.stdout.readline().startswith(b"READY")
        yield proc.pid
    finally:
        proc.stdin.close()
        proc.wait(timeout=120)
        proc.stdout.close()


def run_ss(*argv):
    subprocess.run(["ss", *argv], stdout=subprocess.DEVNULL, check=True)


def ss_of(pid):
    """ss -tanp, filtered to one process's lines."""
    out = subprocess.run(["ss", "-tanp"], capture_output=True, check=True).stdout
    mark = f"pid={pid},".encode()
    return [line for line in out.splitlines() if mark in line]


def by_hand_all():
    """The pure-Python way: every descriptor link, then the tables."""
    owners = {}
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                with contextlib.suppress(OSError):
                    target = os.readlink(f"/proc/{pid}/fd/{fd}")
                    if target.startswith("socket:"):
                        owners.setdefault(target[8:-1], (int(pid), int(fd)))
        except OSError:
            pass
    rows = []
    for table in ("tcp", "tcp6", "udp", "udp6", "unix"):
        with open(f"/proc/net/{table}", errors="surrogateescape") as f:
            next(f)
            for line in f:
                fields = line.split()
                inode = fields[6] if table == "unix" else fields[9]
                if inode in owners:
                    rows.append((owners[inode], fields[1], fields[2]))
    return rows


def rows(norvik):
    every = ((1, 2, 28), (1, 2))
    yield from rows_now(norvik, every, "idle")
    with load(1000, 0, 0) as thousand:
        yield thousand_row(norvik, every, "idle", thousand)
    for tcp, unix, procs, label in ((2500, 1250, 500, "half load"), (5000, 2500, 1000, "loaded")):
        with load(tcp, unix, procs) as holder:
            yield from rows_now(norvik, every, label, holder)
            with load(1000, 0, 0) as thousand:
                yield thousand_row(norvik, every, label, thousand)


def thousand_row(norvik, every, label, thousand):
    """One process with 1,000 TCP sockets of its own, among the load."""
    return Row(f"proc_net_connections(1,000 sockets), {label}",
               call=lambda: norvik.proc_net_connections(thousand, *every), floor="sockets_pid",
               floor_args=[str(thousand)], by_hand=lambda: ss_of(thousand), calls=5, repeats=3)


def rows_now(norvik, every, label, holder=None):
    yield Row(f"net_connections(all), {label}", call=lambda: norvik.net_connections(*every),
              floor="sockets_all", by_hand=lambda: (run_ss("-tuanp"), run_ss("-xap")), calls=5, repeats=3)
    yield Row(f"net_connections by hand (Python), {label}", call=by_hand_all, floor="sockets_all", calls=3,
              repeats=3)
    if holder is not None:
        yield Row(f"proc_net_connections({label} holder)", call=lambda: norvik.proc_net_connections(holder, *every),
                  floor="sockets_pid", floor_args=[str(holder)],
                  by_hand=lambda: ss_of(holder), calls=5, repeats=3)
