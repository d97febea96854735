"""Files per second when a directory of records-like files is parsed on one
process and on two, with the speed-up.

    python bench/parallel.py [--files 3000] [--records 40] [--rounds 5]

Each file holds one list of `--records` records of 12 or 13 short atoms, in
the canonical representation (about 3.5 KB a file with the default). Three
ways are timed, each the best of `--rounds`:

* one process: `parse_file` on every path in turn;
* `parse_files(paths, jobs=2)`: two worker processes that send the parsed
  values back by pickling, as the README recipe does;
* the same two workers sending back only a count, which shows what pickling
  the values costs;
* the command line converting every file to the transport representation,
  `parvex --to transport --jobs N` for N = 1 and 2 (interpreter start-up
  included), whose workers send back text.

The pool is started anew in every round, so its start-up is counted. Prints a
Markdown table.
"""

from __future__ import annotations

import argparse
import os
import random
import string
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import parvex

_FIRST = string.ascii_letters
_REST = string.ascii_letters + string.digits + "-._"


def _atom(rng: random.Random) -> bytes:
    n = rng.randint(2, 12)
    return (rng.choice(_FIRST) + "".join(rng.choices(_REST, k=n - 1))).encode()


def make_tree(root: Path, files: int, records: int, seed: int = 1) -> list[str]:
    rng = random.Random(seed)
    paths = []
    for i in range(files):
        value = [[_atom(rng) for _ in range(12 + (r & 1))] for r in range(records)]
        path = root / f"{i:05}.sx"
        path.write_bytes(parvex.to_canonical(value))
        paths.append(str(path))
    return paths


def count_atoms(path: str) -> int:
    value = parvex.parse_file(path)
    assert isinstance(value, list)
    return sum(len(r) for r in value if isinstance(r, list))


def _best(rounds: int, run) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> int:
    cli = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    cli.add_argument("--files", type=int, default=3000)
    cli.add_argument("--records", type=int, default=40)
    cli.add_argument("--rounds", type=int, default=5)
    args = cli.parse_args()

    with tempfile.TemporaryDirectory(prefix="parvex-bench-") as tmp:
        paths = make_tree(Path(tmp), args.files, args.records)
        size = sum(os.path.getsize(p) for p in paths)
        serial = [parvex.parse_file(p) for p in paths]
        assert parvex.parse_files(paths, jobs=2) == serial

        def values_two() -> None:
            parvex.parse_files(paths, jobs=2)

        def counts_two() -> None:
            with ProcessPoolExecutor(max_workers=2) as pool:
                sum(pool.map(count_atoms, paths, chunksize=max(1, len(paths) // 8)))

        def command(jobs: int) -> None:
            subprocess.run([sys.executable, "-m", "parvex", "--to", "transport",
                            "--jobs", str(jobs), *paths],
                           check=True, stdout=subprocess.DEVNULL)

        one = _best(args.rounds, lambda: [parvex.parse_file(p) for p in paths])
        two = _best(args.rounds, values_two)
        two_counts = _best(args.rounds, counts_two)
        cli_one = _best(args.rounds, lambda: command(1))
        cli_two = _best(args.rounds, lambda: command(2))

    print(f"{args.files} files of {args.records} records, {size / args.files / 1000:.1f} KB "
          f"each, {os.cpu_count()} processors, Python {sys.version.split()[0]}\n")
    print("| way | processes | files/s | speed-up |")
    print("|---|---|---|---|")
    for way, procs, seconds, base in [
            ("parse_file, one after another", 1, one, one),
            ("parse_files(jobs=2), values sent back", 2, two, one),
            ("two workers, only a count sent back", 2, two_counts, one),
            ("parvex --to transport --jobs 1", 1, cli_one, cli_one),
            ("parvex --to transport --jobs 2", 2, cli_two, cli_one)]:
        print(f"| {way} | {procs} | {args.files / seconds:,.0f} | {base / seconds:.2f}x |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
