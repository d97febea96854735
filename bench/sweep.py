"""One atom of each size from 64 KiB to 64 MiB through `to_canonical` and
`to_transport`: where a writer's speed changes with the size of its output
(caches, the allocator's switch to fresh pages from the system, a separate
path for large texts), one workload of one size would not show it.

Each size is an atom of random octets, a distinct object; both rows are
timed as the workloads' rows are (`timing.measure_rows`). Beside each time,
the page faults of the median call: none where the result was made in
memory the process kept, more where it was fresh from the system, whose
pages the kernel clears before they are written."""

from __future__ import annotations

import dataclasses
import os

import parvex
from report import Result
from timing import hold, measure_rows

KIB = 1024
MIB = 1024 * KIB
# Powers of two, with the sizes around which speeds were seen to change: a
# text of 4 MiB (from 3 MiB of octets), 5 and 13 MiB, and 32 MiB, from which
# glibc's allocator always maps fresh pages.
SIZES = (64 * KIB, 256 * KIB, 1 * MIB, 3 * MIB, 4 * MIB, 5 * MIB, 8 * MIB, 13 * MIB, 16 * MIB,
         24 * MIB, 32 * MIB, 48 * MIB, 64 * MIB)
ROWS = ("to_canonical", "to_transport")


@dataclasses.dataclass
class Point:
    size: int
    results: dict[str, Result]

    @property
    def label(self) -> str:
        return label(self.size)

    def ratio(self) -> float | None:
        a, b = self.results["to_transport"], self.results["to_canonical"]
        return a.median_ns / b.median_ns if a.ran and b.ran else None


def label(size: int) -> str:
    return f"{size // MIB} MiB" if size % MIB == 0 else f"{size // KIB} KiB"


def run(repeat: int, budget: float, scale: float = 1.0) -> list[Point]:
    """Every size (multiplied by `scale`, at least 1 KiB)."""
    points = []
    for size in SIZES:
        size = max(KIB, int(size * scale))
        atom = os.urandom(size)
        calls = {"to_canonical": lambda: parvex.to_canonical(atom),
                 "to_transport": lambda: parvex.to_transport(atom)}
        with hold():
            timings = measure_rows(calls, repeat, budget)
        results = {}
        for name in ROWS:
            t = timings[name]
            if isinstance(t, Exception):
                results[name] = Result(name, why_not=f"{type(t).__name__}: {t}")
            else:
                results[name] = Result(name, t.median_ns, t.samples, t.result_len, faults=t.faults)
        points.append(Point(size, results))
        atom = None  # the lambdas' cell: frees it before the next size is made
    return points


def table(points: list[Point]) -> str:
    lines = [f"{'atom':>8} {'to_canonical ms':>16} {'MB/s':>8} {'faults':>7} {'to_transport ms':>16} {'MB/s':>8} "
             f"{'faults':>7}  to_transport ÷ to_canonical"]
    for p in points:
        c, t = p.results["to_canonical"], p.results["to_transport"]
        if not (c.ran and t.ran):
            lines.append(f"{label(p.size):>8} n/a: {c.why_not or t.why_not}")
            continue
        lines.append(f"{label(p.size):>8} {c.median_ns / 1e6:16.3f} {c.mb_s:8.0f} {_count(c.faults):>7} "
                     f"{t.median_ns / 1e6:16.3f} {t.mb_s:8.0f} {_count(t.faults):>7}  {p.ratio():.2f}×")
    return "\n".join(lines)


def _count(n: int | None) -> str:
    return "-" if n is None else f"{n:,}"
