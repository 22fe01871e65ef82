"""Memory, swap and the allocator: live against /proc/meminfo, free, swapon
and the allocator itself (glibc, or jemalloc preloaded); scripted for the
failures."""
import errno
import os
import shutil
import subprocess
import uuid

import pytest

from conftest import SANITIZED, run_python
from norvik_bsd_testing import RecordError
from norvik_bsd_testing import system_records as sy

PAGE = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20
JEMALLOC = "/usr/lib/x86_64-linux-gnu/libjemalloc.so.2"


def meminfo():
    with open("/proc/meminfo") as f:
        return {line.split(":")[0]: int(line.split()[1]) * 1024 for line in f}


def free_b():
    out = subprocess.run(["free", "-b"], capture_output=True, text=True, check=True).stdout.splitlines()
    head = out[0].split()
    row = out[1].split()[1:]
    return dict(zip(head, (int(x) for x in row)))


# ---- virtual memory ------------------------------------------------------------

def test_memory_figures_are_the_hosts(norvik):
    total, free, active, inactive, wired, cached, buffers, shared = norvik.virtual_mem()
    info = meminfo()
    assert total == info["MemTotal"] == free_b()["total"]
    assert cached == 0
    slack = 64 * MIB  # what other processes may change between the reads
    assert abs(free - info["MemFree"]) < slack
    assert abs(active - info["Active"]) < slack
    assert abs(inactive - info["Inactive"]) < slack
    assert abs(buffers - info["Buffers"]) < slack
    wired_host = sum(info.get(k, 0) for k in ("SUnreclaim", "KernelStack", "PageTables", "Unevictable"))
    assert abs(wired - wired_host) < slack
    assert free + active + inactive + wired <= total
    for value in (free, active, inactive, wired):
        assert value % PAGE == 0


def test_tmpfs_memory_is_not_shared_memory(norvik):
    """FreeBSD's shared figures count objects shared copy-on-write after
    fork and leave tmpfs and shared memory objects out: 192 MiB written to a
    file in /dev/shm grows the host's Shmem (free's "shared"), not ours."""
    path = f"/dev/shm/norvik-sysmetrics-{uuid.uuid4().hex}"
    before, host_before = norvik.virtual_mem()[7], meminfo()["Shmem"]
    try:
        with open(path, "wb") as f:
            f.write(b"\1" * (192 * MIB))
        during, host_during = norvik.virtual_mem()[7], meminfo()["Shmem"]
    finally:
        os.unlink(path)
    assert host_during - host_before > 176 * MIB  # the host did count it
    assert during == before


@pytest.mark.parametrize("key, err", [
    ("hw.physmem", errno.EIO), ("vm.stats.vm.v_wire_count", errno.EACCES),
    ("vm.stats.vm.v_free_count", errno.ENOENT), ("vfs.bufspace", errno.EPERM),
])
def test_a_failed_memory_read_raises_its_oserror(norvik, kernel, key, err):
    kernel.fail(key, err)
    with pytest.raises(OSError) as info:
        norvik.virtual_mem()
    assert info.value.errno == err and key in str(info.value)


def test_cache_count_is_optional_and_totals_fail_with_their_own_origin(norvik, kernel):
    kernel.answer("vm.stats.vm.v_free_count", sy.uint32(3))
    kernel.answer("vm.stats.vm.v_cache_count", sy.uint32(5))
    kernel.answer("vfs.bufspace", sy.int64(12345))
    kernel.answer("hw.physmem", sy.uint64(1 << 40))
    kernel.answer("vm.vmtotal", sy.vmtotal(t_vmshr=7, t_rmshr=11))
    total, free, _, _, _, cached, buffers, shared = norvik.virtual_mem()
    assert (total, free, cached, buffers, shared) == (1 << 40, 3 * PAGE, 5 * PAGE, 12345, 18 * PAGE)
    kernel.fail("vm.stats.vm.v_cache_count", errno.ENOENT)
    assert norvik.virtual_mem()[5] == 0
    kernel.fail("vm.vmtotal", errno.EFAULT)
    with pytest.raises(OSError) as info:
        norvik.virtual_mem()
    assert info.value.errno == errno.EFAULT and "sysctl(CTL_VM | VM_METER)" in str(info.value)


# ---- swap -----------------------------------------------------------------------

def proc_swaps_bytes():
    with open("/proc/swaps") as f:
        rows = [line.split() for line in f.readlines()[1:] if line.strip()]
    return sum(int(r[2]) for r in rows) * 1024, sum(int(r[3]) for r in rows) * 1024


def vmstat():
    with open("/proc/vmstat") as f:
        return {k: int(v) for k, v in (line.split() for line in f)}


