"""The extension module itself: attributes, argument binding, conversions, classes."""

import importlib
import inspect
import shutil
import subprocess
import sys
import weakref

import parvex
import parvex._parvex as m
import pytest
from parvex import Atom, ParseError, Parser
from support import FLAGS, LIMITS, MESSAGES, OPTIONS, Index

READERS = ["Atom", "Parser", "ParseError", "DEFAULT_HINT", "DEFAULT_MAX_DEPTH",
           "parse", "parse_canonical"]
WRITERS = ["to_canonical", "to_transport", "to_advanced"]
STREAMS = ["Decoder", "StreamReader"]
PREFIX = "expected bytes, str, or Atom, and got "


def test_module_attributes():
    assert type(m.__all__) is list
    assert m.__all__ == READERS + WRITERS + STREAMS
    exported = set(m.__all__)
    assert [name for name in vars(m) if name in exported] == m.__all__   # added in order
    assert m.__doc__ == "Builds the extension module the `parvex` package imports."
    assert m.__name__ == "parvex._parvex"
    for name in m.__all__:
        assert getattr(parvex, name) is getattr(m, name)
    assert type(m.DEFAULT_HINT) is bytes and m.DEFAULT_HINT == b"application/octet-stream"
    assert type(m.DEFAULT_MAX_DEPTH) is int and m.DEFAULT_MAX_DEPTH == 1024
    for name in ("parse", "parse_canonical"):
        function = getattr(m, name)
        assert type(function).__name__ == "builtin_function_or_method"
        assert function.__name__ == name
        assert function.__self__ is m and function.__module__ == "parvex._parvex"


def test_reimport_shares_the_types():
    old = sys.modules.pop("parvex._parvex")
    try:
        new = importlib.import_module("parvex._parvex")
        assert new is not old
        for name in ("Atom", "Parser", "ParseError"):
            assert getattr(new, name) is getattr(old, name)
        assert new.parse is not old.parse and new.parse.__self__ is new
        assert new.__all__ == old.__all__ and new.__all__ is not old.__all__
        assert new.parse(b"[1:t]1:x") == old.Atom(b"x", hint=b"t")
    finally:
        sys.modules["parvex._parvex"] = old
        parvex._parvex = old


