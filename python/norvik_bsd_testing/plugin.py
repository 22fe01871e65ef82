"""The pytest plugin of norvik_bsd_testing (entry point pytest11): the
fixture freebsd_kernel, the scripted build in place of _norvik_bsd for one
test."""
from typing import Iterator

import pytest

from . import Kernel, scripted_kernel


@pytest.fixture
def freebsd_kernel() -> Iterator[Kernel]:
    """The scripted kernel, clean before and after the test, with the
    scripted build as sys.modules["_norvik_bsd"] meanwhile."""
    with scripted_kernel() as k:
        yield k
