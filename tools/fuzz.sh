#!/bin/sh
# Builds the libFuzzer programs (fuzz/*_fuzz.cpp) with clang and runs each for
# a fixed number of inputs, starting from seeds of this machine's own answers.
#   fuzz.sh BUILD_DIR RUNS
set -eu
build=$1
runs=$2
PYTHON=${PYTHON:-python3}
interp=$("$PYTHON" -c 'import sys; print(sys.executable)')
CXX=${FUZZ_CXX:-clang++} cmake -S . -B "$build" -DPython3_EXECUTABLE="$interp" -DNORVIK_WERROR=ON -DNORVIK_BUILD_TESTS=OFF \
    -DNORVIK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for program in "$build"/fuzz/*_fuzz; do
    name=$(basename "$program")
    corpus=$build/fuzz/corpus/$name
    findings=$build/fuzz/findings/$name
    mkdir -p "$corpus" "$findings"
    start=$(date +%s)
    if NORVIK_FUZZ_SEEDS=$corpus "$program" -runs="$runs" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" >"$build/fuzz/$name.log" 2>&1; then
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/fuzz/$name.log")
        echo "[fuzz] $name: ${execs:-?} inputs in $(( $(date +%s) - start ))s, no finding"
    else
        echo "[fuzz] $name FAILED; its log: $build/fuzz/$name.log, inputs: $findings" >&2
        tail -40 "$build/fuzz/$name.log" >&2
        status=1
    fi
done
exit $status
