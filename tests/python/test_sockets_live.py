"""The system's sockets and one process's sockets, checked live against `ss`
and Python's socket module: every state loopback can produce, in this process
and in children, IPv4, IPv6 and dual-stack, unix sockets of every kind."""
import array
import contextlib
import errno
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import uuid

import pytest

from proc_children import NOBODY, Child

TAG = "norvik-sockets-" + uuid.uuid4().hex[:8]
ALL_FAMILIES = (socket.AF_INET, 28, socket.AF_UNIX)  # FreeBSD's AF_INET6 is 28
ALL_TYPES = (socket.SOCK_STREAM, socket.SOCK_DGRAM)
SS_STATES = {"LISTEN": 1, "SYN-SENT": 2, "SYN-RECV": 3, "ESTAB": 4, "CLOSE-WAIT": 5, "FIN-WAIT-1": 6,
             "CLOSING": 7, "LAST-ACK": 8, "FIN-WAIT-2": 9, "TIME-WAIT": 10, "UNCONN": 128}
USER = re.compile(r"pid=(\d+),fd=(\d+)")


def wait_for_state(port, state, timeout=5.0):
    """Waits until `ss` shows a TCP socket on the local port in the state."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        out = subprocess.run(["ss", "-tanH", f"sport = :{port}"], capture_output=True, text=True).stdout
        if any(line.split()[0] == state for line in out.splitlines() if line.strip()):
            return
        time.sleep(0.01)
    raise AssertionError(f"no {state} on port {port}")


class Scene:
    """Sockets of every kind this machine can make, held open by this process."""

    def __init__(self, stack):
        self.keep = []
        hold = self.hold = lambda s: (stack.enter_context(s), self.keep.append(s))[0]
        self.listener = hold(socket.create_server(("127.0.0.1", 0)))
        self.port = self.listener.getsockname()[1]
        self.client = hold(socket.create_connection(("127.0.0.1", self.port)))
        self.served = hold(self.listener.accept()[0])
        # Peer closed: the client waits in CLOSE_WAIT, the closed side has no
        # descriptor left and must be absent.
        self.cw_client = hold(socket.create_connection(("127.0.0.1", self.port)))
        conn = self.listener.accept()[0]
        self.cw_gone = (conn.getsockname(), conn.getpeername())
        conn.close()
        # Half-closed: the side that shut down writing waits in FIN_WAIT_2.
        self.fw2 = hold(socket.create_connection(("127.0.0.1", self.port)))
        self.fw2_peer = hold(self.listener.accept()[0])
        self.fw2.shutdown(socket.SHUT_WR)
        # TIME_WAIT: the first to close ends there, owned by no descriptor.
        tw = socket.create_connection(("127.0.0.1", self.port))
        tw_peer = self.listener.accept()[0]
        self.tw_port = tw.getsockname()[1]
        self.tw = (tw.getsockname(), tw.getpeername())
        tw.shutdown(socket.SHUT_WR)
        tw_peer.recv(1)
        tw_peer.close()
        tw.recv(1)
        tw.close()
        wait_for_state(self.tw_port, "TIME-WAIT")
        wait_for_state(self.fw2.getsockname()[1], "FIN-WAIT-2")
        wait_for_state(self.cw_client.getsockname()[1], "CLOSE-WAIT")

        self.udp = hold(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
        self.udp.bind(("127.0.0.1", 0))
        self.udp_conn = hold(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
        self.udp_conn.connect(self.udp.getsockname())
        self.v6 = hold(socket.create_server(("::1", 0), family=socket.AF_INET6))
        self.udp6 = hold(socket.socket(socket.AF_INET6, socket.SOCK_DGRAM))
        self.udp6.bind(("::1", 0))
        # Dual stack: an IPv6 listener reached over IPv4 hands out a socket
        # whose addresses are IPv4-mapped: listed as IPv4.
        self.dual = hold(socket.socket(socket.AF_INET6, socket.SOCK_STREAM))
        self.dual.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        self.dual.bind(("::", 0))
        self.dual.listen()
        self.dual_client = hold(socket.create_connection(("127.0.0.1", self.dual.getsockname()[1])))
        self.dual_served = hold(self.dual.accept()[0])

        self.path = os.fsencode(f"/tmp/{TAG} bound ") + b"\xff\xfe"
        self.unix = hold(socket.socket(socket.AF_UNIX, socket.SOCK_STREAM))
        self.unix.bind(self.path)
        stack.callback(os.unlink, self.path)
        self.unix.listen()
        self.dgram_path = f"/tmp/{TAG}-dgram"
        self.unix_dgram = hold(socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM))
        self.unix_dgram.bind(self.dgram_path)
        stack.callback(os.unlink, self.dgram_path)
        self.unbound = hold(socket.socket(socket.AF_UNIX, socket.SOCK_STREAM))
        self.pair = [hold(s) for s in socket.socketpair()]
        self.abstract = hold(socket.socket(socket.AF_UNIX, socket.SOCK_STREAM))
        self.abstract.bind(b"\0" + TAG.encode())


@pytest.fixture(scope="module")
def scene():
    with contextlib.ExitStack() as stack:
        yield Scene(stack)


def by_fd(rows, pid, index=6):
    return {row[0]: row for row in rows if row[index] == pid} if index is not None else {row[0]: row for row in rows}


def test_every_socket_of_this_process_is_listed_with_its_addresses_and_state(norvik, scene):
    me = os.getpid()
    system = by_fd(norvik.net_connections(ALL_FAMILIES, ALL_TYPES), me)
    mine = by_fd(norvik.proc_net_connections(me, ALL_FAMILIES, ALL_TYPES), None, None)
    v4 = socket.AF_INET

    def inet(sock, family, kind, status):
        local = sock.getsockname()[:2]
        try:
            remote = sock.getpeername()[:2]
        except OSError:
            remote = ()
        return (sock.fileno(), family, kind, local, remote, status)

    mapped = lambda addr: (addr[0].removeprefix("::ffff:"), addr[1])  # noqa: E731
    expected = [
        inet(scene.listener, v4, 1, 1),
        inet(scene.client, v4, 1, 4),
        inet(scene.served, v4, 1, 4),
        inet(scene.cw_client, v4, 1, 5),
        inet(scene.fw2, v4, 1, 9),
        inet(scene.fw2_peer, v4, 1, 5),
        inet(scene.udp, v4, 2, 128),
        inet(scene.udp_conn, v4, 2, 128),
        inet(scene.v6, 28, 1, 1),
        inet(scene.udp6, 28, 2, 128),
        # A dual-stack wildcard listener takes IPv4 too: listed as FreeBSD
        # lists it, as 0.0.0.0 (its own descriptor keeps the IPv6 form).
        (scene.dual.fileno(), v4, 1, ("0.0.0.0", scene.dual.getsockname()[1]), (), 1),
        inet(scene.dual_client, v4, 1, 4),
        (scene.dual_served.fileno(), v4, 1, mapped(scene.dual_served.getsockname()),
         mapped(scene.dual_served.getpeername()), 4),
        (scene.unix.fileno(), 1, 1, os.fsdecode(scene.path), "", 128),
        (scene.unix_dgram.fileno(), 1, 2, scene.dgram_path, "", 128),
        (scene.unbound.fileno(), 1, 1, "", "", 128),
        (scene.pair[0].fileno(), 1, 1, "", "", 128),
        (scene.pair[1].fileno(), 1, 1, "", "", 128),
        (scene.abstract.fileno(), 1, 1, "@" + TAG, "", 128),
    ]
    for row in expected:
        fd = row[0]
        assert system.get(fd) == row + (me,), f"fd {fd}"
        per_process = mine.get(fd)
        # A dual-stack descriptor keeps its own domain and mapped addresses
        # in the per-process form, and its state (the mapped addresses do
        # not match the control block's IPv4 ones).
        if fd == scene.dual_served.fileno():
            assert per_process[:3] == (fd, 28, 1) and per_process[4][0].startswith("::ffff:")
            continue
        if fd == scene.dual.fileno():
            assert per_process == inet(scene.dual, 28, 1, 1)
            continue
        assert per_process == row, f"fd {fd}"
    # Nothing else of this process's, and no socket without a descriptor:
    # neither end of the connection in TIME_WAIT, nor the closed side of the
    # one in CLOSE_WAIT. Other processes may use the same port numbers
    # towards other ends, so the ends are matched whole.
    ends = {(r[3], r[4]) for r in norvik.net_connections(ALL_FAMILIES, ALL_TYPES)}
    local, remote = scene.tw
    assert (local, remote) not in ends and (remote, local) not in ends
    assert scene.cw_gone not in ends
    assert len(system) == len(expected) and len(mine) == len(expected)


def started(pid):
    """A process's start time in ticks since boot (stat field 22)."""
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[19])


