"""Hostile input: each gets a clear error, and none crashes, hangs or makes
memory run away. What could run away if a bound were lost runs in a child
interpreter with a memory limit and a time limit, so that a regression
fails here instead of taking the suite down with it."""

import importlib.util
import pathlib
import sys

import parvex
import pytest
from parvex import Atom, ParseError, Parser
from support import LIMITS, U64, Index, bounded, transport

ROOT = pathlib.Path(__file__).resolve().parent.parent
MB = 1 << 20
PREFIX = "expected bytes, str, or Atom, and got "
NESTED = "lists nested deeper than 1024"
# A child reports each call as [kind, offset], [exception class, message] or
# ["ok", a short description of the result].
OUTCOME = """
import json, parvex
from parvex import Atom, Parser, ParseError

def outcome(call, *args):
    try:
        value = call(*args)
    except ParseError as e:
        return [e.kind, e.offset]
    except Exception as e:
        return [type(e).__name__, str(e)]
    return ["ok", repr(value)[:40]]
"""


READERS = [parvex.parse, Parser().parse, lambda d: Parser().parse_prefix(d)[0]]


# --- sizes: 100 MB of "(", and strings that never close ----------------------

def test_hundred_megabytes_of_open_parentheses():
    # Refused at the 1025th "(" under the default options, whatever follows;
    # the input is viewed in place (bytes, str) or copied once (bytearray).
    got = bounded("""
        data = b"(" * (100 << 20)
        text = data.decode()
        results = [outcome(read, d) for d in (data, text, bytearray(data))
                   for read in (parvex.parse, parvex.parse_canonical, Parser().parse,
                                Parser().parse_prefix)]
        print(json.dumps(results))
    """, memory_mb=600, prelude=OUTCOME)
    assert got == [["too_deep", 1024]] * 12


NEVER_CLOSED = {
    "hexadecimal": (b"#", b"61"),
    "hexadecimal with spaces": (b"#", b"6 1\n"),
    "hexadecimal with a length": (b"3#", b"61"),
    "base-64": (b"|", b"YWJj"),
    "base-64 with spaces": (b"|", b"YW Jj\t"),
    "quoted": (b'"', b"ab"),
    "quoted with escapes": (b'"', b"\\n\\x41\\101"),
    "transport": (b"{", b"KDE6"),
    "transport of spaces": (b"  {", b" \n"),
    "hint": (b"[#", b"61"),
    "list": (b"(", b"a "),
    "list of strings": (b"(", b'"x" '),
}


def test_strings_that_never_close():
    # 32 MB each: the reader runs to the end and reports it there, even
    # where a limit would refuse the string once it was whole; the child's
    # memory limit bounds what it holds on the way.
    cases = {name: [start.decode(), body.decode()] for name, (start, body) in NEVER_CLOSED.items()}
    got = bounded(f"""
        results = {{}}
        for name, (start, body) in {cases!r}.items():
            data = start.encode() + body.encode() * ((32 << 20) // len(body))
            results[name] = [len(data), outcome(parvex.parse, data),
                             outcome(Parser(max_atom_len=1).parse_prefix, data)]
        print(json.dumps(results))
    """, memory_mb=700, prelude=OUTCOME)
    assert set(got) == set(NEVER_CLOSED)
    for name, (length, default, limited) in got.items():
        assert default == limited == ["unexpected_end", length], name


@pytest.mark.parametrize("data, kind, offset", [
    (b"18446744073709551615:", "length_overflow", 21),
    (b"18446744073709551614:ab", "length_overflow", 21),
    (b"18446744073709551616:", "length_overflow", 0),
    (b"99999999999999999999999999:", "length_overflow", 0),
    (b"9999999999:abc", "unexpected_end", 14),
    (b"(4294967296:abc)", "unexpected_end", 16),
    (b"[18446744073709551615:a]b", "length_overflow", 22),
    (b"[99999:a]b", "unexpected_end", 10),
    (transport(b"(99999:a)"), "unexpected_end", 0),          # inside: at the brace
    (transport(b"18446744073709551615:"), "length_overflow", 0),
    (b'18446744073709551615"abc"', "length_mismatch", 0),   # read to the quote first
    (b"99999#61#", "length_mismatch", 0),
    (b"99999|YQ==|", "length_mismatch", 0),
])
@pytest.mark.parametrize("read", READERS)
def test_lengths_far_beyond_the_input(read, data, kind, offset, parse_error):
    parse_error(read, data, kind, offset)


