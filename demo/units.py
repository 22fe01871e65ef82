"""Shared by the report's sections: sizes in one format, text cut to a
column, and the figures this host cannot give."""
import os

# On Linux the module runs over the stand-in of FreeBSD's kernel interface,
# which answers 0 for the few counts the host does not keep.
LINUX = os.uname().sysname == "Linux"
NOT_ON_LINUX = "n/a (not on Linux)"


def human(nbytes):
    """1536 -> "1.5 KiB"; whole bytes below 1 KiB ("512 B")."""
    units = ("B", "KiB", "MiB", "GiB", "TiB", "PiB")
    for unit in units:
        if nbytes < 1024 or unit == units[-1]:
            return f"{nbytes:.0f} {unit}" if unit == "B" else f"{nbytes:.1f} {unit}"
        nbytes /= 1024
    return str(nbytes)


def cut(text, width):
    """TEXT if it fits WIDTH characters, else its start and "…" in WIDTH:
    a cut name or path never reads as another whole one."""
    return text if len(text) <= width else text[: width - 1] + "…"


def host_figure(value, text=str):
    """TEXT(VALUE), or NOT_ON_LINUX where the host keeps no such figure."""
    return NOT_ON_LINUX if LINUX else text(value)
