"""Parsing files on several processes gives what one process gives."""

import contextlib
import functools
import gc
import multiprocessing
import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import pytest

import parvex
import parvex._pool
from parvex import Atom, ParseError, parse_file, parse_files
from parvex._pool import Pool, WorkerEnded
from support import child_env, doc_script, same

VALUES = [
    [b"record", b"%d" % i, Atom(b"x" * i, hint=b"" if i % 3 == 0 else b"t%d" % i),
     [b"\x00\xff", [], "é".encode()]]
    for i in range(12)
]


@pytest.fixture(autouse=True)
def workers_for_any_work(monkeypatch):
    # These files are too small to be worth a worker: start them all the same.
    monkeypatch.setattr(parvex._pool, "_WORTH_STARTING", 0)
    monkeypatch.setattr(parvex._pool, "_SAMPLE_SECONDS", 0)


# The command line, with workers for any work as above.
COMMAND = ("import sys, parvex._pool as p; p._WORTH_STARTING = p._SAMPLE_SECONDS = 0; "
           "from parvex.cli import main; sys.exit(main())")


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("files")
    paths = []
    for i, value in enumerate(VALUES):
        path = root / f"{i:02}.sx"
        # Both representations, so that the options matter below.
        write = parvex.to_canonical if i % 2 else (lambda v: parvex.to_advanced(v).encode())
        path.write_bytes(write(value))
        paths.append(str(path))
    return root, paths


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_process_pool_gives_the_single_process_results(tree, method):
    _, paths = tree
    serial = [parse_file(p) for p in paths]
    assert same(serial, VALUES)
    context = multiprocessing.get_context(method)
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        assert same(list(pool.map(parse_file, paths, chunksize=3)), serial)
    with context.Pool(2) as pool:
        assert same(pool.map(parse_file, paths), serial)


def test_parse_files(tree):
    _, paths = tree
    assert same(parse_files(paths, jobs=2), VALUES)
    assert same(parse_files(paths, jobs=1), VALUES)
    assert parse_files([], jobs=4) == []
    with pytest.raises(ValueError):
        parse_files(paths, jobs=0)


def test_options_and_failures_cross_the_boundary(tree):
    _, paths = tree
    canonical_only = functools.partial(parse_file, canonical=True)
    with ProcessPoolExecutor(max_workers=2) as pool:
        futures = [pool.submit(canonical_only, p) for p in paths]
        for i, future in enumerate(futures):
            if i % 2:
                assert same(future.result(), VALUES[i])
                continue
            error = future.exception()
            assert type(error) is ParseError
            assert (error.kind, error.offset) == ("advanced_not_allowed", 1)
            assert error.__notes__ == [f"while reading {paths[i]!r}"]
    with pytest.raises(ParseError):
        parse_files(paths, jobs=2, canonical=True)


def test_parse_file_reads_no_further_than_the_limit(tmp_path):
    path = tmp_path / "big.sx"
    path.write_bytes(b"(" + b"a " * 100000 + b")")
    with pytest.raises(ParseError) as info:
        parse_file(path, max_input_len=10)
    assert (info.value.kind, info.value.offset) == ("input_too_long", 10)


def cli(*args, stdin=b""):
    return subprocess.run([sys.executable, "-c", COMMAND, *args], input=stdin,
                          capture_output=True, env=child_env(), timeout=120)


def test_cli_jobs_keeps_the_order_and_reports_each_file(tree, tmp_path):
    _, paths = tree
    bad = tmp_path / "bad.sx"
    bad.write_bytes(b"(a\n b ]")
    files = paths[:5] + [str(bad)] + paths[5:] + [str(tmp_path / "missing.sx")]
    for args in (["--to", "canonical"], ["--stream", "--to", "transport"], ["--check"]):
        one = cli(*args, *files)
        two = cli("--jobs", "3", *args, *files)
        # Too little work for workers: the caller writes each file at once.
        alone = subprocess.run([sys.executable, "-m", "parvex", "--jobs", "3", *args, *files],
                               capture_output=True, env=child_env(), timeout=120)
        assert one.returncode == two.returncode == alone.returncode == 1
        assert two.stdout == one.stdout == alone.stdout
        assert two.stderr == one.stderr == alone.stderr
        assert two.stderr.decode().splitlines() == [
            f"{bad}:2:4: an octet that cannot appear here at offset 6 (unexpected_octet)",
            "     b ]", "       ^",
            f"parvex: {tmp_path / 'missing.sx'}: No such file or directory"]
    expected = b"".join(parvex.to_canonical(v) for v in VALUES)
    assert cli("--jobs", "2", "--to", "canonical", *paths).stdout == expected


def test_cli_jobs_reads_standard_input_in_its_place(tree):
    _, paths = tree
    done = cli("-j", "2", paths[1], "-", paths[3], stdin=b"(from stdin)")
    assert done.returncode == 0
    assert done.stdout.decode().splitlines() == [
        parvex.to_advanced(VALUES[1]), "(from stdin)", parvex.to_advanced(VALUES[3])]


@pytest.mark.parametrize("jobs", [1, 2])
def test_errors_raise_skip_or_return(tree, tmp_path, jobs):
    _, paths = tree
    bad, missing = tmp_path / "bad.sx", tmp_path / "missing.sx"
    bad.write_bytes(b"(a ]")
    files = [paths[0], bad, paths[1], missing]
    with pytest.raises(ParseError) as info:  # the first failure, in the order given
        parse_files(files, jobs=jobs)
    assert info.value.__notes__ == [f"while reading {str(bad)!r}"]
    assert same(parse_files(files, jobs=jobs, errors="skip"), VALUES[:2])
    got = parse_files(files, jobs=jobs, errors="return")
    assert same(got[::2], VALUES[:2]) and (got[1].kind, got[1].offset) == ("unexpected_octet", 3)
    assert type(got[3]) is FileNotFoundError and got[3].__notes__ == [f"while reading {str(missing)!r}"]


