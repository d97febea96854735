"""The writers in a process that has done nothing else: each row in a
subprocess of its own, which reads its workload's value from the files
bench/run.py writes (parsed with parse_canonical, or orjson.loads for
orjson.dumps), then times 25 consecutive calls.

The suite's other rows run in a process where earlier rows have freed large
blocks, which raises glibc's threshold for mapping a request afresh; a
program that only writes has not, and a writer whose buffers pass that
threshold finds fresh pages on every call, a page fault for every 4 KiB.
The page faults per call (minor faults, from getrusage) show whether it does.
Run as a script, this file is the subprocess.
"""

from __future__ import annotations

import json
import pathlib
import sys

import memory

WORKLOADS = ("records", "wide", "spki")
ROWS = ("to_canonical", "to_advanced", "to_transport", "orjson.dumps")
CALLS = 25


def _child(row: str, path: str) -> dict:
    import gc
    import resource
    import statistics
    import time

    data = pathlib.Path(path).read_bytes()
    if row == "orjson.dumps":
        import orjson
        value, write = orjson.loads(data), orjson.dumps
    else:
        import parvex
        value, write = parvex.parse_canonical(data), getattr(parvex, row)
    del data
    gc.freeze()
    times = []
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(CALLS):
        t0 = time.perf_counter_ns()
        result = write(value)
        times.append(time.perf_counter_ns() - t0)
        del result
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    return {"median_ms": statistics.median(times) / 1e6, "faults": faults / CALLS}


def measure(data_dir: pathlib.Path, workload: str, row: str) -> dict:
    form = "json" if row == "orjson.dumps" else "canonical"
    return memory.run_child(__file__, row, str(data_dir / f"{workload}.{form}"))


def section(data_dir: pathlib.Path, workloads) -> tuple[str, dict]:
    lines = [
        f"The writers in a fresh process (median of {CALLS} consecutive calls, after reading the value",
        "from the workload's file; faults: minor page faults per call):",
        f"{'workload':<9} " + " ".join(f"{r:>22}" for r in ROWS) + "   to_canonical ÷ orjson.dumps",
    ]
    figures: dict = {}
    for wl in workloads:
        if wl not in WORKLOADS:
            continue
        m = {row: measure(data_dir, wl, row) for row in ROWS}
        figures[wl] = m
        cells = [f"{'n/a':>22}" if "error" in f else f"{f['median_ms']:9.3f} ms {f['faults']:6.0f} flt"
                 for f in m.values()]
        c, o = m["to_canonical"], m["orjson.dumps"]
        ratio = f"{c['median_ms'] / o['median_ms']:.2f}×" if "error" not in c and "error" not in o else "-"
        lines.append(f"{wl:<9} " + " ".join(cells) + f"   {ratio}")
    return "\n".join(lines), figures


if __name__ == "__main__":
    print(json.dumps(_child(sys.argv[1], sys.argv[2])))
