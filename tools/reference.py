"""Fills the generated parts of docs/reference.md from stubs/_norvik_bsd.pyi.

The stub is the one source of each function's call and result layout: every
tuple alias there lists its fields one per line with "# name: meaning, unit"
beside it. Each function's section in the reference holds a block between

    <!-- stub: NAME -->
    <!-- end stub -->

which this program rewrites with the call and the tables of the layouts it
returns, fields numbered from 0 as Python indexes them; the prose around the
blocks (arguments, exceptions, FreeBSD source, Linux notes) is written by
hand. The table of contents between

    <!-- contents -->
    <!-- end contents -->

is rewritten from the "##" and "###" headings.

    python3 tools/reference.py           rewrite docs/reference.md
    python3 tools/reference.py --check   exit 1 if it is not up to date
"""
from __future__ import annotations

import ast
import io
import re
import sys
import tokenize
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "_norvik_bsd.pyi"
REFERENCE = ROOT / "docs" / "reference.md"

BLOCK = re.compile(r"<!-- stub: (\w+) -->\n.*?<!-- end stub -->", re.S)
CONTENTS = re.compile(r"<!-- contents -->\n.*?<!-- end contents -->", re.S)
HEADING = re.compile(r"^(##|###) (.+)$", re.M)


@dataclass
class Field:
    name: str
    type: str
    meaning: str


@dataclass
class Alias:
    name: str
    node: ast.expr
    text: str
    comment: str
    fields: list[Field] = field(default_factory=list)  # empty unless one field a line


@dataclass
class Function:
    name: str
    params: list[tuple[str, str]]  # (name, type), all positional-only
    returns: ast.expr
    signature: str


@dataclass
class Stub:
    aliases: dict[str, Alias]
    functions: dict[str, Function]
    constants: list[str]


def comments_by_line(source: str) -> dict[int, str]:
    found = {}
    for tok in tokenize.generate_tokens(io.StringIO(source).readline):
        if tok.type == tokenize.COMMENT:
            found[tok.start[0]] = tok.string[1:].strip()
    return found


def parse_stub(source: str) -> Stub:
    tree = ast.parse(source)
    comments = comments_by_line(source)
    aliases, functions, constants = {}, {}, []
    for node in tree.body:
        if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
            name = node.targets[0].id
            comment = comments.get(node.lineno, "") if node.lineno == node.end_lineno else ""
            if not comment:
                comment = comments.get(node.lineno - 1, "")
            alias = Alias(name, node.value, ast.unparse(node.value), comment)
            value = node.value
            if (isinstance(value, ast.Subscript) and isinstance(value.value, ast.Name) and value.value.id == "tuple"
                    and isinstance(value.slice, ast.Tuple) and node.lineno != node.end_lineno):
                for element in value.slice.elts:
                    note = comments.get(element.end_lineno, "")
                    fname, _, meaning = note.partition(": ")
                    if not meaning:
                        raise ValueError(f"{name}: field on line {element.end_lineno} has no 'name: meaning' comment")
                    alias.fields.append(Field(fname, ast.unparse(element), meaning))
            aliases[name] = alias
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            constants.append(node.target.id)
        elif isinstance(node, ast.FunctionDef):
            args = node.args
            if args.args or args.vararg or args.kwonlyargs or args.kwarg:
                raise ValueError(f"{node.name}: every parameter must be positional-only")
            params = [(a.arg, ast.unparse(a.annotation)) for a in args.posonlyargs]
            shown = ", ".join(f"{n}: {t}" for n, t in params) + (", /" if params else "")
            signature = f"{node.name}({shown}) -> {ast.unparse(node.returns)}"
            functions[node.name] = Function(node.name, params, node.returns, signature)
    return Stub(aliases, functions, constants)


def aliases_in(node: ast.expr, stub: Stub, seen: list[str]) -> list[str]:
    """The stub aliases a type refers to, outermost first, each once."""
    for sub in ast.walk(node):
        if isinstance(sub, ast.Name) and sub.id in stub.aliases and sub.id not in seen:
            seen.append(sub.id)
            aliases_in(stub.aliases[sub.id].node, stub, seen)
    return seen


def cell(text: str) -> str:
    """Text for a table cell: a bar would end the cell."""
    return text.replace("|", "\\|")


def render_block(function: Function, stub: Stub) -> str:
    lines = [f"<!-- stub: {function.name} -->", "```python", function.signature, "```"]
    for name in aliases_in(function.returns, stub, []):
        alias = stub.aliases[name]
        lines.append("")
        if alias.fields:
            lines.append(f"`{name}`: a tuple of {len(alias.fields)} fields.")
            lines.append("")
            lines.append("| [i] | Field | Type | Meaning, unit |")
            lines.append("|---|---|---|---|")
            for i, f in enumerate(alias.fields):
                lines.append(f"| {i} | `{f.name}` | `{cell(f.type)}` | {cell(f.meaning)} |")
        else:
            lines.append(f"`{name}` = `{alias.text}`: {alias.comment}")
    lines.append("<!-- end stub -->")
    return "\n".join(lines)


def anchor(heading: str) -> str:
    """The anchor a markdown renderer (GitHub's) gives a heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def render_contents(reference: str) -> str:
    """The table of contents: the sections, each with its functions on one line."""
    lines = ["<!-- contents -->"]
    body = CONTENTS.sub("", reference)
    for level, title in HEADING.findall(body):
        if title == "Contents":
            continue
        link = f"[{title.strip('`') if level == '###' else title}](#{anchor(title)})"
        if level == "##":
            lines.append(f"- {link}")
        elif lines[-1].startswith("  - "):
            lines[-1] += f", {link}"
        else:
            lines.append(f"  - {link}")
    lines.append("<!-- end contents -->")
    return "\n".join(lines)


def render(reference: str, stub: Stub) -> str:
    def block(match: re.Match) -> str:
        name = match.group(1)
        if name not in stub.functions:
            raise ValueError(f"the reference has a block for {name}, which the stub lacks")
        return render_block(stub.functions[name], stub)

    fresh = BLOCK.sub(block, reference)
    if not CONTENTS.search(fresh):
        raise ValueError("the reference has no <!-- contents --> block")
    contents = render_contents(fresh)
    return CONTENTS.sub(lambda _: contents, fresh)


def documented(reference: str) -> list[str]:
    return BLOCK.findall(reference)


def main(argv: list[str]) -> int:
    stub = parse_stub(STUB.read_text())
    current = REFERENCE.read_text()
    fresh = render(current, stub)
    missing = sorted(set(stub.functions) - set(documented(current)))
    if missing:
        print(f"reference.py: no section for {', '.join(missing)}", file=sys.stderr)
        return 1
    if argv[1:] == ["--check"]:
        if fresh != current:
            print("reference.py: docs/reference.md is out of date; run python3 tools/reference.py", file=sys.stderr)
            return 1
        return 0
    REFERENCE.write_text(fresh)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
