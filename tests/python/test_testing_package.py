"""norvik_bsd_testing holds to the kernel's rules: scripted answers meet the
size, retry and copy-out rules the host's answers meet, its builders refuse
records no FreeBSD kernel writes, and its fixture leaves sys.modules as it
found it."""
import errno
import os
import re
import sys

import pytest

import norvik_bsd_testing as nbt
from norvik_bsd_testing import RecordError, kernel_size, net_records, proc_records as pr, socket_records as sr
from norvik_bsd_testing import storage_records as st, system_records as sy

TABLE = "kern.proc.proc.0"


def procs(first, n):
    return [pr.kinfo_proc(first + i) for i in range(n)]


@pytest.mark.parametrize("grown, listed, sizes, reads", [
    (0, 10, 1, 1),
    (5, 15, 1, 1),     # within sysctl_kern_proc's five records of slack
    (6, None, 11, 10),  # past it: every read is short, ENOMEM, asked again, to the retry limit
])
def test_a_scripted_table_has_the_kernels_slack_and_short_reads(norvik, kernel, grown, listed, sizes, reads):
    """The size answer is that of ten processes; by the read the table holds
    `grown` more."""
    before = procs(100, 10)
    kernel.answer(TABLE, before + procs(200, grown), size=kernel_size(TABLE, b"".join(before)))
    if listed is None:
        with pytest.raises(RuntimeError, match=r"^sysctl\(\) buffer allocation retry limit exceeded$"):
            norvik.pids()
    else:
        assert len(norvik.pids()) == listed
    assert (kernel.count(TABLE, "size"), kernel.count(TABLE, "read")) == (sizes, reads)


def test_answer_sizes_as_freebsd_sizes_them():
    n = 40
    assert kernel_size(TABLE, b"".join(procs(1, n))) == (n + 5) * pr.KINFO_PROC_SIZE
    tcp = sr.pcblist(sr.tcpcb(0x10 + i, 80) for i in range(n))
    assert kernel_size("net.inet.tcp.pcblist", tcp) == 2 * sr.XINPGEN + (n + 10) * sr.XTCPCB
    assert kernel_size("net.inet.udp.pcblist", sr.pcblist(sr.udpcb(i, 53) for i in range(160))) == \
        2 * sr.XINPGEN + 180 * sr.XINPCB
    assert kernel_size("kern.cp_times", sy.cp_times([(1, 2, 3, 4, 5)] * 4)) == 4 * 40


def test_a_fixed_buffer_too_short_for_the_answer_is_enomem(norvik, kernel):
    kernel.answer("kern.boottime", sy.boottime((1765400000, 5)) + b"\0" * 8)
    with pytest.raises(OSError) as info:
        norvik.boot_time()
    assert info.value.errno == errno.ENOMEM
    kernel.answer("kern.boottime", sy.boottime((1765400000, 5)))
    assert norvik.boot_time() == 1765400000


def test_growth_and_failures_follow_the_read_loop(norvik, kernel):
    kernel.process(7)
    kernel.grow(TABLE, times=2)
    assert norvik.pids() == [0, 7]
    assert (kernel.count(TABLE, "size"), kernel.count(TABLE, "read")) == (3, 3)
    kernel.fail(TABLE, errno.EIO, times=1, after=1, on="size")
    kernel.grow(TABLE, times=1)
    with pytest.raises(OSError, match=r"malloc 2/3"):
        norvik.pids()
    with pytest.raises(nbt.ScriptError):
        kernel.fail(TABLE, 0)  # only a library call fails without an errno


