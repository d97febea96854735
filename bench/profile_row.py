"""Runs one row of one workload over and over, for a profiler to watch.

    perf record -e cpu-clock -o perf.data -- python bench/profile_row.py records to_advanced --calls 200
    perf report -i perf.data --no-children --sort symbol

    valgrind --tool=callgrind --toggle-collect='parvex::py::to_advanced_fn*' \\
        python bench/profile_row.py records to_advanced --calls 3
    callgrind_annotate callgrind.out.<pid>

The workload is built first; with perf, that share of the samples is in
the interpreter and in the generator, not in the row. `--toggle-collect`
keeps callgrind's counts to the row's own calls.
"""

from __future__ import annotations

import argparse
import gc
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import rows as rowdefs  # noqa: E402
import workloads  # noqa: E402
from deepstack import run_deep  # noqa: E402
from timing import hold  # noqa: E402


def main(argv: list[str]) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("workload", choices=workloads.NAMES)
    p.add_argument("row", choices=rowdefs.ALL_ROWS)
    p.add_argument("--calls", type=int, default=100, help="0 builds the workload and makes no call")
    p.add_argument("--scale", type=float, default=1.0)
    args = p.parse_args(argv)
    orjson = rowdefs.orjson
    wl = workloads.build(args.workload, args.scale, orjson.dumps if orjson else None)
    row = next(r for r in rowdefs.rows_for(wl) if r.name == args.row)
    if row.why_not:
        print(f"{args.row} does not run on {args.workload}: {row.why_not}", file=sys.stderr)
        return 1
    with hold():
        start = time.perf_counter()
        for _ in range(args.calls):
            gc.collect()
            result = row.call()
            del result
        elapsed = time.perf_counter() - start
    each = f"{elapsed / args.calls * 1e3:.3f} ms each (gc.collect included)" if args.calls else "none made"
    print(f"{args.calls} calls of {args.row} on {args.workload}: {each}")
    return 0


if __name__ == "__main__":
    sys.exit(run_deep(lambda: main(sys.argv[1:])))
