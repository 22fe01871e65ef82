"""struct kinfo_proc (FreeBSD 14 amd64, 1088 bytes) with every field the
snapshot reads, for scripted answers; offsets from the platform's layout."""
import struct

SIZE = 1088
NODEV = 0xFFFFFFFFFFFFFFFF
NOCPU = -1

# name: (offset, struct format)
FIELDS = {
    "ki_structsize": (0, "<i"),
    "ki_pid": (72, "<i"),
    "ki_ppid": (76, "<i"),
    "ki_uid": (168, "<I"),
    "ki_ruid": (172, "<I"),
    "ki_svuid": (176, "<I"),
    "ki_rgid": (180, "<I"),
    "ki_svgid": (184, "<I"),
    "ki_groups0": (192, "<I"),
    "ki_size": (256, "<Q"),
    "ki_rssize": (264, "<q"),
    "ki_tsize": (280, "<q"),
    "ki_dsize": (288, "<q"),
    "ki_ssize": (296, "<q"),
    "ki_start": (336, "<qq"),
    "ki_stat": (388, "<b"),
    "ki_comm": (447, "20s"),
    "ki_tdev": (560, "<Q"),
    "ki_oncpu": (568, "<i"),
    "ki_lastcpu": (572, "<i"),
    "ki_numthreads": (596, "<i"),
    "ru_utime": (608, "<qq"),
    "ru_stime": (624, "<qq"),
    "ru_inblock": (696, "<q"),
    "ru_oublock": (704, "<q"),
    "ru_nvcsw": (736, "<q"),
    "ru_nivcsw": (744, "<q"),
    "ch_utime": (752, "<qq"),
    "ch_stime": (768, "<qq"),
}


def kinfo_proc(**values):
    """A record with ki_structsize set, the given fields, zeros elsewhere.
    Pairs (timevals) are given as (seconds, microseconds)."""
    rec = bytearray(SIZE)
    values.setdefault("ki_structsize", SIZE)
    for name, value in values.items():
        offset, fmt = FIELDS[name]
        if isinstance(value, tuple):
            struct.pack_into(fmt, rec, offset, *value)
        else:
            struct.pack_into(fmt, rec, offset, value)
    return bytes(rec)
