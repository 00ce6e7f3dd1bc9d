"""Builds and runs the C++ test runner of the protocol core (no interpreter
involved), and replays through its harness every input a fuzz harness ever
stopped on (tests/fuzz/corpus/<harness>/), so `pytest` alone covers the whole
project and a fault once found stays fixed."""

import os
import pathlib
import shutil
import subprocess

import pytest
from _testdata import h2_data_dir

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = sorted(p for p in (ROOT / "tests" / "fuzz" / "corpus").glob("*/*") if p.is_file())


@pytest.fixture(scope="module")
def core_build():
    """The core test runner and the harnesses that have kept inputs, built
    once for this module (with the sanitizers when the suite runs under
    them)."""
    if shutil.which("cmake") is None:
        pytest.skip("cmake is needed to build the core tests")
    sanitize = os.environ.get("QUILLON_SANITIZE") == "1"
    build = ROOT / "build" / ("core-tests-asan" if sanitize else "core-tests")
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build),
        "-DQUILLON_CORE_ONLY=ON", "-DQUILLON_CORE_TESTS=ON", "-DQUILLON_FUZZ=ON",
        "-DCMAKE_BUILD_TYPE=" + ("RelWithDebInfo" if sanitize else "Debug"),
        "-DQUILLON_SANITIZE=" + ("ON" if sanitize else "OFF"),
    ]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(configure, check=True, capture_output=True, env=env)
    targets = ["quillon_core_tests", *sorted({p.parent.name for p in CORPUS})]
    built = subprocess.run(["cmake", "--build", str(build), "--target", *targets],
                           capture_output=True, text=True, env=env)
    assert built.returncode == 0, built.stdout[-4000:] + built.stderr[-4000:]
    return build, env


def test_core_suite(core_build):
    build, env = core_build
    env = dict(env, QUILLON_TESTDATA=str(h2_data_dir()))
    run = subprocess.run([str(build / "quillon_core_tests")], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-4000:]
    assert " 0 failed checks" in run.stdout


@pytest.mark.parametrize("path", CORPUS, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_fuzz_corpus_replays(core_build, path):
    build, env = core_build
    run = subprocess.run([str(build / path.parent.name), str(path)], capture_output=True, text=True,
                         env=env, timeout=60)
    assert run.returncode == 0, run.stderr[-4000:]
    # Both drivers name the file they ran (libFuzzer: "Running: <path>").
    assert str(path) in run.stderr
