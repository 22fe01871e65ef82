"""A process's command line, environment, executable and working directory:
live against children in known states, with /proc and os.readlink as the
oracles; scripted for the answers this machine can't give."""
import errno
import os
import shutil
import sys

import pytest

from norvik_bsd_testing.proc_records import P_INMEM, P_SYSTEM, kinfo_file, kinfo_proc, KF_FD_TYPE_CWD, KF_FD_TYPE_ROOT, \
    KF_TYPE_VNODE, KF_VTYPE_VDIR
from malformed_records import unterminated
from norvik_bsd_testing import CALL
from norvik_bsd_testing.system_records import int32
from proc_children import Child, as_nobody, gone_pid, kernel_thread_pid, zombie

NOT_UTF8 = b"caf\xe9\xff"


def proc_environ_oracle(pid):
    with open(f"/proc/{pid}/environ", "rb") as f:
        entries = [e for e in f.read().split(b"\0") if e]
    result = {}
    for entry in entries:
        if b"=" in entry:
            key, value = entry.split(b"=", 1)
            result[os.fsdecode(key)] = os.fsdecode(value)
    return result


# A child whose environment is exactly the entries given: execve through
# ctypes, since os.execve refuses names that begin with '='.
EXEC_WITH_ENV = """
import ctypes
entries = {entries!r}
libc = ctypes.CDLL(None, use_errno=True)
argv = (ctypes.c_char_p * 3)(b"/bin/sleep", b"600", None)
envp = (ctypes.c_char_p * (len(entries) + 1))(*entries, None)
libc.execve(b"/bin/sleep", argv, envp)
raise SystemExit("execve failed")
"""


def wait_for_exec(pid, argv0):
    """Until the new program's argument area is in place: the executable's
    link changes a little before the kernel sets up the argument area."""
    import time

    want = os.fsencode(argv0) + b"\0"
    for _ in range(2000):
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            if f.read().startswith(want):
                return
        time.sleep(0.002)
    raise AssertionError(f"{pid} did not start {argv0}")


@pytest.fixture
def env_child():
    import subprocess

    def start(entries):
        proc = subprocess.Popen([sys.executable, "-c", EXEC_WITH_ENV.format(entries=entries)])
        started.append(proc)
        wait_for_exec(proc.pid, "/bin/sleep")
        return proc.pid

    started = []
    yield start
    for proc in started:
        proc.kill()
        proc.wait()


