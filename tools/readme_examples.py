"""Runs the examples of README.md against the built release module and
writes what each prints into the text block beneath it.

An example is a block

    <!-- example NAME -->    (or <!-- example NAME listing -->, <!-- example NAME varies -->)
    ```python
    ...
    ```
    ```text
    what it printed
    ```

An example's output is compared with the README's, numbers aside. A
"listing" example prints one line per thing the machine has (mounts, disks,
interfaces), so another machine prints other lines of the same shapes; a
"varies" one prints what the machine's drivers give (a battery, a sensor),
so only its count of lines is compared. Examples run as an ordinary user: as root, the examples run as user
nobody, so a refusal reads the same for everyone.

    python3 tools/readme_examples.py [BUILD_DIR]           rewrite README.md
    python3 tools/readme_examples.py --check [BUILD_DIR]   exit 1 when an example fails
"""
from __future__ import annotations

import functools
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
NOBODY = 65534
EXAMPLE = re.compile(
    r"<!-- example (?P<name>\w+)(?: (?P<kind>listing|varies))? -->\n```python\n(?P<code>.*?)```\n```text\n(?P<shown>.*?)```",
    re.S)


@dataclass
class Example:
    name: str
    kind: str  # "exact", "listing" or "varies"
    code: str
    shown: str  # the output the README shows


def examples(text: str) -> list[Example]:
    return [Example(m["name"], m["kind"] or "exact", m["code"], m["shown"]) for m in EXAMPLE.finditer(text)]


def drop_root():
    if os.getuid() == 0:
        os.setgroups([])
        os.setgid(NOBODY)
        os.setuid(NOBODY)


class NoInterpreter(Exception):
    """No CPython of this version that the examples' user may run."""


@functools.cache
def interpreter() -> str:
    """This CPython, or one of the same version that user nobody may run
    (an interpreter under /root is not); NoInterpreter when there is none."""
    version = "%d.%d" % sys.version_info[:2]
    for candidate in (sys.executable, f"/usr/bin/python{version}", f"/usr/local/bin/python{version}"):
        try:
            if subprocess.run([candidate, "-c", "pass"], preexec_fn=drop_root, capture_output=True).returncode == 0:
                return candidate
        except OSError:  # missing, or not this user's to run
            continue
    raise NoInterpreter(f"no CPython {version} that user nobody may run")


def run(example: Example, module_dir: str, env: dict | None = None) -> subprocess.CompletedProcess:
    env = dict(os.environ if env is None else env, PYTHONPATH=module_dir)
    return subprocess.run([interpreter(), "-c", example.code], capture_output=True, text=True, env=env,
                          cwd="/", timeout=60, preexec_fn=drop_root)


def shape(line: str, listing: bool) -> str:
    """A line with its numbers as N; in a listing, names and words as W too."""
    line = re.sub(r"\d+", "N", line)
    return re.sub(r"[A-Za-z_][\w-]*", "W", line) if listing else line


def differences(example: Example, printed: str) -> list[str]:
    """How the README's output of an example departs from what it printed."""
    shown, fresh = example.shown.splitlines(), printed.splitlines()
    if example.kind == "varies":
        if len(shown) != len(fresh):
            return [f"{example.name}: shows {len(shown)} lines, prints {len(fresh)}"]
        return []
    if example.kind == "listing":
        fresh_shapes = {shape(line, True) for line in fresh}
        return [f"{example.name}: no line now prints as {line!r}"
                for line in shown if shape(line, True) not in fresh_shapes]
    if [shape(line, False) for line in shown] != [shape(line, False) for line in fresh]:
        return [f"{example.name}: shows {shown!r}, prints {fresh!r}"]
    return []


def main(argv: list[str]) -> int:
    check = "--check" in argv
    rest = [a for a in argv[1:] if a != "--check"]
    module_dir = str(Path(rest[0] if rest else ROOT / "build") / "release")
    text = README.read_text()
    failed = False
    for example in examples(text):
        result = run(example, module_dir)
        if result.returncode != 0:
            print(f"readme_examples.py: {example.name} failed:\n{result.stderr}", file=sys.stderr)
            failed = True
            continue
        if check:
            for fault in differences(example, result.stdout):
                print(f"readme_examples.py: {fault}", file=sys.stderr)
                failed = True
        else:
            old = f"```python\n{example.code}```\n```text\n{example.shown}```"
            text = text.replace(old, f"```python\n{example.code}```\n```text\n{result.stdout}```")
    if not check and not failed:
        README.write_text(text)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
