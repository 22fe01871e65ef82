"""Writes the pyconfig.h a FreeBSD build of the module reads, from a Linux
interpreter's one.

- Debian's interpreters install a multiarch wrapper as pyconfig.h, which picks
  the real header by the target's triplet and stops with "unknown multiarch
  location" for any target that is not Linux: the x86_64 Linux header it names
  is taken instead (the same sizes as FreeBSD amd64's: LP64, 4-byte wchar_t).
- The feature-test macros CPython's configure defines on Linux (_XOPEN_SOURCE,
  _POSIX_C_SOURCE, _GNU_SOURCE, ...) are dropped however they are indented:
  configure never defines them on FreeBSD, and under them FreeBSD's headers
  hide the BSD names the module uses (u_int, u_char, sig_t).

    python3 pyconfig.py PYCONFIG_H OUT
"""

import os
import re
import sys

FEATURE_MACROS = (
    "_XOPEN_SOURCE", "_XOPEN_SOURCE_EXTENDED", "_POSIX_C_SOURCE", "_POSIX_SOURCE",
    "_GNU_SOURCE", "_DARWIN_C_SOURCE", "_NETBSD_SOURCE", "_BSD_SOURCE",
    "_DEFAULT_SOURCE", "__BSD_VISIBLE",
)
DEFINE = re.compile(r"^[ \t]*#[ \t]*define[ \t]+(%s)\b" % "|".join(FEATURE_MACROS))
# The wrapper's branch for x86_64 LP64: `#  include <x86_64-linux-gnu/python3.X/pyconfig.h>`.
MULTIARCH = re.compile(r"^[ \t]*#[ \t]*include[ \t]*<(x86_64-linux-gnu/[^>]*/pyconfig\.h)>", re.M)


def real_header(path):
    """The header that holds the definitions: PATH itself, or the x86_64
    Linux header a multiarch wrapper at PATH names."""
    with open(path) as f:
        text = f.read()
    found = MULTIARCH.search(text)
    if not found:
        return path, text
    # The wrapper is INCLUDE/pythonX.Y/pyconfig.h and names INCLUDE/TRIPLET/...
    include = os.path.dirname(os.path.dirname(os.path.abspath(path)))
    target = os.path.join(include, found.group(1))
    if not os.path.isfile(target):
        sys.exit("pyconfig.py: %s names %s, which is not there" % (path, target))
    with open(target) as f:
        return target, f.read()


def for_freebsd(text):
    return "".join(line for line in text.splitlines(True) if not DEFINE.match(line))


def main():
    source, out = sys.argv[1:]
    _, text = real_header(source)
    with open(out, "w") as f:
        f.write(for_freebsd(text))


if __name__ == "__main__":
    main()
