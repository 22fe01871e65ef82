#!/bin/sh
# Installs what a build or test run needs, only when it is missing.
#   ensure-deps.sh LABEL DEBIAN_PACKAGE... [-- PYPI_PACKAGE...]
set -eu
label=$1
shift
missing=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    dpkg -s "$1" >/dev/null 2>&1 || missing="$missing $1"
    shift
done
[ $# -gt 0 ] && shift
if ! command -v cmake >/dev/null 2>&1; then missing="$missing cmake"; fi
if [ -n "$missing" ]; then
    echo "[$label] installing Debian packages:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq $missing >/dev/null
fi
PYTHON=${PYTHON:-python3}
if ! "$PYTHON" -c 'import sysconfig, os, sys; sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)'; then
    echo "[$label] installing the Python development headers"
    apt-get update -qq
    apt-get install -y -qq python3-dev >/dev/null
fi
for pkg in "$@"; do
    # NAME, or NAME==VERSION for a tool whose exact version matters.
    name=${pkg%%==*}
    have="import $name"
    if [ "$name" != "$pkg" ]; then
        have="import importlib.metadata as m, sys; sys.exit(m.version('$name') != '${pkg#*==}')"
    fi
    if ! "$PYTHON" -c "$have" >/dev/null 2>&1; then
        echo "[$label] installing $pkg from PyPI"
        if ! "$PYTHON" -m pip install -q "$pkg"; then
            # A Debian-managed interpreter refuses pip: take Debian's package.
            echo "[$label] installing python3-$name from Debian instead"
            apt-get update -qq
            apt-get install -y -qq "python3-$name" >/dev/null
        fi
    fi
done