@pytest.mark.parametrize("data, offset", [(b"999999:abc", 10), (b"[9999:a]b", 9)])
def test_a_length_beyond_the_input_is_not_an_atom_too_long(data, offset, parse_error):
    # The form must be read whole before its length is held against the limit.
    parse_error(Parser(max_atom_len=3).parse, data, "unexpected_end", offset)


# --- transport blocks ---------------------------------------------------------

@pytest.mark.parametrize("data, kind, offset", [
    (transport(transport(b"1:a")), "transport_not_allowed", 0),
    (b"  " + transport(transport(b"(1:a)")), "transport_not_allowed", 2),
    (transport(transport(transport(b"1:a"))), "transport_not_allowed", 0),
    (transport(b"(1:a" + transport(b"1:b") + b")"), "unexpected_octet", 0),
    (transport(b"[1:t]" + transport(b"1:b")), "unexpected_octet", 0),
    (transport(b"(" * 1025 + b")" * 1025), "too_deep", 0),
    (b"(" + transport(b"1:a") + b")", "unexpected_octet", 1),
    (transport(b"{" * 1000), "transport_not_allowed", 0),
    (transport(b"1:a") + b" " + transport(b"1:b"), "trailing_octets", 7),
])
def test_a_transport_block_holding_a_transport_block(data, kind, offset, parse_error):
    for read in READERS[:2]:
        parse_error(read, data, kind, offset)


# --- sequences that lie, raise or never end ------------------------------------

ENDLESS = OUTCOME + """
import itertools, sys

class Endless:          # says 2 items, yields them for ever
    def __len__(self): return 2
    def __getitem__(self, i): return 0x61

class Repeat:           # says 5, iterates for ever
    def __len__(self): return 5
    def __iter__(self): return itertools.repeat(0x61)

class Huge:             # says sys.maxsize, yields 3
    def __len__(self): return sys.maxsize
    def __getitem__(self, i):
        if i < 3: return 0x61
        raise IndexError(i)

class Oversized:        # says more than an index can hold
    def __len__(self): return 2**70
    def __getitem__(self, i): return b"ab"[i]

hostile = {"Endless": Endless(), "Repeat": Repeat(), "Huge": Huge(), "Oversized": Oversized(),
           "range": range(10**18), "count": itertools.count()}
entry = {
    "parse": parvex.parse,
    "Parser.parse": Parser().parse,
    "Atom": Atom,
    "Atom hint": lambda x: Atom(b"d", x),
    "effective_hint": Atom(b"d").effective_hint,
    "eq_ignoring_hint": Atom(b"d").eq_ignoring_hint,
    "to_canonical": lambda x: parvex.to_canonical([b"a", x]),
    "to_advanced": lambda x: parvex.to_advanced([b"a", x]),
}
"""


def test_endless_and_huge_sequences():
    # A sequence may yield fewer items than its len() claims, never more; a
    # huge claimed length reserves nothing large.
    got = bounded("""
        print(json.dumps({f"{e} {h}": outcome(call, value)
                          for e, call in entry.items() for h, value in hostile.items()}))
    """, memory_mb=400, prelude=ENDLESS)
    assert len(got) == 8 * 6
    for key, result in got.items():
        kind = key.rsplit(" ", 1)[1]
        if kind in ("Huge", "Oversized"):
            assert result[0] == "ok", key
        else:   # range(10**18) fails at 256, itertools.count is no sequence
            assert result == ["TypeError", PREFIX + kind], key
    assert got["Atom Huge"] == ["ok", 'Atom(b"aaa")']
    assert got["Atom Oversized"] == ["ok", 'Atom(b"ab")']


def boom():
    raise ArithmeticError("boom")


class Items:
    """A sequence of the given items, with a len() that may itself fail."""
    def __init__(self, items, length=None):
        self.items, self.length = items, length

    def __len__(self):
        if self.length is None:
            raise LookupError("no length")
        return self.length

    def __getitem__(self, i):
        item = self.items[i]
        if isinstance(item, BaseException):
            raise item
        return item


class RaisingIter:
    def __len__(self):
        return 1

    def __iter__(self):
        raise OSError("no iteration")


