"""Compares the ratios of bench/run.py's rows under two interpreters: each
parvex row's time divided by each of its references' (COMPARED_WITH), under
A and under B, and B's ratio over A's, so that a Python version on which
parvex falls behind its references shows, whatever that version does to the
speed of everything else.

    python3.11 bench/run.py --no-sweep --no-memory --no-fresh --no-native --json a1.json
    python3.15 bench/run.py --no-sweep --no-memory --no-fresh --no-native --json b1.json
    ... (as many runs as the machine's noise calls for, A and B in turns)
    python bench/versions.py a1.json,a2.json b1.json,b2.json

Several runs on a side give each ratio's median over them. Rows whose B/A
is over --limit (default 1.1) are marked; the exit status is 0 whatever
they are, as the figures of a loaded machine are not a verdict.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from rows import COMPARED_WITH  # noqa: E402


def ratios(paths: list[str]) -> tuple[dict, list[str]]:
    """(workload, row, reference) -> the median over the runs of row ÷
    reference, and the interpreter and processor of each run."""
    found: dict = {}
    pythons = []
    for path in paths:
        run = json.loads(pathlib.Path(path).read_text())
        pythons.append(f'{run.get("interpreter", "?")} on {run.get("cpu", "?")}')
        for workload, rows in run["python"].items():
            for row, refs in COMPARED_WITH.items():
                for ref in refs:
                    if ref in COMPARED_WITH:  # parvex against parvex: not a reference
                        continue
                    a, b = rows.get(row) or {}, rows.get(ref) or {}
                    if a.get("median_ns") and b.get("median_ns"):
                        found.setdefault((workload, row, ref), []).append(a["median_ns"] / b["median_ns"])
    return {k: statistics.median(v) for k, v in found.items()}, pythons


def main(argv: list[str]) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("a", help="bench/run.py --json files of interpreter A, comma-separated")
    p.add_argument("b", help="the same for interpreter B")
    p.add_argument("--limit", type=float, default=1.1, help="mark a B/A over this (default 1.1)")
    p.add_argument("--first", action="store_true", help="only each row's first reference")
    args = p.parse_args(argv)
    a, a_py = ratios(args.a.split(","))
    b, b_py = ratios(args.b.split(","))
    print(f"A: {len(a_py)} run(s) of {', '.join(sorted(set(a_py)))}")
    print(f"B: {len(b_py)} run(s) of {', '.join(sorted(set(b_py)))}")
    print(f"{'workload':<9} {'row':<27} {'÷ reference':<24} {'A':>8} {'B':>8} {'B/A':>6}")
    over = shown = 0
    for key in (k for k in a if k in b):
        workload, row, ref = key
        first = next(r for r in COMPARED_WITH[row] if r not in COMPARED_WITH)
        if args.first and ref != first:
            continue
        q = b[key] / a[key]
        shown += 1
        over += q > args.limit
        mark = "  over" if q > args.limit else ""
        print(f"{workload:<9} {row:<27} {ref:<24} {a[key]:8.3f} {b[key]:8.3f} {q:6.2f}{mark}")
    print(f"{over} of {shown} ratios over {args.limit}× on B")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
