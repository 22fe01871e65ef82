#!/bin/sh
# make wheels: the two binary wheels, into DIST, then their check.
#   - Linux: `pip wheel .`, as a user builds it here.
#   - FreeBSD 14.3 amd64: the same scikit-build-core build over
#     cross/freebsd/toolchain.cmake (the CMake build `make freebsd` checks),
#     tagged as FreeBSD's CPython of the staged headers' version would tag a
#     wheel it built: sysconfig.get_platform() there is
#     freebsd-14.3-release-amd64.
# Both builds fetch scikit-build-core from PyPI (pip's build isolation).
#   wheels.sh DIST BUILD_DIR   (PYTHON: the interpreter of both wheels)
set -eu
dist=$1
build=$2
PYTHON=${PYTHON:-python3}
export PYTHON
mkdir -p "$dist" "$build"
dist=$(cd "$dist" && pwd)
build=$(cd "$build" && pwd)
rm -f "$dist"/norvik_bsd-*.whl
pip_wheel() {
    "$PYTHON" -m pip wheel --disable-pip-version-check --no-deps -q -w "$dist" "$@" . >"$log" 2>&1 \
        || { cat "$log" >&2; echo "[wheels] pip wheel failed (log: $log)" >&2; exit 1; }
}

log=$build/linux-wheel.log
pip_wheel
echo "[wheels] Linux: $(cd "$dist" && ls norvik_bsd-*.whl)"

stage=$build/freebsd-stage
sh cross/freebsd/stage.sh "$stage"
# The interpreter and ABI tags of the CPython whose headers are staged.
tag=$("$PYTHON" -c 'import sys, sysconfig
v = "%d%d" % sys.version_info[:2]
abi = "cp" + v + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "") + ("d" if sysconfig.get_config_var("Py_DEBUG") else "")
print("cp%s-%s-freebsd_14_3_release_amd64" % (v, abi))')
log=$build/freebsd-wheel.log
before=$(cd "$dist" && ls)
pip_wheel -C wheel.tags="$tag" -C build-dir="$build/freebsd" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cross/freebsd/toolchain.cmake" \
    -C cmake.define.NORVIK_FREEBSD_STAGE="$stage" -C cmake.define.NORVIK_WERROR=ON
echo "[wheels] FreeBSD: $(cd "$dist" && ls | grep -v -x -F "$before")"

"$PYTHON" tools/check_wheels.py "$dist" --freebsd-python "$(cat "$stage/python-version")"