@pytest.mark.parametrize("value, octets", [
    (Items([Index(lambda: 0x61), Index(boom)], 2), None),
    (Items([Index(lambda: 256)], 1), None),
    (Items([Index(lambda: -1)], 1), None),
    (Items([Index(lambda: "a")], 1), None),
    (Items([0x61, KeyError("gone")], 2), None),
    (Items([0x61, ArithmeticError()], 2), None),  # MemoryError passes through: see below
    (RaisingIter(), None),
    (Items([0x28, 0x29]), b"()"),                  # len() fails: read by iterating
    (Items([0x28, 0x29], length=-7), b"()"),       # len() negative: the same
    (Items([0x28, 0x29], length=10**6), b"()"),    # fewer than announced
    (Items([True, Index(lambda: 0x29)], 2), b"\x01)"),
])
def test_sequences_whose_items_or_iteration_fail(value, octets):
    if octets is None:
        for call, note in [(parvex.parse, "data"), (Parser().parse_prefix, "data"),
                           (Atom, "data"), (lambda v: Atom(b"x", v), "hint"),
                           (Atom(b"x").effective_hint, "default")]:
            with pytest.raises(TypeError) as info:
                call(value)
            assert str(info.value) == PREFIX + type(value).__name__
            assert info.value.__notes__ == [f"while processing '{note}'"]
            # The failure of the item or the iteration is not chained on.
            assert info.value.__context__ is None and info.value.__cause__ is None
        with pytest.raises(TypeError) as info:
            parvex.to_canonical([value])
        assert str(info.value) == PREFIX + type(value).__name__
        assert info.value.__notes__ == ["at sexp[0]"]
    else:
        assert Atom(value).data == octets
        assert parvex.to_canonical([value]) == b"(%d:%s)" % (len(octets), octets)


# --- a list that contains itself ----------------------------------------------

def self_containing():
    a = [b"x"]
    a.append(a)
    return a


def through_a_tuple():
    a = [b"x"]
    a.append((b"y", a))
    return a


def deep_inside():
    a = [b"x"]
    inner = a
    for _ in range(500):
        inner = [inner]
    a.append(inner)
    return a


def laid_out():
    a = [range(2), bytearray(b"z")]   # not plain: converted through a layout
    a.append([a])
    return a


@pytest.mark.parametrize("make", [self_containing, through_a_tuple, deep_inside, laid_out])
@pytest.mark.parametrize("write", [parvex.to_canonical, parvex.to_transport, parvex.to_advanced])
def test_a_list_containing_itself(write, make):
    value = make()
    count = sys.getrefcount(value)
    with pytest.raises(ValueError) as info:
        write(value)
    assert str(info.value) == NESTED and type(info.value) is ValueError
    del info
    assert sys.getrefcount(value) == count     # the partial walk let go of it


@pytest.mark.parametrize("call, note", [
    (parvex.parse, "data"), (Atom, "data"), (lambda v: Atom(b"x", hint=v), "hint"),
])
def test_a_list_containing_itself_as_octets(call, note):
    # As octets, a list is a sequence of integers; the list in it is not one.
    with pytest.raises(TypeError) as info:
        call(self_containing())
    assert str(info.value) == PREFIX + "list"
    assert info.value.__notes__ == [f"while processing '{note}'"]


# --- limits at their edges ------------------------------------------------------

