"""A few processes in detail (this one and two children it starts): command line, executable, working directory,
threads, open files and the largest memory mappings."""
import os

TITLE = "Process details"


def shorten(text, width=70):
    return text if len(text) <= width else text[: width - 3] + "..."


# A child with a few threads, an open file and a mapped file, started by
# the demo so that it shows processes of its own making.
CHILD = """
import mmap, os, sys, threading
f = open(sys.executable, "rb")
m = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)
stop = threading.Event()
for _ in range(3):
    threading.Thread(target=stop.wait, daemon=True).start()
print("ready", flush=True)
sys.stdin.read()
"""


def start_children():
    import subprocess
    import sys

    worker = subprocess.Popen([sys.executable, "-c", CHILD, "demo worker"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, cwd="/tmp")
    worker.stdout.readline()
    sleeper = subprocess.Popen(["/bin/sleep", "30"], cwd="/")
    return [worker, sleeper]


def show_one(norvik, pid):
    print(f"pid {pid}")
    try:
        cmdline = norvik.proc_cmdline(pid)
        print(f"  command line      {shorten(' '.join(repr(a) if (not a or ' ' in a) else a for a in cmdline))}")
        print(f"  executable        {norvik.proc_exe(pid) or '(none)'}")
        print(f"  working directory {norvik.proc_cwd(pid) or '(unknown)'}")
        threads = norvik.proc_threads(pid)
        busiest = max(threads, key=lambda t: t[1] + t[2])
        print(f"  threads           {len(threads)} (busiest {busiest[0]}: "
              f"{busiest[1]:.2f}s user, {busiest[2]:.2f}s system)")
        files = norvik.proc_open_files(pid)
        print(f"  descriptors       {norvik.proc_num_fds(pid)} table records, {len(files)} regular files")
        for path, fd in files[:5]:
            label = "text" if fd == -5 else f"fd {fd}"
            print(f"    {label:>7}  {shorten(path, 60)}")
        if len(files) > 5:
            print(f"    ... and {len(files) - 5} more")
        maps = norvik.proc_memory_maps(pid)
        page = norvik.getpagesize()
        print(f"  mappings          {len(maps)}; the largest resident:")
        for addr, perms, path, resident, private, refs, shadows in sorted(maps, key=lambda m: -m[3])[:4]:
            print(f"    {resident * page // 1024:>8} KiB {perms} {addr:<33} {shorten(path, 40)}")
        environ = norvik.proc_environ(pid)
        print(f"  environment       {len(environ)} variables"
              + (f", PATH={shorten(environ['PATH'], 50)}" if "PATH" in environ else ""))
    except Exception as exc:  # a process may end while it is shown
        print(f"  ({type(exc).__name__}: {exc})")


def show(norvik):
    children = start_children()
    try:
        for pid in [os.getpid()] + [c.pid for c in children]:
            show_one(norvik, pid)
    finally:
        for child in children:
            child.kill()
            child.wait()
            if child.stdout is not None:
                child.stdout.close()
            if child.stdin is not None:
                child.stdin.close()
