"""The CPython headers the FreeBSD build compiles against
(cross/freebsd/python_headers.sh), made from every interpreter on this
machine: preprocessed for FreeBSD amd64, their pyconfig.h must give the
LP64 sizes and none of the Linux feature-test macros, whatever the layout
of the interpreter's headers (pyenv's, or Debian's multiarch wrapper)."""
import glob
import os
import shutil
import subprocess
import sys

import pytest

from conftest import HERE

ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
FEATURE_MACROS = ("_XOPEN_SOURCE", "_XOPEN_SOURCE_EXTENDED", "_POSIX_C_SOURCE", "_POSIX_SOURCE",
                  "_GNU_SOURCE", "_DEFAULT_SOURCE", "_BSD_SOURCE", "__BSD_VISIBLE")


def interpreters():
    """Every CPython 3.9 and up found as tools/find-python.sh finds them, and
    the distribution's own ones, each once."""
    found = {os.path.realpath(sys.executable): sys.executable}
    for minor in range(9, 16):
        out = subprocess.run(["sh", os.path.join(ROOT, "tools", "find-python.sh"), f"3.{minor}"],
                             capture_output=True, text=True)
        if out.returncode == 0:
            found.setdefault(os.path.realpath(out.stdout.strip()), out.stdout.strip())
    for path in sorted(glob.glob("/usr/bin/python3.[0-9]*")):
        if path[-1].isdigit() and os.access(path, os.X_OK):
            found.setdefault(os.path.realpath(path), path)
    return sorted(found.values())


def has_headers(interp):
    out = subprocess.run([interp, "-c", "import sysconfig, os, sys; sys.exit(not os.path.exists("
                          "os.path.join(sysconfig.get_paths()['include'], 'Python.h')))"])
    return out.returncode == 0


@pytest.mark.parametrize("interp", interpreters())
def test_headers_for_freebsd_keep_sizes_and_drop_feature_macros(tmp_path, interp):
    if not has_headers(interp):
        pytest.skip(f"{interp} has no C headers installed")
    cxx = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if not cxx:
        pytest.skip("no C++ compiler to preprocess with")
    subprocess.run(["sh", os.path.join(ROOT, "cross", "freebsd", "python_headers.sh"), str(tmp_path)],
                   env=dict(os.environ, PYTHON=interp), check=True)
    include = tmp_path / "python-include"
    assert (include / "Python.h").is_file()
    # FreeBSD amd64 as the cross compiler sees it: no __linux__, no glibc.
    out = subprocess.run([cxx, "-E", "-dM", "-undef", "-D__FreeBSD__=14", "-D__x86_64__", "-D__LP64__",
                          "-D__amd64__", "-x", "c", str(include / "pyconfig.h")],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    macros = dict(line.split(None, 2)[1:] if len(line.split(None, 2)) == 3 else (line.split()[1], "")
                  for line in out.stdout.splitlines() if line.startswith("#define "))
    assert macros.get("SIZEOF_VOID_P") == "8"
    assert macros.get("SIZEOF_LONG") == "8"
    assert macros.get("SIZEOF_WCHAR_T") == "4"
    assert "HAVE_UNISTD_H" in macros
    assert [m for m in FEATURE_MACROS if m in macros] == []