def first_owner(owners):
    """The (pid, fd) that FreeBSD's open-file table meets first: the newest
    process, its lowest descriptor; None when two of the processes started
    in the same tick."""
    try:
        ages = {pid: started(pid) for pid, _ in owners}
    except OSError:
        return None
    newest = max(ages.values())
    if sum(1 for t in ages.values() if t == newest) > 1:
        return None
    return min(o for o in owners if ages[o[0]] == newest)


def ss_owners(args):
    """{socket line's owners as sorted (pid, fd) list: (netid, state)} from ss."""
    out = subprocess.run(["ss", "-H", *args], capture_output=True, check=True).stdout.decode(errors="surrogateescape")
    rows = {}
    for line in out.splitlines():
        owners = sorted((int(p), int(f)) for p, f in USER.findall(line))
        if owners:
            fields = line.split()
            netid, state = (fields[0], fields[1]) if fields[0] in ("tcp", "udp", "u_str", "u_dgr", "u_seq") \
                else (args[0][1:2], fields[0])
            rows[tuple(owners)] = (netid, state)
    return rows


@pytest.mark.parametrize("ss_args,families,types", [
    (["-tanp"], (2, 28), (1,)),
    (["-uanp"], (2, 28), (2,)),
    (["-xanp"], (1,), ()),
])
def test_owner_and_state_agree_with_ss(norvik, scene, ss_args, families, types):
    """Each socket held by one of our processes is listed once, for the
    first of its descriptors in open-file table order (the newest process
    first, then descriptors ascending), with the state ss gives it."""
    with Child("import socket\ns = socket.create_server(('127.0.0.1', 0))\n"
               "u = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)\n"
               "t = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); t.bind(('127.0.0.1', 0))\n") as child:
        ours = {os.getpid(), child.pid}
        rows = norvik.net_connections(families, types)
        seen = ss_owners(ss_args)
        firsts = {owners: first_owner(owners) for owners in seen}  # while the child lives
    listed = {(r[6], r[0]): r for r in rows if r[6] in ours}
    expected = {}
    for owners, state in seen.items():
        first = firsts[owners]
        if first is None:  # processes started in the same tick: no order to check
            for owner in owners:
                listed.pop(owner, None)
        elif first[0] in ours:
            expected[first] = state
    assert set(listed) == set(expected)
    for key, (netid, state) in expected.items():
        row = listed[key]
        if netid in ("u_str", "u_dgr"):
            assert row[2] == (1 if netid == "u_str" else 2)
        elif ss_args == ["-uanp"]:
            assert row[5] == 128  # connected or not, UDP has no state
        else:
            assert row[5] == SS_STATES[state], (key, state)
    assert any(r[6] == child.pid for r in listed.values())


