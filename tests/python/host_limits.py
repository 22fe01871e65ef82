"""Running one call in a forked child under a limit of the host: a given
number of free descriptors under RLIMIT_NOFILE, or RLIMIT_AS just above the
address space the child already uses. The outcome comes back as
("ok", value) or ("raised", class name, errno, message, is_oserror)."""
import os
import pickle
import resource


def fill_descriptors(free):
    """Lowers the soft descriptor limit close to the descriptors in use, then
    takes every free number below it but `free` of them. Returns the numbers
    taken and the limits to put back."""
    saved = resource.getrlimit(resource.RLIMIT_NOFILE)
    highest = max(int(fd) for fd in os.listdir("/proc/self/fd"))
    resource.setrlimit(resource.RLIMIT_NOFILE, (highest + 32, saved[1]))
    taken = []
    try:
        while True:
            taken.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
    # The lowest free number is the one the next open gets: freeing the
    # highest keeps the others in use.
    for _ in range(free):
        os.close(taken.pop())
    return taken, saved


def vm_size_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmSize")


def outcome_of(call):
    try:
        return ("ok", call())
    except BaseException as exc:  # reported to the parent
        return ("raised", type(exc).__name__, getattr(exc, "errno", None), str(exc), isinstance(exc, OSError))


def run_limited(call, free_fds=None, address_space_slack=None):
    """Calls call() in a forked child with `free_fds` free descriptors, or
    with RLIMIT_AS at the address space in use plus `address_space_slack`
    bytes. The limit is lifted before the outcome is pickled."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            if free_fds is not None:
                taken, saved = fill_descriptors(free_fds)
                outcome = outcome_of(call)
                for fd in taken:
                    os.close(fd)
                resource.setrlimit(resource.RLIMIT_NOFILE, saved)
            else:
                saved = resource.getrlimit(resource.RLIMIT_AS)
                resource.setrlimit(resource.RLIMIT_AS, (vm_size_bytes() + address_space_slack, saved[1]))
                outcome = outcome_of(call)
                resource.setrlimit(resource.RLIMIT_AS, saved)
            try:
                data = pickle.dumps(outcome)
            except Exception as exc:  # an answer that can't be sent still reports
                data = pickle.dumps(("raised", "PicklingError", None, str(exc), False))
            view = memoryview(data)
            while view:
                view = view[os.write(write_end, view):]
        finally:
            os._exit(0)
    os.close(write_end)
    data = b""
    while chunk := os.read(read_end, 1 << 16):
        data += chunk
    os.close(read_end)
    os.waitpid(pid, 0)
    assert data, "the child died without an outcome"
    return pickle.loads(data)
