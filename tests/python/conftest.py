"""Shared fixtures: the test build of the module, its scripted kernel, and the
release build for what only the shipped module may show."""
import glob
import importlib
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

BUILD = os.environ.get("NORVIK_BUILD_DIR", os.path.join(HERE, "..", "..", "build"))
SCRIPTED_DIR = os.path.abspath(os.path.join(BUILD, "scripted"))
RELEASE_DIR = os.path.abspath(os.path.join(BUILD, "release"))

# The testing package from the checkout, over the scripted build of this
# build folder (children inherit the choice).
sys.path.insert(0, os.path.abspath(os.path.join(HERE, "..", "..", "python")))
os.environ["NORVIK_BSD_TESTING_MODULE"] = SCRIPTED_DIR
import norvik_bsd_testing  # noqa: E402

# The sanitizer run starts this interpreter with the ASan runtime preloaded.
# Tools the tests run (ps, pmap, ...) hang when they inherit it, so only
# interpreters that load the module get it back (run_python).
SANITIZED = bool(os.environ.get("NORVIK_SANITIZE"))
SANITIZER_PRELOAD = os.environ.pop("LD_PRELOAD", "") if SANITIZED else ""

if SCRIPTED_DIR not in sys.path:
    sys.path.insert(0, SCRIPTED_DIR)
# One module object for `import _norvik_bsd` and the testing package alike.
SCRIPTED = importlib.import_module("_norvik_bsd")
assert norvik_bsd_testing.scripted_module() is SCRIPTED


@pytest.fixture(scope="session")
def norvik():
    assert os.path.dirname(SCRIPTED.__file__) == SCRIPTED_DIR
    return SCRIPTED


@pytest.fixture
def kernel(norvik):
    """The scripted kernel, clean before and after the test."""
    with norvik_bsd_testing.scripted_kernel() as script:
        yield script


@pytest.fixture(scope="session")
def release_module_path():
    found = glob.glob(os.path.join(RELEASE_DIR, "_norvik_bsd*.so"))
    assert found, "release build missing"
    return found[0]


def module_env(env=None):
    """The environment for a child interpreter that loads the module: under the
    sanitizer run, the ASan runtime goes back in front of any other preload."""
    env = dict(os.environ if env is None else env)
    if SANITIZER_PRELOAD:
        env["LD_PRELOAD"] = " ".join(filter(None, (SANITIZER_PRELOAD, env.get("LD_PRELOAD", ""))))
    return env


def run_python(code, env_extra=None, module_dir=SCRIPTED_DIR, env_drop=()):
    """Runs code in a fresh interpreter that imports the module from module_dir."""
    import subprocess

    env = {k: v for k, v in os.environ.items() if k not in ("NORVIK_DEBUG", "NORVIK_TESTING")}
    for name in env_drop:
        env.pop(name, None)
    env.update(env_extra or {})
    env["PYTHONPATH"] = module_dir
    return subprocess.run([sys.executable, "-c", code], env=module_env(env), capture_output=True, text=True, timeout=60)
