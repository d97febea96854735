"""The benchmark suite runs end to end at a small size and reports every row
of every workload. No figure is judged here: speed is the suite's business,
never a test's."""

import json
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"

WORKLOADS = ("records", "wide", "blobs", "deep", "deep200k", "spki")
PARVEX_ROWS = ("parse_canonical", "parse (advanced)", "parse (transport)",
               "to_canonical", "to_advanced", "to_transport")
REFERENCE_ROWS = ("copy", "marshal.loads", "marshal.dumps", "pickle.loads", "pickle.dumps",
                  "json.loads", "json.dumps", "orjson.loads", "orjson.dumps", "sexpdata.loads")
GC_OFF_ROWS = tuple(r + " [gc off]" for r in PARVEX_ROWS[:3] + (
    "marshal.loads", "pickle.loads", "json.loads", "orjson.loads"))


@pytest.mark.needs("bench")
def test_suite_reports_every_row(tmp_path):
    figures = tmp_path / "figures.json"
    run = subprocess.run(
        [sys.executable, str(BENCH / "run.py"), "--scale", "0.01", "--repeat", "1",
         "--no-memory", "--no-native", "--json", str(figures)],
        capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    figures = json.loads(figures.read_text())
    results = figures["python"]
    assert tuple(results) == WORKLOADS
    for workload, rows in results.items():
        assert tuple(rows) == PARVEX_ROWS + REFERENCE_ROWS + GC_OFF_ROWS, workload
        for name, r in rows.items():
            # A row either ran, with a time and a size, or says why not.
            assert (r["median_ns"] is not None and r["median_ns"] > 0 and r["octets"] > 0) != bool(r["why_not"]), \
                (workload, name, r)
        # parvex reads every workload in every representation.
        assert all(rows[n]["median_ns"] for n in PARVEX_ROWS[:3]), workload
    # At this scale deep200k nests 2,000 levels: read with max_depth raised,
    # beyond what the writers take.
    assert "1,024" in results["deep200k"]["to_canonical"]["why_not"]
    # One atom of each size, both writers.
    assert len(figures["sweep"]) == 13
    assert all(r["median_ns"] > 0 for rows in figures["sweep"].values() for r in rows.values())
    if sys.platform == "linux":  # with the page faults of each size's median call
        assert all(r["faults"] >= 0 for rows in figures["sweep"].values() for r in rows.values())
    # Each writer, and orjson's, in a fresh process on three workloads.
    assert {wl: set(rows) for wl, rows in figures["fresh"].items()} == {
        wl: {"to_canonical", "to_advanced", "to_transport", "orjson.dumps"} for wl in ("records", "wide", "spki")}
    assert all(r["median_ms"] > 0 for rows in figures["fresh"].values() for r in rows.values())
    assert run.stdout.startswith("parvex benchmark") and "\nCPU: " in run.stdout
    assert "Targets" in run.stdout and "targets met:" in run.stdout


@pytest.mark.parametrize("method", ["rss", "traced"])
def test_memory_probe_measures_a_parse(tmp_path, method):
    sys.path.insert(0, str(BENCH))
    try:
        import memory
    finally:
        sys.path.remove(str(BENCH))
    atoms = [b"%d:%s" % (len(w), w) for w in (b"ab%05d" % i for i in range(20000))]
    (tmp_path / "w.canonical").write_bytes(b"(" + b"".join(atoms) + b")")
    m = memory.measure(tmp_path, "w", 1024, "parse_canonical", method)
    assert "error" not in m, m
    # 20,000 bytes objects and the list that holds them.
    assert 20000 * sys.getsizeof(b"ab00000") < m["result"] < 2 * 20000 * sys.getsizeof(b"ab00000")
    # Python's own allocations for the result are seen by both methods.
    assert m["peak"] >= 0.9 * m["result"], m
