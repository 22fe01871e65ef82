"""make demo's report tells the truth about this machine: a figure the host
cannot give is not printed as 0, a name or path cut to a column says so with
"…", sizes have one format, and every section runs to its end."""
import os
import re
import subprocess
import sys

import pytest

from conftest import RELEASE_DIR, module_env, run_python

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "demo"))
import units  # noqa: E402

LINUX = os.uname().sysname == "Linux"


@pytest.mark.parametrize("nbytes, text", [
    (0, "0 B"), (1023, "1023 B"), (1024, "1.0 KiB"), (1536, "1.5 KiB"),
    (8 * 1024**2, "8.0 MiB"), (3 * 1024**3 + 1, "3.0 GiB"), (1024**6, "1024.0 PiB"),
])
def test_sizes_have_one_format(nbytes, text):
    assert units.human(nbytes) == text


@pytest.mark.parametrize("text, width, shown", [
    ("/usr", 8, "/usr"), ("/usr/lib", 8, "/usr/lib"), ("/usr/lib64", 8, "/usr/li…"), ("", 3, ""),
    ("kworker/u8:4-events", 10, "kworker/u…"),
])
def test_a_cut_text_ends_with_an_ellipsis(text, width, shown):
    assert units.cut(text, width) == shown
    assert len(shown) <= width


@pytest.fixture(scope="module")
def report():
    result = subprocess.run([sys.executable, os.path.join(ROOT, "demo", "report.py")], capture_output=True,
                            text=True, env=module_env(dict(os.environ, PYTHONPATH=RELEASE_DIR)), timeout=120)
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stdout + result.stderr
    return result.stdout


@pytest.mark.skipif(not LINUX, reason="the stand-in's zero figures are Linux's")
@pytest.mark.parametrize("figure, as_zero", [
    ("system calls", r"system calls:? 0\b"),
    ("shared memory", r"shared 0 B"),
    ("cached memory", r"cached 0"),
])
def test_no_figure_the_host_lacks_reads_zero(report, figure, as_zero):
    assert not re.search(as_zero, report), figure
    if figure != "cached memory":  # left out: FreeBSD 14 has no cache queue either
        assert re.search(re.escape(figure.split()[0]) + r".*n/a \(not on Linux\)", report), figure


def test_sizes_are_never_compact(report):
    # "15.8M" or "3.0G" beside "15.8 MiB" elsewhere: one format only.
    assert not re.findall(r"\b\d+(?:\.\d)?[KMGT]\b", report)


def table_cells(report, header, start, width):
    """The cells at [START:START+WIDTH] of the rows under the line starting HEADER, to a blank line."""
    lines = report.splitlines()
    at = next(i for i, line in enumerate(lines) if line.startswith(header))
    cells = []
    for line in lines[at + 1:]:
        if not line.strip() or line.startswith("total"):
            break
        cells.append(line[start:start + width].rstrip())
    return cells


def whole_or_marked(cells, whole):
    """Each cell is one of WHOLE, or ends with "…" after the start of one."""
    faults = []
    for cell in cells:
        if cell in whole:
            continue
        if cell.endswith("…") and any(w.startswith(cell[:-1]) and w != cell[:-1] for w in whole):
            continue
        faults.append(cell)
    return faults


@pytest.mark.parametrize("cells, whole, faults", [
    (["/usr", "/usr/li…"], {"/usr", "/usr/lib64"}, []),
    (["/usr/lib"], {"/usr", "/usr/lib64"}, ["/usr/lib"]),  # cut without a mark: reads as another path
    (["/usr/lib…"], {"/usr/lib"}, ["/usr/lib…"]),  # marked, yet nothing was cut
])
def test_the_cut_check_can_fail(cells, whole, faults):
    assert whole_or_marked(cells, whole) == faults


def test_mount_table_cells_are_whole_or_marked_cut(report):
    result = run_python("import json, _norvik_bsd as m; print(json.dumps(m.disk_partitions()))",
                        module_dir=RELEASE_DIR)
    assert result.returncode == 0, result.stderr
    mounts = __import__("json").loads(result.stdout)
    # MOUNTED FROM (22 columns), a space, MOUNT POINT (32), a space, TYPE (10).
    for start, width, column in ((0, 22, 0), (23, 32, 1), (56, 10, 2)):
        cells = table_cells(report, "MOUNTED FROM", start, width)
        assert cells, column
        assert whole_or_marked(cells, {m[column] for m in mounts}) == [], column


def test_process_details_paths_are_whole_or_marked_cut(report):
    # The open regular files of the processes shown: paths that exist, or cut and marked.
    paths = re.findall(r"^\s+(?:fd \d+|text|cwd|root|ctty)  (.+)$", report, re.M)
    assert paths
    for path in paths:
        assert os.path.exists(path) or path.endswith("…") and os.path.exists(os.path.dirname(path)) \
            or path == "(deleted)", path


def make(*args):
    return subprocess.run(["make", "--no-print-directory", *args], cwd=ROOT, capture_output=True, text=True,
                          timeout=60)


@pytest.mark.parametrize("args, says", [
    ((), ["make demo ", "make test ", "make clean ", "make distclean "]),  # a plain make lists the targets
    (("-n", "clean"), ["rm -rf ", "left dist/, the sid root, the zig toolchain and zig's cache"]),
    (("-n", "distclean"), ["sh tools/sid-root.sh remove\n", "rm -rf --one-file-system dist", "/norvik", "/zig"]),
])
def test_make_tells_a_newcomer_what_it_does(args, says):
    result = make(*args)
    assert result.returncode == 0, result.stderr
    for words in says:
        assert words in result.stdout, (args, words, result.stdout)
