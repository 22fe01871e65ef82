"""A process's threads, open files, descriptor count and memory maps: live
against children that hold known threads, files and mappings, with /proc,
ls and pmap as the oracles; scripted for records this machine can't make."""
import contextlib
import errno
import os
import shutil
import stat
import subprocess

import pytest

from norvik_bsd_testing.proc_records import KF_FD_TYPE_CWD, KF_FD_TYPE_TEXT, KF_TYPE_PIPE, KF_TYPE_SOCKET, KF_TYPE_VNODE, \
    KF_VTYPE_VCHR, KF_VTYPE_VDIR, KF_VTYPE_VREG, KVME_TYPE_DEFAULT, KVME_TYPE_GUARD, KVME_TYPE_UNKNOWN, KVME_TYPE_VNODE, kinfo_file, kinfo_proc, \
    kinfo_vmentry
from malformed_records import pack, patch, unterminated
from norvik_bsd_testing import CALL
from proc_children import (Child, as_nobody, gone_pid, kernel_thread_pid, terminal_child, tty_of,
                           wait_until_sleeping, zombie)

CLK_TCK = os.sysconf("SC_CLK_TCK")

THREADS = """
import threading, time
stop = threading.Event()
spun = threading.Event()
def spin():
    while time.thread_time() < 0.25 and not stop.is_set():
        pass
    spun.set()
    stop.wait()
workers = [threading.Thread(target=spin if i == 0 else stop.wait, daemon=True) for i in range(int(sys.argv[1]))]
for w in workers: w.start()
# Ready once the spinner has had its CPU time, however busy the machine is.
spun.wait()
report = threading.get_native_id()
"""

FILES = """
import socket, mmap
keep = []
paths = sys.argv[1:3]
for p in paths:
    keep.append(open(p, 'rb'))
r, w = os.pipe()
s = socket.socket(socket.AF_INET, socket.SOCK_STREAM); s.bind(('127.0.0.1', 0)); s.listen()
d = os.open(sys.argv[3], os.O_RDONLY | os.O_DIRECTORY)
n = os.open('/dev/null', os.O_RDONLY)
m = mmap.mmap(keep[0].fileno(), 0, prot=mmap.PROT_READ)
m[:1]
report = {'files': [f.fileno() for f in keep], 'pipe': [r, w], 'socket': s.fileno(), 'dir': d, 'null': n}
"""


def fd_oracle(pid):
    """Regular files among the descriptors, read from /proc by hand, named
    as FreeBSD names them: a file without a name left has an empty path."""
    files = []
    for name in os.listdir(f"/proc/{pid}/fd"):
        path = f"/proc/{pid}/fd/{name}"
        try:
            st = os.stat(path)
            if stat.S_ISREG(st.st_mode):
                files.append((os.readlink(path) if st.st_nlink else "", int(name)))
        except FileNotFoundError:
            pass
    return files


SWAP_OBJECT_NAMES = ("/dev/zero (deleted)",)
SWAP_OBJECT_PREFIXES = ("/SYSV", "/memfd:", "/dev/shm/")


def smaps_entries(pid):
    """(start, end, perms, inode, path, {field: kB}) per entry of smaps."""
    entries = []
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            head = line.split(None, 5)
            if "-" in head[0] and len(head) >= 5 and ":" in head[3]:
                start, end = (int(x, 16) for x in head[0].split("-"))
                path = head[5].rstrip("\n").strip() if len(head) > 5 else ""
                entries.append((start, end, head[1], int(head[4]), path, {}))
            elif line.split(":")[0] in ("Rss", "Swap"):
                name, value = line.split(":")
                entries[-1][5][name] = int(value.split()[0])
    return entries


def freebsd_map_name(pid, perms, inode, path, sizes):
    """The path text FreeBSD 14 would give the entry (kern_proc_vmmap_out):
    anonymous memory, shared or not, memfd and POSIX shared memory are swap
    objects without a path; a removed file keeps its vnode type but no name;
    private memory never accessible and without a page has no object."""
    if path.startswith("/"):
        if path in SWAP_OBJECT_NAMES or path.startswith(SWAP_OBJECT_PREFIXES):
            return "[swap]"
        if path.endswith(" (deleted)"):
            try:
                named = os.stat(f"/proc/{pid}/root{path}").st_ino == inode
            except FileNotFoundError:
                named = False
            if not named:
                return "[vnode]"
        return path
    if path in ("[vdso]", "[vvar]", "[vvar_vclock]", "[vsyscall]"):
        return "[phys]"
    if perms[:3] == "---" and perms[3] == "p" and not sizes.get("Rss") and not sizes.get("Swap"):
        return "[none]"
    return "[swap]"


