"""The module frame: the page size, and a kernel state read through the wrapper."""
import os

from run import Row


def rows(norvik):
    yield Row("getpagesize()", call=norvik.getpagesize, floor="sysconf_pagesize",
              by_hand=lambda: os.sysconf("SC_PAGESIZE"), calls=20000)
    yield Row("norvik_sysctlbyname('kern.argmax') [C++]", call_case="norvik_sysctlbyname_argmax",
              floor="sysctlbyname_argmax", calls=20000)
