"""The three writers: canonical (§6.2), basic transport (§6.3) and advanced (§6.4)."""

import array
import collections
import inspect
import pickle
import random
import subprocess
import sys

import parvex
import parvex._parvex as m
import pytest
from hypothesis import given, settings, strategies as st
from parvex import Atom, to_advanced, to_canonical, to_transport
from support import Index, child_env, nested, same, transport

WRITERS = {"to_canonical": to_canonical, "to_transport": to_transport,
           "to_advanced": to_advanced}
PREFIX = "expected bytes, str, or Atom, and got "

# Octet classes of the advanced writer's choice of form.
LETTERS = set(range(0x41, 0x5B)) | set(range(0x61, 0x7B))
DIGITS = set(range(0x30, 0x3A))
PUNCT = set(b"*+-./:=_")
QUOTABLE = set(range(0x20, 0x7F)) | set(range(0x07, 0x0E))
ESCAPES = {0x07: r"\a", 0x08: r"\b", 0x09: r"\t", 0x0A: r"\n", 0x0B: r"\v",
           0x0C: r"\f", 0x0D: r"\r", 0x22: '\\"', 0x5C: "\\\\"}


def ref_string(s):
    """Advanced form of one octet string: token, else quoted, else hexadecimal."""
    if s and s[0] in LETTERS | PUNCT and all(c in LETTERS | DIGITS | PUNCT for c in s):
        return s.decode()
    if all(c in QUOTABLE for c in s):
        return '"' + "".join(ESCAPES.get(c, chr(c)) for c in s) + '"'
    return "#" + s.hex() + "#"


def octets(v):
    return v.data if isinstance(v, Atom) else v.encode() if isinstance(v, str) else bytes(v)


def ref_canonical(v):
    if isinstance(v, (list, tuple)):
        return b"(" + b"".join(map(ref_canonical, v)) + b")"
    hint = getattr(v, "hint", None)
    head = b"" if hint is None else b"[%d:%s]" % (len(hint), hint)
    return head + b"%d:%s" % (len(octets(v)), octets(v))


def ref_advanced(v):
    if isinstance(v, (list, tuple)):
        return "(" + " ".join(map(ref_advanced, v)) + ")"
    hint = getattr(v, "hint", None)
    return ("" if hint is None else f"[{ref_string(hint)}]") + ref_string(octets(v))


# --- advanced: the form of every single octet ------------------------------

def expected_forms(o):
    """The octet o alone, `a` followed by o, and o as the hint of `x`."""
    c = chr(o)
    if o in LETTERS | PUNCT:
        alone, after_a = c, "a" + c
    elif o in DIGITS:
        alone, after_a = f'"{c}"', "a" + c
    elif o in QUOTABLE:
        q = ESCAPES.get(o, c)
        alone, after_a = f'"{q}"', f'"a{q}"'
    else:
        alone, after_a = f"#{o:02x}#", f"#61{o:02x}#"
    return alone, after_a, f"[{alone}]x"


@pytest.mark.parametrize("o", range(256))
def test_each_octet_alone_after_a_token_and_as_hint(o):
    alone, after_a, hinted = expected_forms(o)
    assert to_advanced(bytes([o])) == alone
    assert to_advanced(bytes([0x61, o])) == after_a
    assert to_advanced(Atom(b"x", hint=bytes([o]))) == hinted


def test_form_counts_over_all_octets():
    forms = [to_advanced(bytes([o]))[0] for o in range(256)]
    quoted = [o for o in range(256) if forms[o] == '"']
    assert forms.count("#") == 154  # 0x00-0x06, 0x0E-0x1F, 0x7F-0xFF
    assert len(quoted) == 42 and set(range(0x30, 0x3A)) <= set(quoted)
    assert 256 - forms.count("#") - len(quoted) == 60  # 52 letters, 8 punctuation


