"""A few processes in detail (this one and two children it starts): command line, executable, working directory,
threads, open files and the largest memory mappings."""
import os

from units import cut, human

TITLE = "Process details"

# The kernel's special records of a descriptor table, by their negative
# descriptor numbers (KF_FD_TYPE_*).
SPECIAL = {-1: "cwd", -2: "root", -3: "jail", -4: "trace", -5: "text", -6: "ctty"}


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
        print(f"  command line      {cut(' '.join(repr(a) if (not a or ' ' in a) else a for a in cmdline), 70)}")
        print(f"  executable        {norvik.proc_exe(pid) or '(none)'}")
        print(f"  working directory {norvik.proc_cwd(pid) or '(unknown)'}")
        threads = norvik.proc_threads(pid)
        busiest = max(threads, key=lambda t: t[1] + t[2])
        print(f"  threads           {len(threads)} (busiest: thread {busiest[0]}, "
              f"{busiest[1]:.2f} s user, {busiest[2]:.2f} s system CPU time)")
        files = norvik.proc_open_files(pid)
        print(f"  descriptor table  {norvik.proc_num_fds(pid)} records (descriptors, and the kernel's records"
              f" of the working directory, root, executable...)")
        print(f"  open regular files {len(files)}:")
        for path, fd in files[:5]:
            label = SPECIAL.get(fd, f"fd {fd}")
            print(f"    {label:>7}  {cut(path, 60) or '(deleted)'}")
        if len(files) > 5:
            print(f"    ... and {len(files) - 5} more")
        maps = norvik.proc_memory_maps(pid)
        page = norvik.getpagesize()
        print(f"  memory mappings   {len(maps)}; the four with the most resident memory:")
        print(f"    {'RESIDENT':>10} {'ACCESS':<6} {'ADDRESSES':<33} MAPPED")
        for addr, perms, path, resident, private, refs, shadows in sorted(maps, key=lambda m: -m[3])[:4]:
            print(f"    {human(resident * page):>10} {perms:<6} {addr:<33} {cut(path, 40) or '(none)'}")
        environ = norvik.proc_environ(pid)
        print(f"  environment       {len(environ)} variables"
              + (f", PATH={cut(environ['PATH'], 50)}" if "PATH" in environ else ""))
    # What a user meets while looking at a process: it ends, it is a zombie
    # (its tables are gone, its record stays), or it is not ours to read.
    except ProcessLookupError:
        print("  (the process has ended)")
    except norvik.ZombieProcessError:
        print("  (a zombie: it has ended and waits for its parent)")
    except PermissionError as exc:
        print(f"  (not allowed: {exc.strerror})")


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
