"""Building and running the native harness (bench/native): parvex's C++
core beside libgcrypt, on the workload files the suite writes."""

from __future__ import annotations

import csv
import os
import pathlib
import shutil
import subprocess

from report import Result

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = ROOT / "bench" / "native"
DEFAULT_BUILD = ROOT / "build" / "bench-native"
EXECUTABLE = "parvex_bench_native"


def build(build_dir: pathlib.Path) -> tuple[pathlib.Path | None, str | None]:
    """The harness, configured and built in `build_dir` (incrementally), or
    the reason it cannot be."""
    if shutil.which("cmake") is None:
        return None, "cmake is not installed"
    generator = ["-G", "Ninja"] if shutil.which("ninja") and not (build_dir / "Makefile").exists() else []
    steps = (
        ["cmake", "-S", str(SOURCE), "-B", str(build_dir), *generator, "-DCMAKE_BUILD_TYPE=Release"],
        ["cmake", "--build", str(build_dir), "--parallel", str(os.cpu_count() or 1)],
    )
    for step in steps:
        run = subprocess.run(step, capture_output=True, text=True)
        if run.returncode != 0:
            tail = (run.stderr or run.stdout).strip().splitlines()[-3:]
            hint = " (is libgcrypt20-dev installed?)" if "gcrypt" in run.stderr + run.stdout else ""
            return None, f"the native harness did not build{hint}: {' | '.join(tail)}"
    return build_dir / EXECUTABLE, None


def run(executable: pathlib.Path, data_dir: pathlib.Path, repeat: int, budget_s: float, keep_heap: bool = False
        ) -> tuple[str, dict[str, dict[str, Result]]]:
    """The harness's printed table, and its rows by workload and operation."""
    tsv = data_dir / "native.tsv"
    done = subprocess.run(
        [str(executable), str(data_dir), "--repeat", str(repeat), "--budget", str(budget_s),
         "--tsv", str(tsv), *(["--keep-heap"] if keep_heap else [])],
        capture_output=True, text=True, check=True)
    rows: dict[str, dict[str, Result]] = {}
    with tsv.open(newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            ran = not r["why_not"]
            rows.setdefault(r["workload"], {})[r["operation"]] = Result(
                row=r["operation"],
                median_ns=int(r["median_ns"]) if ran else None,
                samples=int(r["samples"]),
                octets=int(r["octets"]),
                why_not=r["why_not"] or None)
    return done.stdout, rows
