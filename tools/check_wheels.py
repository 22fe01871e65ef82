"""Checks the two wheels `make wheels` writes: unpacks each and compares what
it holds with what its tags promise.

For both: the file name's tags are those of its WHEEL file, RECORD lists
every member once with its true sha256 and size, METADATA names the license
and carries the README as the description, the module is one ELF
shared object at the top beside the stub `_norvik_bsd.pyi`, and its defined
dynamic symbols are exactly the names of src/exports.map. Then per platform:
  Linux    tagged for this interpreter, the module named with its EXT_SUFFIX,
           x86-64, OS/ABI SYSV or GNU, needs glibc and nothing of FreeBSD's
  FreeBSD  tagged for FreeBSD's CPython of the given version
           (freebsd_14_3_release_amd64), the module named _norvik_bsd.so,
           x86-64, branded FreeBSD (EI_OSABI, or the FreeBSD ABI note), needs
           libc.so.7, libutil, libkvm and libdevstat, and besides them only
           FreeBSD's thread and C++ runtime libraries

    check_wheels.py DIST --freebsd-python X.Y
"""
import argparse
import ast
import base64
import csv
import hashlib
import io
import os
import re
import sys
import sysconfig
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import elfinfo  # noqa: E402

ROOT = os.path.dirname(HERE)
STUB = "_norvik_bsd.pyi"
FREEBSD_PLATFORM = "freebsd_14_3_release_amd64"
FREEBSD_REQUIRED = {"libc.so.7", "libutil.so.9", "libkvm.so.7", "libdevstat.so.7"}
FREEBSD_RUNTIME = {"libthr.so.3", "libc++.so.1", "libcxxrt.so.1", "libgcc_s.so.1", "libm.so.5"}
NT_FREEBSD_ABI_TAG = 1
ELFOSABI_FREEBSD = 9
WHEEL_NAME = re.compile(r"^(?P<name>[^-]+)-(?P<version>[^-]+)-(?P<python>[^-]+)-(?P<abi>[^-]+)-(?P<platform>[^-]+)\.whl$")


def export_names():
    with open(os.path.join(ROOT, "src", "exports.map")) as f:
        return sorted(re.findall(r"^\s*([A-Za-z_]\w*);", f.read(), re.M))


def interpreter_tags(version, gil_disabled=False, debug=False):
    digits = version.replace(".", "")
    return f"cp{digits}", f"cp{digits}" + ("t" if gil_disabled else "") + ("d" if debug else "")


def record_faults(archive):
    """What is wrong with the archive's RECORD, as a list of sentences."""
    faults = []
    names = [n for n in archive.namelist() if not n.endswith("/")]
    records = [n for n in names if re.fullmatch(r"[^/]+\.dist-info/RECORD", n)]
    if len(records) != 1:
        return [f"{len(records)} RECORD files"]
    listed = {}
    for row in csv.reader(io.StringIO(archive.read(records[0]).decode())):
        if not row:
            continue
        if len(row) != 3:
            faults.append(f"RECORD row {row!r} has {len(row)} fields")
            continue
        path, digest, size = row
        if path in listed:
            faults.append(f"RECORD lists {path} twice")
        listed[path] = (digest, size)
    for path in names:
        if path not in listed:
            faults.append(f"{path} is not in RECORD")
            continue
        digest, size = listed.pop(path)
        if path == records[0]:
            if digest or size:
                faults.append("RECORD gives itself a hash")
            continue
        data = archive.read(path)
        want = "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        if digest != want:
            faults.append(f"{path}: RECORD says {digest or 'no hash'}, the file hashes to {want}")
        if size != str(len(data)):
            faults.append(f"{path}: RECORD says {size} bytes, the file has {len(data)}")
    faults += [f"RECORD lists {path}, which the wheel lacks" for path in listed]
    return faults


def wheel_file_tags(archive):
    names = [n for n in archive.namelist() if re.fullmatch(r"[^/]+\.dist-info/WHEEL", n)]
    if len(names) != 1:
        return None, []
    fields = [line.split(":", 1) for line in archive.read(names[0]).decode().splitlines() if ":" in line]
    purelib = [v.strip() for k, v in fields if k == "Root-Is-Purelib"]
    return purelib, sorted(v.strip() for k, v in fields if k == "Tag")


def metadata_faults(archive):
    """What the wheel's METADATA lacks of what pip show and an index show a
    user: the license (a License or License-Expression field naming
    BSD-2-Clause, the LICENSE text under dist-info), and the description (the
    README, as markdown)."""
    names = [n for n in archive.namelist() if re.fullmatch(r"[^/]+\.dist-info/METADATA", n)]
    if len(names) != 1:
        return [f"{len(names)} METADATA files"]
    text = archive.read(names[0]).decode()
    headers, _, body = text.partition("\n\n")
    fields = [line.split(": ", 1) for line in headers.splitlines() if ": " in line]
    faults = []
    licenses = [v for k, v in fields if k in ("License", "License-Expression")]
    if "BSD-2-Clause" not in licenses:
        faults.append(f"METADATA names the license {licenses}, want BSD-2-Clause")
    info = names[0].rsplit("/", 1)[0]
    if not any(n.startswith(info + "/") and n.endswith("/LICENSE") for n in archive.namelist()):
        faults.append(f"no LICENSE under {info}")
    if ("Description-Content-Type", "text/markdown") not in [tuple(f) for f in fields]:
        faults.append("METADATA gives no markdown description type")
    if not body.lstrip().startswith("# _norvik_bsd"):
        faults.append("METADATA's description is not the README")
    return faults


