#!/bin/sh
# Copies the interpreter's C headers into OUT/python-include with a
# pyconfig.h fit for FreeBSD (pyconfig.py beside this: the real header behind
# Debian's multiarch wrapper, without the feature-test macros that CPython's
# configure never sets on FreeBSD and that would hide the BSD names the
# module uses).
#   python_headers.sh OUT
set -eu
out=$1/python-include
PYTHON=${PYTHON:-python3}
src=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
config=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_config_h_filename())')
rm -rf "$out.tmp"
mkdir -p "$out.tmp"
# -L: a debug build's include folder holds links to the release headers.
cp -RL "$src"/. "$out.tmp"/
"$PYTHON" "$(dirname "$0")/pyconfig.py" "$config" "$out.tmp/pyconfig.h"
rm -rf "$out"
mv "$out.tmp" "$out"
