"""parvex's benchmark suite: one command, every workload, parvex beside the
reference libraries in the same run, then peak memory, the native harness
and the verdict on each target.

    python bench/run.py                      # everything: about 4 minutes, 10 at most
    python bench/run.py --workloads records,wide --repeat 25 --no-memory
    python bench/run.py --help

bench/README.md says what each workload and row is and how to read them.
"""

from __future__ import annotations

import argparse
import json
import marshal
import pathlib
import pickle
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import fresh  # noqa: E402
import machine  # noqa: E402
import memory  # noqa: E402
import native_harness  # noqa: E402
import parvex  # noqa: E402
import report  # noqa: E402
import rows as rowdefs  # noqa: E402
import sweep  # noqa: E402
import workloads  # noqa: E402
from deepstack import run_deep  # noqa: E402
from report import Result  # noqa: E402
from timing import hold, measure_rows  # noqa: E402


def _list(value: str, known: tuple[str, ...], what: str) -> list[str]:
    chosen = [v.strip() for v in value.split(",") if v.strip()]
    unknown = [v for v in chosen if v not in known]
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown {what}: {', '.join(unknown)}; choose from {', '.join(known)}")
    return chosen


def arguments(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--workloads", default=",".join(workloads.NAMES),
                   type=lambda v: _list(v, workloads.NAMES, "workload"),
                   help="comma-separated, from: " + ", ".join(workloads.NAMES))
    p.add_argument("--rows", default=",".join(rowdefs.ALL_ROWS),
                   type=lambda v: _list(v, rowdefs.ALL_ROWS, "row"),
                   help="comma-separated rows to time (default: all); ratios need both rows")
    p.add_argument("--repeat", type=int, default=15, help="timed calls per row at most (default 15)")
    p.add_argument("--budget", type=float, default=2.0,
                   help="seconds after which a row with 5 samples stops early (default 2)")
    p.add_argument("--scale", type=float, default=1.0, help="multiply every workload's counts (default 1)")
    p.add_argument("--no-sweep", action="store_true", help="skip the writers' sweep over atom sizes")
    p.add_argument("--no-memory", action="store_true", help="skip the peak-memory measurements")
    p.add_argument("--no-fresh", action="store_true", help="skip the writers in fresh processes")
    p.add_argument("--no-native", action="store_true", help="skip the native harness")
    p.add_argument("--native-keep-heap", action="store_true",
                   help="have the C library keep freed memory in the native harness (steady-state heap)")
    p.add_argument("--data-dir", type=pathlib.Path,
                   help="write the workload files here and keep them (default: a temporary directory)")
    p.add_argument("--build-dir", type=pathlib.Path, default=native_harness.DEFAULT_BUILD,
                   help="where the native harness is built (default: build/bench-native)")
    p.add_argument("--json", type=pathlib.Path, help="also write every figure to this file as JSON")
    return p.parse_args(argv)


def _build() -> str:
    """Which extension module ran: its file's time, and the commit of this
    project's tree if the module sits in it (a rebuilt module may be newer
    than both; an installed one sits in no tree of ours, though perhaps in
    another's, such as pyenv's)."""
    module = pathlib.Path(parvex._parvex.__file__).resolve()
    built = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(module.stat().st_mtime))
    commit = ""
    if module.is_relative_to(native_harness.ROOT):
        try:
            commit = subprocess.run(["git", "-C", str(native_harness.ROOT), "describe", "--always", "--dirty"],
                                    capture_output=True, text=True, timeout=10).stdout.strip()
        except OSError:
            pass
    return f"{module} (built {built}{', tree at ' + commit if commit else ''})"


def header() -> str:
    return "\n".join([
        f"parvex benchmark, {time.strftime('%Y-%m-%d %H:%M:%S')}",
        *machine.describe(),
        f"parvex module: {_build()}",
        "Each row: the median of its timed calls (n), made in 3 passes over the rows, each pass a block",
        "of consecutive calls whose first is untimed; gc.collect() before every call, outside the",
        "timing; the collector enabled while the call runs; the workload's own data frozen out of every",
        "collection (gc.freeze); results released after the clock stops.",
        "MB/s: octets read (parsers, loads, copy) or written (writers, dumps) per second, 1 MB = 10^6.",
        f"Rows ending in{rowdefs.GC_OFF} are the reading rows again, timed with the collector disabled",
        "(as timeit times a call).",
    ])


def write_files(data_dir: pathlib.Path, wl) -> None:
    """The workload's octets, for the memory subprocesses and the native
    harness, and its line in the manifest."""
    forms = {"canonical": wl.canonical, "advanced": wl.advanced, "transport": wl.transport, "json": wl.json}
    for name, dumps in (("marshal", marshal.dumps), ("pickle", lambda v: pickle.dumps(v, 5))):
        try:
            forms[name] = dumps(wl.plain)
        except (ValueError, RecursionError):
            pass  # refused: its rows say why
    for form, octets in forms.items():
        (data_dir / f"{wl.name}.{form}").write_bytes(octets)
    with (data_dir / "manifest.tsv").open("a") as f:
        f.write(f"{wl.name}\t{wl.max_depth}\n")


