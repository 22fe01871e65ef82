"""Sizes in human units, shared by the report's sections."""


def human(nbytes, compact=False):
    """1536 -> "1.5 KiB" (compact: "1.5K"); whole bytes below 1 KiB."""
    units = ("B", "K", "M", "G", "T") if compact else ("B", "KiB", "MiB", "GiB", "TiB")
    gap = "" if compact else " "
    for unit in units:
        if nbytes < 1024 or unit == units[-1]:
            return f"{nbytes:.0f}{gap}{unit}" if unit == "B" else f"{nbytes:.1f}{gap}{unit}"
        nbytes /= 1024
    return str(nbytes)
