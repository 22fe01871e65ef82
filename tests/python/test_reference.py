"""The typed stub, the reference and the module tell one story: the reference
is what tools/reference.py makes of the stub, the stub names exactly what the
release module has, and every function's real result has the shape the stub
gives it (stubtest can't see inside the results, nor the parameters of
functions without a text signature)."""
import ast
import importlib.util
import json
import os
import sys

import pytest

from conftest import RELEASE_DIR, run_python
from kernel_script import pack_int
from module_calls import CALLS, Target
from storage_records import USER_PROCESS, utmpx

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
_spec = importlib.util.spec_from_file_location("reference", os.path.join(ROOT, "tools", "reference.py"))
reference = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = reference
_spec.loader.exec_module(reference)


def read_text(path):
    with open(path) as f:
        return f.read()


STUB = reference.parse_stub(read_text(reference.STUB))


def test_reference_is_generated_from_the_stub():
    current = read_text(reference.REFERENCE)
    assert reference.render(current, STUB) == current, "run python3 tools/reference.py"
    blocks = reference.documented(current)
    assert sorted(blocks) == sorted(STUB.functions) and len(blocks) == len(set(blocks)) == 46


def test_stub_names_what_the_release_module_has():
    code = """if True:
        import json, _norvik_bsd as m
        kinds = {}
        refuses_keywords = []
        for name in dir(m):
            value = getattr(m, name)
            if name.startswith("__"):
                continue
            kinds[name] = type(value).__name__
            if callable(value) and not isinstance(value, type):
                try:
                    value(x=1)
                except TypeError as e:
                    if "keyword" in str(e):
                        refuses_keywords.append(name)
        bases = [b.__name__ for b in m.ZombieProcessError.__bases__]
        ints = {n: getattr(m, n) for n, k in kinds.items() if k == "int"}
        print(json.dumps([kinds, refuses_keywords, bases, ints]))
    """
    result = run_python(code, module_dir=RELEASE_DIR)
    assert result.returncode == 0, result.stderr
    kinds, refuses_keywords, bases, ints = json.loads(result.stdout)
    functions = sorted(n for n, k in kinds.items() if k == "builtin_function_or_method")
    assert functions == sorted(STUB.functions)
    assert sorted(refuses_keywords) == functions
    assert sorted(ints) == sorted(STUB.constants)
    assert set(kinds) == set(functions) | set(ints) | {"ZombieProcessError"}
    stub_class = next(n for n in ast.parse(read_text(reference.STUB)).body if isinstance(n, ast.ClassDef))
    assert [ast.unparse(b) for b in stub_class.bases] == bases == ["Exception"]


BUILTIN_TYPES = {"int": int, "float": float, "str": str, "bool": bool}


def conforms(value, node):
    """Whether a value has the shape of a stub annotation."""
    if isinstance(node, ast.Constant) and node.value is None:
        return value is None
    if isinstance(node, ast.Name):
        if node.id in STUB.aliases:
            return conforms(value, STUB.aliases[node.id].node)
        return type(value) is BUILTIN_TYPES[node.id]
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return conforms(value, node.left) or conforms(value, node.right)
    if isinstance(node, ast.Subscript):
        kind = node.value.id
        args = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        if kind == "tuple":
            return type(value) is tuple and len(value) == len(args) and all(map(conforms, value, args))
        if kind == "list":
            return type(value) is list and all(conforms(v, args[0]) for v in value)
        if kind == "dict":
            return type(value) is dict and all(conforms(k, args[0]) and conforms(v, args[1])
                                               for k, v in value.items())
    raise AssertionError(f"no check for {ast.unparse(node)}")


@pytest.fixture(scope="module")
def target():
    made = Target()
    yield made
    made.close()


def test_every_result_has_the_stub_shape(norvik, kernel, target):
    # What this machine lacks, the scripted kernel answers.
    kernel.answer("dev.cpu.0.freq", pack_int(2400))
    kernel.answer("dev.cpu.0.freq_levels", b"2400/45000 1200/20000\0")
    for key, value in (("hw.acpi.battery.life", 80), ("hw.acpi.battery.time", 95), ("hw.acpi.acline", 0),
                       ("dev.cpu.0.temperature", 3231), ("dev.cpu.0.coretemp.tjmax", 3731)):
        kernel.answer(key, pack_int(value))
    kernel.answer("getutxent.0", utmpx(USER_PROCESS, b"u", b"pts/0", b"example.org", sec=5, pid=7))
    assert sorted(call.name for call in CALLS) == sorted(STUB.functions)
    results = {}
    for call in CALLS:
        args = call.arguments(target)
        results[call.name] = getattr(norvik, call.name)(*args)
        assert len(args) == len(STUB.functions[call.name].params), call.name
        assert conforms(results[call.name], STUB.functions[call.name].returns), (call.name, results[call.name])
    # The lists and dicts above held rows to check, not nothing.
    for name in ("pids", "proc_cmdline", "proc_environ", "proc_threads", "proc_open_files", "proc_memory_maps",
                 "proc_cpu_affinity_get", "per_cpu_times", "disk_partitions", "users", "net_io_counters",
                 "net_if_addrs", "net_if_flags"):
        assert results[name], name
    # Both forms of the connection tuples were there to check.
    for name, width in (("net_connections", 7), ("proc_net_connections", 6)):
        assert {row[1] for row in results[name]} >= {1, 2}
        assert {len(row) for row in results[name]} == {width}


def test_the_shape_check_can_fail():
    oneshot = STUB.functions["proc_oneshot_info"].returns
    good = (1, 2) + (0,) * 7 + (1.5,) + (0,) * 4 + (0.0,) * 4 + (0,) * 6 + (None,)
    assert conforms(good, oneshot)
    assert not conforms(good[:-1], oneshot)
    assert not conforms(good[:-1] + (b"name",), oneshot)
    assert not conforms((True,) + good[1:], oneshot)
    raddr = STUB.functions["net_connections"].returns
    assert conforms([(3, 2, 1, ("127.0.0.1", 80), (), 1, 9), (4, 1, 2, "/s", "", 128, 9)], raddr)
    assert not conforms([(3, 2, 1, ("127.0.0.1", 80), ("x",), 1, 9)], raddr)
    assert not conforms({"lo": (0,) * 7}, STUB.functions["net_io_counters"].returns)
