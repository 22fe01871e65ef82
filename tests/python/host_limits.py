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


def _report(outcome):
    """The outcome's pickle, or a report that it could not be pickled."""
    try:
        return pickle.dumps(outcome)
    except Exception as exc:  # an answer that can't be sent still reports
        return pickle.dumps(("raised", "PicklingError", None, str(exc), False))


def _under_address_space_limit(call, slack):
    """call() under RLIMIT_AS at the address space in use plus `slack`; the
    limit is lifted before anything else is done with the outcome. An
    interpreter that runs out of memory while building the outcome itself
    reports MemoryError."""
    saved = resource.getrlimit(resource.RLIMIT_AS)
    try:
        resource.setrlimit(resource.RLIMIT_AS, (vm_size_bytes() + slack, saved[1]))
        try:
            return outcome_of(call)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, saved)
    except MemoryError:
        return ("raised", "MemoryError", None, "while reporting the outcome", False)


def describe_status(status):
    """How a child that sent no outcome ended."""
    if os.WIFSIGNALED(status):
        return f"killed by signal {os.WTERMSIG(status)}"
    return f"exit status {os.WEXITSTATUS(status)}"


def run_limited(call, free_fds=None, address_space_slack=None, cpu=None):
    """Calls call() in a forked child with `free_fds` free descriptors, or
    with RLIMIT_AS at the address space in use plus `address_space_slack`
    bytes; `cpu`, when given, is the one CPU the child may run on. The limit
    is lifted before the outcome is pickled. A child that ends without an
    outcome (a signal, the C library's exit 127) comes back as
    ("died", how)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            if cpu is not None:
                os.sched_setaffinity(0, {cpu})
            if free_fds is not None:
                taken, saved = fill_descriptors(free_fds)
                outcome = outcome_of(call)
                for fd in taken:
                    os.close(fd)
                resource.setrlimit(resource.RLIMIT_NOFILE, saved)
            else:
                outcome = _under_address_space_limit(call, address_space_slack)
            view = memoryview(_report(outcome))
            while view:
                view = view[os.write(write_end, view):]
        finally:
            os._exit(0)
    os.close(write_end)
    data = b""
    while chunk := os.read(read_end, 1 << 16):
        data += chunk
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    if not data:
        return ("died", describe_status(status))
    return pickle.loads(data)
