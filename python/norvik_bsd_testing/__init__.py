"""A scripted FreeBSD kernel under _norvik_bsd, for the tests of code that uses it.

The package holds a second build of the module: the same sources over a
scripted overlay of the kernel interface, so that every function behaves
as the product does wherever nothing is scripted, and answers what a test
scripts wherever something is. Use it through the pytest fixture
`freebsd_kernel` or the context manager scripted_kernel(); both put the
scripted build in sys.modules["_norvik_bsd"] for their duration. See
docs/testing.md.
"""
import contextlib
import glob
import importlib.machinery
import importlib.util
import os
import sys
from typing import Any, Iterator, Optional

from . import net_records, proc_records, socket_records, storage_records, system_records
from ._control import CALL, READ, SIZE, WRITE, ScriptError
from ._layout import RecordError
from .kernel import ALWAYS, CTTY_DEV, SLACK, Kernel, Process, kernel_size

__all__ = ["ALWAYS", "CALL", "CTTY_DEV", "READ", "SIZE", "WRITE", "Kernel", "Process", "RecordError", "ScriptError", "SLACK", "kernel_size",
           "module_path", "scripted_kernel", "scripted_module", "net_records", "proc_records",
           "socket_records", "storage_records", "system_records"]

# A source checkout's build points here at the scripted build it made.
MODULE_ENV = "NORVIK_BSD_TESTING_MODULE"
_module: Optional[Any] = None
_kernel: Optional[Kernel] = None
_MISSING: Any = object()


def module_path() -> str:
    """The scripted build's file: the one installed in this package, or the
    one NORVIK_BSD_TESTING_MODULE names (a file or the folder holding it)."""
    where = os.environ.get(MODULE_ENV) or os.path.dirname(os.path.abspath(__file__))
    if os.path.isfile(where):
        return where
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        found = glob.glob(os.path.join(glob.escape(where), "_norvik_bsd" + suffix))
        if found:
            return found[0]
    raise ImportError(f"no scripted build of _norvik_bsd for this interpreter in {where}")


def scripted_module() -> Any:
    """The scripted build, loaded once per process under the name
    _norvik_bsd (but not registered in sys.modules)."""
    global _module
    if _module is None:
        path = module_path()
        loaded = sys.modules.get("_norvik_bsd")
        if loaded is not None and os.path.realpath(getattr(loaded, "__file__", "")) == os.path.realpath(path):
            _module = loaded
        else:
            found = importlib.util.spec_from_file_location("_norvik_bsd", path)
            assert found is not None and found.loader is not None
            module = importlib.util.module_from_spec(found)
            found.loader.exec_module(module)
            # Loading a single-phase module registers it; what was there stays.
            if loaded is None:
                sys.modules.pop("_norvik_bsd", None)
            else:
                sys.modules["_norvik_bsd"] = loaded
            _module = module
    return _module


def _shared_kernel() -> Kernel:
    """The scripted kernel of scripted_module() (one per process: the
    overlay's state is the shared object's)."""
    global _kernel
    if _kernel is None:
        _kernel = Kernel(scripted_module())
    return _kernel


@contextlib.contextmanager
def scripted_kernel() -> Iterator[Kernel]:
    """The scripted build in place of _norvik_bsd in sys.modules, over a
    clean kernel, until the block ends; then the kernel is reset and
    whatever sys.modules held before is back. Code that bound _norvik_bsd
    to a name before the block keeps what it bound."""
    k = _shared_kernel()
    saved = sys.modules.get("_norvik_bsd", _MISSING)
    k.reset()
    sys.modules["_norvik_bsd"] = k.module
    try:
        yield k
    finally:
        k.reset()
        if saved is _MISSING:
            sys.modules.pop("_norvik_bsd", None)
        else:
            sys.modules["_norvik_bsd"] = saved
