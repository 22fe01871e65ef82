#!/bin/sh
# make wheels: the two binary wheels of every CPython from 3.9 up found here
# (tools/find-python.sh, as make pythons finds them; and, when the sid root of
# tools/sid-root.sh exists, its 3.14 and 3.15), into DIST, each checked.
#   - Linux: `pip wheel .`, as a user builds it here. Its platform tag is
#     linux_x86_64: it is for machines like the one that built it (same or
#     newer glibc and libstdc++), not a manylinux wheel.
#   - FreeBSD 14.3 amd64: the same scikit-build-core build over
#     cross/freebsd/toolchain.cmake (the CMake build `make freebsd` checks),
#     tagged as FreeBSD's CPython of the staged headers' version would tag a
#     wheel it built: sysconfig.get_platform() there is
#     freebsd-14.3-release-amd64.
# Both builds fetch scikit-build-core from PyPI (pip's build isolation).
#   wheels.sh DIST BUILD_DIR             every interpreter found
#   wheels.sh --one DIST BUILD_DIR       only PYTHON's two wheels
set -eu
one=0
if [ "${1:-}" = "--one" ]; then
    one=1
    shift
fi
dist=$1
build=$2
PYTHON=${PYTHON:-python3}
export PYTHON
# scikit-build-core's build runs as many jobs as this says (ninja: all cores and more).
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export CMAKE_BUILD_PARALLEL_LEVEL
mkdir -p "$dist" "$build"
dist=$(cd "$dist" && pwd)
build=$(cd "$build" && pwd)

if [ "$one" -eq 0 ]; then
    cd "$(dirname "$0")/.."
    rm -f "$dist"/norvik_bsd-*.whl
    seen=""
    made=""
    for version in 3.9 3.10 3.11 3.12 3.13 3.14 3.15; do
        interp=$(sh tools/find-python.sh "$version") || { echo "[wheels] CPython $version: not on this machine, skipped"; continue; }
        exe=$("$interp" -c 'import os, sys; print(os.path.realpath(sys.executable))')
        case " $seen " in *" $exe "*) continue ;; esac
        seen="$seen $exe"
        start=$(date +%s)
        PYTHON=$interp sh tools/wheels.sh --one "$dist" "$build/py$version"
        echo "[wheels] CPython $version: $(( $(date +%s) - start ))s" >&2
        made="$made $version"
    done
    root=$(sh tools/sid-root.sh path)
    if [ "${NORVIK_SID:-1}" != "0" ] && [ -x "$root/usr/bin/apt-get" ]; then
        for exe in python3.14 python3.15; do
            venv=/opt/norvik/venv-$exe
            [ -x "$root$venv/bin/python" ] || { echo "[wheels] ${exe#python}: no venv in the sid root, skipped"; continue; }
            start=$(date +%s)
            sh tools/sid-root.sh run env PYTHON="$venv/bin/python" sh tools/wheels.sh --one "$dist" "$build/sid-$exe"
            echo "[wheels] CPython ${exe#python} (sid root): $(( $(date +%s) - start ))s" >&2
            made="$made ${exe#python}"
        done
    fi
    [ -n "$made" ] || { echo "[wheels] no CPython 3.9 or later found" >&2; exit 1; }
    echo "[wheels] $(cd "$dist" && ls norvik_bsd-*.whl | wc -l | tr -d ' ') wheels in $dist, for CPython$made"
    exit 0
fi

# One interpreter's two wheels: built into a folder of their own, checked
# there with that interpreter (whose tags the check expects), then moved.
out=$build/dist
rm -rf "$out"
mkdir -p "$out"
pip_wheel() {
    "$PYTHON" -m pip wheel --disable-pip-version-check --no-deps -q -w "$out" "$@" . >"$log" 2>&1 \
        || { cat "$log" >&2; echo "[wheels] pip wheel failed (log: $log)" >&2; exit 1; }
}

log=$build/linux-wheel.log
pip_wheel
echo "[wheels] Linux: $(cd "$out" && ls norvik_bsd-*.whl)"

stage=$build/freebsd-stage
sh cross/freebsd/stage.sh "$stage"
# The interpreter and ABI tags of the CPython whose headers are staged.
tag=$("$PYTHON" -c 'import sys, sysconfig
v = "%d%d" % sys.version_info[:2]
abi = "cp" + v + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "") + ("d" if sysconfig.get_config_var("Py_DEBUG") else "")
print("cp%s-%s-freebsd_14_3_release_amd64" % (v, abi))')
log=$build/freebsd-wheel.log
before=$(cd "$out" && ls)
pip_wheel --config-settings=wheel.tags="$tag" --config-settings=build-dir="$build/freebsd" \
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cross/freebsd/toolchain.cmake" \
    --config-settings=cmake.define.NORVIK_FREEBSD_STAGE="$stage" --config-settings=cmake.define.NORVIK_WERROR=ON
echo "[wheels] FreeBSD: $(cd "$out" && ls | grep -v -x -F "$before")"

"$PYTHON" tools/check_wheels.py "$out" --freebsd-python "$(cat "$stage/python-version")"
mv "$out"/norvik_bsd-*.whl "$dist"/
