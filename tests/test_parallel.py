"""Parsing files on several processes gives what one process gives."""

import contextlib
import errno
import functools
import gc
import glob
import multiprocessing
import multiprocessing.forkserver
import multiprocessing.resource_tracker
import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import parvex
import parvex._pool
import pytest
from parvex import Atom, ParseError, parse_file, parse_files
from parvex._pool import Pool, WorkerEnded
from support import child_env, doc_script, run_cli, same, write_files

METHODS = ["fork", "forkserver", "spawn"]

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
    # Both representations, so that the options matter below.
    return write_files(tmp_path_factory.mktemp("files"),
                       [parvex.to_canonical(v) if i % 2 else parvex.to_advanced(v).encode()
                        for i, v in enumerate(VALUES)])


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
    return run_cli(*args, stdin=stdin, command=(sys.executable, "-c", COMMAND))


def test_cli_jobs_keeps_the_order_and_reports_each_file(tree, tmp_path):
    _, paths = tree
    bad = tmp_path / "bad.sx"
    bad.write_bytes(b"(a\n b ]")
    files = paths[:5] + [str(bad)] + paths[5:] + [str(tmp_path / "missing.sx")]
    for args in (["--to", "canonical"], ["--stream", "--to", "transport"], ["--check"]):
        one = cli(*args, *files)
        two = cli("--jobs", "3", *args, *files)
        # Too little work for workers: the caller writes each file at once.
        alone = run_cli("--jobs", "3", *args, *files)
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


def fields(pid):
    """The fields of /proc/<pid>/stat after the name; none once it is gone."""
    with contextlib.suppress(OSError), open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()
    return []


def running(pid):
    return fields(pid)[:1] not in ([], ["Z"])


def family(pid):
    """The processes descended from `pid`: its workers, and under
    "forkserver" the server and what it started."""
    parent = {int(e): int(s[1]) for e in os.listdir("/proc") if e.isdigit() and (s := fields(e))}
    found = [pid]
    for each in found:  # grows as it goes
        found += [child for child, of in parent.items() if of == each]
    return found[1:]


