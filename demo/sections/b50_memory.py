"""Memory: physical memory by page queue, swap and paging, and this
process's allocator before and after giving unused memory back."""
import ctypes

from units import LINUX, host_figure, human

TITLE = "Memory"


def show(norvik):
    total, free, active, inactive, wired, cached, buffers, shared = norvik.virtual_mem()
    print(f"physical memory {human(total)}: free {human(free)}, active {human(active)}, inactive {human(inactive)}, "
          f"wired {human(wired)}")
    # cached is left out: FreeBSD has had no cache queue since 12, and 14
    # answers 0 for it, as the stand-in does.
    print(f"  buffers {human(buffers)}, shared {host_figure(shared, human)}")
    s_total, s_used, s_free, swap_ops, vnode_ops = norvik.swap_mem()
    if s_total:
        print(f"swap {human(s_total)}: used {human(s_used)} ({100 * s_used / s_total:.1f}%), free {human(s_free)}")
    else:
        print("swap: none configured")
    # FreeBSD counts pager operations (one may move several pages); the
    # host under the stand-in counts pages.
    unit = "pages" if LINUX else "operations"
    print(f"  pager activity since boot: swap in and out {swap_ops} {unit}, files in and out {vnode_ops} {unit}")

    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    blocks = (ctypes.c_void_p * 8192)()
    for i in range(len(blocks)):
        blocks[i] = libc.malloc(4096)
        ctypes.memset(blocks[i], 1, 4096)
    allocated, mapped = norvik.heap_info()
    print("this process's heap (its allocator's statistics):")
    print(f"  with 32 MiB the report allocated: allocated {human(allocated)}, mapped {human(mapped)}")
    for i in reversed(range(len(blocks))):
        libc.free(blocks[i])
    allocated, mapped = norvik.heap_info()
    print(f"  after freeing it:                 allocated {human(allocated)}, mapped {human(mapped)}")
    norvik.heap_trim()
    allocated, mapped = norvik.heap_info()
    print(f"  after giving unused memory back:  allocated {human(allocated)}, mapped {human(mapped)}")