@pytest.mark.parametrize("value, text", [
    (b"abc", "abc"), (b"a-b.c/d:e=f_g*h+i", "a-b.c/d:e=f_g*h+i"),
    (b"-x", "-x"), (b".", "."), (b"=", "="), (b":", ":"), (b"a1", "a1"),
    (b"123", '"123"'), (b"1a", '"1a"'), (b"", '""'),
    (b"a b", '"a b"'), (b"it's", '"it\'s"'), (b"(x)", '"(x)"'), (b"#", '"#"'),
    (b"|", '"|"'), (b"[", '"["'), (b"{", '"{"'), (b"a\nb", r'"a\nb"'),
    (b"\x07\x08\t\n\x0b\x0c\r\"\\'", r'"\a\b\t\n\v\f\r\"\\' + "'\""),
    (b'say "hi" \\o/', r'"say \"hi\" \\o/"'),
    (b"\x00", "#00#"), (b"A\xff", "#41ff#"), (b"\x7f", "#7f#"), (b"\x0e", "#0e#"),
    (b"A\x80", "#4180#"), (b"a\tb\x80", "#61096280#"), (b"\xab\xcd\xef", "#abcdef#"),
    ("é", "#c3a9#"), (Atom(b"abc"), "abc"),
    (Atom(b"hello", hint=b"text/plain"), "[text/plain]hello"),
    (Atom(b"x", hint=b""), '[""]x'), (Atom(b"", hint=b""), '[""]""'),
    (Atom(b"hi there", hint=b"\x80"), '[#80#]"hi there"'),
    (Atom(b"\x00", hint=b"1"), '["1"]#00#'),
    ([b"a", b"b", [b"c"]], "(a b (c))"), ([], "()"), ([[]], "(())"),
    ([[], []], "(() ())"), ((b"a", [Atom(b"b", hint=b"t"), b""], ()), '(a ([t]b "") ())'),
])
def test_advanced(value, text):
    out = to_advanced(value)
    assert type(out) is str and out == text


# --- canonical and transport -----------------------------------------------

@pytest.mark.parametrize("value, data", [
    (b"abc", b"3:abc"), (b"", b"0:"), ([], b"()"), ([[]], b"(())"),
    (Atom(b"abc", hint=b"t"), b"[1:t]3:abc"), (Atom(b"x", hint=b""), b"[0:]1:x"),
    (Atom(b"", hint=b""), b"[0:]0:"), (Atom(b"x"), b"1:x"),
    ([Atom(b"abc", hint=b"t"), b""], b"([1:t]3:abc0:)"),
    (b"()[]:\x00\xff", b"7:()[]:\x00\xff"), (Atom(b"]", hint=b"[:"), b"[2:[:]1:]"),
    ([b"a", [b"b"], ("c",)], b"(1:a(1:b)(1:c))"), ("é", b"2:\xc3\xa9"),
])
def test_canonical(value, data):
    out = to_canonical(value)
    assert type(out) is bytes and out == data


