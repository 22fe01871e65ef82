"""The wheel check (tools/check_wheels.py) over wheels assembled here from
the built modules: a sound wheel passes, and each kind of fault a wheel can
carry is named."""
import base64
import glob
import hashlib
import os
import sys
import zipfile

import pytest

from conftest import BUILD, HERE

sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import check_wheels  # noqa: E402

STUB = b"from typing import Final\n\nversion: Final[str]\n"
DIST_INFO = "norvik_bsd-0.722.0.dist-info"
METADATA = (b"Metadata-Version: 2.2\nName: norvik-bsd\nVersion: 0.722.0\nLicense: BSD-2-Clause\n"
            b"Description-Content-Type: text/markdown\n\n# _norvik_bsd\n\nA module.\n")


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def write_wheel(folder, tag, members, wheel_tag=None, unrecorded=(), after_record=None):
    """A wheel of MEMBERS (name -> bytes) named for TAG; WHEEL_TAG goes into
    its WHEEL file (default TAG), UNRECORDED members are left out of RECORD,
    AFTER_RECORD replaces members once RECORD is written."""
    members = dict(members)
    members[f"{DIST_INFO}/WHEEL"] = (
        f"Wheel-Version: 1.0\nRoot-Is-Purelib: false\nTag: {wheel_tag or tag}\n").encode()
    members.setdefault(f"{DIST_INFO}/METADATA", METADATA)
    members.setdefault(f"{DIST_INFO}/licenses/LICENSE", b"BSD 2-Clause License\n")
    members = {name: data for name, data in members.items() if data is not None}  # None: left out
    rows = [record_line(n, d) for n, d in members.items() if n not in unrecorded]
    members.update(after_record or {})
    members[f"{DIST_INFO}/RECORD"] = ("\n".join(rows + [f"{DIST_INFO}/RECORD,,"]) + "\n").encode()
    path = os.path.join(folder, f"norvik_bsd-0.722.0-{tag}.whl")
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.fixture(scope="module")
def expect():
    return check_wheels.expectations("3.11")


def test_sound_linux_wheel_passes_and_each_fault_is_named(tmp_path, expect, release_module_path):
    linux = expect["Linux"]
    module = read(release_module_path)
    scripted = glob.glob(os.path.join(BUILD, "scripted", "_norvik_bsd*.so"))
    good = {linux["module"]: module, "_norvik_bsd.pyi": STUB}
    assert check_wheels.check(write_wheel(str(tmp_path), linux["tag"], good), linux) == []

    freebsd_tag = expect["FreeBSD"]["tag"]
    cases = [
        ("module changed after RECORD", dict(after_record={linux["module"]: module + b"\0"}), "hashes to"),
        ("member missing from RECORD", dict(unrecorded={"_norvik_bsd.pyi"}), "is not in RECORD"),
        ("no stub", dict(members={linux["module"]: module}), "no _norvik_bsd.pyi"),
        ("stub that does not parse", dict(members={**good, "_norvik_bsd.pyi": b"def f(:\n"}), "does not parse"),
        ("module under another name", dict(members={"_norvik_bsd.so": module, "_norvik_bsd.pyi": STUB}),
         "modules at the top"),
        ("WHEEL tag unlike the name", dict(wheel_tag=freebsd_tag), "differ from the file name"),
        ("module that is no ELF", dict(members={**good, linux["module"]: b"#!/bin/sh\n"}), "not an ELF file"),
    ]
    if scripted:
        cases.append(("test build's extra exports",
                      dict(members={**good, linux["module"]: read(scripted[0])}), "exports ["))
    for label, change, fault in cases:
        folder = tmp_path / label.replace(" ", "_").replace("'", "")
        folder.mkdir()
        arguments = {"members": good, **change}
        faults = check_wheels.check(write_wheel(str(folder), linux["tag"], **arguments), linux)
        assert any(fault in f for f in faults), (label, faults)

    # A Linux module in a wheel tagged for FreeBSD.
    faults = check_wheels.check(write_wheel(str(tmp_path), freebsd_tag, {
        "_norvik_bsd.so": module, "_norvik_bsd.pyi": STUB}), expect["FreeBSD"])
    assert any("not a FreeBSD object" in f for f in faults), faults
    assert any("lacking ['libc.so.7', 'libdevstat.so.7', 'libkvm.so.7', 'libutil.so.9']" in f for f in faults), faults


