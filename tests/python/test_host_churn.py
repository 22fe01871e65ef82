"""The process table, a process's thread table and the socket table, each
read over and over for ten seconds while a helper forks short-lived
children, starts and ends threads and opens and closes sockets: every
answer is whole and well formed, and no call fails."""
import json
import os
import subprocess
import sys
import textwrap

from conftest import SCRIPTED_DIR, module_env

# The size answers carry FreeBSD's slack, so a table that grows between the
# size answer and the read fits: the retry limit's RuntimeError is a failure
# like any other.
SECONDS = 10.0

CHURN = textwrap.dedent("""
    import os, socket, struct, sys, threading, time
    stop = threading.Event()
    def threads():
        while not stop.is_set():
            batch = [threading.Thread(target=time.sleep, args=(0.002,)) for _ in range(4)]
            [t.start() for t in batch]
            [t.join() for t in batch]
    def sockets():
        listener = socket.socket(); listener.bind(("127.0.0.1", 0)); listener.listen(64)
        while not stop.is_set():
            client = socket.create_connection(listener.getsockname())
            # Closed with a reset: no TIME_WAIT rows pile up in the table.
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            server, _ = listener.accept()
            pair = socket.socketpair()
            udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            for s in (client, server, udp, *pair):
                s.close()
            time.sleep(0.001)
    def children():
        while not stop.is_set():
            pid = os.fork()
            if pid == 0:
                time.sleep(0.001)
                os._exit(0)
            os.waitpid(pid, 0)
    workers = [threading.Thread(target=f) for f in (threads, sockets, children)]
    [w.start() for w in workers]
    sys.stdout.write("READY\\n"); sys.stdout.flush()
    sys.stdin.read()
    stop.set()
    [w.join() for w in workers]
""")

# Each reader calls one function until its time is up and reports the calls
# made and the first few problems: an exception or a malformed record.
READER = textwrap.dedent("""
    import json, os, sys, time
    import _norvik_bsd as norvik
    what, helper, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    me = os.getpid()

    def check_pids(rows):
        assert rows and all(type(p) is int and p > 0 for p in rows), rows[:5]
        assert len(set(rows)) == len(rows), "a pid twice"
        assert me in rows and helper in rows

    def check_threads(rows):
        assert rows, "no threads"
        for row in rows:
            assert type(row) is tuple and len(row) == 3, row
            assert type(row[0]) is int and row[0] > 0, row
            assert all(type(t) is float and t >= 0 for t in row[1:]), row
        ids = [row[0] for row in rows]
        assert len(set(ids)) == len(ids), "a thread twice"
        assert helper in ids, "the main thread is missing"

    def check_sockets(rows):
        assert rows, "no sockets"
        for row in rows:
            assert type(row) is tuple and len(row) == 7, row
            fd, family, kind, laddr, raddr, status, pid = row
            assert type(fd) is int and fd >= -1, row
            assert family in (1, 2, 28) and kind in (1, 2), row
            if family == 1:
                assert type(laddr) is str and type(raddr) is str, row
            else:
                assert type(laddr) is tuple and type(raddr) is tuple, row
                assert len(laddr) in (0, 2) and len(raddr) in (0, 2), row
            assert type(status) is int, row
            assert pid is None or (type(pid) is int and pid > 0), row

    calls = {
        "pids": (norvik.pids, (), check_pids),
        "proc_threads": (norvik.proc_threads, (helper,), check_threads),
        "net_connections": (norvik.net_connections, ((2, 28, 1), (1, 2)), check_sockets),
    }
    fn, args, check = calls[what]
    count, problems = 0, []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        count += 1
        try:
            check(fn(*args))
        except BaseException as exc:
            if len(problems) < 5:
                problems.append(f"{type(exc).__name__}: {exc}")
    print(json.dumps({"calls": count, "problems": problems}))
""")


def test_tables_stay_whole_under_churn():
    env = module_env({**os.environ, "PYTHONPATH": SCRIPTED_DIR})
    env.pop("NORVIK_DEBUG", None)
    helper = subprocess.Popen([sys.executable, "-c", CHURN], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert helper.stdout.readline() == "READY\n"
        # The three readers run side by side, ten seconds each.
        readers = {what: subprocess.Popen([sys.executable, "-c", READER, what, str(helper.pid), str(SECONDS)],
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
                   for what in ("pids", "proc_threads", "net_connections")}
        reports = {}
        for what, reader in readers.items():
            out, err = reader.communicate(timeout=SECONDS * 6 + 60)
            assert reader.returncode == 0, f"{what}: {err}"
            reports[what] = json.loads(out)
        assert helper.poll() is None, "the churn helper stopped"
    finally:
        helper.stdin.close()
        helper.wait(timeout=60)
        helper.stdout.close()
    for what, report in reports.items():
        assert report["calls"] > 0, what
        assert not report["problems"], f"{what}, {report['calls']} calls: {report['problems']}"
