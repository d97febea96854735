"""What the writers produce reads back as the value that was written."""

import pytest
from hypothesis import given, settings, strategies as st
from parvex import Atom, Parser, parse, parse_canonical, to_advanced, to_canonical, to_transport
from support import nested, transport

SETTINGS = settings(max_examples=250, deadline=None)
CANONICAL = Parser(canonical=True)
# The advanced writer never uses base-64 strings or lengths before a form, and
# the transport writer never puts whitespace into its text.
ADVANCED_AS_WRITTEN = Parser(allow_base64=False, allow_lengths=False, allow_transport=False)
TRANSPORT_ONLY = Parser(allow_advanced=False)

NASTY = b'\x00\x07\t\n\r "#\'()*+-./:;=[\\]_{|}~\x7f\x80\xff09aZ'
octets = st.one_of(
    st.binary(max_size=20),
    st.lists(st.sampled_from(NASTY), max_size=8).map(bytes),
    st.sampled_from([b"", b"a", b"1", b"-", b":", b"=", b"a1", b"1a", b"text/plain"]),
)
atoms = st.builds(lambda data, hint: Atom(data, hint=hint), octets,
                  st.none() | st.just(b"") | octets)
leaves = st.one_of(octets, atoms, octets.map(bytearray), st.text(max_size=6))
values = st.recursive(
    leaves,
    lambda kids: st.lists(kids, max_size=6) | st.lists(kids, max_size=6).map(tuple),
    max_leaves=40,
)


# Chains of lists, or of lists and tuples in turn, around an atom.
deep = st.builds(nested, st.integers(1, 1024), leaves.map(lambda leaf: [leaf]),
                 st.sampled_from([(list,), (tuple, list)]))
wide = st.lists(leaves, min_size=60, max_size=200) | st.lists(
    st.lists(leaves, max_size=3), min_size=60, max_size=150).map(tuple)


def check_same(got, given):
    """`got` is the normalised `given`: lists as lists, hintless atoms as bytes."""
    stack = [(got, given)]
    while stack:
        g, v = stack.pop()
        if isinstance(v, (list, tuple)):
            assert type(g) is list and len(g) == len(v)
            stack.extend(zip(g, v))
        elif isinstance(v, Atom) and v.hint is not None:
            assert type(g) is Atom and (g.data, g.hint) == (v.data, v.hint)
        else:
            want = v.data if isinstance(v, Atom) else (
                v.encode() if isinstance(v, str) else bytes(v))
            assert type(g) is bytes and g == want


def check_roundtrip(value):
    advanced, transport, canonical = to_advanced(value), to_transport(value), to_canonical(value)
    assert advanced.isascii() and transport.isascii()
    assert not any(c in advanced for c in "\t\n\v\f\r")
    check_same(parse(advanced), value)
    check_same(ADVANCED_AS_WRITTEN.parse(advanced), value)
    check_same(parse(transport), value)
    check_same(TRANSPORT_ONLY.parse(transport), value)
    check_same(parse_canonical(canonical), value)
    check_same(CANONICAL.parse(canonical), value)
    assert CANONICAL.parse_prefix(canonical + b"(")[1] == len(canonical)
    # Writing what was read gives the same text again.
    again = parse(advanced)
    assert (to_advanced(again), to_transport(again), to_canonical(again)) == (
        advanced, transport, canonical)


@SETTINGS
@given(values)
def test_values_read_back(value):
    check_roundtrip(value)


@settings(max_examples=60, deadline=None)
@given(deep)
def test_deep_values_read_back(value):
    check_roundtrip(value)


@settings(max_examples=30, deadline=None)
@given(wide)
def test_wide_values_read_back(value):
    check_roundtrip(value)


@pytest.mark.parametrize("value", [
    b"", Atom(b""), Atom(b"", hint=b""), Atom(b"x", hint=b""), [], [[]], (), ((),),
    [Atom(b"", hint=b""), b"", [b""]], bytes(range(256)), Atom(bytes(range(256)), hint=b"\xff"),
])
def test_edge_values_read_back(value):
    check_roundtrip(value)


verbatim = octets.map(lambda s: b"%d:%s" % (len(s), s))
canonical_texts = st.recursive(
    verbatim | st.builds(lambda hint, data: b"[" + hint + b"]" + data, verbatim, verbatim),
    lambda kids: st.lists(kids, max_size=6).map(lambda xs: b"(" + b"".join(xs) + b")"),
    max_leaves=40,
)


@SETTINGS
@given(canonical_texts)
def test_canonical_text_written_back_unchanged(text):
    transported = transport(text).decode()
    for value in (parse_canonical(text), parse(text), CANONICAL.parse(text), parse(transported)):
        assert to_canonical(value) == text
        assert to_transport(value) == transported
        assert to_canonical(parse(to_advanced(value))) == text


def test_1024_levels_from_the_reader_are_written_back():
    text = b"(" * 1024 + b"0:" + b")" * 1024
    assert to_canonical(parse_canonical(text)) == text
    too_deep = Parser(max_depth=1025).parse(b"(" + text + b")")
    with pytest.raises(ValueError, match="^lists nested deeper than 1024$"):
        to_canonical(too_deep)


@pytest.mark.parametrize("write", [to_canonical, to_transport, to_advanced])
def test_100000_levels_are_refused_by_the_writers(write):
    value = Parser(max_depth=200_000).parse(b"(" * 100_000 + b")" * 100_000)
    with pytest.raises(ValueError) as info:
        write(value)
    assert type(info.value) is ValueError
    assert str(info.value) == "lists nested deeper than 1024"
