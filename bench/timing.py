"""Timing calls the same way for every library.

Fairness with the cyclic garbage collector: parvex pauses it while it
builds a value and the other libraries do not, so no call may pay for
garbage that another left behind, and none may be made to traverse the
harness's own long-lived data:

- `hold` freezes the workload's trees and octets (`gc.freeze`), so that no
  collection, inside a timed call or out of it, traverses them;
- every timed call is preceded by `gc.collect()`, outside the timing;
- every timed call runs with the collector in its default state (enabled,
  default thresholds), so a library that lets it run pays for its
  collections, as it would in use; except the calls of the rows named in
  `gc_off`, which run with it disabled, as `timeit` runs a call;
- the result of a call is released after the clock stops.

Fairness with a machine whose load changes, and with the allocator: each
row runs in blocks of consecutive calls, the first of each block untimed,
so that every timed call finds the memory the row's own previous call
left (its steady state) rather than whatever another row left; and the
blocks come in passes over all the rows, so that a burst of load from
elsewhere falls on one block of each row rather than on one row. On this
kind of virtual machine a page touched for the first time costs
microseconds, so a row that follows another's large allocations can
otherwise take twice its time.
"""

from __future__ import annotations

import contextlib
import dataclasses
import gc
import statistics
import time

try:
    import resource
except ImportError:  # Windows has none: no page faults are counted there
    resource = None


@dataclasses.dataclass
class Timing:
    median_ns: int
    samples: int
    result_len: int | None  # len() of the result, for the rows that write
    faults: int | None = None  # page faults of the median call (fresh memory it touched), where counted


@contextlib.contextmanager
def hold():
    """Keeps what exists now out of every collection until the block ends."""
    gc.collect()
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()


def _faults() -> int | None:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt if resource else None


def _timed(call, gc_off: bool) -> tuple[int, int | None]:
    """The call's time, and the page faults taken while it ran."""
    gc.collect()
    if gc_off:
        gc.disable()
    try:
        f0 = _faults()
        t0 = time.perf_counter_ns()
        result = call()
        t1 = time.perf_counter_ns()
        f1 = _faults()
    finally:
        gc.enable()
    del result
    return t1 - t0, None if f0 is None else f1 - f0


def measure_rows(calls: dict, repeat: int, budget_s: float, passes: int = 3,
                 gc_off: frozenset[str] = frozenset()) -> dict:
    """For each named call, its `Timing`, or the exception its first
    (untimed) call raised. The calls named in `gc_off` are timed with the
    collector disabled.

    Up to `repeat` timed calls a row, in `passes` blocks; a row stops once
    it has five samples and has spent `budget_s` seconds in timed calls,
    or three and five times that.
    """
    if not gc.isenabled():
        raise RuntimeError("the collector must be enabled while timing")
    out: dict = {}
    samples: dict[str, list[tuple[int, int | None]]] = {}
    lengths: dict = {}
    per_block = -(-max(1, repeat) // max(1, passes))

    def done(s: list) -> bool:
        spent = sum(t for t, _ in s)
        return (len(s) >= max(1, repeat) or (len(s) >= 5 and spent > budget_s * 1e9)
                or (len(s) >= 3 and spent > 5 * budget_s * 1e9))

    for _ in range(max(1, passes)):
        for name, call in calls.items():
            if name in out or (name in samples and done(samples[name])):
                continue
            try:
                result = call()  # the block's untimed first call
            except Exception as e:  # the row cannot run; reported with the message
                out[name] = e
                continue
            lengths[name] = len(result) if isinstance(result, (bytes, bytearray, str)) else None
            del result
            s = samples.setdefault(name, [])
            for _ in range(per_block):
                if done(s):
                    break
                s.append(_timed(call, name in gc_off))
    for name, s in samples.items():
        median = sorted(s)[(len(s) - 1) // 2]  # a call that ran, with its faults
        out[name] = Timing(int(statistics.median(t for t, _ in s)), len(s), lengths[name], median[1])
    return out
