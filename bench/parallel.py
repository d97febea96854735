"""Many files on one process and on two, each way parvex offers, with the
speed-ups.

    python bench/parallel.py [--rounds 5] [--scale 1.0] [--no-dask] [--parts]

Two workloads of advanced text, written from a fixed seed: `large`, 200
files of 1 MB, and `small`, 2,000 files of 1 KB (`--scale` multiplies the
counts). Each file is one list of log messages: tokens, quoted text, a
decimal id, a date, a binary payload with a display hint and a digest, which
the advanced writer puts as hexadecimal or base 64. Each way runs with 1 and
with 2 processes:

* `parse_files(paths, jobs=N)`: the values back in the calling process, as
  parse_files brings them (canonical octets from the workers, read again);
* `parvex --to transport --jobs N paths...` to /dev/null, interpreter
  start-up included;
* Dask: `read_sexp(paths, files_per_partition=count // 20).map(errors)
  .sum().compute()` on a `distributed.LocalCluster` of N worker processes
  of one thread each, started before the timing; `errors` counts the
  messages of a file whose level is "error", so only a number comes back
  from each partition.

Each figure is the median of `--rounds` runs (five times as many for the
small workload); "CPU s" is the processor time of the calling process and of
the others (workers, or the command line's processes). `--parts` adds, for
each workload, where one process's time goes and what
each side of `parse_files(jobs=2)` costs: reading the files, parsing them
into values, a worker's share (reading a file and writing its canonical
octets, no values made) and the caller's (making the values again from
those octets). The load average is printed before and after: with other work
on the machine the speed-ups mean little.
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import random
import statistics
import string
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import parvex

SEED = 9804


def _message(rng: random.Random, i: int) -> list:
    words = " ".join("".join(rng.choices(string.ascii_lowercase, k=rng.randint(2, 9)))
                     for _ in range(rng.randint(4, 14)))
    return [b"message", [b"id", b"%d" % i],
            [b"time", b"2026-05-%02dT%02d:%02d:%02dZ" % (i % 28 + 1, i % 24, i % 60, (7 * i) % 60)],
            [b"from", b"user%d@example.org" % (i % 97)],
            [b"level", rng.choice([b"info", b"warn", b"error"])],
            [b"text", words.encode()],
            [b"payload", parvex.Atom(rng.randbytes(rng.randint(16, 96)),
                                     hint=b"application/octet-stream")],
            [b"digest", rng.randbytes(32)]]


def make_files(root: Path, count: int, size: int) -> list[str]:
    """`count` files of about `size` octets of advanced text. Eight bodies
    of messages are made and shared out, each file with its own head, so
    that making 200 MB takes seconds."""
    rng = random.Random(f"{SEED}-{count}-{size}")
    bodies = []
    for _ in range(min(count, 8)):
        body, length = [], 0
        while length < size:
            body.append(_message(rng, len(body)))
            length += len(parvex.to_advanced(body[-1])) + 1
        bodies.append(body)
    paths = []
    for i in range(count):
        path = root / f"{i:05}.sx"
        path.write_bytes(parvex.to_advanced([b"log", b"%d" % i] + bodies[i % len(bodies)]).encode())
        paths.append(str(path))
    return paths


def errors(log: parvex.Value) -> int:
    """How many messages of a file are at the level "error"."""
    assert isinstance(log, list)
    return sum(1 for m in log[2:] if isinstance(m, list) and m[4] == [b"level", b"error"])


def _cpu() -> tuple[float, float]:
    t = os.times()
    return t.user + t.system, t.children_user + t.children_system


def measure(rounds: int, run: Callable[[], object],
            others: Callable[[], float] | None = None) -> tuple[float, float, float]:
    """Median seconds, and the median CPU seconds of this process and of
    the others (children reaped, or what `others` reports)."""
    walls, mine, theirs = [], [], []
    for _ in range(rounds):
        gc.collect()
        (me0, ch0), other0 = _cpu(), others() if others else 0.0
        start = time.perf_counter()
        result = run()
        walls.append(time.perf_counter() - start)
        (me1, ch1), other1 = _cpu(), others() if others else 0.0
        mine.append(me1 - me0)
        theirs.append(ch1 - ch0 + other1 - other0)
        del result
    return statistics.median(walls), statistics.median(mine), statistics.median(theirs)


def _cluster(workers: int):
    import distributed

    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    return cluster, distributed.Client(cluster)


def _workers_cpu(client) -> Callable[[], float]:
    def cpu() -> float:
        times = client.run(lambda: sum(os.times()[:2]))
        return sum(times.values())
    return cpu


def ways(paths: list[str], rounds: int, dask: bool) -> list[tuple[str, int, tuple]]:
    rows = []
    expected = parvex.parse_files(paths, jobs=1)
    for jobs in (1, 2):
        assert parvex.parse_files(paths, jobs=jobs) == expected
        rows.append(("parse_files(jobs=N)", jobs,
                     measure(rounds, lambda: parvex.parse_files(paths, jobs=jobs))))
    del expected
    for jobs in (1, 2):
        command = [sys.executable, "-m", "parvex", "--to", "transport", "--jobs", str(jobs), *paths]
        rows.append(("parvex --to transport --jobs N", jobs,
                     measure(rounds, lambda: subprocess.run(command, check=True,
                                                            stdout=subprocess.DEVNULL))))
    if dask:
        from parvex.dask import read_sexp

        total = sum(errors(parvex.parse_file(p)) for p in paths)
        per = max(1, len(paths) // 20)
        for workers in (1, 2):
            cluster, client = _cluster(workers)
            try:
                def count() -> int:
                    return read_sexp(paths, files_per_partition=per).map(errors).sum().compute()
                assert count() == total
                rows.append((f"Dask read_sexp(..., files_per_partition={per}).map(errors).sum()", workers,
                             measure(rounds, count, _workers_cpu(client))))
            finally:
                client.close()
                cluster.close()
    return rows


def parts(paths: list[str], rounds: int) -> list[tuple[str, float]]:
    """One process's time, split as parse_files' two sides split it."""
    from parvex.parallel import _shipped, lander

    shipped = [_shipped(p, {}) for p in paths]
    back = lander({})
    steps = (("read the files", lambda: [Path(p).read_bytes() for p in paths]),
             ("parse_file each (read, parse)", lambda: [parvex.parse_file(p) for p in paths]),
             ("a worker's job: read, canonical octets", lambda: [_shipped(p, {}) for p in paths]),
             ("the caller's job: values from those octets", lambda: [back.parse(s) for s in shipped]))
    split = []
    for step, run in steps:
        gc.disable()
        try:
            split.append((step, measure(rounds, run)[0]))
        finally:
            gc.enable()
    return split


def main() -> int:
    cli = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    cli.add_argument("--rounds", type=int, default=5)
    cli.add_argument("--scale", type=float, default=1.0)
    cli.add_argument("--no-dask", action="store_true", help="leave out the Dask rows")
    cli.add_argument("--parts", action="store_true",
                     help="show where one process's time goes, split as parse_files splits it")
    args = cli.parse_args()

    print(f"parvex parallel benchmark: {os.cpu_count()} processors "
          f"({platform.processor() or platform.machine()}), Python {sys.version.split()[0]}, "
          f"load average {os.getloadavg()[0]:.2f} before")
    print("\n| workload | way | processes | s | files/s | speed-up | CPU s (caller / others) |")
    print("|---|---|---|---|---|---|---|")
    split: dict[str, list[tuple[str, float]]] = {}
    # The small workload takes some 40 ms a run: five times the rounds keep
    # its medians steady.
    for name, count, size, rounds in (("large", 200, 1_000_000, args.rounds),
                                      ("small", 2000, 1000, args.rounds * 5)):
        count = max(4, round(count * args.scale))
        with tempfile.TemporaryDirectory(prefix="parvex-bench-") as tmp:
            paths = make_files(Path(tmp), count, size)
            octets = sum(os.path.getsize(p) for p in paths)
            label = f"{name}: {count:,} files of {octets / count / 1000:,.0f} KB"
            base: dict[str, float] = {}
            for way, procs, (seconds, mine, theirs) in ways(paths, rounds, not args.no_dask):
                base.setdefault(way, seconds)
                print(f"| {label} | {way.replace('N', str(procs))} | {procs} | {seconds:.3f} | "
                      f"{count / seconds:,.0f} | {base[way] / seconds:.2f}x | "
                      f"{mine:.2f} / {theirs:.2f} |", flush=True)
            if args.parts:
                split[label] = parts(paths, rounds)
    for label, steps in split.items():
        print(f"\n{label}, one process, the collector off:")
        for step, seconds in steps:
            print(f"  {step:<44} {seconds:.3f} s")
    print(f"\nload average {os.getloadavg()[0]:.2f} after")
    return 0


if __name__ == "__main__":
    sys.exit(main())
