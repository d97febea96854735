"""load, dump, loads and dumps, in the manner of json's and pickle's, and
limits that allocate nothing up front."""

import io

import parvex
import pytest
from parvex import Atom, ParseError, dump, dumps, load, loads
from support import bounded, same

VALUE = [b"cert", [b"CA 1"], Atom(b"\x00\x01", hint=b"k"), [], Atom(b"", hint=b"")]


@pytest.mark.parametrize("to, indent, text", [
    ("canonical", None, parvex.to_canonical(VALUE)),
    ("transport", None, parvex.to_transport(VALUE).encode()),
    ("advanced", 2, parvex.to_indented(VALUE, indent=2, width=20).encode()),
])
def test_dump_then_load(to, indent, text, tmp_path):
    out = io.BytesIO()
    dump(VALUE, out, to=to, indent=indent, width=20)
    assert out.getvalue() == text == dumps(VALUE, to=to, indent=indent, width=20)
    assert same(loads(text), VALUE) and same(loads(text.decode("latin-1")), VALUE)
    with pytest.raises(ParseError, match="input longer than allowed"):
        loads(text, max_input_len=len(text) - 1)
    path = tmp_path / "value.sx"
    mode = "b" if to == "canonical" else ""  # the texts go to text files too
    with open(path, "w" + mode) as f:
        dump(VALUE, f, to=to, indent=indent, width=20)
    with open(path, "r" + mode) as f:
        assert same(load(f), VALUE)


def test_load_reads_on_to_the_end_and_no_further_than_the_limit():
    source = io.BytesIO(b"skipped (a b) ")
    source.read(8)
    assert load(source) == [b"a", b"b"]
    source = io.BytesIO(b"(" + b"a " * 100000 + b")")
    with pytest.raises(ParseError, match="input longer than allowed at offset 10"):
        load(source, max_input_len=10)
    assert source.tell() == 11


@pytest.mark.parametrize("sexp, kwargs, exc", [
    (VALUE, {"to": "json"}, ValueError),
    (VALUE, {"to": "canonical", "indent": 2}, ValueError),
    (parvex.Parser(max_depth=1100).parse(b"(" * 1100 + b")" * 1100), {}, ValueError),  # too deep
    # Refused before the first piece of an indented text is written.
    ([[b"a"] * 100, [b"b", 5]], {"to": "advanced", "indent": 2}, TypeError),
    (parvex.Parser(max_depth=1100).parse(b"(" * 1100 + b")" * 1100),
     {"to": "advanced", "indent": 2}, ValueError),
])
def test_dump_refusals_write_nothing(sexp, kwargs, exc):
    out = io.BytesIO()
    with pytest.raises(exc):
        dump(sexp, out, **kwargs)
    assert out.getvalue() == b""
    with pytest.raises(exc):
        dumps(sexp, **kwargs)


def test_huge_limits_allocate_nothing_up_front(tmp_path):
    # Each would ask for a terabyte at once if a read asked for the limit.
    path = tmp_path / "small.sx"
    path.write_bytes(b"(a b)")
    got = bounded(f"""
        import json, parvex
        path = {str(path)!r}
        with open(path, "rb") as f, open(path, "rb") as g:
            results = [parvex.load(f, max_input_len=10**12), list(parvex.iter_parse(g, chunk_size=2**40))[0],
                       parvex.parse_files([path], jobs=1, max_input_len=2**64 - 1)[0]]
        print(json.dumps([[a.decode() for a in r] for r in results]))
    """, memory_mb=300)
    assert got == [["a", "b"]] * 3
