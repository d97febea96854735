"""Instructions per call, counted by callgrind: a figure that the load of a
shared machine does not move, to set beside the times of bench/run.py.

    python bench/instructions.py --workloads records,wide --scale 0.1 --calls 10

Each row runs in its own interpreter under `valgrind --tool=callgrind`,
through bench/profile_row.py; one run per workload with no call at all
gives the instructions spent on everything else (start-up, building the
workload), and a row's count per call is its run's total less that, divided
by the number of calls. A call here also includes the `gc.collect()`
before it and the release of its result. Instructions are not time: cache misses, page faults
and memory bandwidth are not in them. The counts are also of one small
scale; what matters is the ratio between rows.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import rows as rowdefs  # noqa: E402
import workloads  # noqa: E402

PROFILE_ROW = pathlib.Path(__file__).resolve().parent / "profile_row.py"
DEFAULT_ROWS = ("parse_canonical", "parse (advanced)", "to_canonical", "to_advanced", "to_transport",
                "marshal.loads", "orjson.loads", "orjson.dumps", "json.loads")


def count(workdir: pathlib.Path, workload: str, row: str, calls: int, scale: float) -> int:
    """All the instructions of one run of profile_row.py."""
    out = workdir / "callgrind.out"
    # A fixed hash seed, so that the run with no call and the run with calls
    # build the workload with the same instructions.
    env = dict(os.environ, PYTHONHASHSEED="0")
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
         sys.executable, str(PROFILE_ROW), workload, row, "--calls", str(calls), "--scale", str(scale)],
        capture_output=True, text=True, env=env)
    if run.returncode != 0:
        raise RuntimeError(f"{workload} {row}: {run.stderr.strip().splitlines()[-1:]}")
    match = re.search(r"^(?:totals|summary): (\d+)", out.read_text(), re.MULTILINE)
    out.unlink()
    if match is None:
        raise RuntimeError(f"{workload} {row}: no total in callgrind's output")
    return int(match.group(1))


def main(argv: list[str]) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--workloads", default="records,wide")
    p.add_argument("--rows", default=",".join(DEFAULT_ROWS))
    p.add_argument("--scale", type=float, default=0.1)
    p.add_argument("--calls", type=int, default=10)
    args = p.parse_args(argv)
    if shutil.which("valgrind") is None:
        print("valgrind is not installed", file=sys.stderr)
        return 1
    chosen_rows = [r for r in args.rows.split(",") if r]
    print(f"callgrind instruction counts per call, scale {args.scale}, {args.calls} calls a row")
    with tempfile.TemporaryDirectory(prefix="parvex-ir-") as tmp:
        workdir = pathlib.Path(tmp)
        for workload in args.workloads.split(","):
            base = count(workdir, workload, "copy", 0, args.scale)
            wl = workloads.build(workload, args.scale)
            runnable = {r.name for r in rowdefs.rows_for(wl) if not r.why_not}
            del wl
            per_call: dict[str, float] = {}
            print(f"\n== {workload}")
            for row in chosen_rows:
                if row not in runnable:
                    print(f"{row:<18} n/a")
                    continue
                try:
                    total = count(workdir, workload, row, args.calls, args.scale)
                except RuntimeError as e:
                    print(f"{row:<18} n/a: {e}")
                    continue
                per_call[row] = (total - base) / args.calls
                print(f"{row:<18} {per_call[row] / 1e6:10.2f} M instructions a call", flush=True)
            for row in (r for r in chosen_rows if r in rowdefs.COMPARED_WITH and r in per_call):
                ratios = [f"{per_call[row] / per_call[ref]:.2f}× {ref}"
                          for ref in rowdefs.COMPARED_WITH[row] if ref in per_call]
                if ratios:
                    print(f"  {row} ÷ reference: {' · '.join(ratios)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
