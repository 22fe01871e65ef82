#!/bin/sh
# The C++ tests, stubtest and the Python tests with every CPython the module
# supports, each in its own build folder:
#   - 3.9 to 3.13 found on this machine (on PATH as python3.X, or installed
#     by pyenv; tools/find-python.sh);
#   - from a Debian sid root (tools/sid-root.sh makes it when missing, reuses
#     it otherwise): 3.14 built with GCC and again with clang, 3.15, and the
#     3.14 debug build (its own headers, Debug configuration so that CPython's
#     asserts stay on; the reference-count tests run there and a
#     ResourceWarning fails the run).
# An interpreter that can't be had is named and skipped, never hidden. The
# interpreter of the main build reuses that build. Each one's time goes to
# standard error.
#   pythons.sh MAIN_BUILD_DIR       (PYTHON: the main build's interpreter)
#   NORVIK_SID=0 leaves the sid root out; NORVIK_SID_ONLY="3.15 3.14-debug"
#   runs only those of its builds ("extras": pip install . and the wheels).
# Inside the root, tools/sid-root.sh runs: pythons.sh --in-sid-root MAIN_BUILD_DIR
set -eu
cd "$(dirname "$0")/.."
in_root=0
if [ "${1:-}" = "--in-sid-root" ]; then
    in_root=1
    shift
fi
mkdir -p "$1"
main=$(cd "$1" && pwd)
PYTHON=${PYTHON:-python3}
passed=""
absent=""
failed=""

# run_one LABEL INTERP BUILD [VAR=VALUE...]: build, then the C++ tests,
# stubtest and the Python tests; the variables go to the build (CXX,
# NORVIK_BUILD_TYPE) and to pytest (NORVIK_PYTEST_ARGS).
run_one() {
    label=$1 interp=$2 build=$3
    shift 3
    start=$(date +%s)
    log=$main/$(echo "$label" | tr -c 'A-Za-z0-9.\n' '-').log
    echo "[pythons] CPython $label: $interp, build $build"
    if ! env "$@" make --no-print-directory build PYTHON="$interp" BUILD="$build" >"$log" 2>&1; then
        tail -30 "$log" >&2
        echo "[pythons] CPython $label: build FAILED (log: $log)" >&2
        failed="$failed $label"
        return 0
    fi
    pytest_args=$(env "$@" sh -c 'echo "${NORVIK_PYTEST_ARGS:-}"')
    status=0
    (cd "$build" && ctest --output-on-failure >"$log.ctest" 2>&1) \
        || { cat "$log.ctest" >&2; status=1; }
    grep -E 'tests passed|tests failed' "$log.ctest" | sed "s/^/[pythons] CPython $label ctest: /" || true
    if "$interp" -c 'import mypy.stubtest' 2>/dev/null; then
        PYTHON=$interp sh tools/stubtest.sh "$build" >"$log.stubtest" 2>&1 \
            || { cat "$log.stubtest" >&2; status=1; }
    else
        # mypy 1.20 no longer runs on the oldest interpreters.
        echo "[pythons] CPython $label: no mypy for this interpreter, stubtest skipped"
    fi
    # shellcheck disable=SC2086
    NORVIK_BUILD_DIR=$build "$interp" -m pytest -q -p no:cacheprovider $pytest_args tests/python || status=1
    echo "[pythons] CPython $label: $(( $(date +%s) - start ))s" >&2
    if [ "$status" -eq 0 ]; then passed="$passed $label"; else failed="$failed $label"; fi
}

summary() {
    echo "[pythons] $1 passed:${passed:- none}; skipped:${absent:- none}; failed:${failed:- none}"
    [ -z "$failed" ]
}

if [ "$in_root" -eq 1 ]; then
    # Inside the sid root: its interpreters, each in the venv that holds its test tools.
    for flavour in "3.14 python3.14 g++ RelWithDebInfo" "3.14-clang python3.14 clang++ RelWithDebInfo" \
        "3.15 python3.15 g++ RelWithDebInfo" "3.14-debug python3.14d g++ Debug"; do
        # shellcheck disable=SC2086
        set -- $flavour
        case " ${NORVIK_SID_ONLY:-$1} " in *" $1 "*) ;; *) continue ;; esac
        interp=/opt/norvik/venv-$2/bin/python
        if [ ! -x "/usr/bin/$2" ] || [ ! -x "$interp" ] || ! "$interp" -m pytest --version >/dev/null 2>&1; then
            echo "[pythons] CPython $1: $2 (with its venv and test tools) not to be had in the sid root, skipped"
            absent="$absent $1"
            continue
        fi
        extra=""
        if [ "$4" = "Debug" ]; then
            extra="-W error::ResourceWarning -W error::pytest.PytestUnraisableExceptionWarning"
        fi
        run_one "$1" "$interp" "$main/sid-py$1" CXX="$3" NORVIK_BUILD_TYPE="$4" NORVIK_PYTEST_ARGS="$extra"
    done
    # pip install . as a user would, and both wheels, for 3.14 and 3.15.
    if case " ${NORVIK_SID_ONLY:-extras} " in *" extras "*) true ;; *) false ;; esac; then
        start=$(date +%s)
        PYTHON=python3.14 sh tools/pip-install-check.sh "$main/sid-pip-install" \
            && passed="$passed pip-install" || failed="$failed pip-install"
        echo "[pythons] pip install . (sid root): $(( $(date +%s) - start ))s" >&2
        for exe in python3.14 python3.15; do
            [ -x "/opt/norvik/venv-$exe/bin/python" ] || continue
            start=$(date +%s)
            mkdir -p "$main/sid-wheels"
            PYTHON=/opt/norvik/venv-$exe/bin/python sh tools/wheels.sh --one "$main/sid-wheels" "$main/sid-wheels-$exe" \
                && passed="$passed wheels-${exe#python}" || failed="$failed wheels-${exe#python}"
            echo "[pythons] wheels of CPython ${exe#python} (sid root): $(( $(date +%s) - start ))s" >&2
        done
    fi
    summary "sid root:"
    exit $?
fi

main_exe=$("$PYTHON" -c 'import os, sys; print(os.path.realpath(sys.executable))')
for version in 3.9 3.10 3.11 3.12 3.13; do
    if ! interp=$(sh tools/find-python.sh "$version"); then
        echo "[pythons] CPython $version: not on this machine, skipped"
        absent="$absent $version"
        continue
    fi
    exe=$("$interp" -c 'import os, sys; print(os.path.realpath(sys.executable))')
    build=$main/py$version
    if [ "$exe" = "$main_exe" ]; then build=$main; fi
    run_one "$version" "$interp" "$build"
done
host_ok=0
summary "this machine:" || host_ok=1

if [ "${NORVIK_SID:-1}" = "0" ]; then
    echo "[pythons] CPython 3.14, 3.14 debug, 3.15: the sid root is left out (NORVIK_SID=0), skipped"
    exit "$host_ok"
fi
start=$(date +%s)
if ! sh tools/sid-root.sh ensure; then
    echo "[pythons] CPython 3.14, 3.14 debug, 3.15: no sid root could be made, skipped" >&2
    exit "$host_ok"
fi
echo "[pythons] sid root $(sh tools/sid-root.sh path): ready in $(( $(date +%s) - start ))s" >&2
sid_ok=0
sh tools/sid-root.sh run sh tools/pythons.sh --in-sid-root "$main" || sid_ok=1
[ "$host_ok" -eq 0 ] && [ "$sid_ok" -eq 0 ]
