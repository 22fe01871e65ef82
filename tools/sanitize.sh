#!/bin/sh
# Builds the scripted module and the C++ tests with AddressSanitizer and
# UBSan (any UBSan finding stops the run) and runs both test suites under it.
# The interpreter is not instrumented, so the ASan runtime is preloaded into
# it; leak detection stays off there (the interpreter keeps its own memory to
# the end), and the tests take the preload back out of what they hand to the
# tools they run.
#   sanitize.sh BUILD_DIR [PYTEST_ARGS...]
set -eu
build=$1
shift
PYTHON=${PYTHON:-python3}
interp=$("$PYTHON" -c 'import sys; print(sys.executable)')
cmake -S . -B "$build" -DPython3_EXECUTABLE="$interp" -DNORVIK_WERROR=ON -DNORVIK_BUILD_TESTS=ON -DNORVIK_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j 2
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
suppressions=$PWD/tools/lsan-python.supp
(cd "$build" && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$suppressions:print_suppressions=0 ctest --output-on-failure)
runtime=$(${CXX:-g++} -print-file-name=libasan.so)
echo "[sanitize] Python tests with $runtime preloaded"
ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$runtime" NORVIK_SANITIZE=1 NORVIK_BUILD_DIR="$(cd "$build" && pwd)" \
    "$PYTHON" -m pytest -q -p no:cacheprovider tests/python "$@"
