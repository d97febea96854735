"""Builds and runs the native checks of the C++ core (deep values, base-64)."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is not installed")
def test_core_checks(tmp_path):
    build = tmp_path / "build"
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build), *generator,
         "-DCMAKE_BUILD_TYPE=Release", "-DPARVEX_BUILD_PYTHON=OFF", "-DPARVEX_BUILD_TESTS=ON"],
        check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "parvex_core_test",
                    "--parallel", str(os.cpu_count() or 1)], check=True, capture_output=True)
    run = subprocess.run([str(build / "parvex_core_test")], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "core checks passed"
