"""procmon's tests, as a project that uses _norvik_bsd writes them: each
FreeBSD state through the freebsd_kernel fixture of norvik_bsd_testing."""
import errno

import pytest

import procmon
from norvik_bsd_testing import ALWAYS, socket_records, system_records
from norvik_bsd_testing.proc_records import kinfo_file


def by_pid(rows):
    return {proc.pid: proc for proc in rows}


def user_pids():
    """The processes listed, but proc0 (the kernel), which every FreeBSD table holds."""
    return [proc.pid for proc in procmon.processes() if proc.pid != 0]


def test_a_scripted_machine(freebsd_kernel):
    freebsd_kernel.process(1, argv=["/sbin/init"], ki_ppid=0)
    freebsd_kernel.process(812, argv=["/usr/sbin/sshd", "-D"], ki_uid=0, ki_stat=3,
                           files=[kinfo_file(0, kf_path="/dev/null"), kinfo_file(3, kf_path="/var/log/auth.log")])
    rows = by_pid(procmon.processes())
    assert sorted(rows) == [0, 1, 812]
    assert (rows[0].name, rows[0].cmdline) == ("kernel", [])
    sshd = rows[812]
    assert (sshd.ppid, sshd.name, sshd.state, sshd.cmdline) == (1, "sshd", "sleeping", ["/usr/sbin/sshd", "-D"])
    assert sshd.open_files == 5  # the text, the working and root directories, descriptors 0 and 3


def test_process_that_exits_between_the_table_and_its_questions(freebsd_kernel):
    freebsd_kernel.process(100, argv=["stays"])
    freebsd_kernel.process(200, argv=["leaves"]).vanish(after="pids")
    assert user_pids() == [100]


@pytest.mark.parametrize("when", [None, "proc_oneshot_info", "proc_cmdline"])
def test_zombie(freebsd_kernel, when):
    """Already a zombie, or one that exits after the first or second question."""
    freebsd_kernel.process(300, argv=["worker", "--once"]).become_zombie(after=when, status=1 << 8)
    (proc,) = [proc for proc in procmon.processes() if proc.pid == 300]
    # A zombie keeps its arguments; its descriptors are gone.
    assert (proc.state, proc.cmdline, proc.open_files) == ("zombie", ["worker", "--once"], None)


def test_refusals(freebsd_kernel):
    freebsd_kernel.process(400, argv=["secret"], ki_uid=1001)
    freebsd_kernel.fail("kern.proc.args.400", errno.EPERM)
    freebsd_kernel.fail("kinfo_getfile.400", errno.EPERM)
    (proc,) = [proc for proc in procmon.processes() if proc.pid == 400]
    assert (proc.cmdline, proc.open_files) == (None, None)
    freebsd_kernel.fail("kern.proc.proc.0", errno.EPERM, times=1)
    with pytest.raises(PermissionError):
        procmon.processes()
    assert user_pids() == [400]  # only once


def test_table_that_grew_between_the_size_and_the_read(freebsd_kernel):
    freebsd_kernel.process(500)
    freebsd_kernel.grow("kern.proc.proc.0", times=3)
    assert user_pids() == [500]
    assert freebsd_kernel.count("kern.proc.proc.0", "size") == 4
    freebsd_kernel.grow("kern.proc.proc.0", times=ALWAYS)
    with pytest.raises(RuntimeError, match="retry limit"):
        procmon.processes()


def test_ten_thousand_sockets(freebsd_kernel):
    sockets = [0xFFFFF80000000000 + 0x400 * i for i in range(10_000)]
    states = [4 if i % 5 else 1 for i in range(10_000)]  # ESTABLISHED, and a LISTEN in five
    freebsd_kernel.answer("kern.file", [socket_records.xfile(1000 + i % 300, 3 + i, so)
                                        for i, so in enumerate(sockets)])
    freebsd_kernel.answer("net.inet.tcp.pcblist", socket_records.pcblist(
        socket_records.tcpcb(so, 1024 + i % 60000, 443 if state == 4 else 0, state=state)
        for i, (so, state) in enumerate(zip(sockets, states))))
    freebsd_kernel.answer("net.inet.udp.pcblist", socket_records.pcblist([]))
    assert procmon.connections_by_state() == {"ESTABLISHED": 8000, "LISTEN": 2000}


def test_a_machine_with_256_cpus(freebsd_kernel):
    rows = [(10 * cpu, 0, 5, 1, 100_000) for cpu in range(256)]
    rows[200] = (90_000, 0, 9_000, 100, 1_000)
    freebsd_kernel.answer("hw.ncpu", system_records.int32(256))
    freebsd_kernel.answer("kern.cp_times", system_records.cp_times(rows))
    freebsd_kernel.answer("kern.clockrate", system_records.clockinfo())
    assert procmon.busiest_cpu() == 200
