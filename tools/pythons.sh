#!/bin/sh
# Builds the module and runs the Python tests with every CPython from 3.9 to
# 3.13 found on this machine (on PATH as python3.X, or installed by pyenv),
# each in its own build folder; a version that is absent is named, not hidden.
# The interpreter of the main build reuses that build.
#   pythons.sh MAIN_BUILD_DIR   (PYTHON: the main build's interpreter)
set -eu
main=$1
PYTHON=${PYTHON:-python3}
main_exe=$("$PYTHON" -c 'import os, sys; print(os.path.realpath(sys.executable))')
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
passed=""
absent=""
for version in 3.9 3.10 3.11 3.12 3.13; do
    interp=""
    for candidate in $(command -v "python$version" || true) "$pyenv_root"/versions/"$version".*/bin/python"$version"; do
        if [ -x "$candidate" ] && "$candidate" -c 'import sys; sys.exit(0)' 2>/dev/null; then
            interp=$candidate
            break
        fi
    done
    if [ -z "$interp" ]; then
        echo "[pythons] CPython $version: not on this machine, skipped"
        absent="$absent $version"
        continue
    fi
    exe=$("$interp" -c 'import os, sys; print(os.path.realpath(sys.executable))')
    build=$main/py$version
    if [ "$exe" = "$main_exe" ]; then build=$main; fi
    echo "[pythons] CPython $version: $interp, build $build"
    make --no-print-directory build PYTHON="$interp" BUILD="$build" >"$main/py$version.log" 2>&1 \
        || { tail -30 "$main/py$version.log" >&2; echo "[pythons] CPython $version: build FAILED" >&2; exit 1; }
    NORVIK_BUILD_DIR=$(cd "$build" && pwd) "$interp" -m pytest -q -p no:cacheprovider tests/python
    passed="$passed $version"
done
echo "[pythons] passed:${passed:- none}; absent:${absent:- none}"
