"""Properties over generated values and octets: every writer's output reads
back to the value written, and any octets either read to a value whose
canonical form reads back the same, or fail with an offset inside them."""

import typing

import parvex
from hypothesis import HealthCheck, given, settings, strategies as st
from parvex import Atom, ParseError, Parser
from support import OPTIONS, U64, atoms, depth, octets, same

SETTINGS = settings(max_examples=300, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])

# What the writers take: every spelling of an atom and of a list.
atom_inputs = st.one_of(octets, atoms, octets.map(bytearray), octets.map(Atom),
                        octets.map(memoryview), st.text(max_size=6))
inputs = st.recursive(atom_inputs,
                      lambda kids: st.lists(kids, max_size=5) | st.lists(kids, max_size=5).map(tuple),
                      max_leaves=30)


def expected(x):
    """What reading any writer's output of `x` gives back."""
    if isinstance(x, (list, tuple)):
        return [expected(e) for e in x]
    if type(x) is Atom:
        return x if x.hint is not None else x.data
    if isinstance(x, str):
        return x.encode()
    return bytes(x)


@SETTINGS
@given(inputs)
def test_every_writer_reads_back(x):
    want = expected(x)
    canonical = parvex.to_canonical(x)
    transport = parvex.to_transport(x)
    advanced = parvex.to_advanced(x)
    assert same(parvex.parse_canonical(canonical), want)
    assert same(parvex.parse(transport), want)
    assert same(parvex.parse(advanced), want)
    # One line of printable ASCII each, and the canonical octets are unique.
    for text in (transport, advanced):
        assert text.isascii() and text.isprintable()
    assert parvex.to_canonical(parvex.parse(advanced)) == canonical
    assert parvex.to_canonical(want) == canonical
    # A prefix reader stops exactly at the end of what was written.
    value, consumed = Parser(canonical=True).parse_prefix(canonical + b")junk")
    assert same(value, want) and consumed == len(canonical)
    value, consumed = Parser().parse_prefix(advanced + " (next)")
    assert same(value, want) and consumed == len(advanced)


# Octets that mostly look like S-expressions, and some that do not at all.
PIECES = [b"(", b")", b"[", b"]", b"{", b"}", b"a", b"bc", b"x-1", b"0:", b"1:", b"3:", b"12",
          b"#", b"61", b"6", b"|", b"YQ", b"==", b"=", b'"', b"\\", b"\\x4", b"\\101", b"n",
          b" ", b"\t", b"\n", b"\r", b"KCk=", b"KDE6YSk=", b"\x00", b"\x80", b"\xff", b"9" * 20]
WRITTEN = [parvex.to_canonical, lambda x: parvex.to_transport(x).encode(),
           lambda x: parvex.to_advanced(x).encode()]


def spliced(x, write, at, cut, piece):
    """A written value with a piece of something else spliced in."""
    text = write(x)
    at %= len(text) + 1
    return text[:at] + piece + text[at + cut:]


texts = st.one_of(st.binary(max_size=64),
                  st.lists(st.sampled_from(PIECES), max_size=24).map(b"".join),
                  st.builds(spliced, inputs, st.sampled_from(WRITTEN), st.integers(0, 400),
                            st.integers(0, 2), st.sampled_from([b"", *PIECES])))


def option(keyword, kind):
    """Values of one of Parser's keywords: small limits, which the texts
    above reach (an input's length further than the rest), and no limit."""
    if kind is bool:
        return st.booleans()
    limits = st.integers(0, 40 if keyword == "max_input_len" else 6) | st.just(U64)
    return limits | st.none() if type(None) in typing.get_args(kind) else limits


options = st.fixed_dictionaries({}, optional={k: option(k, kind) for k, kind in OPTIONS.items()})


def check_read(parser, data):
    """Either a value whose canonical form reads back the same under the
    canonical options, or a ParseError pointing inside the input (or at
    max_input_len, where the input is longer)."""
    try:
        value = parser.parse(data)
    except ParseError as e:
        if e.kind == "input_too_long":
            assert e.offset < len(data)
        else:
            assert 0 <= e.offset <= len(data)
        try:
            parser.parse_prefix(data)
        except ParseError as p:
            assert (p.kind, p.offset) == (e.kind, e.offset)   # the same first failure
        else:
            assert e.kind == "trailing_octets"
        return None
    canonical = parvex.to_canonical(value)
    assert same(Parser(canonical=True, max_depth=max(depth(value), 1)).parse(canonical), value)
    prefix, consumed = parser.parse_prefix(data)
    assert same(prefix, value) and 0 < consumed <= len(data)
    assert same(parser.parse(data[:consumed]), value)
    return value


@SETTINGS
@given(texts)
def test_any_octets_under_the_default_options(data):
    value = check_read(Parser(), data)
    if value is not None:
        assert same(parvex.parse(data), value)


@SETTINGS
@given(texts, options)
def test_any_octets_under_any_options(data, kwargs):
    check_read(Parser(**kwargs), data)


@SETTINGS
@given(st.text(max_size=24))
def test_text_reads_as_its_utf8_octets(text):
    try:
        encoded = text.encode()
    except UnicodeEncodeError:
        return
    outcomes = []
    for data in (text, encoded):
        try:
            outcomes.append(("ok", parvex.to_canonical(parvex.parse(data))))
        except ParseError as e:
            outcomes.append((e.kind, e.offset))
    assert outcomes[0] == outcomes[1]
