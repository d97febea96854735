"""load and dump, in the manner of json.load and json.dump, and reading
files with limits that allocate nothing up front."""

import io

import pytest

import parvex
from parvex import Atom, ParseError, dump, load
from support import bounded, same

VALUE = [b"cert", [b"issuer", b"CA 1"], Atom(b"\x00\x01", hint=b"k"), [], Atom(b"", hint=b"")]


@pytest.mark.parametrize("to, indent, text", [
    ("canonical", None, parvex.to_canonical(VALUE)),
    ("transport", None, parvex.to_transport(VALUE).encode()),
    ("advanced", None, parvex.to_advanced(VALUE).encode()),
    ("advanced", 2, parvex.to_indented(VALUE, indent=2, width=20).encode()),
])
def test_dump_then_load(to, indent, text, tmp_path):
    out = io.BytesIO()
    assert dump(VALUE, out, to=to, indent=indent, width=20) is None
    assert out.getvalue() == text
    assert same(load(io.BytesIO(text)), VALUE)
    path = tmp_path / "value.sx"
    with open(path, "wb") as f:
        dump(VALUE, f, to=to, indent=indent, width=20)
    with open(path, "rb") as f:
        assert same(load(f), VALUE)
    if to != "canonical":  # the texts also go to and come from text files
        with open(path, "w", encoding="ascii") as f:
            dump(VALUE, f, to=to, indent=indent, width=20)
        with open(path, encoding="ascii") as f:
            assert same(load(f), VALUE)


def test_load_reads_to_the_end_under_the_options():
    source = io.BytesIO(b"skipped (a b) ")
    source.read(8)
    assert load(source) == [b"a", b"b"]
    with pytest.raises(ParseError) as info:
        load(io.BytesIO(b"(a b)"), canonical=True)
    assert (info.value.kind, info.value.offset) == ("advanced_not_allowed", 1)


def test_load_reads_no_further_than_the_limit():
    source = io.BytesIO(b"(" + b"a " * 100000 + b")")
    with pytest.raises(ParseError) as info:
        load(source, max_input_len=10)
    assert (info.value.kind, source.tell()) == ("input_too_long", 11)


@pytest.mark.parametrize("sexp, kwargs, exc", [
    (VALUE, {"to": "json"}, ValueError),
    (VALUE, {"to": "canonical", "indent": 2}, ValueError),
    (parvex.Parser(max_depth=1100).parse(b"(" * 1100 + b")" * 1100), {}, ValueError),  # deeper than 1024
    ([b"a", None], {"to": "advanced"}, TypeError),
])
def test_dump_refusals_write_nothing(sexp, kwargs, exc):
    out = io.BytesIO()
    with pytest.raises(exc):
        dump(sexp, out, **kwargs)
    assert out.getvalue() == b""


def test_huge_limits_allocate_nothing_up_front(tmp_path):
    # Each would ask for a terabyte at once if the limit were what a read
    # asked for; the child has 300 MiB.
    path = tmp_path / "small.sx"
    path.write_bytes(b"(a b)")
    got = bounded(f"""
        import io, json, parvex
        path = {str(path)!r}
        with open(path, "rb") as f:
            results = [parvex.load(f, max_input_len=10**12),
                       parvex.parse_file(path, max_input_len=10**12),
                       parvex.parse_files([path, path], jobs=1, max_input_len=2**64 - 1)[0]]
        with open(path, "rb") as f:
            results.append(list(parvex.iter_parse(f, chunk_size=2**40))[0])
        print(json.dumps([[a.decode() for a in r] for r in results]))
    """, memory_mb=300)
    assert got == [["a", "b"]] * 4