class TestLive:
    def test_cmdline_keeps_empty_and_undecodable_arguments(self, norvik):
        extra = ["", os.fsdecode(NOT_UTF8), "two words", "-"]
        with Child(argv_extra=extra) as child:
            got = norvik.proc_cmdline(child.pid)
            with open(f"/proc/{child.pid}/cmdline", "rb") as f:
                oracle = [os.fsdecode(a) for a in f.read().split(b"\0")[:-1]]
        assert got == oracle
        assert got[-4:] == extra
        assert os.fsencode(got[-3]) == NOT_UTF8

    def test_environ_entries_split_at_first_equals(self, norvik, env_child):
        pid = env_child([b"A=B=C", b"=starts", b"NOEQUALS", b"V=" + NOT_UTF8, b"DUP=1", b"DUP=2", b"EMPTY="])
        got = norvik.proc_environ(pid)
        assert got == {"A": "B=C", "": "starts", "V": os.fsdecode(NOT_UTF8), "DUP": "2", "EMPTY": ""}
        assert got == proc_environ_oracle(pid)

    def test_environ_name_not_utf8_is_decoded(self, norvik, env_child):
        # A name that is not UTF-8 comes through surrogate escapes, as values
        # do: the rest of the environment is not lost for it.
        pid = env_child([b"OK=1", NOT_UTF8 + b"=x"])
        assert norvik.proc_environ(pid) == {"OK": "1", os.fsdecode(NOT_UTF8): "x"}

    def test_environ_of_own_process(self, norvik):
        assert norvik.proc_environ(os.getpid()) == proc_environ_oracle(os.getpid())

    def test_exe_and_cwd(self, norvik, tmp_path):
        workdir = tmp_path / "work dir"
        workdir.mkdir()
        with Child(cwd=workdir) as child:
            assert norvik.proc_cwd(child.pid) == os.readlink(f"/proc/{child.pid}/cwd") == str(workdir)
            assert norvik.proc_exe(child.pid) == os.readlink(f"/proc/{child.pid}/exe")
            assert norvik.proc_exe(child.pid) == os.path.realpath(sys.executable)

    def test_cwd_of_4095_bytes_is_not_cut(self, norvik, tmp_path):
        # Deeper than FreeBSD's path limit: the kernel cannot name it, and the
        # answer is empty rather than the front of the path.
        parts = []
        length = len(str(tmp_path))
        while length < 4095 - 200:
            parts.append("d" * 200)
            length += 201
        parts.append("e" * (4095 - length - 1))
        setup = "for part in sys.argv[1:]:\n    os.makedirs(part, exist_ok=True); os.chdir(part)\nreport = os.getcwd()"
        with Child(setup=setup, argv_extra=parts, cwd=tmp_path) as child:
            assert len(os.fsencode(child.report)) == 4095
            assert norvik.proc_cwd(child.pid) == ""
            assert norvik.proc_cmdline(child.pid)[3:] == parts

    def test_exe_of_4095_bytes_is_not_cut(self, norvik, tmp_path):
        import subprocess

        deep = str(tmp_path)
        while len(deep) < 4095 - 200 - 10:
            deep = os.path.join(deep, "d" * 200)
        deep = os.path.join(deep, "e" * (4095 - len(deep) - 1 - len("/sleep")))
        os.makedirs(deep)
        exe = os.path.join(deep, "sleep")
        shutil.copy("/bin/sleep", exe)
        assert len(exe) == 4095
        proc = subprocess.Popen([exe, "600"])
        try:
            wait_for_exec(proc.pid, exe)
            assert os.readlink(f"/proc/{proc.pid}/exe") == exe
            assert norvik.proc_exe(proc.pid) == ""
            assert norvik.proc_cmdline(proc.pid) == [exe, "600"]
            assert (exe, -5) not in norvik.proc_open_files(proc.pid)
        finally:
            proc.kill()
            proc.wait()

    def test_zombie(self, norvik):
        with zombie() as pid:
            # Its arguments: see the scripted test (FreeBSD keeps them, this
            # host does not).
            assert norvik.proc_exe(pid) == ""  # its text is gone, the process is not
            for fn in (norvik.proc_cwd, norvik.proc_environ):
                with pytest.raises(ProcessLookupError):
                    fn(pid)

    def test_kernel_thread(self, norvik):
        pid = kernel_thread_pid()
        assert norvik.proc_cmdline(pid) == []
        assert norvik.proc_exe(pid) == ""
        assert norvik.proc_environ(pid) == {}
        assert norvik.proc_cwd(pid) == os.readlink(f"/proc/{pid}/cwd")

    def test_gone_pid(self, norvik):
        pid = gone_pid()
        for fn in (norvik.proc_cmdline, norvik.proc_exe, norvik.proc_cwd, norvik.proc_environ):
            with pytest.raises(OSError) as info:
                fn(pid)
            assert info.value.errno == errno.ESRCH, fn

    def test_pid_arguments_out_of_range(self, norvik):
        for fn in (norvik.proc_cmdline, norvik.proc_exe, norvik.proc_cwd):
            with pytest.raises(OverflowError):
                fn(2**31)
        with pytest.raises(OverflowError):
            norvik.proc_environ(2**63)
        # A long pid is never cut down to the int pid of another process.
        with pytest.raises(ProcessLookupError):
            norvik.proc_environ(2**32 + os.getpid())
        with pytest.raises(ProcessLookupError):
            norvik.proc_environ(-(2**32) + os.getpid())
        for fn in (norvik.proc_cmdline, norvik.proc_environ):
            with pytest.raises(ProcessLookupError):
                fn(-1)
        # As FreeBSD's kernel does, the path node names the caller for -1.
        assert norvik.proc_exe(-1) == os.path.realpath(sys.executable)
        with pytest.raises(RuntimeError):
            norvik.proc_cwd(-1)  # refused by the record lookup

    def test_process_of_user_nobody(self, norvik):
        import subprocess

        proc = subprocess.Popen(["/bin/sleep", "600"], env={"WHO": "nobody"}, cwd="/tmp",
                                preexec_fn=lambda: (os.setgid(65534), os.setuid(65534)))
        try:
            wait_for_exec(proc.pid, "/bin/sleep")
            assert os.stat(f"/proc/{proc.pid}").st_uid == 65534
            assert norvik.proc_environ(proc.pid) == {"WHO": "nobody"}
            assert norvik.proc_cwd(proc.pid) == "/tmp"
            assert norvik.proc_exe(proc.pid) == os.readlink(f"/proc/{proc.pid}/exe")
            assert norvik.proc_cmdline(proc.pid) == ["/bin/sleep", "600"]
        finally:
            proc.kill()
            proc.wait()

    def test_other_users_process_as_nobody(self, norvik):
        with Child(env={"SECRET": "1"}) as child:
            pid = child.pid
            # The argument area is public; the environment and working
            # directory of another user's process are not. (Its executable's
            # path is public on FreeBSD, hidden on this host: see the
            # scripted test.)
            assert as_nobody(lambda: norvik.proc_cmdline(pid)) == ("ok", child.argv)
            assert as_nobody(lambda: norvik.proc_environ(pid)) == ("raised", "PermissionError", errno.EACCES)
            assert as_nobody(lambda: norvik.proc_cwd(pid)) == ("raised", "PermissionError", errno.EPERM)