@pytest.mark.parametrize("options, data, outcome", [
    ({"max_input_len": 0}, b"", ("unexpected_end", 0)),
    ({"max_input_len": 0}, b"a", ("input_too_long", 0)),
    ({"max_input_len": 0}, "\u00e9", ("input_too_long", 0)),
    ({"max_input_len": 0, "max_depth": 0, "max_atom_len": 0}, b"", ("unexpected_end", 0)),
    ({"max_input_len": 0, "max_depth": 0, "max_atom_len": 0}, b"()", ("input_too_long", 0)),
    ({"max_atom_len": 0}, b"[0:]0:", Atom(b"", hint=b"")),
    ({"max_atom_len": 0}, b"[a]0:", ("atom_too_long", 1)),
    ({"max_atom_len": 0}, b"(0: ## || \"\")", [b""] * 4),
    ({"max_atom_len": 0}, transport(b"(0:1:a)"), ("atom_too_long", 0)),
    ({"max_depth": 0}, b"a", b"a"),
    ({"max_depth": 0}, b"[h]a", Atom(b"a", hint=b"h")),
    ({"max_depth": 0}, transport(b"()"), ("too_deep", 0)),
    ({"max_depth": 0}, b" )", ("unmatched_parenthesis", 1)),
    ({"max_depth": U64}, b"(" * 5000 + b")" * 5000, None),
    (dict.fromkeys(LIMITS, U64),
     b"18446744073709551615:", ("length_overflow", 21)),
    (dict.fromkeys(LIMITS, U64), transport(b"(1:a)"), [b"a"]),
    ({"max_input_len": 2**64 - 2}, b"(a)", [b"a"]),
    ({"max_atom_len": 2**63}, b"#" + b"ab" * 1000 + b"#", b"\xab" * 1000),
])
@pytest.mark.parametrize("method", ["parse", "parse_prefix"])
def test_limits_at_zero_and_at_the_largest_value(options, data, outcome, method, parse_error):
    read = getattr(Parser(**options), method)
    if method == "parse_prefix":
        read = (lambda r: lambda d: r(d)[0])(read)
    if isinstance(outcome, tuple):
        parse_error(read, data, *outcome)
    elif outcome is None:
        value, depth = read(data), 0
        while type(value) is list:
            depth += 1
            value = value[0] if value else None
        assert depth == 5000
    else:
        got = read(data)
        assert got == outcome and type(got) is type(outcome)


# --- the fuzzers' seeds ---------------------------------------------------------

def corpus():
    found = importlib.util.spec_from_file_location("make_corpus", ROOT / "fuzz" / "make_corpus.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_the_fuzzers_seeds_reach_every_representation_and_every_error_kind(messages):
    # The reader seeds carry the option header that the harnesses decode;
    # read here under the same options, they do what their names say.
    make = corpus()
    kinds = set()
    for name, data, expected in make.reader_seeds():
        options, text = make.options(data)
        parser = Parser(**options)
        if expected == "stream":
            value, consumed = parser.parse_prefix(text)
            assert consumed < len(text), name
            with pytest.raises(ParseError, match="^octets after"):
                parser.parse(text)
        elif expected == "accept":
            value = parser.parse(text)
            assert parser.parse_prefix(text)[0] == value, name
        else:
            with pytest.raises(ParseError) as info:
                parser.parse(text)
            assert info.value.kind == expected, name
            kinds.add(expected)
    assert kinds == set(messages)
    names = {name for name, _, _ in make.reader_seeds()}
    for representation in ("canonical", "transport", "advanced"):
        assert any(n.startswith(f"accept_{representation}") for n in names), representation
    # The header round-trips.
    header = make.header(allow_hexadecimal=False, max_depth=1024, max_atom_len=3,
                         max_input_len=2**63)
    options, _ = make.options(header)
    assert options == dict(make.DEFAULT_FLAGS, allow_hexadecimal=False,
                           max_depth=1024, max_atom_len=3, max_input_len=2**63)


class _Interrupting:
    """A sequence whose items cannot be read without an exception that no
    conversion may hide."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise self.exc


CONVERTING_CALLS = {
    "Atom": parvex.Atom,
    "parse": parvex.parse,
    "to_canonical": parvex.to_canonical,
    "to_advanced": lambda x: parvex.to_advanced([b"a", x]),
    "eq_ignoring_hint": lambda x: parvex.Atom(b"a").eq_ignoring_hint(x),
}


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("call", list(CONVERTING_CALLS.values()) + [lambda x: parvex.Atom(b"a") == x],
                         ids=list(CONVERTING_CALLS) + ["=="])
def test_interruptions_pass_through_conversion(call, exc):
    # A TypeError in their place would swallow a Ctrl-C or an exit.
    with pytest.raises(exc):
        call(_Interrupting(exc))


@pytest.mark.parametrize("call", list(CONVERTING_CALLS.values()), ids=list(CONVERTING_CALLS))
def test_ordinary_failures_still_read_as_unsupported(call):
    with pytest.raises(TypeError) as info:
        call(_Interrupting(ValueError))
    assert str(info.value) == "expected bytes, str, or Atom, and got _Interrupting"
    assert parvex.Atom(b"a") != _Interrupting(ValueError)