CALLS = {
    "parse": m.parse, "parse_canonical": m.parse_canonical,
    "Parser.parse": Parser().parse, "Parser.parse_prefix": Parser().parse_prefix,
    "Parser.__new__": Parser, "Atom.__new__": Atom,
    "Atom.effective_hint": Atom(b"x").effective_hint,
    "Atom.eq_ignoring_hint": Atom(b"x").eq_ignoring_hint,
}


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("parse", (), {}, "missing 1 required positional argument: 'data'"),
    ("parse", (b"a", b"b"), {}, "takes 1 positional arguments but 2 were given"),
    ("parse", (b"a", b"b", b"c"), {}, "takes 1 positional arguments but 3 were given"),
    ("parse", (b"a",), {"data": b"a"}, "got multiple values for argument 'data'"),
    ("parse", (b"a",), {"x": 1}, "got an unexpected keyword argument 'x'"),
    ("parse", (), {"x": 1}, "got an unexpected keyword argument 'x'"),
    ("parse", (5,), {"x": 1}, "got an unexpected keyword argument 'x'"),   # before converting
    ("parse_canonical", (), {}, "missing 1 required positional argument: 'data'"),
    ("parse_canonical", (1, 2), {}, "takes 1 positional arguments but 2 were given"),
    ("Parser.parse", (), {}, "missing 1 required positional argument: 'data'"),
    ("Parser.parse", (1, 2), {}, "takes 1 positional arguments but 2 were given"),
    ("Parser.parse", (), {"date": 1}, "got an unexpected keyword argument 'date'"),
    ("Parser.parse_prefix", (), {}, "missing 1 required positional argument: 'data'"),
    ("Parser.parse_prefix", (b"a",), {"data": b"a"}, "got multiple values for argument 'data'"),
    ("Parser.__new__", (True,), {}, "takes 0 positional arguments but 1 was given"),
    ("Parser.__new__", (1, 2), {}, "takes 0 positional arguments but 2 were given"),
    ("Parser.__new__", (True,), {"depth": 3}, "takes 0 positional arguments but 1 was given"),
    ("Parser.__new__", (), {"depth": 3}, "got an unexpected keyword argument 'depth'"),
    ("Parser.__new__", (), {"allow_advanced": 1, "bogus": 1},
     "got an unexpected keyword argument 'bogus'"),
    ("Atom.__new__", (), {}, "missing 1 required positional argument: 'data'"),
    ("Atom.__new__", (), {"hint": b"h"}, "missing 1 required positional argument: 'data'"),
    ("Atom.__new__", (1, 2, 3), {}, "takes from 1 to 2 positional arguments but 3 were given"),
    ("Atom.__new__", (b"x",), {"data": b"y"}, "got multiple values for argument 'data'"),
    ("Atom.__new__", (b"x", b"h"), {"hint": b"z"}, "got multiple values for argument 'hint'"),
    ("Atom.__new__", (b"x",), {"foo": 1}, "got an unexpected keyword argument 'foo'"),
    ("Atom.effective_hint", (), {}, "missing 1 required positional argument: 'default'"),
    ("Atom.effective_hint", (1, 2), {}, "takes 1 positional arguments but 2 were given"),
    ("Atom.eq_ignoring_hint", (), {}, "missing 1 required positional argument: 'other'"),
    ("Atom.eq_ignoring_hint", (b"x",), {"other": b"x"},
     "got multiple values for argument 'other'"),
])
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CALLS[name](*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"{name}() {message}"
    assert not hasattr(info.value, "__notes__")


def test_every_parameter_may_be_given_by_keyword():
    assert m.parse(data=b"abc") == b"abc"
    assert m.parse_canonical(data=b"3:abc") == b"abc"
    assert Parser().parse(data=b"(a)") == [b"a"]
    assert Parser().parse_prefix(data=b"(a)b") == ([b"a"], 3)
    assert Atom(data=b"x", hint=b"h") == Atom(b"x", b"h")


@pytest.mark.parametrize("name, data, exc, message", [
    ("parse", 3, TypeError, PREFIX + "int"), ("parse", {}, TypeError, PREFIX + "dict"),
    ("parse_canonical", None, TypeError, PREFIX + "NoneType"),
    ("Parser.parse", [256], TypeError, PREFIX + "list"),
    ("Parser.parse_prefix", 1.5, TypeError, PREFIX + "float"),
    ("parse", "\ud800", UnicodeEncodeError, None),
])
def test_data_conversion_failures_carry_a_note(name, data, exc, message):
    with pytest.raises(exc) as info:
        CALLS[name](data)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'data'"]


class Outer:
    class Inner:
        def __bool__(self):
            return True


def numpy_like(name, module="numpy", **namespace):
    return type(name, (), {"__module__": module, **namespace})()


class IntSub(int):
    pass


class Boom:
    def __index__(self):
        raise KeyError("boom")


def keyword_failure(kwargs, exc, message, keyword):
    with pytest.raises(exc) as info:
        Parser(**kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    what = "True or False" if keyword in FLAGS else "an integer from 0 to 18446744073709551615"
    assert info.value.__notes__[0] == f"while processing '{keyword}'"
    assert info.value.__notes__[1].startswith(f"{keyword} accepts {what}")


@pytest.mark.parametrize("keyword", FLAGS)
@pytest.mark.parametrize("value, message", [
    (1, "'int' object is not an instance of 'bool'"),
    (0, "'int' object is not an instance of 'bool'"),
    ("yes", "'str' object is not an instance of 'bool'"),
    (None, "'None' is not an instance of 'bool'"),
    (1.0, "'float' object is not an instance of 'bool'"),
    (Outer.Inner(), "'Outer.Inner' object is not an instance of 'bool'"),
])
def test_bool_keywords_refuse_non_bools(keyword, value, message):
    keyword_failure({keyword: value}, TypeError, message, keyword)


@pytest.mark.parametrize("value, exc, message", [
    (numpy_like("bool_", __bool__=lambda self: 1), TypeError,
     "'int' object is not an instance of 'bool'"),
    (numpy_like("bool_", __bool__=lambda self: 1 / 0), ZeroDivisionError, None),
    (numpy_like("bool_"), TypeError,
     "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (numpy_like("bool_", "numpyx", __bool__=lambda self: True), TypeError,
     "'bool_' object is not an instance of 'bool'"),
    (numpy_like("int8", __bool__=lambda self: True), TypeError,
     "'int8' object is not an instance of 'bool'"),
])
def test_numpy_like_refusals(value, exc, message):
    keyword_failure({"allow_lengths": value}, exc, message, "allow_lengths")


@pytest.mark.parametrize("keyword", LIMITS)
@pytest.mark.parametrize("value, exc, message", [
    (-1, OverflowError, None), (2**64, OverflowError, None), (IntSub(-5), OverflowError, None),
    (Index(-1), OverflowError, None), (Boom(), KeyError, None),
    (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_size_keyword_refusals(keyword, value, exc, message):
    keyword_failure({keyword: value}, exc, message, keyword)


@pytest.mark.parametrize("kwargs, first", [
    ({"max_depth": None}, "max_depth"),
    ({"allow_lengths": 1, "max_depth": "x"}, "max_depth"),
    ({"allow_advanced": None, "canonical": None}, "canonical"),
    ({"max_input_len": -1, "max_atom_len": -1}, "max_atom_len"),
    ({"allow_lengths": None, "allow_base64": None}, "allow_base64"),
    ({"allow_empty_lists": 0, "allow_empty_atoms": 0}, "allow_empty_atoms"),
    ({"allow_transport": 0, "max_input_len": "x"}, "max_input_len"),
])
def test_keywords_are_converted_in_declaration_order(kwargs, first):
    with pytest.raises((TypeError, OverflowError)) as info:
        Parser(**kwargs)
    assert info.value.__notes__[0] == f"while processing '{first}'"


@pytest.mark.parametrize("kwargs, data, failure", [
    ({"allow_advanced": numpy_like("bool_", __bool__=lambda self: False)}, b"a",
     ("advanced_not_allowed", 0)),
    ({"allow_advanced": numpy_like("bool", __bool__=lambda self: False)}, b"a",
     ("advanced_not_allowed", 0)),
    ({"canonical": numpy_like("bool_", __bool__=lambda self: False)}, b"a", None),
    ({"canonical": numpy_like("bool_", __bool__=lambda self: True)}, b"a",
     ("advanced_not_allowed", 0)),
    ({"max_depth": 0}, b"()", ("too_deep", 0)),
    ({"max_depth": True}, b"((a))", ("too_deep", 1)),
    ({"max_depth": IntSub(2)}, b"(((a)))", ("too_deep", 2)),
    ({"max_depth": 2**64 - 1}, b"((a))", None),
    ({"max_atom_len": Index(2)}, b"abc", ("atom_too_long", 0)),
    ({"max_atom_len": None}, b"abc", None),
    ({"max_input_len": True}, b"ab", ("input_too_long", 1)),
    ({"max_input_len": 2**64 - 1}, b"abc", None),
])
def test_accepted_keyword_values(kwargs, data, failure):
    parser = Parser(**kwargs)
    if failure is None:
        assert parser.parse(data)
    else:
        with pytest.raises(ParseError) as info:
            parser.parse(data)
        assert (info.value.kind, info.value.offset) == failure


def test_parser_object():
    for parser in (Parser(), Parser(canonical=True, max_depth=3), Parser(allow_base64=False)):
        assert repr(parser) == "Parser()"
    parser = Parser()
    for name in ("x", "max_depth"):
        with pytest.raises(AttributeError):
            setattr(parser, name, 1)
    assert not hasattr(parser, "max_depth") and not hasattr(parser, "__dict__")
    with pytest.raises(TypeError):
        type("P", (Parser,), {})
    with pytest.raises(TypeError):
        weakref.ref(parser)
    assert (Parser.__module__, Parser.__qualname__, Parser.__bases__) == (
        "parvex", "Parser", (object,))


def test_parse_error_class():
    assert ParseError.__bases__ == (ValueError,)
    assert (ParseError.__module__, ParseError.__name__, ParseError.__qualname__) == (
        "parvex", "ParseError", "ParseError")
    assert ParseError.__doc__ == (
        "Raised where input is not an S-expression the parser accepts.\n\nCarries `offset`, "
        "the octet the offending construct begins at, and `kind`, a short name for what "
        "was wrong.")
    assert not {"__init__", "__new__", "__str__", "__repr__", "offset", "kind"} & set(
        vars(ParseError))
    own = ParseError("x")
    assert own.args == ("x",) and str(own) == "x"
    assert not hasattr(own, "offset") and not hasattr(own, "kind")
    type("Sub", (ParseError,), {})            # an ordinary exception class
    with pytest.raises(ParseError) as info:
        m.parse(b"(a)b")
    e = info.value
    assert type(e) is ParseError
    assert repr(e) == "ParseError('octets after a complete S-expression at offset 3')"
    assert e.__dict__ == {"offset": 3, "kind": "trailing_octets"}
    e.offset = 7
    del e.kind
    assert e.offset == 7 and not hasattr(e, "kind")


def test_docstrings_and_signatures():
    assert m.parse.__text_signature__ == "(data)"
    assert str(inspect.signature(m.parse)) == "(data)"
    assert m.parse.__doc__ == (
        "Reads one S-expression, in whichever representation of §6 it is written.\n\n"
        "Build a [`Parser`] where the input comes from somewhere untrusted, or where\n"
        "only one representation is to be accepted.")
    assert m.parse_canonical.__text_signature__ == "(data)"
    assert m.parse_canonical.__doc__ == (
        "Reads one S-expression written in the canonical representation of §6.2.\n\n"
        "Read this way where the octets themselves matter, as they do to a signature\n"
        "computed over them.")
    assert Parser.parse.__text_signature__ == "($self, data)"
    assert str(inspect.signature(Parser.parse)) == "(self, /, data)"
    assert Parser.parse.__doc__ == "Reads one S-expression, which is the whole of the input."
    assert Parser.parse_prefix.__text_signature__ == "($self, data)"
    assert Parser.parse_prefix.__doc__ == (
        "Reads one S-expression from the start of the input, and returns it with\n"
        "the number of octets it occupied.\n\nWhat follows is not examined, so this is the "
        "way to read a stream of\nS-expressions one after another.")
    assert Parser.__text_signature__ == (
        "(*, canonical=False, max_depth=..., max_atom_len=None, max_input_len=None, "
        "allow_advanced=True, allow_transport=True, allow_display_hints=True, "
        "allow_empty_atoms=True, allow_empty_lists=True, allow_list_as_first_element=True, "
        "allow_hexadecimal=True, allow_base64=True, allow_lengths=True)")
    parameters = inspect.signature(Parser).parameters
    assert list(parameters) == list(OPTIONS)
    assert {p.kind for p in parameters.values()} == {inspect.Parameter.KEYWORD_ONLY}
    assert Parser.__doc__ == (
        "A reader of S-expressions, and the restrictions it reads against.\n\n"
        "Built with no arguments it accepts every representation of §6, which is\n"
        "what §6 asks a reader to accept. Each keyword turns on one of the\n"
        "restrictions §8 lists, or bounds how large or how deeply nested the input\n"
        "may be.\n\nA parser holds no state between parses, so one may be built once and "
        "used\nas often as wanted.")


def test_extension_exports_only_its_init_function():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", m.__file__],
                             capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1].split("@")[0] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit__parvex"]


@pytest.mark.parametrize("kind", sorted(MESSAGES))
def test_private_parse_error_is_the_readers(kind):
    # What the package's own readers raise for a failure inside a piece of a
    # larger input: the same exception the reader raises.
    e = Parser._parse_error(kind, 7)
    assert type(e) is ParseError and (e.kind, e.offset) == (kind, 7)
    assert e.args == (f"{MESSAGES[kind]} at offset 7",)


def test_private_parse_error_refuses_unknown_kinds():
    with pytest.raises(ValueError, match="no such kind of ParseError: 'too_wide'"):
        Parser._parse_error("too_wide", 0)
