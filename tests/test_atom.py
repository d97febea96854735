"""The Atom class: an octet string with an optional display hint (§4.6, §4.7)."""

import ast
import gc
import inspect
import subprocess
import sys
import weakref

import parvex
import pytest
from parvex import Atom
from support import Index

PREFIX = "expected bytes, str, or Atom, and got "


class NoLen:
    """A sequence whose len() fails; its items are still read."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        return [65, 66][i]


class BrokenItems:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise RuntimeError("broken")


class BytesSub(bytes):
    pass


@pytest.mark.parametrize("args, kwargs, data, hint", [
    ((b"abc",), {}, b"abc", None), ((b"",), {}, b"", None),
    (("\u00e9",), {}, b"\xc3\xa9", None), ((bytearray(b"hi"),), {}, b"hi", None),
    (([104, 105],), {}, b"hi", None), (((104, 105),), {}, b"hi", None),
    ((range(256),), {}, bytes(range(256)), None),
    (([True, False, Index(255)],), {}, b"\x01\x00\xff", None),
    ((memoryview(b"mv"),), {}, b"mv", None), ((BytesSub(b"sub"),), {}, b"sub", None),
    ((NoLen(),), {}, b"AB", None),
    ((Atom(b"x", hint=b"h"),), {}, b"x", None),     # only the data of an Atom
    ((b"x", None), {}, b"x", None), ((b"x", b""), {}, b"x", b""),
    ((b"x", "text/plain"), {}, b"x", b"text/plain"),
    ((b"x",), {"hint": bytearray(b"h")}, b"x", b"h"),
    ((b"x", Atom(b"h", hint=b"z")), {}, b"x", b"h"),
    ((), {"data": b"x", "hint": [104]}, b"x", b"h"),
])
def test_constructor(args, kwargs, data, hint):
    atom = Atom(*args, **kwargs)
    assert type(atom.data) is bytes and atom.data == data
    assert atom.hint == hint and type(atom.hint) is (type(None) if hint is None else bytes)


@pytest.mark.parametrize("args, exc, message, note", [
    ((5,), TypeError, PREFIX + "int", "data"), ((None,), TypeError, PREFIX + "NoneType", "data"),
    ((1.5,), TypeError, PREFIX + "float", "data"), (({},), TypeError, PREFIX + "dict", "data"),
    (([256],), TypeError, PREFIX + "list", "data"), (([-1],), TypeError, PREFIX + "list", "data"),
    ((["a"],), TypeError, PREFIX + "list", "data"),
    ((BrokenItems(),), TypeError, PREFIX + "BrokenItems", "data"),
    (("\ud800",), UnicodeEncodeError, None, "data"),
    ((5, 5), TypeError, PREFIX + "int", "data"),               # data is converted first
    ((b"x", 5), TypeError, PREFIX + "int", "hint"),
    ((b"x", [300]), TypeError, PREFIX + "list", "hint"),
    ((b"x", "\udfff"), UnicodeEncodeError, None, "hint"),
])
def test_constructor_failure(args, exc, message, note):
    with pytest.raises(exc) as info:
        Atom(*args)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{note}'"]


class Unnamed(type):
    @property
    def __name__(cls):
        raise RuntimeError("no name")


class NotText(type):
    __name__ = property(lambda cls: 5)


@pytest.mark.parametrize("meta", [Unnamed, NotText])
def test_unreadable_type_name(meta):
    with pytest.raises(TypeError) as info:
        Atom(meta("Odd", (), {})())
    assert str(info.value) == PREFIX + "a value of an unreadable type"


def test_huge_range_fails_at_its_first_item_above_255():
    # range(10**12) claims a terabyte; its item 256 ends the conversion long before.
    # Run apart, so that an attempt to reserve the terabyte fails only the child.
    code = """if True:
        import parvex
        out = []
        for call in (parvex.Atom, lambda r: parvex.Atom(b"x", r), parvex.parse,
                     parvex.Parser().parse_prefix):
            try:
                call(range(10**12))
            except TypeError as e:
                out.append((str(e), e.__notes__))
        print(out)
    """
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    notes = ["data", "hint", "data", "data"]
    assert ast.literal_eval(run.stdout) == [
        (PREFIX + "range", [f"while processing '{note}'"]) for note in notes]


@pytest.mark.parametrize("atom, other, equal", [
    (Atom(b"abc"), b"abc", True), (Atom(b"abc"), "abc", True),
    (Atom(b"abc"), bytearray(b"abc"), True), (Atom(b"abc"), [97, 98, 99], True),
    (Atom(b"abc"), (97, 98, 99), True), (Atom(b"abc"), Atom(b"abc", hint=None), True),
    (Atom(b"abc"), b"abd", False), (Atom(b"abc"), b"ab", False),
    (Atom(b"abc"), Atom(b"abc", hint=b""), False), (Atom(b"abc"), Atom(b"abc", b"t"), False),
    (Atom(b"abc", hint=b"t"), b"abc", False),
    (Atom(b"abc", hint=b"t"), Atom(b"abc", hint="t"), True),
    (Atom(b"abc", hint=b"t"), Atom(b"abc", hint=b"u"), False),
    (Atom(b"abc", hint=b"t"), Atom(b"abd", hint=b"t"), False),
    (Atom(b"x", hint=b""), Atom(b"x", hint=b""), True),
    (Atom("\u00e9"), b"\xc3\xa9", True), (Atom(b""), b"", True), (Atom(b""), [], True),
    # whatever cannot be converted is unequal, and nothing is raised
    (Atom(b"abc"), 5, False), (Atom(b"abc"), None, False), (Atom(b"abc"), {}, False),
    (Atom(b"ab"), [97, 300], False), (Atom(b"ab"), "\ud800", False),
])
def test_equality(atom, other, equal):
    assert (atom == other) is equal and (other == atom) is equal
    assert (atom != other) is not equal and (other != atom) is not equal


@pytest.mark.parametrize("other", [Atom(b"b"), b"b", 5, None])
def test_no_ordering(other):
    a = Atom(b"a")
    assert a.__lt__(other) is NotImplemented
    for op in ("<", "<=", ">", ">="):
        with pytest.raises(TypeError):
            eval(f"a {op} other")


def test_hash():
    # SipHash-1-3 with a zero key: the same in every process.
    assert hash(Atom(b"")) == 8556445246977061536
    assert hash(Atom(b"abc")) == -1849130449957514208
    assert hash(Atom(b"abc", hint=b"text/plain")) == -7739205692494089367
    assert hash(Atom("abc", hint="t")) == hash(Atom(b"abc", hint=bytearray(b"t")))
    assert len({hash(Atom(b"x")), hash(Atom(b"x", b"")), hash(Atom(b"", b"x")),
                hash(Atom(b"x", b"x"))}) == 4
    # Equal to bytes, yet hashed apart: a dict keeps both keys.
    assert hash(Atom(b"abc")) != hash(b"abc")
    assert len({Atom(b"abc"): 1, b"abc": 2, Atom(b"abc", b"t"): 3, Atom(b"abc"): 4}) == 3


@pytest.mark.parametrize("atom, text", [
    (Atom(b"abc"), 'Atom(b"abc")'), (Atom(b""), 'Atom(b"")'),
    (Atom(b"it's", hint=b"text/plain"), 'Atom(b"it\\\'s", hint=b"text/plain")'),
    (Atom(b"\x00\xff"), 'Atom(b"\\x00\\xff")'), (Atom(b"x", hint=b""), 'Atom(b"x", hint=b"")'),
    (Atom(b'\t\n\r"\\ ~'), 'Atom(b"\\t\\n\\r\\"\\\\ ~")'),
    (Atom(b"\x07\x0b\x0c\x1f\x7f\x80\xab"), 'Atom(b"\\x07\\x0b\\x0c\\x1f\\x7f\\x80\\xab")'),
    (Atom(b"a", hint=b"\n'"), 'Atom(b"a", hint=b"\\n\\\'")'),
])
def test_repr(atom, text):
    assert repr(atom) == text and str(atom) == text


@pytest.mark.parametrize("atom, length", [
    (Atom(b""), 0), (Atom(b"", hint=b"hint"), 0), (Atom(b"abc", hint=b"longer"), 3),
    (Atom(b"\x00"), 1),
])
def test_len_and_truth(atom, length):
    assert len(atom) == length and bool(atom) is (length > 0)


@pytest.mark.parametrize("atom, default, expected", [
    (Atom(b"x", hint=b"h"), b"d", b"h"), (Atom(b"x", hint=b""), b"d", b""),
    (Atom(b"x"), b"d", b"d"), (Atom(b"x"), "text/plain", b"text/plain"),
    (Atom(b"x"), bytearray(b"d"), b"d"), (Atom(b"x"), [100], b"d"),
    (Atom(b"x"), Atom(b"d", hint=b"z"), b"d"),
    (Atom(b"x"), parvex.DEFAULT_HINT, b"application/octet-stream"),
])
def test_effective_hint(atom, default, expected):
    for result in (atom.effective_hint(default), atom.effective_hint(default=default)):
        assert type(result) is bytes and result == expected


@pytest.mark.parametrize("atom, default, name", [
    (Atom(b"x", hint=b"h"), 5, "int"),           # converted although not needed
    (Atom(b"x"), None, "NoneType"), (Atom(b"x"), [256], "list"),
])
def test_effective_hint_failure(atom, default, name):
    with pytest.raises(TypeError) as info:
        atom.effective_hint(default)
    assert str(info.value) == PREFIX + name
    assert info.value.__notes__ == ["while processing 'default'"]


@pytest.mark.parametrize("atom, other, same", [
    (Atom(b"x", hint=b"a"), Atom(b"x", hint=b"b"), True), (Atom(b"x", hint=b""), Atom(b"x"), True),
    (Atom(b"x", hint=b"a"), b"x", True), (Atom(b"x"), "x", True), (Atom(b"x"), [120], True),
    (Atom(b"x", hint=b"a"), b"y", False), (Atom(b"x"), Atom(b"xy"), False),
    (Atom(b""), b"", True),
])
def test_eq_ignoring_hint(atom, other, same):
    assert atom.eq_ignoring_hint(other) is same
    assert atom.eq_ignoring_hint(other=other) is same


def test_eq_ignoring_hint_failure_has_no_note():
    with pytest.raises(TypeError) as info:
        Atom(b"x").eq_ignoring_hint(5)
    assert str(info.value) == PREFIX + "int"
    assert not hasattr(info.value, "__notes__")


def test_read_only():
    atom = Atom(b"x", hint=b"h")
    for name in ("data", "hint"):
        with pytest.raises(AttributeError):
            setattr(atom, name, b"y")
        with pytest.raises(AttributeError):
            delattr(atom, name)
    with pytest.raises(AttributeError):
        atom.other = 1
    assert (atom.data, atom.hint) == (b"x", b"h")
    assert not hasattr(atom, "__dict__")


def test_class_properties():
    assert (Atom.__module__, Atom.__name__, Atom.__qualname__) == ("parvex", "Atom", "Atom")
    assert Atom.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (Atom,), {})
    with pytest.raises(TypeError):
        weakref.ref(Atom(b"x"))
    assert not gc.is_tracked(Atom(b"x", hint=b"h"))
    immutable, basetype, have_gc, sequence, mapping = 1 << 8, 1 << 10, 1 << 14, 1 << 5, 1 << 6
    assert Atom.__flags__ & (immutable | basetype | have_gc | sequence | mapping) == 0
    for operation in (lambda a: a[0], iter, memoryview):
        with pytest.raises(TypeError):
            operation(Atom(b"ab"))


def test_docstrings_and_signatures():
    assert Atom.__doc__ == (
        "An octet string with a display hint.\n\nBuilding one is the only way to give an "
        "octet string a hint, since plain\n`bytes` carries none. Text is taken as UTF-8, "
        "which §4.6 recommends where\nthe data is text.")
    assert Atom.__text_signature__ == "(data, hint=None)"
    assert str(inspect.signature(Atom)) == "(data, hint=None)"
    assert Atom.data.__doc__ == "The data octets."
    assert Atom.hint.__doc__ == "The display hint, or `None` where the atom carries none."
    assert Atom.effective_hint.__text_signature__ == "($self, default)"
    assert Atom.effective_hint.__doc__ == (
        "Returns the display hint, or `default` where the atom carries none.\n\n§4.7 allows "
        "an atom without a display hint to be compared as though it\nhad whichever hint the "
        "application supplies by default.")
    assert Atom.eq_ignoring_hint.__text_signature__ == "($self, other)"
    assert Atom.eq_ignoring_hint.__doc__ == (
        "Returns whether two octet strings hold the same data, whatever their\ndisplay "
        "hints.\n\n§4.7 names this as a criterion an application may use in place of the\n"
        "one `==` implements.")
    assert str(inspect.signature(Atom.eq_ignoring_hint)) == "(self, /, other)"