REFUSED = {
    "kinfo_proc state": lambda: pr.kinfo_proc(5, ki_stat=9),
    "zombie with memory": lambda: pr.zombie(5, ki_rssize=10),
    "name without its NUL": lambda: pr.kinfo_proc(5, ki_comm="x" * 20),
    "17 groups": lambda: pr.kinfo_proc(5, ki_groups=list(range(17))),
    "unknown field": lambda: pr.kinfo_proc(5, ki_bogus=1),
    "usec of a second": lambda: pr.kinfo_proc(5, ki_start=(1, 1_000_000)),
    "int32 overflow": lambda: pr.kinfo_proc(5, ki_jid=2 ** 31),
    "fd below the special records": lambda: pr.kinfo_file(-7),
    "path of a pipe": lambda: pr.kinfo_file(3, pr.KF_TYPE_PIPE, kf_path="/x"),
    "path without room for its NUL": lambda: pr.kinfo_file(3, kf_path="/" * 1024),
    "two descriptors 3": lambda: pr.file_table([pr.kinfo_file(3), pr.kinfo_file(3)]),
    "special record among descriptors": lambda: pr.file_table([pr.cwd("/")]),
    "map entry not in pages": lambda: pr.kinfo_vmentry(0x1000, 0x1800),
    "map entry type": lambda: pr.kinfo_vmentry(0x1000, 0x2000, kve_type=10),
    "anonymous path": lambda: pr.kinfo_vmentry(0x1000, 0x2000, kve_path="/lib/x.so"),
    "more resident than pages": lambda: pr.kinfo_vmentry(0x1000, 0x2000, kve_resident=2),
    "thread ids twice": lambda: pr.threads(5, [{"ki_tid": 100001}, {"ki_tid": 100001}]),
    "no thread": lambda: pr.threads(5, []),
    "interface name of 16": lambda: net_records.ifinfo("x" * 16),
    "sa_len past the bytes": lambda: net_records.ifaddrs_record("em0", 1, b"\x20\x02"),
    "xinpgen of 48": lambda: sr.gen(48, 1),
    "TCP state 11": lambda: sr.tcpcb(1, 80, state=11),
    "no address family": lambda: sr.tcpcb(1, 80, vflag=0),
    "sun_path of 104": lambda: sr.unpcb(1, b"/" * 104),
    "fstype of 16": lambda: st.statfs("a", "/", "x" * 16),
    "utmpx type 9": lambda: st.utmpx(9),
    "mask past MAXCPU": lambda: sy.cpu_mask(1000, 30),
    "battery at 101%": lambda: sy.battery(101, 0, True),
}


@pytest.mark.parametrize("case", sorted(REFUSED))
def test_builders_refuse_what_no_kernel_writes(case):
    with pytest.raises((RecordError, TypeError)):
        REFUSED[case]()


@pytest.mark.parametrize("record, size", [
    (pr.kinfo_proc(1), pr.KINFO_PROC_SIZE), (pr.kinfo_file(0), pr.KINFO_FILE_SIZE),
    (pr.kinfo_vmentry(0x1000, 0x2000), pr.KINFO_VMENTRY_SIZE), (sr.xfile(1, 0, 1), sr.XFILE),
    (sr.tcpcb(1, 80), sr.XTCPCB), (sr.udpcb(1, 53), sr.XINPCB), (sr.unpcb(1), sr.XUNPCB),
    (st.statfs("a", "/", "ufs"), st.STATFS_SIZE), (st.devstat("ada", 0), st.DEVSTAT_SIZE),
    (st.utmpx(st.USER_PROCESS), st.UTMPX_SIZE), (sy.vmtotal(), 88), (sy.clockinfo(), 20),
])
def test_records_carry_their_size(record, size):
    """Each record is its structure's size and says so where it has a size field."""
    assert len(record) == size
    if size in (pr.KINFO_PROC_SIZE, pr.KINFO_FILE_SIZE, pr.KINFO_VMENTRY_SIZE):
        assert int.from_bytes(record[:4], "little") == size
    elif size in (sr.XFILE, sr.XTCPCB, sr.XINPCB, sr.XUNPCB):
        assert int.from_bytes(record[:8], "little") == size


