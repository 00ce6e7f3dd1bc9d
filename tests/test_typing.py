"""The typed stub against the module it describes.

The stub is written by hand beside the binding layer; these checks keep it
complete (every published name), true to the runtime (mypy's stubtest), and
shipped where mypy finds it in an installed environment.
"""
import ast
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _quillon as q

ROOT = Path(__file__).resolve().parent.parent
STUB_DIR = ROOT / "src" / "bind"
STUB = STUB_DIR / "_quillon.pyi"

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def _stub_definitions():
    """Top-level names the stub defines, with the annotation text of variables."""
    tree = ast.parse(STUB.read_text(), filename=str(STUB))
    defined = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            defined[node.name] = None
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            defined[node.target.id] = ast.unparse(node.annotation)
    return defined


def test_stub_defines_every_published_name():
    defined = _stub_definitions()
    missing = [name for name in q.__all__ if name not in defined]
    assert not missing, f"published but not in the stub: {missing}"
    # Constants are Final, typed as what the module really holds.
    for name in q.__all__:
        value = getattr(q, name)
        if name != "__version__" and isinstance(value, (int, bytes)):
            assert defined[name] == f"Final[{type(value).__name__}]", name


def _mypy_env():
    env = dict(os.environ)
    env["MYPYPATH"] = str(STUB_DIR)
    build = os.environ.get("QUILLON_BUILD_DIR")
    if build:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.abspath(build), env.get("PYTHONPATH")]))
    return env


def _run(args, **kw):
    return subprocess.run(
        [sys.executable, *args], cwd=ROOT, env=_mypy_env(), capture_output=True, text=True, timeout=600, **kw
    )


@needs_mypy
def test_stubtest_matches_the_built_module():
    # No allow-list: every difference between stub and module is a failure.
    r = _run(["-m", "mypy.stubtest", "--mypy-config-file", os.devnull, "_quillon"])
    assert r.returncode == 0, r.stdout + r.stderr


@needs_mypy
def test_package_and_examples_pass_mypy_strict():
    r = _run(["-m", "mypy", "--strict", "--cache-dir", os.devnull, "--config-file", os.devnull, "src/quillon", "examples"])
    assert r.returncode == 0, r.stdout + r.stderr


def test_installed_module_ships_its_stub():
    origin = Path(q.__file__).resolve().parent
    if os.environ.get("QUILLON_BUILD_DIR") or (ROOT / "build") in origin.parents:
        pytest.skip("the module under test is a developer build, not an installed one")
    # mypy finds a stub for a top-level module only as a <module>-stubs package.
    stubs = origin / "_quillon-stubs"
    assert (stubs / "__init__.pyi").read_text() == STUB.read_text()
    assert (stubs / "py.typed").is_file()
    assert (origin / "_quillon.pyi").read_text() == STUB.read_text()
