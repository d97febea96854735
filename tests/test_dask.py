"""parvex.dask on a real cluster of two worker processes: the bags give what
parse_files gives, values of any depth cross between processes whole, and
to_sexp writes what read_sexp reads back."""

import subprocess
import sys

import parvex
import pytest
from parvex import Atom, ParseError
from support import child_env, depth, doc_script, nested, same, write_files

try:
    import dask
    import distributed
    import parvex.dask as pd
except ImportError:  # the mark skips the tests, or fails them where dask must be
    dask = distributed = pd = None
pytestmark = pytest.mark.needs("dask")

DEEP = b"(" * 1000 + b"[h]x[0:]\"\"" + b")" * 1000
FILES = [b"(a [t]b)", b"(1:c2:\x00\xff)", DEEP, b"(d (e [text/plain]\"f g\") #00ff# |AAE=|)", b"[u]v"]


@pytest.fixture(scope="module")
def client():
    # One cluster for the whole module: each start costs seconds.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    return write_files(tmp_path_factory.mktemp("sx"), FILES)


@pytest.mark.parametrize("per", [1, 2, 5])
def test_a_bag_is_what_parse_files_gives_in_partitions_of_files(client, tree, per):
    root, paths = tree
    bag = pd.read_sexp(str(root / "*.sx"), files_per_partition=per)
    assert bag.npartitions == -(-len(FILES) // per)
    assert bag.map_partitions(lambda p: [len(p)]).compute() == \
        [min(per, len(FILES) - i) for i in range(0, len(FILES), per)]
    got = bag.compute()
    # The deep value arrived whole, its hints too, in the file's place.
    assert type(got) is list and same(got, parvex.parse_files(paths, jobs=1))
    assert same(got[2], nested(1000, [Atom(b"x", hint=b"h"), Atom(b"", hint=b"")]))
    with_paths = pd.read_sexp(paths, include_path=True, files_per_partition=per).compute()
    assert [p for _, p in with_paths] == paths and same([v for v, _ in with_paths], got)


def test_values_cross_between_workers_and_back(client, tree):
    # persist keeps the partitions on the workers; gathering them all on
    # one worker to be put together moves them between processes.
    _, paths = tree
    bag = pd.read_sexp(paths, files_per_partition=1).persist()
    assert same(bag.compute(), parvex.parse_files(paths, jobs=1))
    counts = bag.map(lambda v: len(parvex.to_canonical(v)) if depth(v) < 900 else -1).compute()
    assert counts[2] == -1 and counts[0] == len(parvex.to_canonical(parvex.parse(FILES[0])))


def test_each_errors_mode_on_a_corrupt_file(client, tree, tmp_path):
    _, paths = tree
    bad = tmp_path / "bad.sx"
    bad.write_bytes(b"(a ]")
    files = [paths[0], str(bad), paths[1]]
    with pytest.raises(ParseError) as info:
        pd.read_sexp(files).compute()
    assert (info.value.kind, info.value.offset) == ("unexpected_octet", 3)
    assert info.value.__notes__ == [f"while reading {str(bad)!r}"]
    values = [parvex.parse(FILES[0]), parvex.parse(FILES[1])]
    assert same(pd.read_sexp(files, errors="skip").compute(), values)
    for stream in (False, True):
        got = pd.read_sexp(files, errors="return", stream=stream).compute()
        assert same([got[0], got[2]], values) and type(got[1]) is ParseError
        assert got[1].__notes__ == [f"while reading {str(bad)!r}"]


def test_options_are_checked_at_once_and_applied_in_the_workers(client, tree):
    _, paths = tree
    with pytest.raises(TypeError):
        pd.read_sexp(paths, max_dept=3)
    with pytest.raises(ValueError):
        pd.read_sexp(paths, errors="ignore")
    got = pd.read_sexp(paths, errors="return", canonical=True).compute()
    assert [type(v) is ParseError for v in got] == [True, False, True, True, True]
    assert got[0].kind == "advanced_not_allowed"


@pytest.mark.parametrize("to, indent", [("canonical", None), ("transport", None),
                                        ("advanced", None), ("advanced", 2)])
def test_to_sexp_writes_what_read_sexp_reads_back(client, tree, tmp_path, to, indent):
    root, paths = tree
    bag = pd.read_sexp(paths[:2] + paths[3:], files_per_partition=2)
    written = pd.to_sexp(bag, str(tmp_path / "out-*.sx"), to=to, indent=indent,
                         name_function=lambda i: f"{i:03}")
    assert written == [str(tmp_path / f"out-{i:03}.sx") for i in range(2)]
    back = pd.read_sexp(str(tmp_path / "out-*.sx"), stream=True, include_path=True).compute()
    assert same([v for v, _ in back], bag.compute())
    assert [p for _, p in back] == [written[0]] * 2 + [written[1]] * 2


@pytest.mark.parametrize("stream", [False, True])
def test_values_deeper_than_the_writers_go(client, tmp_path, stream):
    # Under a raised limit: their octets are made as they are read.
    deeper = b"(" * 1500 + b"[h]x" + b")" * 1500
    data = b"(a)\n" + deeper + b" [h]b " if stream else deeper
    (tmp_path / "a.sx").write_bytes(data)
    got = pd.read_sexp([str(tmp_path / "a.sx")] * 2, stream=stream, max_depth=2000).compute()
    assert same(got, 2 * list(parvex.iter_parse(data, max_depth=2000)))
    assert len(got) == (6 if stream else 2)


def test_import_parvex_leaves_dask_alone():
    done = subprocess.run([sys.executable, "-c", "import sys, parvex; parvex.parse_files([]); "
                           "print(sorted(m for m in sys.modules if m.split('.')[0] in "
                           "('dask', 'distributed', 'fsspec')))"],
                          capture_output=True, text=True, env=child_env(), timeout=120)
    assert done.stdout == "[]\n", done.stderr


def test_guide_recipe_reduces_in_the_workers(tree, tmp_path):
    # As a script of its own, with a cluster of its own.
    (tmp_path / "example.py").write_text(doc_script("read_sexp("))
    (tmp_path / "data").symlink_to(tree[0])
    done = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, capture_output=True,
                          text=True, env=child_env(), timeout=300)
    # max_depth=64 refuses the deep file, which errors="skip" leaves out;
    # the other four hold 2, 2, 5 and 1 atoms.
    assert done.stdout == "10 atoms in 4 files\n", done.stderr[-3000:]