def test_swap_is_the_hosts(norvik):
    before = vmstat()
    total, used, free, swap_ops, vnode_ops = norvik.swap_mem()
    after = vmstat()
    assert (total, used) == proc_swaps_bytes()
    assert free == total - used
    shown = subprocess.run(["swapon", "--show=SIZE", "--bytes", "--noheadings"], capture_output=True,
                           text=True, check=True).stdout.split()
    assert total == sum(int(x) for x in shown)
    low = 0xFFFFFFFF
    assert (before["pswpin"] + before["pswpout"]) & low <= swap_ops <= (after["pswpin"] + after["pswpout"]) & low
    pages = lambda v: (v["pgpgin"] * 1024 // PAGE + v["pgpgout"] * 1024 // PAGE) & low
    assert pages(before) <= vnode_ops <= pages(after)


@pytest.mark.parametrize("devices", [
    [],                                           # no swap: the summary alone, all zero
    [("ada0p3", 512, 2048)],
    [("ada0p3", 512, 2048), ("md0", 3, 100000)],  # the module asks for the summary alone
])
def test_scripted_swap_is_the_summary_of_its_devices(norvik, kernel, devices):
    kernel.answer("kvm_getswapinfo", sy.swap_table(devices))
    kernel.answer("vm.stats.vm.v_swapin", sy.uint32(7))
    kernel.answer("vm.stats.vm.v_swapout", sy.uint32(0xFFFFFFFF))  # the sum wraps at 32 bits
    used = sum(d[1] for d in devices) * PAGE
    total = sum(d[2] for d in devices) * PAGE
    assert norvik.swap_mem()[:4] == (total, used, total - used, 6)


def test_swap_records_are_ones_the_kernel_could_give():
    for bad in (dict(devname="x" * 32), dict(used=2, total=1), dict(total=1 << 32)):
        with pytest.raises(RecordError):
            sy.kvm_swap(**bad)


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("mkswap"), reason="needs root and mkswap")
def test_a_new_swap_file_adds_its_size(norvik):
    path = f"/var/tmp/norvik-sysmetrics-{uuid.uuid4().hex}.swap"
    size = 24 * MIB
    base = norvik.swap_mem()[0]
    try:
        with open(path, "wb") as f:
            f.write(b"\0" * size)
        os.chmod(path, 0o600)
        subprocess.run(["mkswap", path], capture_output=True, check=True)
        if subprocess.run(["swapon", path], capture_output=True).returncode != 0:
            pytest.skip("the kernel refuses swap files here")
        try:
            total, used, free, _, _ = norvik.swap_mem()
            assert (total, used) == proc_swaps_bytes()
            assert size - 2 * PAGE <= total - base <= size  # the header page is not swap
        finally:
            subprocess.run(["swapoff", path], capture_output=True)
    finally:
        os.unlink(path)
    assert norvik.swap_mem()[0] == base


def test_pager_sums_wrap_in_32_bits(norvik, kernel):
    for name, value in (("v_swapin", 0xFFFFFFFF), ("v_swapout", 2), ("v_vnodein", 40), ("v_vnodeout", 2)):
        kernel.answer(f"vm.stats.vm.{name}", sy.uint32(value))
    assert norvik.swap_mem()[3:] == (1, 42)


def test_kvm_failures_are_runtime_errors(norvik, kernel, capfd):
    kernel.fail("kvm_open", errno.EACCES)
    with pytest.raises(RuntimeError, match=r"^kvm_open\(\) syscall failed$"):
        norvik.swap_mem()
    assert "kvm_open failed: " in capfd.readouterr().err
    kernel.reset()
    kernel.fail("kvm_getswapinfo", errno.EIO)
    with pytest.raises(RuntimeError, match=r"^kvm_getswapinfo\(\) syscall failed$"):
        norvik.swap_mem()
    kernel.reset()
    kernel.fail("vm.stats.vm.v_vnodeout", errno.EIO)
    with pytest.raises(OSError):
        norvik.swap_mem()


# ---- the allocator ----------------------------------------------------------------

ALLOCATION_CHECK = r"""
import ctypes, _norvik_bsd as m
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
MIB = 1 << 20
a0, m0 = m.heap_info()
# 64 MiB in blocks of 4 KiB: heap memory the allocator keeps for itself.
# Their addresses sit in an array made first, outside the heap they fill,
# and they are freed from the last, so the heap can shrink behind them.
blocks = (ctypes.c_void_p * 16384)()
for i in range(16384):
    blocks[i] = libc.malloc(4096)
    ctypes.memset(blocks[i], 1, 4096)
a1, m1 = m.heap_info()
for i in reversed(range(16384)):
    libc.free(blocks[i])
m.heap_trim()
a2, m2 = m.heap_info()
assert a0 <= m0 and a1 <= m1 and a2 <= m2, (a0, m0, a1, m1, a2, m2)
assert a1 - a0 >= 64 * MIB, (a0, a1)
assert a1 - a2 >= 60 * MIB, (a1, a2)
assert m1 - m2 >= 32 * MIB, (m1, m2)
print("ok", hasattr(libc, "mallctl"))
"""