def maps_oracle(pid):
    return [(f"{start:#x}-{end:#x}", perms[:3], freebsd_map_name(pid, perms, inode, path, sizes))
            for start, end, perms, inode, path, sizes in smaps_entries(pid)]


@pytest.fixture
def file_child(tmp_path):
    a = tmp_path / "a.bin"
    a.write_bytes(b"x" * 8192)
    b = tmp_path / "b b.txt"
    b.write_text("hello")
    with Child(setup=FILES, argv_extra=[str(a), str(b), str(tmp_path)]) as child:
        yield child, str(a), str(b)


class TestLive:
    def test_threads_match_task_listing(self, norvik):
        with Child(setup=THREADS, argv_extra=["4"]) as child:
            rows = norvik.proc_threads(child.pid)
            tids = sorted(int(t) for t in os.listdir(f"/proc/{child.pid}/task"))
            assert sorted(r[0] for r in rows) == tids
            assert len(rows) == 5
            for tid, user, system in rows:
                with open(f"/proc/{child.pid}/task/{tid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                assert abs(user - int(fields[11]) / CLK_TCK) <= 0.05
                assert abs(system - int(fields[12]) / CLK_TCK) <= 0.05
            # The spinning thread's CPU time is its own.
            assert max(r[1] + r[2] for r in rows) >= 0.1

    def test_single_thread(self, norvik):
        proc = subprocess.Popen(["/bin/sleep", "60"])
        try:
            rows = norvik.proc_threads(proc.pid)
            assert [r[0] for r in rows] == [int(t) for t in os.listdir(f"/proc/{proc.pid}/task")]
            assert all(isinstance(r[1], float) and isinstance(r[2], float) for r in rows)
        finally:
            proc.kill()
            proc.wait()

    def test_open_files_are_the_regular_ones(self, norvik, file_child):
        child, a, b = file_child
        got = norvik.proc_open_files(child.pid)
        exe = os.readlink(f"/proc/{child.pid}/exe")
        assert sorted(got) == sorted(fd_oracle(child.pid) + [(exe, KF_FD_TYPE_TEXT)])
        fds = child.report
        assert (a, fds["files"][0]) in got and (b, fds["files"][1]) in got
        listed = {fd for _, fd in got}
        for other in (*fds["pipe"], fds["socket"], fds["dir"], fds["null"]):
            assert other not in listed
        assert KF_FD_TYPE_CWD not in listed

    def test_undecodable_paths(self, norvik, tmp_path):
        odd = os.path.join(os.fsencode(str(tmp_path)), b"caf\xe9 \xff")
        os.mkdir(odd)
        name = os.path.join(odd, b"f\xfe.bin")
        with open(name, "wb") as f:
            f.write(b"z" * 4096)
        setup = ("import mmap\nf = open(os.fsencode(sys.argv[1]), 'rb')\n"
                 "m = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)\nos.chdir(os.path.dirname(f.name))\n"
                 "report = f.fileno()")
        with Child(setup=setup, argv_extra=[os.fsdecode(name)]) as child:
            assert (os.fsdecode(name), child.report) in norvik.proc_open_files(child.pid)
            assert os.fsdecode(name) in [r[2] for r in norvik.proc_memory_maps(child.pid)]
            assert norvik.proc_cwd(child.pid) == os.fsdecode(odd)

    def test_num_fds_counts_every_record(self, norvik, file_child):
        child, _, _ = file_child
        ls = subprocess.run(["ls", "-1", f"/proc/{child.pid}/fd"], capture_output=True, text=True, check=True)
        descriptors = len(ls.stdout.split())
        # Every descriptor, and the text, working directory and root records
        # (and the controlling terminal's, if the child has one).
        assert norvik.proc_num_fds(child.pid) == descriptors + 3 + (tty_of(child.pid) != 0)

    def test_controlling_terminal_has_its_record(self, norvik):
        """FreeBSD lists a process's controlling terminal (-6) before its
        working directory; the child holds the terminal on no descriptor."""
        with terminal_child() as (proc, device, _):
            assert tty_of(proc.pid) == device
            descriptors = len(os.listdir(f"/proc/{proc.pid}/fd"))
            assert norvik.proc_num_fds(proc.pid) == descriptors + 4
            # A character device, not a regular file: not an open file.
            assert [fd for _, fd in norvik.proc_open_files(proc.pid)] == [KF_FD_TYPE_TEXT]

    def test_memory_maps_match_maps_file(self, norvik, file_child):
        child, a, _ = file_child
        rows = norvik.proc_memory_maps(child.pid)
        assert [r[:3] for r in rows] == maps_oracle(child.pid)
        mapped = [r for r in rows if r[2] == a]
        assert len(mapped) == 1 and mapped[0][1] == "r--"
        assert mapped[0][3] >= 1  # the page the child touched is resident
        for row in rows:
            assert len(row) == 7 and all(isinstance(v, int) for v in row[3:])
            assert 0 <= row[4] <= row[3]
            # An entry without an object has no references to count.
            assert row[5] >= (0 if row[2] == "[none]" else 1) and row[6] in (0, 1)

    def test_memory_maps_against_pmap(self, norvik, file_child):
        child, _, _ = file_child
        out = subprocess.run(["pmap", "-x", str(child.pid)], capture_output=True, text=True, check=True).stdout
        pmap_starts = {int(line.split()[0], 16) for line in out.splitlines()[2:] if line[:1].isalnum()
                       and not line.startswith(("Address", "total"))}
        ours = {int(r[0].split("-")[0], 16) for r in norvik.proc_memory_maps(child.pid)}
        assert pmap_starts <= ours

    def test_zombie(self, norvik):
        with zombie() as pid:
            for fn in (norvik.proc_open_files, norvik.proc_num_fds, norvik.proc_memory_maps):
                with pytest.raises(ProcessLookupError):
                    fn(pid)

    def test_kernel_thread(self, norvik):
        pid = kernel_thread_pid()
        assert norvik.proc_memory_maps(pid) == []
        assert norvik.proc_open_files(pid) == []
        assert norvik.proc_num_fds(pid) == 2  # working directory and root, no text
        assert [r[0] for r in norvik.proc_threads(pid)] == [pid]

    def test_gone_pid(self, norvik):
        pid = gone_pid()
        for fn in (norvik.proc_threads, norvik.proc_open_files, norvik.proc_num_fds, norvik.proc_memory_maps):
            with pytest.raises(OSError) as info:
                fn(pid)
            assert info.value.errno == errno.ESRCH, fn

    def test_pid_out_of_range(self, norvik):
        for fn in (norvik.proc_threads, norvik.proc_open_files, norvik.proc_num_fds, norvik.proc_memory_maps):
            with pytest.raises(OverflowError):
                fn(2**31)
            with pytest.raises(TypeError):
                fn("1")

    def test_other_users_process_as_nobody(self, norvik, file_child):
        child, _, _ = file_child
        pid = child.pid
        for fn in (norvik.proc_open_files, norvik.proc_num_fds, norvik.proc_memory_maps):
            assert as_nobody(lambda: fn(pid)) == ("raised", "PermissionError", errno.EPERM)
        assert as_nobody(lambda: len(norvik.proc_threads(pid)))[0] == "ok"


KEPT_AND_GONE = """
import mmap
kept = open(sys.argv[1], 'rb')      # its real name ends in " (deleted)"
gone = open(sys.argv[2], 'rb')      # removed by the test
maps = [mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ) for f in (kept, gone)]
report = {'kept': kept.fileno(), 'gone': gone.fileno()}
"""

MAP_KINDS = """
import ctypes, mmap, threading
from multiprocessing import shared_memory
libc = ctypes.CDLL(None, use_errno=True)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
def mapped(size, prot, flags, fd=-1):
    at = libc.mmap(None, size, prot, flags, fd, 0)
    assert at not in (None, ctypes.c_void_p(-1).value), ctypes.get_errno()
    return at
RW = mmap.PROT_READ | mmap.PROT_WRITE
shared = mapped(3 * 4096, RW, mmap.MAP_SHARED | mmap.MAP_ANONYMOUS)
ctypes.memset(shared, 1, 4096)
fd = os.memfd_create('norvik-cache')
os.ftruncate(fd, 2 * 4096)
memfd = mapped(2 * 4096, RW, mmap.MAP_SHARED, fd)
segment = shared_memory.SharedMemory(create=True, size=5 * 4096)
posix = mapped(5 * 4096, RW, mmap.MAP_SHARED, os.open('/dev/shm/' + segment.name, os.O_RDWR))
reserved = mapped(7 * 4096, 0, mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
touched = mapped(4096, RW, mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
ctypes.memset(touched, 1, 4096)
libc.mprotect(ctypes.c_void_p(touched), 4096, 0)
waiting = threading.Event()
threading.Thread(target=waiting.wait, daemon=True).start()
report = {'shared': shared, 'memfd': memfd, 'posix': posix, 'reserved': reserved, 'touched': touched,
          'segment': segment.name}
"""


class TestFreeBsdAnswers:
    """What FreeBSD answers where the host's own answer differs."""

    def test_callers_own_descriptors_exactly(self, norvik, tmp_path):
        """The kernel opens nothing to list a table: the count is the
        descriptors the caller holds and the special records, whatever the
        stand-in opens while it lists."""
        held = [open(tmp_path / f"f{i}", "wb") for i in range(3)]
        r, w = os.pipe()
        import socket
        sock = socket.socket()
        try:
            gaps = [os.dup(w) for _ in range(3)]
            os.close(gaps[1])  # a gap in the numbers
            listing = os.listdir("/proc/self/fd")  # holds one descriptor of its own meanwhile
            specials = 3 + (tty_of(os.getpid()) != 0)  # text, cwd, root (and a terminal)
            assert norvik.proc_num_fds(os.getpid()) == len(listing) - 1 + specials
            regular = [(f.name, f.fileno()) for f in held]
            assert set(regular) <= set(norvik.proc_open_files(os.getpid()))
            assert sorted(norvik.proc_open_files(os.getpid())) == sorted(
                fd_oracle("self") + [(os.readlink("/proc/self/exe"), KF_FD_TYPE_TEXT)])
        finally:
            for f in held:
                f.close()
            for fd in (r, w, gaps[0], gaps[2]):
                os.close(fd)
            sock.close()

    def test_removed_file_has_no_name(self, norvik, tmp_path):
        """A name the host marks " (deleted)" is gone only when no name
        remains (the link count is 0); a real name may end so."""
        kept = tmp_path / "kept (deleted)"
        gone = tmp_path / "gone.bin"
        for path in (kept, gone):
            path.write_bytes(b"k" * 4096)
        with Child(setup=KEPT_AND_GONE, argv_extra=[str(kept), str(gone)]) as child:
            gone.unlink()
            fds = child.report
            files = norvik.proc_open_files(child.pid)
            maps = {r[2] for r in norvik.proc_memory_maps(child.pid)}
            cases = [
                # (descriptor, its row, the path of its mapping)
                (fds["kept"], (str(kept), fds["kept"]), str(kept)),
                (fds["gone"], ("", fds["gone"]), "[vnode]"),
            ]
            for fd, row, mapped in cases:
                assert os.readlink(f"/proc/{child.pid}/fd/{fd}").endswith(" (deleted)")
                assert row in files
                assert mapped in maps
            assert str(gone) + " (deleted)" not in maps
            assert [r[:3] for r in norvik.proc_memory_maps(child.pid)] == maps_oracle(child.pid)

    def test_removed_text_and_working_directory_have_no_name(self, norvik, tmp_path):
        """The special records lose their names as descriptors do: an
        executable and a working directory removed while the process runs."""
        work = tmp_path / "work"
        work.mkdir()
        program = tmp_path / "sleeper"
        shutil.copy("/bin/sleep", program)
        proc = subprocess.Popen([str(program), "600"], cwd=work)
        try:
            wait_until_sleeping(proc.pid)
            before = norvik.proc_open_files(proc.pid)
            assert (str(program), KF_FD_TYPE_TEXT) in before
            assert norvik.proc_cwd(proc.pid) == str(work)
            program.unlink()
            work.rmdir()
            cases = [
                ("exe", lambda: dict((fd, path) for path, fd in norvik.proc_open_files(proc.pid))[KF_FD_TYPE_TEXT]),
                ("cwd", lambda: norvik.proc_cwd(proc.pid)),
            ]
            for link, answer in cases:
                assert os.readlink(f"/proc/{proc.pid}/{link}").endswith(" (deleted)"), link
                assert answer() == "", link
            assert norvik.proc_num_fds(proc.pid) == len(os.listdir(f"/proc/{proc.pid}/fd")) + 3 + (
                tty_of(proc.pid) != 0)
        finally:
            proc.kill()
            proc.wait()

    def test_map_entry_kinds(self, norvik):
        """Shared anonymous memory, memfd and POSIX shared memory are swap
        objects without a path; memory never accessible and without a page
        has no object; one whose pages were kept keeps its swap object."""
        with Child(setup=MAP_KINDS) as child:
            try:
                rows = {int(r[0].split("-")[0], 16): r for r in norvik.proc_memory_maps(child.pid)}
                at = child.report
                cases = [
                    ("shared", "rw-", "[swap]", 3 * 4096),
                    ("memfd", "rw-", "[swap]", 2 * 4096),
                    ("posix", "rw-", "[swap]", 5 * 4096),
                    ("reserved", "---", "[none]", 7 * 4096),
                    ("touched", "---", "[swap]", 4096),
                ]
                for name, perms, path, size in cases:
                    row = rows[at[name]]
                    assert row[0] == f"{at[name]:#x}-{at[name] + size:#x}", name
                    assert row[1:3] == (perms, path), name
                assert rows[at["reserved"]][3:] == (0, 0, 0, 0)  # no object: nothing to count
                assert rows[at["shared"]][3] >= 1 and rows[at["touched"]][3] == 1
                assert "[?]" not in {r[2] for r in rows.values()}  # the host has no guard entries
                assert [r[:3] for r in norvik.proc_memory_maps(child.pid)] == maps_oracle(child.pid)
            finally:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink("/dev/shm/" + child.report["segment"])

    def test_socket_under_two_descriptors_is_listed_for_each(self, norvik):
        """kinfo_getfile gives a record per descriptor: a socket the process
        holds twice is two rows, each with the socket's addresses."""
        setup = ("import socket\ns = socket.socket(); s.bind(('127.0.0.1', 0)); s.listen()\n"
                 "d = os.dup(s.fileno())\nreport = (s.fileno(), d, s.getsockname()[1])")
        with Child(setup=setup) as child:
            first, second, port = child.report
            rows = norvik.proc_net_connections(child.pid, (2,), (1,))
            assert sorted(rows) == [(fd, 2, 1, ("127.0.0.1", port), (), 1) for fd in sorted((first, second))]


class TestScripted:
    def test_memory_map_rows(self, norvik, kernel):
        pid = os.getpid()
        records = [
            pack(kinfo_vmentry(0, 0x4000, 5, KVME_TYPE_DEFAULT, kve_resident=3, kve_private_resident=2,
                               kve_ref_count=7, kve_shadow_count=1), 16, "<Q", 0xFF),
            kinfo_vmentry(0x1000, 0x2000, 3, KVME_TYPE_GUARD),
            kinfo_vmentry(0x7FFF0000, 0x7FFF1000, 0, KVME_TYPE_UNKNOWN),
            pack(kinfo_vmentry(0xFFFFFFFFFFFF0000, 0xFFFFFFFFFFFFF000, 7, KVME_TYPE_VNODE, b"/lib/x.so"),
                 16, "<Q", 0xFFFFFFFFFFFFFFFF),
            kinfo_vmentry(0x3000, 0x4000, 1, KVME_TYPE_VNODE),
            pack(kinfo_vmentry(0x5000, 0x6000, 1), 4, "<i", 0x7FFFFFFF),
            pack(kinfo_vmentry(0x5000, 0x6000, 1), 4, "<i", -1),
            unterminated(kinfo_vmentry(0x6000, 0x7000, 2, KVME_TYPE_VNODE), 136, 1024, b"q"),
        ]
        kernel.answer(f"kinfo_getvmmap.{pid}", b"".join(records))
        assert norvik.proc_memory_maps(pid) == [
            ("0-0xff", "r-x", "[default]", 3, 2, 7, 1),
            ("0x1000-0x2000", "rw-", "[?]", 0, 0, 1, 0),
            ("0x7fff0000-0x7fff1000", "---", "[unknown]", 0, 0, 1, 0),
            ("0xffffffffffff0000-0xffffffffffffffff", "rwx", "/lib/x.so", 0, 0, 1, 0),
            ("0x3000-0x4000", "r--", "[vnode]", 0, 0, 1, 0),
            ("0x5000-0x6000", "r--", "[?]", 0, 0, 1, 0),
            ("0x5000-0x6000", "r--", "[?]", 0, 0, 1, 0),
            ("0x6000-0x7000", "-w-", "/" + "q" * 1023, 0, 0, 1, 0),
        ]

    def test_memory_maps_empty_and_failures(self, norvik, kernel):
        pid = os.getpid()
        key = f"kinfo_getvmmap.{pid}"
        kernel.answer(key, b"")
        assert norvik.proc_memory_maps(pid) == []
        kernel.fail(key, 0, on=CALL)
        with pytest.raises(RuntimeError, match=r"kinfo_getvmmap\(\) syscall failed"):
            norvik.proc_memory_maps(pid)
        kernel.fail(key, errno.EIO)
        with pytest.raises(OSError) as info:
            norvik.proc_memory_maps(pid)
        assert info.value.errno == errno.EIO and "kinfo_getvmmap()" in str(info.value)

    def test_open_files_and_count_from_records(self, norvik, kernel):
        pid = os.getpid()
        kernel.answer(f"kinfo_getfile.{pid}", b"".join([
            kinfo_file(KF_FD_TYPE_TEXT, kf_path=b"/bin/prog"),
            kinfo_file(KF_FD_TYPE_CWD, KF_TYPE_VNODE, KF_VTYPE_VDIR, b"/home"),
            kinfo_file(0, KF_TYPE_VNODE, KF_VTYPE_VCHR, b"/dev/null"),
            patch(pack(kinfo_file(1, KF_TYPE_SOCKET), 32, "<i", KF_VTYPE_VREG), 368, b"/looks/regular"),
            pack(kinfo_file(2, KF_TYPE_PIPE), 32, "<i", KF_VTYPE_VREG),
            kinfo_file(3, kf_path=b"/data/" + b"\xff.bin"),
            unterminated(kinfo_file(4), 368, 1024, b"r"),
        ]) + b"\0" * 100)  # a short tail is not a record
        assert norvik.proc_open_files(pid) == [
            ("/bin/prog", -5), ("/data/" + os.fsdecode(b"\xff.bin"), 3), ("/" + "r" * 1023, 4)]
        assert norvik.proc_num_fds(pid) == 7

    @pytest.mark.parametrize("fn", ["proc_open_files", "proc_num_fds"])
    def test_file_table_failures(self, norvik, kernel, fn):
        call = getattr(norvik, fn)
        with zombie() as pid:
            kernel.fail(f"kinfo_getfile.{pid}", 0, on=CALL)
            with pytest.raises(norvik.ZombieProcessError):
                call(pid)
            # An errno of the call's own wins over the process's state.
            kernel.fail(f"kinfo_getfile.{pid}", errno.EPERM)
            with pytest.raises(PermissionError) as info:
                call(pid)
            assert "kinfo_getfile()" in str(info.value)

    def test_memory_maps_of_zombie_with_errno_zero(self, norvik, kernel):
        with zombie() as pid:
            kernel.fail(f"kinfo_getvmmap.{pid}", 0, on=CALL)
            with pytest.raises(norvik.ZombieProcessError):
                norvik.proc_memory_maps(pid)

    def test_thread_records(self, norvik, kernel):
        pid = os.getpid()
        key = f"kern.proc.pid_td.{pid}"
        kernel.answer(key, kinfo_proc(pid, ki_tid=100200, ki_rusage={"ru_utime": (1, 500000), "ru_stime": (0, 250)})
                      + pack(kinfo_proc(pid, ki_rusage={"ru_utime": (3, 0), "ru_stime": (2, 999999)}), 600, "<i", -1)
                      + b"\0" * 100)
        assert norvik.proc_threads(pid) == [(100200, 1.5, 0.00025), (4294967295, 3.0, 2.999999)]
        kernel.answer(key, b"\0" * 100)
        assert norvik.proc_threads(pid) == []
        kernel.answer(key, b"")
        with pytest.raises(ProcessLookupError, match=r"sysctl \(size = 0\)"):
            norvik.proc_threads(pid)