def test_topology_masks_are_the_whole_cpu_set(norvik, kernel):
    text = sy.topology(256)
    masks = re.findall(rb'mask="([^"]*)"', text)
    assert masks and all(mask.count(b",") == sy.MAXCPU // 64 - 1 for mask in masks)
    assert text.endswith(b"</groups>\n\0")
    kernel.answer("kern.sched.topology_spec", text)
    assert norvik.cpu_topology() == text[:-1].decode()


def test_changes_between_calls(norvik, kernel):
    proc = kernel.process(11)
    proc.vanish(after="pids", calls=2)
    assert norvik.pids() == [0, 11] and norvik.pids() == [0, 11]
    assert norvik.pids() == [0]  # proc0, the kernel, is always listed
    with pytest.raises(ProcessLookupError):
        norvik.proc_name(11)
    with pytest.raises(ValueError):
        kernel.after_call("no_such_function", lambda: None)


def test_the_context_manager_swaps_the_module_and_cleans_up(norvik):
    before = sys.modules.get("_norvik_bsd")
    marker = object()
    sys.modules["_norvik_bsd"] = marker
    try:
        with nbt.scripted_kernel() as k:
            assert sys.modules["_norvik_bsd"] is k.module is nbt.scripted_module()
            k.answer("hw.ncpu", sy.int32(256))
            assert k.module.cpu_count_logical() == 256
        assert sys.modules["_norvik_bsd"] is marker
        assert norvik.cpu_count_logical() == os.cpu_count()  # the script went with the block
    finally:
        sys.modules["_norvik_bsd"] = before


def test_both_distributions_have_one_version():
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    versions = []
    for path in ("pyproject.toml", os.path.join("testing", "pyproject.toml")):
        with open(os.path.join(here, path)) as f:
            versions.append(re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1))
    with open(os.path.join(here, "testing", "pyproject.toml")) as f:
        assert f'"norvik-bsd=={versions[0]}"' in f.read()
    assert versions[0] == versions[1]


def test_the_package_is_typed():
    api = pytest.importorskip("mypy.api")
    package = os.path.dirname(nbt.__file__)
    assert os.path.isfile(os.path.join(package, "py.typed"))
    out, err, status = api.run(["--strict", "--no-incremental", "--cache-dir", os.devnull, package])
    assert status == 0, out + err


def test_a_scripted_process_answers_every_table_alike(norvik, kernel):
    proc = kernel.process(4242, argv=["/usr/local/bin/app", "-v"], ctty="/dev/pts/1", cwd="/srv",
                          environ={"LANG": "C"}, files=[pr.kinfo_file(3, kf_path="/var/log/app.log")],
                          threads=[{}, {"ki_rusage": {"ru_utime": 1.5}}], ki_uid=1001)
    assert norvik.pids() == [0, 4242]
    assert (norvik.proc_name(4242), norvik.proc_cmdline(4242), norvik.proc_exe(4242), norvik.proc_cwd(4242)) == \
        ("app", ["/usr/local/bin/app", "-v"], "/usr/local/bin/app", "/srv")
    assert norvik.proc_open_files(4242) == [("/usr/local/bin/app", -5), ("/var/log/app.log", 3)]
    assert norvik.proc_num_fds(4242) == 5  # text, terminal, working and root directories, 3
    assert norvik.proc_threads(4242) == [(104242, 0.0, 0.0), (104243, 1.5, 0.0)]
    assert norvik.proc_num_threads(4242) == 2
    assert norvik.proc_environ(4242) == {"LANG": "C"}
    info = norvik.proc_oneshot_info(4242)
    assert (info[3], info[8]) == (1001, nbt.CTTY_DEV)
    assert norvik.proc_memory_maps(4242)[0][2] == "/usr/local/bin/app"
    proc.become_zombie()
    assert norvik.proc_oneshot_info(4242)[1] == pr.SZOMB and norvik.pids() == [0, 4242]
    assert norvik.proc_cmdline(4242) == ["/usr/local/bin/app", "-v"]  # p_args outlive the exit
    for fn in (norvik.proc_cwd, norvik.proc_memory_maps, norvik.proc_environ):
        with pytest.raises(ProcessLookupError):
            fn(4242)