def _change(p):
    """Changes a partition in place, as a list, and returns it."""
    p[0] = [b"new"]
    p.append("text")  # stays a str: not read back from canonical octets
    p.append((b"1:a", 5))  # no (value, path) pair
    p.append(parvex.parse(b"(a (b [h]c) ())"))
    p[1] = ("a", p[1])
    p.reverse()
    return p


@pytest.mark.parametrize("scheduler", ["distributed", "processes", "sync"])
@pytest.mark.parametrize("include_path", [False, True])
def test_changes_in_place_are_kept_as_from_sequence_keeps_them(client, tree, scheduler,
                                                              include_path):
    paths = [p for p in tree[1] if "2.sx" not in p]  # DEEP: from_sequence would recurse
    values = pd.read_sexp(paths, include_path=include_path).compute()
    with dask.config.set(scheduler=None if scheduler == "distributed" else scheduler):
        want = dask.bag.from_sequence(values, npartitions=2).map_partitions(_change)
        got = pd.read_sexp(paths, files_per_partition=2, include_path=include_path)
        # persist: the changed partitions cross between processes once more.
        got = got.map_partitions(_change).persist()
        assert same(got.compute(), want.compute())
        assert got.count().compute() == want.count().compute()


def test_a_glob_that_matches_nothing_is_refused_as_read_text_refuses_it(tmp_path):
    pattern = str(tmp_path / "*.sx")
    with pytest.raises(ValueError) as info:
        dask.bag.read_text(pattern)
    with pytest.raises(ValueError) as ours:
        pd.read_sexp(pattern)
    assert ours.value.args == info.value.args == ("No files found", pattern)