def files(pid):
    """What the descriptors of a process refer to ("socket:[inode]" ...)."""
    with contextlib.suppress(OSError):
        return {os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")}
    return set()


def started(method):
    """A context of `method`, its servers (which live as long as this
    process) already running."""
    if method != "fork":
        multiprocessing.resource_tracker.ensure_running()
    if method == "forkserver":
        multiprocessing.forkserver.ensure_running()
    return multiprocessing.get_context(method)


def until(done, seconds=120):
    deadline = time.monotonic() + seconds
    while not done():
        assert time.monotonic() < deadline
        time.sleep(0.01)


def once_ready(pool, own):
    """`own`, which waits first until every worker has started (which may
    take longer than the caller takes for all the items), so that each
    worker is given items."""
    def waiting(item):
        until(lambda: all(w.ready or w.conn.poll() for w in pool._workers))
        return own(item)
    return waiting


@pytest.mark.parametrize("method", METHODS)
def test_pool_caller_and_worker_share_the_items_in_order(method):
    with Pool(1, by_worker, context=started(method)) as pool:
        got = list(pool.map(range(100), once_ready(pool, by_caller), lambda r: r))
    assert [(i, data) for _, i, data in got] == [(i, big(i)) for i in range(100)]
    assert {who for who, _, _ in got} == {"caller", "worker"}


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc")
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("work, own, raised", [
    (by_worker, by_caller, None), (by_worker, interrupted, KeyboardInterrupt),
    (dies, by_caller, WorkerEnded)])
def test_pool_leaves_no_process_or_descriptor_behind(method, work, own, raised):
    pids, held = set(), set()

    def watching(item):  # what the pool has started, seen while it runs
        pids.update(w.process.pid for w in pool._workers)
        # No worker holds the caller's end of a pipe, its own or another's.
        ends = {os.readlink(f"/proc/self/fd/{w.conn.fileno()}") for w in pool._workers}
        held.update(*(ends & files(pid) for pid in pids))
        return own(item)

    # Ignored in the caller, and so in workers that do not see to it.
    old = signal.signal(signal.SIGTERM, signal.SIG_IGN)
    try:
        context = started(method)
        descriptors = len(os.listdir("/proc/self/fd"))
        with pytest.raises(raised) if raised else contextlib.nullcontext():
            with Pool(2, work, context=context) as pool:
                list(pool.map(range(60), once_ready(pool, watching), lambda r: r))
    finally:
        signal.signal(signal.SIGTERM, old)
    assert len(pids) == 2 and not any(os.path.exists(f"/proc/{pid}") for pid in pids) and not held
    assert len(os.listdir("/proc/self/fd")) == descriptors


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


def write_end(fifo, ends):
    """Opens `fifo` to write, into `ends`, once a process has opened it to read."""
    try:
        ends.append(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
    except OSError as e:
        assert e.errno == errno.ENXIO
    return ends


# Callers of the pool, their workers started, that a file no one writes to
# holds up; then each is killed. "busy" is held up once its worker is at
# work that would last an hour; "stuck", at work that holds the interpreter
# lock as long.
KILLED = ("import multiprocessing, sys, parvex, parvex._pool as p; "
          "p._WORTH_STARTING = p._SAMPLE_SECONDS = 0; "
          "multiprocessing.set_start_method(sys.argv.pop(1))\n")
BUSY = """import os, re, time
def own(item):
    if pool._workers and pool._workers[0].queued:
        open(os.environ["FIFO"]).read()
    time.sleep(0.001)
with p.Pool(1, WORK) as pool:
    list(pool.map(ITEMS * 100000, own, bool))
"""
CALLERS = {
    "parse_files": "parvex.parse_files(sys.argv[1:], jobs=2)",
    "cli": "from parvex.cli import main; main(['--jobs', '2', '--check', *sys.argv[1:]])",
    "busy": BUSY.replace("WORK", "time.sleep").replace("ITEMS", "[3600]"),
    "stuck": BUSY.replace("WORK", 're.compile("(a|aa)+$").match')
                 .replace("ITEMS", '["a" * 80 + "b"]'),
}


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs /proc")
@pytest.mark.parametrize("caller, method, sig", [
    ("parse_files", "fork", signal.SIGKILL), ("parse_files", "forkserver", signal.SIGTERM),
    ("parse_files", "spawn", signal.SIGKILL), ("cli", "fork", signal.SIGTERM),
    ("cli", "forkserver", signal.SIGKILL), ("busy", "forkserver", signal.SIGKILL),
    ("stuck", "fork", signal.SIGKILL), ("stuck", "spawn", signal.SIGTERM)])
def test_pool_ends_with_its_caller(tree, tmp_path, caller, method, sig):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    spools = lambda: set(glob.glob("/dev/shm/parvex-*") + glob.glob(f"{tmp_path}/parvex-*"))
    before, ends, left = spools(), [], []
    args = [method, *tree[1] * 2, fifo, *tree[1]]
    child = subprocess.Popen([sys.executable, "-c", KILLED + CALLERS[caller], *args],
                             env=child_env(TMPDIR=str(tmp_path), FIFO=str(fifo)))
    try:
        until(lambda: child.poll() is not None or write_end(fifo, ends))
        left = family(child.pid)
        assert child.poll() is None and left
        child.send_signal(sig)
        child.wait(60)
        until(lambda: not any(map(running, left)), 30)
        assert spools() <= before
    finally:
        child.kill()
        child.wait()
        for pid in filter(running, left):  # what a failure left
            os.kill(pid, signal.SIGKILL)
        for end in ends:
            os.close(end)


NOT_A_PATH = "expected str, bytes or os.PathLike object, not int"


@pytest.mark.parametrize("call, error", [
    (lambda paths, fd: parse_files(paths, jobs=0), "jobs must be at least 1, not 0"),
    (lambda paths, fd: parse_files(paths, jobs=2, chunksize=-1), "chunksize must be at least 1, not -1"),
    (lambda paths, fd: parse_files(paths, jobs=1, chunksize=0), "chunksize must be at least 1, not 0"),
    (lambda paths, fd: parse_files(paths, jobs=2.0), "jobs must be an integer, not float"),
    (lambda paths, fd: parse_files([*paths, fd], jobs=2), NOT_A_PATH),
    (lambda paths, fd: parse_file(fd), NOT_A_PATH)])
def test_bad_arguments_fail_before_any_work(tree, call, error):
    # A descriptor given as a path would be read, and closed.
    with open(tree[1][1], "rb") as f:
        with pytest.raises((TypeError, ValueError), match=error):
            call(tree[1], f.fileno())
        assert f.read() == tree[0].joinpath("01.sx").read_bytes()