@pytest.mark.parametrize("depth, options", [(1000, {}), (20000, {"max_depth": 20001})])
def test_values_of_any_depth_come_back_whole(tmp_path, depth, options):
    # Pickling lists recurses: this deep, it cannot carry them.
    path = tmp_path / "deep.sx"
    path.write_bytes(b"(" * depth + b"[0:]1:x(1:y)" + b")" * depth)
    one, two = (parse_files([path] * 3, jobs=jobs, **options) for jobs in (1, 2))
    assert same(two, one)
    for _ in range(depth):
        one = one[0]
    assert same(one, [parvex.Atom(b"x", hint=b""), [b"y"]])


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_guide_process_pool_example(tree, tmp_path, method):
    # As a script of its own, run as __main__: the workers import it again.
    (tmp_path / "example.py").write_text(doc_script("ProcessPool"))
    (tmp_path / "data").symlink_to(tree[0])
    run = (f"import multiprocessing, runpy; multiprocessing.set_start_method({method!r}); "
           "runpy.run_path('example.py', run_name='__main__')")
    done = subprocess.run([sys.executable, "-c", run], cwd=tmp_path, capture_output=True,
                          text=True, env=child_env(), timeout=300)
    assert (done.returncode, done.stdout) == (0, f"{len(VALUES)} files read three ways, the same each time\n")


# The pool's work, module-level so that a worker can be sent it. Replies of
# 40 KB go through the spool.
def big(item):
    return bytes([item % 256]) * 40_000


def by_worker(item):
    time.sleep(0.003)
    return "worker", item, big(item)


def by_caller(item):
    time.sleep(0.003)
    return "caller", item, big(item)


def interrupted(item):
    if item >= 10:  # while the workers are at it
        raise KeyboardInterrupt
    return by_caller(item)


def dies(item):
    os.kill(os.getpid(), signal.SIGKILL)


def test_pool_caller_and_worker_share_the_items_in_order():
    with Pool(1, by_worker) as pool:
        got = list(pool.map(range(100), by_caller, lambda r: r))
    assert [(i, data) for _, i, data in got] == [(i, big(i)) for i in range(100)]
    assert {who for who, _, _ in got} == {"caller", "worker"}


@pytest.mark.parametrize("work, own, raised", [
    (by_worker, by_caller, None), (by_worker, interrupted, KeyboardInterrupt),
    (dies, by_caller, WorkerEnded)])
def test_pool_leaves_no_process_or_spool_behind(work, own, raised):
    seen = {}

    def watching(item):  # what the pool has started, seen while it runs
        if pool._workers:
            seen.update(spool=pool._spool, processes=[w.process for w in pool._workers])
        return own(item)

    with pytest.raises(raised) if raised else contextlib.nullcontext():
        with Pool(2, work) as pool:
            list(pool.map(range(60), watching, lambda r: r))
    assert os.path.isdir(os.path.dirname(seen["spool"])) and not os.path.exists(seen["spool"])
    assert len(seen["processes"]) == 2 and not any(p.is_alive() for p in seen["processes"])


def test_work_too_small_for_a_worker_starts_none(tree, monkeypatch):
    monkeypatch.undo()
    monkeypatch.setattr(Pool, "_start", None)  # would fail if called
    assert same(parse_files(tree[1], jobs=2), VALUES)


def in_a_pool_worker(paths):
    return parse_files(paths, jobs=2)


def test_parse_files_in_a_daemonic_process_reads_alone(tree):
    # A pool's worker may not start processes of its own.
    with multiprocessing.get_context("fork").Pool(1) as pool:
        assert same(pool.apply(in_a_pool_worker, (tree[1],)), VALUES)


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("jobs", [1, 2])
def test_parse_files_leaves_the_collector_as_it_was(tree, tmp_path, enabled, jobs):
    bad = tmp_path / "bad.sx"
    bad.write_bytes(b")")
    (gc.enable if enabled else gc.disable)()
    try:
        assert same(parse_files(tree[1], jobs=jobs), VALUES) and gc.isenabled() == enabled
        with pytest.raises(ParseError):
            parse_files(tree[1] + [bad], jobs=jobs)
        assert gc.isenabled() == enabled
    finally:
        gc.enable()


@pytest.mark.parametrize("freeze", [False, True])
def test_parse_files_sends_its_lists_to_the_oldest_generation(tmp_path, freeze):
    path = tmp_path / "many.sx"
    path.write_bytes(parvex.to_canonical([[b"x"]] * 5000))
    gc.collect()
    # Some interpreters start with objects frozen (3.12): those are never released.
    froze = freeze and gc.get_freeze_count() == 0
    if froze:
        gc.freeze()
    try:
        before = gc.get_freeze_count()
        value = parse_files([path] * 2, jobs=1)
        assert len(value[0]) == 5000 and gc.get_freeze_count() == before
        # Left young, the lists would be walked all at once by the next
        # collection, and again by the next of the middle generation.
        oldest = {id(o) for o in gc.get_objects(generation=2)}
        assert (id(value[1][0]) in oldest) is (before == 0)
    finally:
        if froze:
            gc.unfreeze()
