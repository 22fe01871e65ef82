"""The README's examples run against the release module and print what the
README shows beneath them (numbers aside; for a listing, lines of the same
shapes; for what drivers give, as many lines)."""
import os
import sys

import pytest

from conftest import RELEASE_DIR, module_env

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import readme_examples  # noqa: E402

EXAMPLES = readme_examples.examples(readme_examples.README.read_text())


def test_every_subject_has_an_example():
    assert [e.name for e in EXAMPLES] == ["processes", "cpu", "memory", "disks", "interfaces", "sockets",
                                          "sensors"]


def root_is_mounted():
    """Whether the mount table holds this process's / (a chroot's root is
    no mount point of its own)."""
    with open("/proc/self/mountinfo") as f:
        return any(line.split()[4] == "/" for line in f)


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda e: e.name)
def test_example_prints_what_the_readme_shows(example):
    if os.uname().sysname != "Linux":
        pytest.skip("the README shows a Linux machine's output")
    if example.name == "disks" and not root_is_mounted():
        pytest.skip("no mount of / is visible here (a chroot): the example looks / up among the mounts")
    try:
        result = readme_examples.run(example, RELEASE_DIR, env=module_env())
    except readme_examples.NoInterpreter as exc:  # root, with this CPython only under /root
        pytest.skip(str(exc))
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert readme_examples.differences(example, result.stdout) == []


Example = readme_examples.Example


@pytest.mark.parametrize("example, printed, faulty", [
    (Example("m", "exact", "", "shared 12 MiB\n"), "shared 40 MiB\n", False),
    (Example("m", "exact", "", "shared 12 MiB\n"), "shared n/a (not on Linux)\n", True),
    (Example("m", "exact", "", "a\nb\n"), "a\n", True),
    (Example("i", "listing", "", "lo: MTU 65536\n"), "eth0: MTU 1500\nlo: MTU 65536\n", False),
    (Example("i", "listing", "", "lo: MTU 65536, 12 bytes\n"), "lo: MTU 65536\n", True),
    (Example("s", "varies", "", "battery: no battery\n"), "battery 80 %, on mains power\n", False),
    (Example("s", "varies", "", "battery: no battery\n"), "", True),
])
def test_a_stale_readme_output_is_named(example, printed, faulty):
    assert bool(readme_examples.differences(example, printed)) == faulty
