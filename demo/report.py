"""make demo: a readable report of this machine through every function the
module has. Each section lives in demo/sections/ and is shown in name order."""
import glob
import importlib.util
import os
import sys
import traceback

import _norvik_bsd as norvik

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    print(f"_norvik_bsd {norvik.version} — {os.uname().nodename}, {os.uname().sysname} {os.uname().release}")
    failed = False
    for path in sorted(glob.glob(os.path.join(HERE, "sections", "*.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        location = importlib.util.spec_from_file_location(name, path)
        section = importlib.util.module_from_spec(location)
        location.loader.exec_module(section)
        print()
        print(section.TITLE)
        print("=" * len(section.TITLE))
        try:
            section.show(norvik)
        except Exception:  # a section that breaks must not hide the others
            failed = True
            traceback.print_exc()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