def fork_in_order(order):
    """Forks a child whose pid comes after this process's, or (as once pids
    wrap) before it: the next pid is set first, where this process may."""
    next_pid = "/proc/sys/kernel/ns_last_pid"
    lowest = 300  # pids below it are never handed out again once they wrap
    if os.access(next_pid, os.W_OK) and os.getpid() > lowest + 10:
        with open(next_pid, "w") as f:
            f.write(str((lowest + os.getpid()) // 2 if order == "child first" else os.getpid()))
    pid = os.fork()
    if pid != 0 and (pid < os.getpid()) != (order == "child first"):
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        pytest.skip(f"the child could not be given a pid {order}")
    return pid


PID_ORDERS = pytest.mark.parametrize("order", ["parent first", "child first"])


@PID_ORDERS
def test_shared_and_passed_descriptors_are_listed_once_for_the_first_owner(norvik, order):
    """A socket inherited through fork and one passed with SCM_RIGHTS: each is
    listed once, for its first holder in open-file table order: FreeBSD lists
    the newest process first, so the child, whatever its pid."""
    shared = socket.create_server(("127.0.0.1", 0))
    passed = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    left, right = socket.socketpair()
    read_end, write_end = os.pipe()
    pid = fork_in_order(order)
    if pid == 0:  # the child holds the inherited listener and receives one more socket
        try:
            os.close(read_end)
            left.close()
            passed.close()  # so that the child holds it only as received
            msg, anc, _, _ = right.recvmsg(1, socket.CMSG_LEN(4))
            got = array.array("i", anc[0][2])[0]
            os.write(write_end, str(got).encode() + b"\n")
            os.read(right.fileno(), 1)  # until the parent is done
        finally:
            os._exit(0)
    try:
        os.close(write_end)
        left.sendmsg([b"x"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [passed.fileno()]))])
        child_fd = int(os.read(read_end, 64).decode())
        rows = norvik.net_connections(ALL_FAMILIES, ALL_TYPES)
        port = shared.getsockname()[1]
        listener = [(r[6], r[0]) for r in rows if isinstance(r[3], tuple) and r[3][1] == port and r[5] == 1]
        assert listener == [(pid, shared.fileno())]
        held = [(r[6], r[0]) for r in rows if r[6] in (os.getpid(), pid) and r[1] == 1 and r[2] == 2]
        assert (pid, child_fd) in held and (os.getpid(), passed.fileno()) not in held
    finally:
        left.send(b"q")
        os.waitpid(pid, 0)
        os.close(read_end)
        for s in (shared, passed, left, right):
            s.close()


