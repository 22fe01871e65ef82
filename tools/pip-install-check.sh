#!/bin/sh
# CI: the module installed as a user installs it. A copy of the checkout (its
# tracked and unignored files, no build folders) is installed with
# `pip install .` into a fresh venv of the oldest and the newest CPython
# from 3.9 up on the machine (in the sid root of tools/sid-root.sh, where
# make pythons runs it too: 3.14 and 3.15) and of the default python3: the
# Release build scikit-build-core runs, without the project's -Werror. Each
# installed module is then imported from outside the source tree and a few
# of its answers compared with the interpreter's own.
# pip fetches scikit-build-core from its index; when it cannot, the run fails.
#   pip-install-check.sh WORK_DIR   (PYTHON: the default interpreter)
set -eu
cd "$(dirname "$0")/.."
mkdir -p "$1"
work=$(cd "$1" && pwd)
PYTHON=${PYTHON:-python3}

oldest=""
newest=""
for version in 3.9 3.10 3.11 3.12 3.13 3.14 3.15; do
    if interp=$(sh tools/find-python.sh "$version"); then
        [ -n "$oldest" ] || oldest=$interp
        newest=$interp
    fi
done
if [ -z "$oldest" ]; then
    echo "[pip-install] no CPython 3.9 or later on this machine" >&2
    exit 1
fi
default=$(command -v "$PYTHON") || { echo "[pip-install] no $PYTHON on PATH" >&2; exit 1; }

rm -rf "$work/source"
mkdir -p "$work/source"
git ls-files -z --cached --others --exclude-standard | xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh \
    | tar --null -T - -cf - | tar -xf - -C "$work/source"

seen=""
for interp in "$oldest" "$newest" "$default"; do
    exe=$("$interp" -c 'import os, sys; print(os.path.realpath(sys.executable))')
    case " $seen " in *" $exe "*) continue ;; esac
    seen="$seen $exe"
    version=$("$interp" -c 'import platform; print(platform.python_version())')
    venv=$work/venv-$version
    log=$work/pip-$version.log
    start=$(date +%s)
    rm -rf "$venv"
    "$interp" -m venv "$venv" >"$log" 2>&1 \
        || { cat "$log" >&2; echo "[pip-install] CPython $version ($interp): no venv" >&2; exit 1; }
    if ! (cd "$work" && "$venv/bin/python" -m pip install --disable-pip-version-check "$work/source") >>"$log" 2>&1; then
        tail -40 "$log" >&2
        if grep -q "Installing build dependencies: finished with status 'error'" "$log"; then
            echo "[pip-install] CPython $version: pip could not install the build backend, scikit-build-core, from its index" >&2
        fi
        echo "[pip-install] CPython $version ($interp): pip install . FAILED (log: $log)" >&2
        exit 1
    fi
    # -I: neither the working folder nor PYTHONPATH is on the path, so the
    # module imported is the installed one.
    (cd "$work" && "$venv/bin/python" -I -c '
import os, sys, sysconfig
import _norvik_bsd as m

where = sysconfig.get_paths()["platlib"]
assert os.path.dirname(os.path.abspath(m.__file__)) == where, (m.__file__, where)
assert os.path.isfile(os.path.join(where, "_norvik_bsd.pyi")), "no stub beside the module"
assert m.getpagesize() == os.sysconf("SC_PAGE_SIZE"), m.getpagesize()
assert m.cpu_count_logical() == os.cpu_count(), m.cpu_count_logical()
assert os.getpid() in m.pids()
with open("/proc/self/comm") as f:
    assert m.proc_name(os.getpid()) == f.read().strip(), m.proc_name(os.getpid())
with open("/proc/stat") as f:
    btime = next(int(line.split()[1]) for line in f if line.startswith("btime "))
assert abs(m.boot_time() - btime) <= 1, (m.boot_time(), btime)
print(os.path.basename(m.__file__))
') >"$work/import-$version.txt" 2>&1 \
        || { cat "$work/import-$version.txt" >&2; echo "[pip-install] CPython $version: the installed module FAILED" >&2; exit 1; }
    echo "[pip-install] CPython $version ($interp): installed $(cat "$work/import-$version.txt") in $(( $(date +%s) - start ))s, imported, 5 answers agree"
done

# The testing distribution (testing/) with the product, into a fresh venv of
# the default interpreter: an ordinary import finds the product, which has no
# scripted kernel; the scripted build sits inside norvik_bsd_testing only;
# and the downstream suite passes against the installed package, its fixture
# coming from the package's pytest plugin.
venv=$work/venv-testing
log=$work/pip-testing.log
start=$(date +%s)
rm -rf "$venv"
"$default" -m venv "$venv" >"$log" 2>&1 || { cat "$log" >&2; echo "[pip-install] testing: no venv" >&2; exit 1; }
if ! (cd "$work" && "$venv/bin/python" -m pip install --disable-pip-version-check \
        "$work/source[testing]" "$work/source/testing" pytest) >>"$log" 2>&1; then
    tail -40 "$log" >&2
    echo "[pip-install] testing: pip install .[testing] ./testing FAILED (log: $log)" >&2
    exit 1
fi
(cd "$work" && "$venv/bin/python" -I -c '
import ctypes, os, sysconfig
import _norvik_bsd, norvik_bsd_testing

where = sysconfig.get_paths()["platlib"]
assert os.path.dirname(_norvik_bsd.__file__) == where, _norvik_bsd.__file__
assert not hasattr(ctypes.CDLL(_norvik_bsd.__file__), "norvik_script_reset"), "the product has the overlay"
scripted = norvik_bsd_testing.module_path()
assert os.path.dirname(scripted) == os.path.join(where, "norvik_bsd_testing"), scripted
with norvik_bsd_testing.scripted_kernel() as kernel:
    kernel.process(4242, argv=["daemon"])
    import _norvik_bsd as m
    assert m is kernel.module and m.pids() == [0, 4242], m.pids()
import _norvik_bsd as again
assert again is _norvik_bsd
') >"$work/import-testing.txt" 2>&1 \
    || { cat "$work/import-testing.txt" >&2; echo "[pip-install] testing: the installed package FAILED" >&2; exit 1; }
(cd "$work/source/tests/downstream" && env -u PYTHONPATH "$venv/bin/python" -m pytest -q -p no:cacheprovider .) \
    >"$work/downstream.txt" 2>&1 \
    || { cat "$work/downstream.txt" >&2; echo "[pip-install] testing: the downstream suite FAILED" >&2; exit 1; }
echo "[pip-install] testing: installed with the product in $(( $(date +%s) - start ))s; $(tail -1 "$work/downstream.txt")"
