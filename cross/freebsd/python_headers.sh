#!/bin/sh
# Copies the interpreter's C headers into OUT/python-include with a
# pyconfig.h fit for FreeBSD: the host's one, without the feature-test macros
# (_XOPEN_SOURCE, _POSIX_C_SOURCE, ...) that CPython's configure never sets
# on FreeBSD and that would hide the BSD names the module uses.
#   python_headers.sh OUT
set -eu
out=$1/python-include
PYTHON=${PYTHON:-python3}
src=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
config=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_config_h_filename())')
rm -rf "$out.tmp"
mkdir -p "$out.tmp"
cp -R "$src"/. "$out.tmp"/
sed -E '/^#define (_XOPEN_SOURCE|_XOPEN_SOURCE_EXTENDED|_POSIX_C_SOURCE|_POSIX_SOURCE|_GNU_SOURCE|_DARWIN_C_SOURCE|_NETBSD_SOURCE|_BSD_SOURCE|_DEFAULT_SOURCE|__BSD_VISIBLE)([[:space:]]|$)/d' \
    "$config" >"$out.tmp/pyconfig.h"
rm -rf "$out"
mv "$out.tmp" "$out"