@PID_ORDERS
def test_a_process_of_another_user_is_listed_with_its_own_pid(norvik, order):
    read_end, write_end = os.pipe()
    hold_read, hold_write = os.pipe()
    pid = fork_in_order(order)
    if pid == 0:  # drops to nobody, listens, and waits for the parent
        try:
            os.close(hold_write)
            os.close(read_end)
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            s = socket.create_server(("127.0.0.1", 0))
            os.write(write_end, str(s.getsockname()[1]).encode())
            os.read(hold_read, 1)
        finally:
            os._exit(0)
    try:
        os.close(write_end)
        port = int(os.read(read_end, 64))
        # Found by its port: the child, newer than this process whatever its
        # pid, is also the first owner of every socket it inherited.
        rows = [r for r in norvik.net_connections((2,), (1,)) if r[3] == ("127.0.0.1", port)]
        assert [(r[5], r[6]) for r in rows] == [(1, pid)]
        theirs = [t for t in norvik.proc_net_connections(pid, (2,), (1,)) if t[3] == ("127.0.0.1", port)]
        assert [t[5] for t in theirs] == [1]
    finally:
        os.close(hold_write)
        os.waitpid(pid, 0)
        for fd in (read_end, hold_read):
            os.close(fd)


@pytest.mark.parametrize("families,types,kinds", [
    ((), (), set()),
    ((1,), (), {1}),
    ((), (1, 2), set()),
    ([2], [2], {2}),
    ((28,), (1,), {28}),
])
def test_filters_choose_what_is_read(norvik, scene, families, types, kinds):
    rows = norvik.net_connections(families, types)
    assert {r[1] for r in rows} <= kinds
    for r in rows:
        if r[1] != 1:
            assert r[2] in types
    if kinds:
        assert any(r[6] == os.getpid() for r in rows)