def test_freebsd_module_passes_and_unbranded_one_is_named(tmp_path, expect):
    path = os.path.join(BUILD, "freebsd", "cmake", "release", "_norvik_bsd.so")
    if not os.path.exists(path):
        pytest.skip("no FreeBSD build here (make freebsd)")
    freebsd = expect["FreeBSD"]
    module = read(path)
    good = {"_norvik_bsd.so": module, "_norvik_bsd.pyi": STUB}
    assert check_wheels.check(write_wheel(str(tmp_path), freebsd["tag"], good), freebsd) == []
    # The same object with OS/ABI 0, as zig's linker writes it unbranded.
    (tmp_path / "sysv").mkdir()
    unbranded = module[:7] + b"\0" + module[8:]
    faults = check_wheels.check(write_wheel(str(tmp_path / "sysv"), freebsd["tag"], {
        **good, "_norvik_bsd.so": unbranded}), freebsd)
    assert any("not a FreeBSD object" in f for f in faults), faults


def test_metadata_names_the_license_and_carries_the_readme(tmp_path, expect, release_module_path):
    linux = expect["Linux"]
    good = {linux["module"]: read(release_module_path), "_norvik_bsd.pyi": STUB}
    meta = f"{DIST_INFO}/METADATA"
    expression = METADATA.replace(b"License: ", b"License-Expression: ")
    cases = [
        ("License-Expression instead of License", {meta: expression}, None),
        ("no license", {meta: METADATA.replace(b"License: BSD-2-Clause\n", b"")}, "names the license []"),
        ("another license", {meta: METADATA.replace(b"BSD-2-Clause", b"MIT")}, "want BSD-2-Clause"),
        ("no description type", {meta: METADATA.replace(b"Description-Content-Type: text/markdown\n", b"")},
         "no markdown description type"),
        ("no description", {meta: METADATA.split(b"\n\n")[0] + b"\n"}, "is not the README"),
        ("no license text", {f"{DIST_INFO}/licenses/LICENSE": None}, "no LICENSE under"),
    ]
    for label, change, fault in cases:
        folder = tmp_path / label.replace(" ", "_")
        folder.mkdir()
        path = write_wheel(str(folder), linux["tag"], {**good, **change})
        faults = check_wheels.check(path, linux)
        if fault is None:
            assert faults == [], (label, faults)
        else:
            assert any(fault in f for f in faults), (label, faults)


def test_the_project_metadata_passes_the_check(tmp_path):
    # The METADATA pip writes into a wheel of this tree, made by the build
    # backend's metadata hook (no compiler involved).
    backend = pytest.importorskip("scikit_build_core.build")
    root = os.path.join(HERE, "..", "..")
    cwd = os.getcwd()
    os.chdir(root)
    try:
        info = backend.prepare_metadata_for_build_wheel(str(tmp_path))
    finally:
        os.chdir(cwd)
    path = tmp_path / "metadata.zip"
    with zipfile.ZipFile(path, "w") as archive:
        for folder, _, files in os.walk(tmp_path / info):
            for name in files:
                full = os.path.join(folder, name)
                archive.write(full, os.path.relpath(full, tmp_path))
    with zipfile.ZipFile(path) as archive:
        assert check_wheels.metadata_faults(archive) == []
        text = archive.read(f"{info}/METADATA").decode()
    for field in ("Author: The _norvik_bsd developers", "Classifier: Operating System :: POSIX :: BSD :: FreeBSD",
                  "Classifier: Operating System :: POSIX :: Linux", "Classifier: Programming Language :: C++",
                  "Classifier: Topic :: System :: Monitoring",
                  *(f"Classifier: Programming Language :: Python :: 3.{minor}" for minor in range(9, 14))):
        assert field in text.splitlines(), field