def time_workload(wl, chosen_rows: list[str], repeat: int, budget: float) -> dict[str, Result]:
    rows = [r for r in rowdefs.rows_for(wl) if r.name in chosen_rows]
    for row in rows:
        if row.name.startswith("parse") and wl.writable and not row.why_not and row.call() != wl.value:
            raise AssertionError(f"{wl.name}: {row.name} does not give back the workload's value")
    with hold():
        timings = measure_rows({r.name: r.call for r in rows if not r.why_not}, repeat, budget,
                               gc_off=frozenset(r.name for r in rows if r.gc_off))
    results: dict[str, Result] = {}
    for row in rows:
        t = timings.get(row.name)
        if row.why_not:
            results[row.name] = Result(row.name, why_not=row.why_not)
        elif isinstance(t, Exception):
            results[row.name] = Result(row.name, why_not=f"{type(t).__name__}: {t}")
        else:
            octets = row.reads if row.reads is not None else t.result_len
            if row.name == "json.dumps":
                octets = len(wl.json)  # the same text; len() of the str counts characters
            results[row.name] = Result(row.name, t.median_ns, t.samples, octets)
    return results


def sizes(wl) -> str:
    return (f"canonical {len(wl.canonical):,} B · advanced {len(wl.advanced):,} B · "
            f"transport {len(wl.transport):,} B · JSON {len(wl.json):,} B")


def memory_section(data_dir: pathlib.Path, depths: dict[str, int]) -> tuple[str, dict]:
    lines = [
        "Peak memory of one call relative to the size of its result, each in a fresh subprocess that",
        "reads its input from a file. rss: growth of the peak resident set (VmHWM, reset first) over the call,",
        "which sees every allocation, the C++ core's included, at page granularity. traced: tracemalloc's",
        "peak, which sees only Python's allocators (not the core's operator new). result: sys.getsizeof",
        "summed over the result's objects, plus the octets an Atom holds.",
        f"{'workload':<9} {'row':<17} {'input MB':>9} {'result MB':>10} {'rss peak MB':>12} {'×result':>8} "
        f"{'traced MB':>10} {'×result':>8}",
    ]
    figures: dict = {}
    for wl, depth in depths.items():
        for loader in memory.LOADERS:
            m = {method: memory.measure(data_dir, wl, depth, loader, method) for method in memory.METHODS}
            figures.setdefault(wl, {})[loader] = m
            errors = [v["error"] for v in m.values() if "error" in v]
            if errors:
                lines.append(f"{wl:<9} {loader:<17} n/a: {errors[0][:80]}")
                continue
            rss, traced = m["rss"], m["traced"]
            result = rss["result"] or 1
            lines.append(
                f"{wl:<9} {loader:<17} {rss['input'] / 1e6:9.2f} {rss['result'] / 1e6:10.2f} "
                f"{rss['peak'] / 1e6:12.2f} {rss['peak'] / result:8.2f} "
                f"{traced['peak'] / 1e6:10.2f} {traced['peak'] / (traced['result'] or 1):8.2f}")
    return "\n".join(lines), figures


def main(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    print(header(), flush=True)
    data_dir = args.data_dir or pathlib.Path(tempfile.mkdtemp(prefix="parvex-bench-"))
    data_dir.mkdir(parents=True, exist_ok=True)
    (data_dir / "manifest.tsv").unlink(missing_ok=True)
    orjson = rowdefs.orjson
    all_results: dict[str, dict[str, Result]] = {}
    depths: dict[str, int] = {}
    try:
        for name in args.workloads:
            t0 = time.perf_counter()
            wl = workloads.build(name, args.scale, orjson.dumps if orjson else None)
            write_files(data_dir, wl)
            depths[name] = wl.max_depth
            print(f"\n== {name}: {wl.about} (built in {time.perf_counter() - t0:.1f} s)\n   {sizes(wl)}",
                  flush=True)
            all_results[name] = time_workload(wl, args.rows, args.repeat, args.budget)
            del wl
            print(report.workload_table(all_results[name]), flush=True)

        points = None
        if not args.no_sweep:
            print("\n== sweep: one atom of random octets of each size, written (MB/s of output)", flush=True)
            points = sweep.run(args.repeat, args.budget, args.scale)
            print(sweep.table(points), flush=True)

        memory_figures = None
        if not args.no_memory:
            text, memory_figures = memory_section(data_dir, depths)
            print("\n" + text, flush=True)

        fresh_figures = None
        if not args.no_fresh:
            text, fresh_figures = fresh.section(data_dir, list(depths))
            print("\n" + text, flush=True)

        native = None
        native_why = "not run (--no-native)"
        if not args.no_native:
            exe, native_why = native_harness.build(args.build_dir)
            if exe is not None:
                print(f"\nNative harness ({exe}): the C++ core alone beside libgcrypt, same files", flush=True)
                out, native = native_harness.run(exe, data_dir, args.repeat, args.budget, args.native_keep_heap)
                print(out, flush=True)
            else:
                print(f"\nNative harness: {native_why}", flush=True)

        print("\nTargets (ratios are parvex's time ÷ the reference's, from this run):")
        for line in report.summary(all_results, native, native_why, points):
            print("  " + line)
        print(f"\nfinished in {time.perf_counter() - started:.0f} s; {machine.load()}")
        if args.json:
            args.json.write_text(json.dumps({
                "interpreter": f"{sys.implementation.name} {sys.version.split()[0]}",
                "cpu": machine.cpu(),
                "python": {wl: {r: vars(v) for r, v in res.items()} for wl, res in all_results.items()},
                "native": {wl: {r: vars(v) for r, v in res.items()} for wl, res in (native or {}).items()},
                "memory": memory_figures,
                "fresh": fresh_figures,
                "sweep": {p.size: {r: vars(v) for r, v in p.results.items()} for p in points or ()},
            }, indent=1))
    finally:
        if args.data_dir is None:
            shutil.rmtree(data_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(run_deep(lambda: main(arguments(sys.argv[1:]))))