# Under the sanitizer run the allocator is the sanitizer's own: neither glibc's
# figures nor a preloaded jemalloc answer for it.
allocator_is_real = pytest.mark.skipif(SANITIZED, reason="the sanitizer replaces the allocator")


@allocator_is_real
@pytest.mark.parametrize("preload", [None, JEMALLOC])
def test_allocation_shows_and_trimming_returns_memory(preload):
    if preload and not os.path.exists(preload):
        pytest.skip("libjemalloc2 is not installed")
    done = run_python(ALLOCATION_CHECK, env_extra={"LD_PRELOAD": preload} if preload else {})
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ok", str(bool(preload))]


@allocator_is_real
def test_under_jemalloc_the_figures_are_jemallocs_own():
    if not os.path.exists(JEMALLOC):
        pytest.skip("libjemalloc2 is not installed")
    code = ("import ctypes, _norvik_bsd as m\n"
            "lib = ctypes.CDLL(None)\n"
            "def get(name):\n"
            "    v = ctypes.c_uint64(); n = ctypes.c_size_t(8)\n"
            "    assert lib.mallctl(name, ctypes.byref(v), ctypes.byref(n), None, 0) == 0\n"
            "    return v.value\n"
            "a, mapped = m.heap_info()\n"
            "print(a == get(b'stats.allocated'), mapped == get(b'stats.mapped'))\n")
    done = run_python(code, env_extra={"LD_PRELOAD": JEMALLOC})
    assert done.stdout.split() == ["True", "True"], done.stderr


@pytest.mark.parametrize("name, skip, message", [
    ("thread.tcache.flush", 0, "mallctl('thread.tcache.flush')"),
    ("epoch", 0, "mallctl('epoch')"),
    ("epoch", 1, "mallctl('epoch') update"),
    ("stats.allocated", 0, "mallctl('stats.allocated')"),
    ("stats.mapped", 0, "mallctl('stats.mapped')"),
])
def test_each_allocator_step_reports_its_own_failure(norvik, kernel, name, skip, message):
    """The allocator returns its error number and leaves errno alone: the
    exception carries the returned number."""
    kernel.fail(f"mallctl.{name}", errno.EXDEV, times=1, after=skip, on="call")
    with pytest.raises(OSError) as info:
        norvik.heap_info()
    assert info.value.errno == errno.EXDEV
    assert str(info.value).endswith(f"(originated from {message})")


def test_a_thread_without_a_cache_still_reads_the_figures(norvik, kernel):
    """The allocator answers EFAULT to a flush when the thread has no cache
    (jemalloc with tcache:false): there is nothing to flush, and the figures
    are read all the same. Any other refusal of the flush still raises."""
    kernel.fail("mallctl.thread.tcache.flush", errno.EFAULT)
    allocated, mapped = norvik.heap_info()
    # The sanitizer's allocator answers glibc's figures with zeros.
    assert (0 <= allocated if SANITIZED else 0 < allocated) and allocated <= mapped
    assert kernel.count("mallctl.thread.tcache.flush", 3) >= 1
    kernel.fail("mallctl.thread.tcache.flush", errno.EPERM)
    with pytest.raises(OSError) as info:
        norvik.heap_info()
    assert info.value.errno == errno.EPERM


NO_CACHE_CHECK = r"""
import ctypes, _norvik_bsd as m
lib = ctypes.CDLL(None)
flush = lib.mallctl(b"thread.tcache.flush", None, None, None, 0) if hasattr(lib, "mallctl") else None
allocated, mapped = m.heap_info()
print(flush, 0 < allocated <= mapped)
"""


@allocator_is_real
@pytest.mark.parametrize("env, flush", [
    ({"LD_PRELOAD": JEMALLOC, "MALLOC_CONF": "tcache:false"}, "14"),  # jemalloc's own EFAULT
    ({"GLIBC_TUNABLES": "glibc.malloc.tcache_count=0"}, "None"),       # glibc without its cache
    ({"GLIBC_TUNABLES": "glibc.malloc.tcache_count=0:glibc.malloc.tcache_count=7"}, "None"),
], ids=["jemalloc", "glibc", "glibc-cache-back-on"])
def test_heap_info_in_a_process_whose_threads_have_no_cache(env, flush):
    if "LD_PRELOAD" in env and not os.path.exists(JEMALLOC):
        pytest.skip("libjemalloc2 is not installed")
    done = run_python(NO_CACHE_CHECK, env_extra=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [flush, "True"]


def test_a_refused_purge_is_an_oserror(norvik, kernel):
    assert norvik.heap_trim() is None
    kernel.fail("mallctl.arena.4096.purge", errno.EFAULT)
    with pytest.raises(OSError) as info:
        norvik.heap_trim()
    assert info.value.errno == errno.EFAULT