@pytest.mark.parametrize("n", [0, 1, 9, 10, 99, 100, 999, 1000, 123456])
def test_decimal_lengths(n):
    s = bytes(range(256)) * (n // 256) + bytes(range(n % 256))
    digits = str(n).encode()
    assert to_canonical(s) == digits + b":" + s
    assert to_canonical(Atom(b"", hint=s)) == b"[" + digits + b":" + s + b"]0:"
    canonical_len = len(digits) + 1 + n
    assert len(to_transport(s)) == 4 * -(-canonical_len // 3) + 2


@pytest.mark.parametrize("value, text", [
    (b"abc", "{MzphYmM=}"), ([], "{KCk=}"), (b"", "{MDo=}"), ([b"abc"], "{KDM6YWJjKQ==}"),
    (b"a", "{MTph}"), (b"ab", "{MjphYg==}"), ((b"a",), "{KDE6YSk=}"),
    (Atom(b"abc", hint=b"t"), "{WzE6dF0zOmFiYw==}"), (Atom(b"", hint=b""), "{WzA6XTA6}"),
])
def test_transport(value, text):
    out = to_transport(value)
    assert type(out) is str and out == text


def test_long_values_stay_on_one_line():
    wide = [b"a"] * 100_000
    assert to_canonical(wide) == b"(" + b"1:a" * 100_000 + b")"
    assert to_advanced(wide) == "(" + " ".join(["a"] * 100_000) + ")"
    blob = bytes(range(256)) * 400
    assert to_transport(blob) == transport(to_canonical(blob)).decode()
    assert to_advanced(b"\x00" * 100_000) == "#" + "00" * 100_000 + "#"


# Atoms of at least this many octets are not copied as they are met: the
# writer notes where they go and copies (or encodes) each once into a result
# made to measure.
DEFER_FROM = 16 * 1024


@pytest.mark.parametrize("n", [DEFER_FROM - 1, DEFER_FROM, DEFER_FROM + 1, DEFER_FROM + 2, 3 * DEFER_FROM + 5])
@pytest.mark.parametrize("lead", [0, 1, 2])  # shifts where the atom falls among base-64 groups
def test_long_atoms_among_short_ones(n, lead):
    rng = random.Random(n * 3 + lead)
    long = rng.randbytes(n)
    value = [b"x" * lead, long, b"ab", Atom(long[1:], hint=long[:n // 2]),
             range(3), bytearray(long), [bytes(long), [b"c"]], long.decode("latin-1")]
    canonical = ref_canonical(value)
    assert to_canonical(value) == canonical
    assert to_transport(value) == transport(canonical).decode()
    assert to_canonical(long) == ref_canonical(long)
    assert to_transport(long) == transport(ref_canonical(long)).decode()


def test_large_results_of_changing_sizes_in_turn():
    # A large result starts at the size the thread's last one of its writer
    # called for, and keeps a block a little too long: results smaller,
    # larger and far larger than the last come out whole, and behave as
    # results made to measure do.
    for n in (40_000, 9_000, 41_000, 41_001, 250_000, 41_000):
        value = [b"%d" % i for i in range(n)]
        canonical = ref_canonical(value)
        results = (to_canonical(value), to_transport(value), to_advanced(value))
        assert results[:2] == (canonical, transport(canonical).decode())
        assert parvex.parse(results[2]) == value
        for r in results:
            rebuilt = r[:-1] + r[-1:]  # a new object, made to measure
            assert pickle.loads(pickle.dumps(r)) == rebuilt and hash(r) == hash(rebuilt)
            assert r[-1:] in (b")", b"}", ")", "}")
            assert len(memoryview(r.encode() if isinstance(r, str) else r)) == len(r)


@pytest.mark.parametrize("n", [(24 << 20) - 30, 24 << 20, (32 << 20) + 7])
def test_results_in_huge_pages(n):
    # Results of 32 MiB and more are made a little larger, to fill whole huge
    # pages, and must still come out exactly their length: made at once for
    # one long atom, grown past that size from atoms too short to defer.
    atom = random.Random(n).randbytes(n)
    pieces = [atom[i:i + 4096] for i in range(0, n, 4096)]
    for value in (atom, [b"x", atom], pieces):
        canonical = ref_canonical(value)
        results = (to_canonical(value), to_transport(value), to_advanced(value))
        assert results[:2] == (canonical, transport(canonical).decode())
        assert parvex.parse(results[2]) == value
        assert hash(results[1]) == hash(results[1][:-1] + "}")  # as one made to measure


CHILD = """
import pickle, sys, parvex
values = pickle.loads(sys.stdin.buffer.read())
out = [(parvex.to_canonical(v), parvex.to_transport(v), parvex.to_advanced(v), parvex.parse(parvex.to_transport(v)))
       for v in values]
sys.stdout.buffer.write(pickle.dumps(out))
"""


def test_portable_paths_write_what_the_vector_paths_write():
    # Every vector path has a portable twin, which a process takes when
    # PARVEX_PORTABLE is set; on a machine with the vector instructions this
    # is where the twins run. Lengths cross each path's steps (16, 24, 32,
    # 48 and 64 octets) with octets of every form.
    rng = random.Random(9804)
    values = [rng.randbytes(n) for n in [*range(0, 130), 1000, 4095, 70001]]
    forms = b"Ab9-_ \"\\\t\x07\x80\x00"
    values += [bytes(rng.choice(forms) for _ in range(n)) for n in range(0, 70)]
    values += [Atom(v, hint=h) for v, h in zip(values[40:60], values[150:170])]
    values.append([values[:70], tuple(values[130:200]), [values[-5:]]])
    child = subprocess.run([sys.executable, "-c", CHILD], input=pickle.dumps(values),
                           env=child_env(PARVEX_PORTABLE="1"), capture_output=True, check=True)
    got = pickle.loads(child.stdout)
    for v, (canonical, transported, advanced, parsed) in zip(values, got, strict=True):
        assert (canonical, transported, advanced) == (to_canonical(v), to_transport(v), to_advanced(v)), v
        assert same(parsed, parvex.parse(transported))


# --- generated values against independent reference writers ----------------

_octets = st.binary(max_size=12) | st.lists(
    st.sampled_from(b'\x00\x07\n\r "#\'()*:[\\]_{|}\x7f\x80\xff0aZ'), max_size=6).map(bytes)
_leaf = _octets | st.text(max_size=4) | st.builds(
    lambda d, h: Atom(d, hint=h), _octets, st.none() | _octets)
_values = st.recursive(
    _leaf, lambda kids: st.lists(kids, max_size=5) | st.lists(kids, max_size=5).map(tuple),
    max_leaves=30)


@settings(max_examples=250, deadline=None)
@given(_values)
def test_writers_match_references(value):
    canonical = ref_canonical(value)
    assert to_canonical(value) == canonical
    assert to_transport(value) == transport(canonical).decode()
    assert to_advanced(value) == ref_advanced(value)


# --- conversion of the argument --------------------------------------------

class Bytes(bytes): pass
class Str(str): pass
class List(list): pass
class Tuple(tuple): pass
class Seq:  # no __len__: the length is found by iterating
    def __getitem__(self, i):
        if i < 3:
            return 0x61 + i
        raise IndexError(i)
class BadSeq:
    def __len__(self):
        return 2
    def __getitem__(self, i):
        raise KeyError(i)
class Unreadable(type):
    __name__ = property(lambda cls: 1 / 0)
class Odd(metaclass=Unreadable): pass


Point = collections.namedtuple("Point", "x y")
shared = [b"a"]


@pytest.mark.parametrize("value, data", [
    (bytearray(b"x"), b"1:x"), (range(2), b"2:\x00\x01"), (memoryview(b"xy"), b"2:xy"),
    (array.array("B", [1, 2]), b"2:\x01\x02"), (collections.deque([True, Index(0xFF)]), b"2:\x01\xff"),
    (Seq(), b"3:abc"), (Bytes(b"ab"), b"2:ab"), (Str("ab"), b"2:ab"),
    (List([b"a", Tuple([b"b"])]), b"(1:a(1:b))"), (Point(b"x", "y"), b"(1:x1:y)"),
    ([range(3), bytearray()], b"(3:\x00\x01\x020:)"), ([shared, (shared,)], b"((1:a)((1:a)))"),
    (Atom(b"x", hint=b"h"), b"[1:h]1:x"), (Atom(b"x", hint=b""), b"[0:]1:x"),
])
def test_conversion(value, data):
    assert to_canonical(value) == data
    assert to_canonical((value,)) == b"(" + data + b")"


@pytest.mark.parametrize("make", [
    bytes, Bytes, lambda b: b.decode("latin-1"), lambda b: b.decode("latin-1") + "é",
    lambda b: Atom(b), lambda b: Atom(b, hint=b"h"),
], ids=["bytes", "bytes subclass", "ascii str", "non-ascii str", "Atom", "hinted Atom"])
def test_short_strings_of_every_length_anywhere(make):
    # Strings of up to 16 octets are written with stores that run past their
    # end; each length must come out exact in the middle of the output, at
    # its very end, and alone.
    items = [make(bytes(range(65, 65 + n))) for n in range(21)]
    pieces = [ref_canonical(x) for x in items]
    assert to_canonical(items) == b"(" + b"".join(pieces) + b")"
    assert to_canonical(items[::-1]) == b"(" + b"".join(pieces[::-1]) + b")"
    # The transport writer gathers octets in a buffer of its own, whose end
    # these cross again and again, at many offsets.
    many = items * 40 + items[:7]
    assert to_transport(many) == transport(b"(" + b"".join(pieces * 40 + pieces[:7]) + b")").decode()
    for item, piece in zip(items, pieces):
        assert to_canonical(item) == piece
        assert to_canonical([b"z" * 30, item]) == b"(30:" + b"z" * 30 + piece + b")"


@pytest.mark.parametrize("other", [None, "sé", Atom(b"a", hint=b"h"), [b"in", []], bytearray(b"ba"), range(2)],
                         ids=["bytes only", "str", "Atom", "list", "bytearray", "range"])
def test_runs_of_bytes_as_each_alone(other):
    # Bytes objects in a list are written as a run, with room asked for a
    # few at a time: in every form and length, however the run ends, the
    # text is that of each atom written alone.
    rng = random.Random(7)
    forms = [b"tok", b"9 x", b'q"\\', b"\x00\xff", b""] + [bytes(range(65, 65 + n)) for n in range(40)]
    value = [other if other is not None and i % 7 == 3 else rng.choice(forms) for i in range(600)]
    assert to_advanced(value) == "(" + " ".join(map(to_advanced, value)) + ")"
    # Lists of 1 to 6 items: runs short enough to be written atom by atom,
    # and longer ones, however many items of the list follow the run.
    small = [value[i:i + i % 6 + 1] for i in range(0, 600, 7)]
    assert to_advanced(small) == "(" + " ".join("(" + " ".join(map(to_advanced, s)) + ")" for s in small) + ")"
    canonical = b"(" + b"".join(map(to_canonical, value)) + b")"
    assert to_canonical(value) == canonical
    assert to_transport(value) == transport(canonical).decode()


@pytest.mark.parametrize("fill", [b"A", b"9", b" ", b'"', b"\\", b"\t", b"\x80"],
                         ids=["token", "digit", "space", "quote", "backslash", "tab", "high"])
@pytest.mark.parametrize("make", [bytes, lambda b: b.decode("latin-1"), Atom],
                         ids=["bytes", "str", "Atom"])
def test_advanced_short_strings_of_every_length_and_form(make, fill):
    # Up to 16 octets, the form is chosen and the string written in one step
    # (where its octets can be read that way): each length, with the odd
    # octet first, last or absent, must take the form the rules give.
    items = [make((b"ab" + fill + b"cd" * 10)[:n]) for n in range(1, 21)]
    items += [make((fill + b"xyz" * 6)[:n]) for n in range(1, 21)]
    items += [make(b"k" * n + fill) for n in range(16)]
    assert to_advanced(items) == ref_advanced(items)
    for item in items:
        assert to_advanced([b"z", item, b"z"]) == ref_advanced([b"z", item, b"z"])


class Meddler:
    """A sequence of integers that, while it is read, empties the lists that
    hold it and fills them with new items (so their arrays move), dropping
    the last references to what they held."""

    def __init__(self, *lists):
        self.lists = lists
        self.calls = 0

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError(i)
        self.calls += 1
        for held in self.lists:
            held.clear()
            held.extend(bytes([66 + k % 26]) * 3 for k in range(1000))
        return 0x61


@pytest.mark.parametrize("name", WRITERS)
def test_lists_changed_while_written_are_written_as_first_met(name):
    def fresh(n, c):
        return bytes([c]) * n  # a new object, freed when its list lets go
    inner = [fresh(3, 98), None, fresh(40, 99), [fresh(20000, 100)]]
    outer = [fresh(2, 97), inner, fresh(30000, 101), Atom(fresh(5, 102), hint=fresh(2, 103)), (fresh(1, 104),)]
    meddler = Meddler(outer, inner)
    inner[1] = meddler
    want = WRITERS[name]([b"aa", [b"bbb", b"a", b"c" * 40, [b"d" * 20000]], b"e" * 30000,
                          Atom(b"fffff", hint=b"gg"), (b"h",)])
    assert WRITERS[name](outer) == want
    assert meddler.calls == 1 and len(outer) == 1000


@pytest.mark.parametrize("value, name, where", [
    (None, "NoneType", None), (5, "int", None), (True, "bool", None), ({}, "dict", None),
    (1.5, "float", None), ({b"a"}, "set", None), ([b"a", None], "NoneType", "[1]"), ([1, 2], "int", "[0]"),
    ((b"a", [b"b", ({},)]), "dict", "[1][1][0]"), ([[[[[object()]]]]], "object", "[0][0][0][0][0]"),
    (range(250, 260), "range", None), (memoryview(b"\xff").cast("b"), "memoryview", None),
    (array.array("i", [300]), "array", None), (BadSeq(), "BadSeq", None),
    ([b"x", Odd()], "a value of an unreadable type", "[1]"),
])
@pytest.mark.parametrize("name_of_writer", WRITERS)
def test_unsupported_objects(name_of_writer, value, name, where):
    with pytest.raises(TypeError) as info:
        WRITERS[name_of_writer](value)
    assert type(info.value) is TypeError
    assert str(info.value) == PREFIX + name
    # Where it lies, as the index that finds it: absent for the value itself.
    assert getattr(info.value, "__notes__", None) == (where and [f"at sexp{where}"])


@pytest.mark.parametrize("write", WRITERS.values())
def test_unencodable_str_raises_with_its_place(write):
    with pytest.raises(UnicodeEncodeError) as info:
        write([b"a", "x\ud800"])
    assert info.value.__notes__ == ["at sexp[1]"]


def cyclic():
    outer = []
    outer.append((b"a", outer))
    return outer


@pytest.mark.parametrize("value", [
    nested(1025), nested(1025, [b"x"]), nested(1025, kinds=(list, tuple)),
    [nested(1024)], cyclic(), [[b"x"], cyclic()],
])
@pytest.mark.parametrize("write", WRITERS.values())
def test_lists_nested_deeper_than_1024(write, value):
    with pytest.raises(ValueError) as info:
        write(value)
    assert type(info.value) is ValueError
    assert str(info.value) == "lists nested deeper than 1024"
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("kinds", [(list,), (tuple, list)])
def test_1024_levels_are_written(kinds):
    value = nested(1024, [b"x"], kinds)
    data = b"(" * 1024 + b"1:x" + b")" * 1024
    assert m.DEFAULT_MAX_DEPTH == 1024
    assert to_canonical(value) == data
    assert to_transport(value) == transport(data).decode()
    assert to_advanced(value) == "(" * 1024 + "x" + ")" * 1024


# --- binding of the argument, documentation, module attributes --------------

@pytest.mark.parametrize("call, message", [
    (lambda f: f(), "{}() missing 1 required positional argument: 'sexp'"),
    (lambda f: f(b"x", b"y"), "{}() takes 1 positional arguments but 2 were given"),
    (lambda f: f(None, None, None), "{}() takes 1 positional arguments but 3 were given"),
    (lambda f: f(b"x", b"y", sexp=b"z"), "{}() takes 1 positional arguments but 2 were given"),
    (lambda f: f(b"x", sexp=b"x"), "{}() got multiple values for argument 'sexp'"),
    (lambda f: f(b"x", x=1), "{}() got an unexpected keyword argument 'x'"),
    (lambda f: f(data=b"x"), "{}() got an unexpected keyword argument 'data'"),
    (lambda f: f(x=1, sexp=b"x"), "{}() got an unexpected keyword argument 'x'"),
    (lambda f: f(sexp=b"x", **{"é": 1}), "{}() got an unexpected keyword argument 'é'"),
])
@pytest.mark.parametrize("name", WRITERS)
def test_argument_binding(name, call, message):
    with pytest.raises(TypeError) as info:
        call(WRITERS[name])
    assert str(info.value) == message.format(name)


@pytest.mark.parametrize("write", WRITERS.values())
def test_sexp_by_keyword(write):
    value = [b"a", Atom(b"b", hint=b"")]
    assert write(sexp=value) == write(value) == write(**{"sexp": tuple(value)})


@pytest.mark.parametrize("name, doc", [
    ("to_canonical", "Returns the canonical representation of the S-expression (§6.2)."),
    ("to_transport", "Returns the basic transport representation of the S-expression (§6.3)."),
    ("to_advanced", "Returns the advanced representation of the S-expression (§6.4)."),
])
def test_function_objects(name, doc):
    f = getattr(m, name)
    assert getattr(parvex, name) is f
    assert f.__doc__ == doc and f.__text_signature__ == "(sexp)"
    assert str(inspect.signature(f)) == "(sexp)"
    assert f.__name__ == name and f.__self__ is m and f.__module__ == "parvex._parvex"


def test_module_all():
    assert m.__all__ == ["Atom", "Parser", "ParseError", "DEFAULT_HINT", "DEFAULT_MAX_DEPTH",
                         "parse", "parse_canonical", "to_canonical", "to_transport",
                         "to_advanced", "Decoder", "StreamReader"]
    assert [name for name in vars(m) if name in m.__all__] == m.__all__


@pytest.mark.parametrize("shape", ["alone", "list head", "in a run"])
def test_hexadecimal_of_every_length_is_each_octet_in_two_digits(shape):
    # Lengths across the vector steps (16, 32, 64 octets) and their tails;
    # a first octet of 0 makes every one hexadecimal.
    for n in range(1, 200):
        data = b"\x00" + bytes((i * 37 + n) % 256 for i in range(n - 1))
        want = "#" + data.hex() + "#"
        if shape == "alone":
            assert parvex.to_advanced(data) == want
        elif shape == "list head":
            assert parvex.to_advanced([data, [b"x"]]) == f"({want} (x))"
        else:
            assert parvex.to_advanced([b"ab", data, b"cd"]) == f"(ab {want} cd)"
