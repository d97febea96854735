"""Parsed values survive pickling and copying: Atom's reduction."""

import copy
import pickle
import subprocess
import sys

import parvex
import pytest
from hypothesis import given, settings
from parvex import Atom, ParseError, parse_canonical, to_canonical
from support import child_env, same, values

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
ATOMS = [
    Atom(b"abc"),
    Atom(b"abc", hint=b""),
    Atom(b"abc", hint=b"text/plain"),
    Atom(b"", hint=b""),
    Atom(b""),
    Atom(b"\x00\xff\n'\"\\", hint=b"\x80"),
    Atom(bytes(range(256)) * 300, hint=b"application/octet-stream"),
]


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("atom", ATOMS, ids=repr)
def test_atom_round_trip(atom, protocol):
    back = pickle.loads(pickle.dumps(atom, protocol))
    assert type(back) is Atom
    assert (back.data, back.hint) == (atom.data, atom.hint)  # None stays None
    assert back == atom and hash(back) == hash(atom)


@pytest.mark.parametrize("atom", ATOMS, ids=repr)
def test_copy(atom):
    for twin in (copy.copy(atom), copy.deepcopy(atom), copy.deepcopy([atom, [atom]])[1][0]):
        assert type(twin) is Atom
        assert (twin.data, twin.hint) == (atom.data, atom.hint)
        assert hash(twin) == hash(atom)


def test_absent_and_empty_hints_stay_apart():
    pair = pickle.loads(pickle.dumps([Atom(b"x"), Atom(b"x", hint=b"")]))
    assert pair[0].hint is None and pair[1].hint == b""
    assert pair[0] != pair[1]


@given(values)
@settings(max_examples=200, deadline=None)
def test_every_parsed_value_round_trips(value):
    parsed = parse_canonical(to_canonical(value))
    for protocol in PROTOCOLS:
        assert same(pickle.loads(pickle.dumps(parsed, protocol)), parsed)
    assert same(copy.deepcopy(parsed), parsed)


def test_unpickled_in_a_fresh_interpreter():
    # The pickle names parvex.Atom; loading it imports the package, which is
    # all the other side needs.
    value = [b"a", Atom(b"b", hint=b""), [Atom(b"c", hint=b"t")]]
    code = ("import pickle, sys; v = pickle.load(sys.stdin.buffer); "
            "print(repr(v), [a.hint for a in (v[1], v[2][0])])")
    done = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(value),
                          capture_output=True, check=True, env=child_env())
    assert done.stdout.decode().strip() == (
        "[b'a', Atom(b\"b\", hint=b\"\"), [Atom(b\"c\", hint=b\"t\")]] [b'', b't']")


def test_parse_error_keeps_kind_offset_and_notes():
    with pytest.raises(ParseError) as info:
        parvex.parse(b"(a b")
    info.value.add_note("while reading 'x.sx'")
    back = pickle.loads(pickle.dumps(info.value))
    assert type(back) is ParseError
    assert (back.kind, back.offset, str(back), back.__notes__) == (
        "unexpected_end", 4, str(info.value), ["while reading 'x.sx'"])



# A parser comes back with every option it had: it reads each of these as
# the original does, value or failure.
PARSERS = [
    parvex.Parser(),
    parvex.Parser(canonical=True, max_depth=2, max_atom_len=3),
    parvex.Parser(max_input_len=9, allow_display_hints=False, allow_empty_lists=False,
                  allow_list_as_first_element=False, allow_lengths=False),
    parvex.Parser(allow_hexadecimal=False, allow_base64=False, allow_empty_atoms=False,
                  _allow_8bit_in_quoted=True),
]
PROBES = [b"(a)", b"(1:a)", b"(((a)))", b"4:abcd", b"(a b c d e)", b"[t]x", b"()", b"((a) b)",
          b'3"abc"', b"#61#", b"|YQ==|", b"0:", b'"\xc3\xa9"', b"{KDE6YSk=}"]


def outcome(parser, data):
    try:
        return parser.parse(data)
    except ParseError as e:
        return e.kind, e.offset


@pytest.mark.parametrize("parser", PARSERS)
@pytest.mark.parametrize("rebuild", [copy.copy, copy.deepcopy] + [
    lambda p, n=n: pickle.loads(pickle.dumps(p, n)) for n in PROTOCOLS])
def test_parser_round_trip(parser, rebuild):
    back = rebuild(parser)
    assert type(back) is parvex.Parser and back is not parser
    assert back._options() == parser._options()
    assert [outcome(back, d) for d in PROBES] == [outcome(parser, d) for d in PROBES]
