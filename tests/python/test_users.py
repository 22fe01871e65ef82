"""Logged-in users: a login database written by the test with glibc's own
pututxline, read through the stand-in's root and checked against `who`;
FreeBSD records answered by the scripted kernel for what glibc can't write."""
import ctypes
import ctypes.util
import os
import re
import subprocess

import pytest

from norvik_bsd_testing.storage_records import BOOT_TIME, DEAD_PROCESS, LOGIN_PROCESS, USER_PROCESS, utmpx

# glibc's numbers (bits/utmpx.h), not FreeBSD's
G_BOOT, G_INIT, G_LOGIN, G_USER, G_DEAD = 2, 5, 6, 7, 8


class GlibcUtmpx(ctypes.Structure):
    _fields_ = [("ut_type", ctypes.c_short), ("ut_pid", ctypes.c_int), ("ut_line", ctypes.c_char * 32),
                ("ut_id", ctypes.c_char * 4), ("ut_user", ctypes.c_char * 32), ("ut_host", ctypes.c_char * 256),
                ("e_termination", ctypes.c_short), ("e_exit", ctypes.c_short), ("ut_session", ctypes.c_int),
                ("tv_sec", ctypes.c_int32), ("tv_usec", ctypes.c_int32), ("ut_addr_v6", ctypes.c_int32 * 4),
                ("unused", ctypes.c_char * 20)]


assert ctypes.sizeof(GlibcUtmpx) == 384

LOGINS = [
    # (type, user, line, host, seconds, microseconds, pid, id)
    (G_BOOT, b"reboot", b"~", b"6.1.0", 1700000000, 0, 0, b"~~"),
    (G_USER, b"alice", b"tty1", b"", 1700000100, 250000, 4101, b"tty1"),
    (G_USER, b"bob", b"pts/3", b":0", 1700000200, 0, 4102, b"ts/3"),
    (G_USER, b"carol", b"pts/4", b":0.0", 1700000300, 999999, 4103, b"ts/4"),
    (G_USER, b"dave", b"pts/5", b"203.0.113.77", 1700000400, 1, 4104, b"ts/5"),
    (G_USER, b"erin", b"pts/6", b":1", 1700000500, 0, 4105, b"ts/6"),
    (G_LOGIN, b"LOGIN", b"tty2", b"", 1700000600, 0, 4106, b"tty2"),
    (G_DEAD, b"frank", b"pts/7", b"gone.example", 1700000700, 0, 4107, b"ts/7"),
    # texts longer than FreeBSD's fields: line 16 bytes, host 128
    (G_USER, b"grace", b"pts/very/long/line/name/x", b"h" * 200, 1700000800, 0, 4108, b"ts/8"),
]


@pytest.fixture
def login_db(norvik, kernel, tmp_path):
    """The database, written through glibc, under a root the stand-in reads."""
    path = tmp_path / "var/run/utmp"
    path.parent.mkdir(parents=True)
    path.write_bytes(b"")
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    libc.pututxline.restype = ctypes.c_void_p
    assert libc.utmpxname(str(path).encode()) == 0
    libc.setutxent()
    try:
        for kind, user, line, host, sec, usec, pid, ident in LOGINS:
            rec = GlibcUtmpx(ut_type=kind, ut_pid=pid, ut_line=line, ut_id=ident, ut_user=user, ut_host=host,
                             tv_sec=sec, tv_usec=usec)
            assert libc.pututxline(ctypes.byref(rec)), os.strerror(ctypes.get_errno())
    finally:
        libc.endutxent()
        libc.utmpxname(b"/var/run/utmp")
    kernel.set_root(tmp_path)
    return path


def test_users_from_a_database_written_by_glibc(norvik, login_db):
    assert norvik.users() == [
        ("alice", "tty1", "localhost", 1700000100.0, 4101),
        ("bob", "pts/3", "localhost", 1700000200.0, 4102),
        ("carol", "pts/4", "localhost", 1700000300.0, 4103),
        ("dave", "pts/5", "203.0.113.77", 1700000400.0, 4104),
        ("erin", "pts/6", ":1", 1700000500.0, 4105),
        ("grace", "pts/very/long/l", "h" * 127, 1700000800.0, 4108),
    ]


def test_users_agree_with_who(norvik, login_db):
    shown = subprocess.run(["who", str(login_db)], capture_output=True, text=True, check=True).stdout
    who = []
    for line in shown.splitlines():
        m = re.match(r"(\S+)\s+(\S+)\s+.*?(?:\((.*)\))?$", line)
        who.append((m.group(1), m.group(2), m.group(3) or ""))
    ours = norvik.users()
    assert [u[0] for u in ours] == [w[0] for w in who]
    for (user, line, host, _, _), (w_user, w_line, w_host) in zip(ours, who):
        assert w_line.startswith(line)
        if w_host in ("", ":0", ":0.0"):
            assert host == "localhost"
        else:
            assert w_host.startswith(host)


def test_missing_or_empty_database_gives_no_users(norvik, kernel, tmp_path):
    kernel.set_root(tmp_path)
    assert norvik.users() == []
    (tmp_path / "var/run").mkdir(parents=True)
    (tmp_path / "var/run/utmp").write_bytes(b"\0" * 100)  # not even one record
    assert norvik.users() == []


def test_live_database_matches_who(norvik):
    """Whatever this machine's own database holds (often nothing)."""
    shown = subprocess.run(["who"], capture_output=True, text=True).stdout
    assert [u[0] for u in norvik.users()] == [line.split()[0] for line in shown.splitlines()]


@pytest.mark.parametrize("host, expected", [
    (b"", "localhost"), (b":0", "localhost"), (b":0.0", "localhost"), (b":0.1", ":0.1"),
    (b":00", ":00"), (b"x" * 128, "x" * 128), (b"10.0.0.1", "10.0.0.1"),
])
def test_host_rule_on_freebsd_records(norvik, kernel, host, expected):
    kernel.answer("getutxent.0", utmpx(USER_PROCESS, b"u", b"pts/0", host, sec=5, usec=900000, pid=7))
    assert norvik.users() == [("u", "pts/0", expected, 5.0, 7)]


def test_only_user_processes_and_full_fields(norvik, kernel):
    records = [utmpx(BOOT_TIME, b"reboot"), utmpx(LOGIN_PROCESS, b"LOGIN", b"ttyv0"),
               utmpx(DEAD_PROCESS, b"gone", b"pts/1"),
               # user and line filling their fields without a NUL
               utmpx(USER_PROCESS, b"u" * 32, b"l" * 16, b"remote", sec=9, pid=1)]
    kernel.answer("getutxent.0", b"".join(records))
    assert norvik.users() == [("u" * 32, "l" * 16, "remote", 9.0, 1)]


def test_unreadable_database_gives_no_users(norvik, kernel):
    kernel.fail("getutxent.0", 13)
    assert norvik.users() == []
