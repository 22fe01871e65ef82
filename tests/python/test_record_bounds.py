"""Kernel records whose numbers or counts no sane kernel gives: each case is
one the fuzzers found reading outside an array or overflowing a product."""
import os

import pytest

from norvik_bsd_testing.proc_records import kinfo_proc, P_INMEM

PAGE = os.sysconf("SC_PAGE_SIZE")


def own_record(**fields):
    pid = os.getpid()
    return pid, kinfo_proc(ki_pid=pid, ki_tid=pid, ki_flag=P_INMEM, ki_stat=2, **fields)


# (field, tuple index of its byte count)
PAGE_COUNTS = [("ki_rssize", 18), ("ki_tsize", 20), ("ki_dsize", 21), ("ki_ssize", 22)]


@pytest.mark.parametrize("field,index", PAGE_COUNTS)
def test_page_counts_in_bytes_or_refused(norvik, kernel, field, index):
    pid, record = own_record(**{field: 3 << 30})
    kernel.answer(f"kern.proc.pid.{pid}", record)
    assert norvik.proc_oneshot_info(pid)[index] == (3 << 30) * PAGE
    # A count whose byte size no C long holds is refused, not wrapped.
    pid, record = own_record(**{field: 1 << 62})
    kernel.answer(f"kern.proc.pid.{pid}", record)
    with pytest.raises(OverflowError, match=field):
        norvik.proc_oneshot_info(pid)