def test_filters_must_be_sequences_of_ints(norvik):
    for bad in ({2}, {2: 1}):
        for call in (lambda: norvik.net_connections(bad, (1,)),
                     lambda: norvik.proc_net_connections(os.getpid(), (1,), bad)):
            with pytest.raises(TypeError, match="^arg 2 or 3 is not a sequence$"):
                call()
    with pytest.raises(TypeError):
        norvik.net_connections("ab", (1,))  # an int tested against a str
    with pytest.raises(TypeError):
        norvik.proc_net_connections(os.getpid(), "ab", (1,))


def test_a_process_that_does_not_exist(norvik):
    proc = subprocess.Popen(["/bin/true"])
    proc.wait()
    with pytest.raises(OSError) as caught:
        norvik.proc_net_connections(proc.pid, (2,), (1,))
    assert caught.value.errno == errno.ESRCH


def test_sockets_come_and_go_and_processes_exit_during_the_calls(norvik):
    """Only the documented exceptions, never a crash or a malformed row."""
    stop = threading.Event()
    rounds = []

    def churn():
        while not stop.is_set():
            with socket.create_server(("127.0.0.1", 0)) as s, socket.create_connection(s.getsockname()):
                pass
            # This interpreter: "python3" need not be on PATH, and a churn
            # thread that dies leaves a test that passes without churn.
            subprocess.run([sys.executable, "-c", "import socket; socket.socket().bind(('127.0.0.1', 0))"],
                           check=True)
            rounds.append(1)

    workers = [threading.Thread(target=churn) for _ in range(2)]
    for w in workers:
        w.start()
    try:
        end = time.monotonic() + 2.0
        while time.monotonic() < end:
            for row in norvik.net_connections(ALL_FAMILIES, ALL_TYPES):
                assert len(row) == 7 and row[1] in (1, 2, 28)
            for pid in norvik.pids()[-20:]:
                try:
                    for row in norvik.proc_net_connections(pid, ALL_FAMILIES, (1, 2, 3, 5)):
                        assert len(row) == 6
                except (ProcessLookupError, PermissionError, norvik.ZombieProcessError):
                    pass
                except OSError as exc:
                    assert exc.errno == errno.ESRCH
    finally:
        stop.set()
        for w in workers:
            w.join()
    assert len(rounds) >= 2, "the churn threads made no processes"


