"""What a loader sees of a 64-bit little-endian ELF shared object: its
identification (class, OS/ABI, machine), its notes, the libraries it needs
and the dynamic symbols it defines. Read from the section headers, as
readelf does; used by the FreeBSD build's export check and the wheel check.

    python3 tools/elfinfo.py exports FILE   (one defined dynamic symbol a line)
    python3 tools/elfinfo.py needed FILE    (one DT_NEEDED a line)
"""
import struct
import sys
from dataclasses import dataclass, field

ELFOSABI_NAMES = {0: "SYSV", 3: "GNU/Linux", 9: "FreeBSD"}
EM_X86_64 = 62
SHT_DYNAMIC, SHT_NOTE, SHT_DYNSYM = 6, 7, 11
DT_NULL, DT_NEEDED, DT_SONAME = 0, 1, 14
SHN_UNDEF = 0
STB_GLOBAL, STB_WEAK = 1, 2


class ElfError(ValueError):
    pass


@dataclass
class ElfFacts:
    elf_class: int = 0        # 2: 64-bit
    data: int = 0             # 1: little-endian
    osabi: int = 0            # e_ident[EI_OSABI]
    elf_type: int = 0         # 3: ET_DYN
    machine: int = 0          # 62: x86-64
    notes: list = field(default_factory=list)    # (owner name, type, descriptor)
    needed: list = field(default_factory=list)   # DT_NEEDED in order
    soname: str = ""
    exports: list = field(default_factory=list)  # defined global/weak dynamic symbols


def _cstring(blob, offset):
    end = blob.find(b"\0", offset)
    if end < 0:
        raise ElfError(f"string at {offset} has no end")
    return blob[offset:end].decode()


def _notes(section, align):
    notes, offset = [], 0
    while offset + 12 <= len(section):
        namesz, descsz, kind = struct.unpack_from("<III", section, offset)
        offset += 12
        name = section[offset:offset + namesz].rstrip(b"\0").decode(errors="replace")
        offset += (namesz + align - 1) // align * align
        notes.append((name, kind, section[offset:offset + descsz]))
        offset += (descsz + align - 1) // align * align
    return notes


def read(blob):
    """The facts of the ELF image in BLOB (bytes); ElfError if it is not one
    this reader understands (64-bit little-endian only)."""
    if blob[:4] != b"\x7fELF":
        raise ElfError("not an ELF file")
    facts = ElfFacts(elf_class=blob[4], data=blob[5], osabi=blob[7])
    if facts.elf_class != 2 or facts.data != 1:
        raise ElfError(f"not 64-bit little-endian (class {facts.elf_class}, data {facts.data})")
    facts.elf_type, facts.machine = struct.unpack_from("<HH", blob, 16)
    shoff, = struct.unpack_from("<Q", blob, 40)
    shentsize, shnum = struct.unpack_from("<HH", blob, 58)
    if shoff == 0 or shentsize != 64 or shoff + shnum * 64 > len(blob):
        raise ElfError("no readable section headers")
    sections = [struct.unpack_from("<IIQQQQIIQQ", blob, shoff + i * 64) for i in range(shnum)]

    def body(index):
        _, kind, _, _, offset, size, *_ = sections[index]
        if offset + size > len(blob):
            raise ElfError(f"section {index} runs past the end of the file")
        return blob[offset:offset + size]

    for index, (_, kind, _, _, _, size, link, _, align, entsize) in enumerate(sections):
        if kind == SHT_NOTE:
            facts.notes += _notes(body(index), 8 if align == 8 else 4)
        elif kind == SHT_DYNAMIC:
            strings = body(link)
            for tag, value in struct.iter_unpack("<qQ", body(index)):
                if tag == DT_NULL:
                    break
                if tag == DT_NEEDED:
                    facts.needed.append(_cstring(strings, value))
                elif tag == DT_SONAME:
                    facts.soname = _cstring(strings, value)
        elif kind == SHT_DYNSYM:
            strings = body(link)
            for name, info, _, shndx, _, _ in struct.iter_unpack("<IBBHQQ", body(index)):
                if shndx != SHN_UNDEF and info >> 4 in (STB_GLOBAL, STB_WEAK):
                    facts.exports.append(_cstring(strings, name))
    return facts


def read_file(path):
    with open(path, "rb") as f:
        return read(f.read())


def main(argv):
    if len(argv) != 3 or argv[1] not in ("exports", "needed"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    facts = read_file(argv[2])
    for name in sorted(facts.exports) if argv[1] == "exports" else facts.needed:
        print(name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