def check(path, expect):
    """Faults of the wheel at PATH against EXPECT (a dict of what its platform
    requires); the empty list when it holds."""
    faults = []
    match = WHEEL_NAME.match(os.path.basename(path))
    if not match:
        return [f"{os.path.basename(path)} is not a wheel file name"]
    tag = f"{match['python']}-{match['abi']}-{match['platform']}"
    if tag != expect["tag"]:
        faults.append(f"tagged {tag}, want {expect['tag']}")
    with zipfile.ZipFile(path) as archive:
        faults += record_faults(archive)
        faults += metadata_faults(archive)
        purelib, tags = wheel_file_tags(archive)
        if purelib != ["false"]:
            faults.append(f"WHEEL says Root-Is-Purelib {purelib}, want false")
        if tags != [tag]:
            faults.append(f"WHEEL's tags {tags} differ from the file name's {tag}")
        top = [n for n in archive.namelist() if "/" not in n]
        modules = [n for n in top if n.startswith("_norvik_bsd") and n.endswith(".so")]
        if modules != [expect["module"]]:
            faults.append(f"modules at the top {modules}, want [{expect['module']!r}]")
        if STUB not in top:
            faults.append(f"no {STUB} beside the module")
        else:
            stub = archive.read(STUB).decode()
            try:
                tree = ast.parse(stub, STUB)
                if not tree.body:
                    faults.append(f"{STUB} declares nothing")
            except SyntaxError as error:
                faults.append(f"{STUB} does not parse: {error}")
        if expect["module"] not in top:
            return faults
        try:
            elf = elfinfo.read(archive.read(expect["module"]))
        except elfinfo.ElfError as error:
            return faults + [f"{expect['module']}: {error}"]
    if (elf.elf_class, elf.elf_type, elf.machine) != (2, 3, elfinfo.EM_X86_64):
        faults.append(f"ELF class {elf.elf_class}, type {elf.elf_type}, machine {elf.machine}:"
                      " want a 64-bit shared object for x86-64")
    if not expect["osabi"](elf):
        faults.append(f"OS/ABI {elfinfo.ELFOSABI_NAMES.get(elf.osabi, elf.osabi)}, notes "
                      f"{[(n, t) for n, t, _ in elf.notes]}: not a {expect['os']} object")
    needed = set(elf.needed)
    if not expect["required"] <= needed:
        faults.append(f"needs {sorted(needed)}, lacking {sorted(expect['required'] - needed)}")
    if expect["allowed"] is not None and not needed <= expect["required"] | expect["allowed"]:
        faults.append(f"needs {sorted(needed - expect['required'] - expect['allowed'])} beyond FreeBSD's base")
    if needed & expect["foreign"]:
        faults.append(f"needs {sorted(needed & expect['foreign'])}, libraries of another system")
    if sorted(elf.exports) != export_names():
        faults.append(f"exports {sorted(elf.exports)}, want {export_names()}")
    return faults


def branded_freebsd(elf):
    return elf.osabi == ELFOSABI_FREEBSD or any(
        name == "FreeBSD" and kind == NT_FREEBSD_ABI_TAG for name, kind, _ in elf.notes)


def expectations(freebsd_python):
    python, abi = interpreter_tags("%d.%d" % sys.version_info[:2],
                                   bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                                   bool(sysconfig.get_config_var("Py_DEBUG")))
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    fb_python, fb_abi = interpreter_tags(freebsd_python)
    return {
        "Linux": {
            "tag": f"{python}-{abi}-{platform}",
            "module": "_norvik_bsd" + sysconfig.get_config_var("EXT_SUFFIX"),
            "os": "Linux", "osabi": lambda elf: elf.osabi in (0, 3) and not branded_freebsd(elf),
            "required": {"libc.so.6"}, "allowed": None,
            "foreign": FREEBSD_REQUIRED | {"libthr.so.3", "libcxxrt.so.1", "libm.so.5"},
        },
        "FreeBSD": {
            "tag": f"{fb_python}-{fb_abi}-{FREEBSD_PLATFORM}",
            "module": "_norvik_bsd.so",
            "os": "FreeBSD", "osabi": branded_freebsd,
            "required": FREEBSD_REQUIRED, "allowed": FREEBSD_RUNTIME,
            "foreign": {"libc.so.6", "libstdc++.so.6"},
        },
    }


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dist")
    parser.add_argument("--freebsd-python", required=True, help="X.Y of the FreeBSD wheel's CPython")
    args = parser.parse_args(argv)
    wheels = sorted(n for n in os.listdir(args.dist) if n.startswith("norvik_bsd-") and n.endswith(".whl"))
    failed = False
    for system, expect in expectations(args.freebsd_python).items():
        mine = [n for n in wheels if n.endswith(f"-{expect['tag'].split('-')[2]}.whl")]
        if len(mine) != 1:
            print(f"[wheels] {system}: {len(mine)} wheels tagged {expect['tag']} in {args.dist} ({wheels})",
                  file=sys.stderr)
            failed = True
            continue
        faults = check(os.path.join(args.dist, mine[0]), expect)
        for fault in faults:
            print(f"[wheels] {mine[0]}: {fault}", file=sys.stderr)
        failed |= bool(faults)
        if not faults:
            print(f"[wheels] {mine[0]}: {expect['module']} and {STUB}, RECORD hashes, {expect['os']} x86-64,"
                  f" the five exports and the needed libraries checked")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
