#!/bin/sh
# Configures the CMake build for the python3 the make targets use.
#   configure.sh BUILD_DIR   (NORVIK_TESTS=OFF skips the test builds;
#   NORVIK_BUILD_TYPE sets CMAKE_BUILD_TYPE, RelWithDebInfo by default; CXX,
#   read by CMake when it first configures BUILD_DIR, picks the compiler)
set -eu
build=$1
PYTHON=${PYTHON:-python3}
interp=$("$PYTHON" -c 'import sys; print(sys.executable)')
generator=""
if command -v ninja >/dev/null 2>&1; then generator="-G Ninja"; fi
if [ -f "$build/CMakeCache.txt" ]; then generator=""; fi
tests=${NORVIK_TESTS:-ON}
if [ "$tests" = "OFF" ] && [ -f "$build/CMakeCache.txt" ]; then
    # Keep whatever a test build configured; the release module is built either way.
    tests=$(sed -n 's/^NORVIK_BUILD_TESTS:BOOL=//p' "$build/CMakeCache.txt")
fi
build_type=""
if [ -n "${NORVIK_BUILD_TYPE:-}" ]; then build_type="-DCMAKE_BUILD_TYPE=$NORVIK_BUILD_TYPE"; fi
cmake -S . -B "$build" $generator -DPython3_EXECUTABLE="$interp" -DNORVIK_WERROR=ON -DNORVIK_BUILD_TESTS="${tests:-OFF}" \
    $build_type >/dev/null
