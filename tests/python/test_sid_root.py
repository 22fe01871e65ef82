"""tools/sid-root.sh keeps the host safe around its root: `run` undoes every
mount it made and every mount the command made inside, and `remove` never
deletes through a mount (it would take the bound host folders with it)."""
import os
import shutil
import subprocess

import pytest

from conftest import HERE

SCRIPT = os.path.join(HERE, "..", "..", "tools", "sid-root.sh")

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("chroot"),
                                reason="binds and chroot need root")


def mounts_under(path):
    with open("/proc/self/mountinfo") as f:
        return [line.split()[4] for line in f if line.split()[4].startswith(str(path) + "/")]


def sid_root(root, *args):
    return subprocess.run(["sh", SCRIPT, *args], env=dict(os.environ, NORVIK_SID_ROOT=str(root)),
                          capture_output=True, text=True, timeout=120)


@pytest.fixture
def fake_root(tmp_path):
    """A root that holds only what `run` needs: apt-get's place, and this
    machine's /bin/sh with the libraries it loads."""
    root = tmp_path / "root"
    for d in ("usr/bin", "etc", "proc", "sys", "dev", "bin"):
        (root / d).mkdir(parents=True, exist_ok=True)
    (root / "usr/bin/apt-get").write_text("#!/bin/sh\n")
    (root / "usr/bin/apt-get").chmod(0o755)
    sh = os.path.realpath("/bin/sh")
    needed = [sh] + [w for line in subprocess.run(["ldd", sh], capture_output=True, text=True).stdout.splitlines()
                     for w in line.split() if w.startswith("/")]
    for path in needed:
        dest = root / path.lstrip("/")
        dest.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(path, dest)
    shutil.copy2(sh, root / "bin/sh")
    yield root
    for m in sorted(mounts_under(root), reverse=True):
        subprocess.run(["umount", "-l", m])


def test_run_undoes_its_mounts_and_those_left_inside(fake_root, tmp_path):
    # /proc is bound while the command runs, and its exit status comes back.
    out = sid_root(fake_root, "run", "sh", "-c", "test -d /proc/self/fd && exit 7")
    assert out.returncode == 7, out.stderr
    assert mounts_under(fake_root) == []
    # A mount inside the root that is none of the script's own, as ip netns
    # leaves /run/netns, goes too.
    inner = tmp_path / "inner"
    inner.mkdir()
    (fake_root / "run/netns").mkdir(parents=True)
    subprocess.run(["mount", "--bind", str(inner), str(fake_root / "run/netns")], check=True)
    out = sid_root(fake_root, "run", "sh", "-c", "exit 0")
    assert out.returncode == 0, out.stderr
    assert mounts_under(fake_root) == []


def test_remove_never_deletes_through_a_mount(fake_root, tmp_path):
    keep = tmp_path / "keep"
    keep.mkdir()
    (keep / "precious").write_text("x")
    (fake_root / "mnt").mkdir()
    subprocess.run(["mount", "--bind", str(keep), str(fake_root / "mnt")], check=True)
    out = sid_root(fake_root, "remove")
    assert out.returncode == 0, out.stderr
    assert not fake_root.exists()
    assert (keep / "precious").read_text() == "x"
