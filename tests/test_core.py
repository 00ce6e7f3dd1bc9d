"""Builds and runs the C++ test runner of the protocol core (no interpreter
involved), so `pytest` alone covers the whole project."""

import os
import pathlib
import shutil
import subprocess

import pytest
from _testdata import h2_data_dir

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is needed to build the core tests")
def test_core_suite():
    sanitize = os.environ.get("QUILLON_SANITIZE") == "1"
    build = ROOT / "build" / ("core-tests-asan" if sanitize else "core-tests")
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build),
        "-DQUILLON_CORE_ONLY=ON", "-DQUILLON_CORE_TESTS=ON",
        "-DCMAKE_BUILD_TYPE=" + ("RelWithDebInfo" if sanitize else "Debug"),
        "-DQUILLON_SANITIZE=" + ("ON" if sanitize else "OFF"),
    ]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(configure, check=True, capture_output=True, env=env)
    built = subprocess.run(["cmake", "--build", str(build)], capture_output=True, text=True, env=env)
    assert built.returncode == 0, built.stdout[-4000:] + built.stderr[-4000:]
    env["QUILLON_TESTDATA"] = str(h2_data_dir())
    run = subprocess.run([str(build / "quillon_core_tests")], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-4000:]
    assert " 0 failed checks" in run.stdout