class TestScripted:
    def test_cmdline_areas(self, norvik, kernel):
        pid = os.getpid()
        key = f"kern.proc.args.{pid}"
        cases = [
            (b"", []),
            (b"a\0\0b\0", ["a", "", "b"]),
            (b"\0", [""]),
            (NOT_UTF8 + b"\0", [os.fsdecode(NOT_UTF8)]),
            # The last string is not terminated within the size: it ends there.
            (b"a\0unterminated", ["a", "unterminated"]),
            (b"x" * 5000, ["x" * 5000]),
        ]
        for area, expected in cases:
            kernel.answer(key, area)
            assert norvik.proc_cmdline(pid) == expected, area

    def test_zombie_keeps_its_saved_arguments(self, norvik, kernel):
        """FreeBSD keeps a process's saved arguments until it is reaped: a
        zombie's command line is its argv."""
        with zombie() as pid:
            kernel.answer(f"kern.proc.args.{pid}", b"python3\0-c\0import os; os._exit(0)\0")
            assert norvik.proc_is_zombie(pid) is True
            assert norvik.proc_cmdline(pid) == ["python3", "-c", "import os; os._exit(0)"]

    def test_exe_of_another_users_process(self, norvik, kernel):
        """FreeBSD names another user's executable to anyone who can see the
        process."""
        with Child() as child:
            kernel.answer(f"kern.proc.pathname.{child.pid}", os.fsencode(sys.executable) + b"\0")
            assert as_nobody(lambda: norvik.proc_exe(child.pid)) == ("ok", sys.executable)

    def test_cmdline_failure(self, norvik, kernel):
        kernel.fail(f"kern.proc.args.{os.getpid()}", errno.EPERM)
        with pytest.raises(PermissionError):
            norvik.proc_cmdline(os.getpid())

    def test_exe_answers(self, norvik, kernel):
        pid = os.getpid()
        key = f"kern.proc.pathname.{pid}"
        kernel.fail(key, errno.ENOENT)
        assert norvik.proc_exe(pid) == ""
        kernel.reset()
        kernel.fail(key, errno.EIO)
        with pytest.raises(OSError) as info:
            norvik.proc_exe(pid)
        assert info.value.errno == errno.EIO and "sysctl(KERN_PROC_PATHNAME)" in str(info.value)
        kernel.reset()
        # An empty answer for a live process is an unnamed executable.
        for empty in (b"", b"\0"):
            kernel.answer(key, empty)
            assert norvik.proc_exe(pid) == ""
        # A path filling the whole buffer without a NUL is read to the buffer's end only.
        kernel.answer(key, b"/" + b"p" * 1023)
        assert norvik.proc_exe(pid) == "/" + "p" * 1023

    def test_exe_empty_answer_for_gone_process(self, norvik, kernel):
        pid = gone_pid()
        kernel.answer(f"kern.proc.pathname.{pid}", b"")
        with pytest.raises(ProcessLookupError) as info:
            norvik.proc_exe(pid)
        assert "norvik_pid_exists -> 0" in str(info.value)

    def test_cwd_without_working_directory_record(self, norvik, kernel):
        pid = os.getpid()
        kernel.answer(f"kinfo_getfile.{pid}", kinfo_file(KF_FD_TYPE_ROOT, KF_TYPE_VNODE, KF_VTYPE_VDIR, b"/")
                      + kinfo_file(3, kf_path=b"/etc/passwd"))
        assert norvik.proc_cwd(pid) == ""

    def test_cwd_first_record_wins_and_path_is_bounded(self, norvik, kernel):
        pid = os.getpid()
        kernel.answer(f"kinfo_getfile.{pid}",
                      unterminated(kinfo_file(KF_FD_TYPE_CWD, KF_TYPE_VNODE, KF_VTYPE_VDIR), 368, 1024, b"c")
                      + kinfo_file(KF_FD_TYPE_CWD, KF_TYPE_VNODE, KF_VTYPE_VDIR, b"/second"))
        assert norvik.proc_cwd(pid) == "/" + "c" * 1023

    def test_cwd_failures_are_classified(self, norvik, kernel):
        pid = os.getpid()
        kernel.fail(f"kinfo_getfile.{pid}", 0, on=CALL)
        with pytest.raises(RuntimeError, match=r"kinfo_getfile\(\) syscall failed"):
            norvik.proc_cwd(pid)
        kernel.fail(f"kinfo_getfile.{pid}", errno.EIO)
        with pytest.raises(OSError) as info:
            norvik.proc_cwd(pid)
        assert info.value.errno == errno.EIO

    def test_environ_skipped_for_kernel_and_swapped_processes(self, norvik, kernel):
        pid = os.getpid()
        for flag in (P_INMEM | P_SYSTEM, 0, P_SYSTEM):
            kernel.reset()
            kernel.answer(f"kvm_getprocs.{pid}", kinfo_proc(pid, ki_flag=flag))
            assert norvik.proc_environ(pid) == {}
            assert kernel.count(f"kvm_getenvv.{pid}", 3) == 0

    @pytest.mark.parametrize("err, exc_class, exc_errno, text", [
        (0, None, None, None),
        (errno.EPERM, PermissionError, errno.EACCES, "kvm_getenvv -> EPERM"),
        (errno.ESRCH, ProcessLookupError, errno.ESRCH, "kvm_getenvv -> ESRCH"),
        (errno.ENOMEM, PermissionError, errno.EACCES, "kvm_getenvv(pid={pid}, ki_uid=4242) -> ENOMEM"),
        (errno.EIO, OSError, errno.EIO, "kvm_getenvv(pid={pid})"),
    ])
    def test_environ_failures(self, norvik, kernel, err, exc_class, exc_errno, text):
        pid = os.getpid()
        kernel.answer(f"kvm_getprocs.{pid}", kinfo_proc(pid, ki_uid=4242))
        kernel.fail(f"kvm_getenvv.{pid}", err, on=CALL)
        if exc_class is None:
            assert norvik.proc_environ(pid) == {}
            return
        with pytest.raises(exc_class) as info:
            norvik.proc_environ(pid)
        assert info.value.errno == exc_errno
        assert text.format(pid=pid) in str(info.value)

    def test_environ_process_lookup_failures(self, norvik, kernel):
        pid = os.getpid()
        key = f"kvm_getprocs.{pid}"
        kernel.fail(key, errno.ESRCH)
        with pytest.raises(ProcessLookupError, match="kvm_getprocs"):
            norvik.proc_environ(pid)
        kernel.reset()
        kernel.answer(key, b"")
        with pytest.raises(ProcessLookupError, match="cnt==0"):
            norvik.proc_environ(pid)
        kernel.answer(key, int32(-1))
        with pytest.raises(ProcessLookupError):
            norvik.proc_environ(pid)
        # A count with no records behind it is refused, never walked (the
        # sanitizer run saw the first record read past the empty array); the
        # library's EINVAL says nothing about the process.
        kernel.answer(key, int32(3))
        with pytest.raises(OSError, match="kvm_getprocs") as raised:
            norvik.proc_environ(pid)
        assert raised.value.errno == errno.EINVAL
        # A lookup that failed for want of a descriptor or of memory is no
        # process that has gone: the errno is passed on.
        for err in (errno.EMFILE, errno.ENOMEM, errno.EAGAIN):
            kernel.reset()
            kernel.fail(key, err)
            with pytest.raises(OSError, match="kvm_getprocs") as raised:
                norvik.proc_environ(pid)
            assert raised.value.errno == err

    def test_environ_kvm_open_failure(self, norvik, kernel):
        kernel.fail("kvm_openfiles", errno.EACCES)
        with pytest.raises(PermissionError):
            norvik.proc_environ(os.getpid())
        kernel.fail("kvm_openfiles", errno.EIO)
        with pytest.raises(RuntimeError, match="kvm_openfiles"):
            norvik.proc_environ(os.getpid())

    def test_environ_scripted_strings(self, norvik, kernel):
        pid = os.getpid()
        kernel.answer(f"kvm_getenvv.{pid}", b"A=B=C\0=x\0NOEQ\0A=second\0LAST=unterminated")
        assert norvik.proc_environ(pid) == {"A": "second", "": "x", "LAST": "unterminated"}

    def test_environ_names_that_are_not_utf8(self, norvik, kernel):
        """Any bytes but "=" make a variable's name: decoded as file names
        are, as its value is, so one such name loses no environment."""
        pid = os.getpid()
        kernel.answer(f"kvm_getenvv.{pid}", b"\xffNAME=\xfevalue\0PLAIN=1\0")
        assert norvik.proc_environ(pid) == {os.fsdecode(b"\xffNAME"): os.fsdecode(b"\xfevalue"), "PLAIN": "1"}