def ss_state(local_port, peer_port):
    """The state ss gives the TCP connection between two loopback ports."""
    out = subprocess.run(["ss", "-Htan"], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        state, _, _, local, peer = line.split()[:5]
        if local.endswith(f":{local_port}") and peer.endswith(f":{peer_port}"):
            return SS_STATES[state]
    return None


def test_dual_stack_connections_have_their_state(norvik):
    """An IPv6 socket carrying IPv4 traffic shows IPv4-mapped ends, while its
    control block holds the IPv4 addresses: its state is still found."""
    with contextlib.ExitStack() as held:
        listener = held.enter_context(socket.socket(socket.AF_INET6, socket.SOCK_STREAM))
        listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        listener.bind(("::", 0))
        listener.listen(4)
        port = listener.getsockname()[1]
        client = held.enter_context(socket.create_connection(("127.0.0.1", port)))
        accepted = held.enter_context(listener.accept()[0])
        mapped = held.enter_context(socket.socket(socket.AF_INET6, socket.SOCK_STREAM))
        mapped.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        mapped.connect(("::ffff:127.0.0.1", port))
        accepted_mapped = held.enter_context(listener.accept()[0])
        cport, mport = client.getsockname()[1], mapped.getsockname()[1]
        rows = {r[0]: r for r in norvik.proc_net_connections(os.getpid(), ALL_FAMILIES, (1,))}
        v4 = "::ffff:127.0.0.1"
        assert rows[listener.fileno()] == (listener.fileno(), 28, 1, ("::", port), (), 1)
        assert rows[accepted.fileno()] == (accepted.fileno(), 28, 1, (v4, port), (v4, cport), 4)
        assert rows[client.fileno()] == (client.fileno(), 2, 1, ("127.0.0.1", cport), ("127.0.0.1", port), 4)
        assert rows[mapped.fileno()] == (mapped.fileno(), 28, 1, (v4, mport), (v4, port), 4)
        assert rows[accepted_mapped.fileno()][5] == 4
        assert ss_state(port, cport) == ss_state(mport, port) == 4


def ss_v6only():
    """{(protocol, port): v6only} for the IPv6 wildcard sockets ss shows."""
    out = subprocess.run(["ss", "-Hlunte", "-f", "inet6"], capture_output=True, text=True, check=True).stdout
    found = {}
    for line in out.splitlines():
        fields = line.split()
        if fields[0] not in ("tcp", "udp") or "v6only:" not in line:
            continue
        local = fields[4]
        if local.rsplit(":", 1)[0] not in ("[::]", "*"):
            continue
        v6only = int(line.split("v6only:")[1][0])
        found[(fields[0], int(local.rsplit(":", 1)[1]))] = v6only
    return found


@pytest.mark.parametrize("kind", [socket.SOCK_STREAM, socket.SOCK_DGRAM], ids=["tcp", "udp"])
def test_wildcard_ipv6_sockets_take_ipv4_unless_v6only(norvik, kind):
    """FreeBSD marks an IPv6 socket bound to :: without IPV6_V6ONLY as IPv4
    and IPv6 alike, and lists it as AF_INET 0.0.0.0, only when both families
    are asked for; with IPV6_V6ONLY it stays AF_INET6 ::."""
    with contextlib.ExitStack() as held:
        made = {}
        for v6only in (1, 0):
            sock = held.enter_context(socket.socket(socket.AF_INET6, kind))
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, v6only)
            sock.bind(("::", 0))
            if kind == socket.SOCK_STREAM:
                sock.listen(4)
            made[v6only] = sock
        proto = "tcp" if kind == socket.SOCK_STREAM else "udp"
        seen = ss_v6only() if shutil.which("ss") else None
        status = 1 if kind == socket.SOCK_STREAM else 128
        me = os.getpid()
        for v6only, sock in made.items():
            port = sock.getsockname()[1]
            if seen is not None:  # the host's own tool agrees with what the test set
                assert seen.get((proto, port)) == v6only
        both = by_fd(norvik.net_connections((socket.AF_INET, 28), (kind,)), me)
        only6 = by_fd(norvik.net_connections((28,), (kind,)), me)
        only4 = by_fd(norvik.net_connections((socket.AF_INET,), (kind,)), me)
        strict, dual = made[1], made[0]
        assert both[strict.fileno()] == (strict.fileno(), 28, kind, ("::", strict.getsockname()[1]), (), status, me)
        assert both[dual.fileno()] == (dual.fileno(), socket.AF_INET, kind, ("0.0.0.0", dual.getsockname()[1]), (),
                                       status, me)
        assert strict.fileno() in only6 and strict.fileno() not in only4
        assert dual.fileno() not in only6 and dual.fileno() not in only4
        # The descriptor's own view keeps the IPv6 form for both.
        mine = by_fd(norvik.proc_net_connections(me, (socket.AF_INET, 28), (kind,)), None, None)
        for sock in made.values():
            assert mine[sock.fileno()][1:4] == (28, kind, ("::", sock.getsockname()[1]))
