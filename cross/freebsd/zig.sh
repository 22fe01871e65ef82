#!/bin/sh
# Prints the command that runs zig 0.15.2 (PyPI's ziglang wheel), installing
# the wheel first when no interpreter path has it. 0.15.2 is pinned: its
# FreeBSD headers are 14.3's, while later wheels carry FreeBSD 15's.
#   zig.sh   (PYTHON picks the interpreter; NORVIK_ZIG_DIR the install folder)
set -eu
version=0.15.2
PYTHON=${PYTHON:-python3}
dir=${NORVIK_ZIG_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/norvik/ziglang-$version}
has_zig() {
    PYTHONPATH=$1 "$PYTHON" -c "import sys, importlib.metadata as m, ziglang
sys.exit(m.version('ziglang') != '$version')" 2>/dev/null
}
if has_zig ""; then
    echo "$PYTHON -m ziglang"
    exit 0
fi
if ! has_zig "$dir"; then
    echo "[freebsd] installing ziglang $version from PyPI into $dir" >&2
    if ! "$PYTHON" -m pip --version >/dev/null 2>&1; then
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq >&2 && apt-get install -y -qq python3-pip >/dev/null
    fi
    # A folder of its own: a Debian-managed interpreter accepts --target.
    "$PYTHON" -m pip install -q --disable-pip-version-check --target "$dir" "ziglang==$version" >&2
    has_zig "$dir" || { echo "[freebsd] ziglang $version did not install" >&2; exit 1; }
fi
echo "env PYTHONPATH=$dir $PYTHON -m ziglang"
