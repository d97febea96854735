"""The indented advanced form: its layout, and that it reads back."""

import pytest
from hypothesis import given, settings, strategies as st
from parvex import Atom, parse, to_advanced, to_indented
from support import bounded, nested, same, values

CERT = parse(b'(certificate (issuer (name "CN=CA 1, O=Example")) '
             b'(subject (public-key (rsa (e #010001#) (n |AAECAwQFBgc=|)))) '
             b'(valid (from "2020-01-01") (to "2022-01-01")))')

LAYOUTS = [
    # value, indent, width, text
    ([b"a", [b"b", b"c"]], 2, 9, "(a (b c))"),
    ([b"a", [b"b", b"c"]], 2, 8, "(a\n  (b c))"),
    # The closing parentheses after a list count against the width.
    ([b"a", [b"b", b"c"]], 2, 4, "(a\n  (b\n    c))"),
    ([[b"a", b"b"], [b"c", b"d"]], 2, 8, "((a b)\n (c d))"),
    ([[b"a", b"b"], [b"c", b"d"]], 4, 7, "((a b)\n (c d))"),
    ([[b"a", b"b"], [b"c", b"d"]], 4, 6, "((a b)\n (c\n     d))"),
    ([[b"a", b"b"], [b"c", b"d"]], 2, 5, "((a\n   b)\n (c\n   d))"),
    ([b"head", b"x", b"y"], 0, 5, "(head\nx\ny)"),
    ([b"loooooong"], 2, 3, "(loooooong)"),
    ([[], [[]]], 2, 4, "(()\n (()))"),
    ([Atom(b"hi", hint=b"text/plain"), b"\x00"], 1, 10, '([text/plain]hi\n #00#)'),
    (b"just an atom", 2, 1, '"just an atom"'),
    ([], 2, 0, "()"),
    (CERT, 2, 60,
     '(certificate\n'
     '  (issuer (name "CN=CA 1, O=Example"))\n'
     '  (subject\n'
     '    (public-key (rsa (e #010001#) (n #0001020304050607#))))\n'
     '  (valid (from "2020-01-01") (to "2022-01-01")))'),
    (CERT, 4, 40,
     '(certificate\n'
     '    (issuer (name "CN=CA 1, O=Example"))\n'
     '    (subject\n'
     '        (public-key\n'
     '            (rsa\n'
     '                (e #010001#)\n'
     '                (n\n'
     '                    #0001020304050607#))))\n'
     '    (valid\n'
     '        (from "2020-01-01")\n'
     '        (to "2022-01-01")))'),
]


@pytest.mark.parametrize("value, indent, width, text", LAYOUTS)
def test_layout(value, indent, width, text):
    assert to_indented(value, indent=indent, width=width) == text
    assert same(parse(text), parse(to_advanced(value)))


@given(values, st.integers(0, 8), st.integers(0, 60))
@settings(max_examples=300, deadline=None)
def test_reads_back_as_the_same_value(value, indent, width):
    text = to_indented(value, indent=indent, width=width)
    assert same(parse(text), value)
    flat = to_advanced(value)
    if len(flat) <= width:
        assert text == flat
    assert all(line == line.rstrip() for line in text.split("\n"))


def test_takes_what_the_writers_take():
    assert to_indented((b"a", "é", bytearray(b"b"), range(2))) == to_advanced(
        (b"a", "é", bytearray(b"b"), range(2)))


def test_depth_is_bounded_like_the_writers():
    text = to_indented(nested(1024, [b"x"]), width=10)  # no recursion limit hit
    assert same(parse(text), nested(1024, [b"x"]))
    loop = [b"a"]
    loop.append(loop)
    for bad in (nested(1025, [b"x"]), loop):
        with pytest.raises(ValueError, match="^lists nested deeper than 1024$"):
            to_indented(bad)
        with pytest.raises(ValueError, match="^lists nested deeper than 1024$"):
            to_advanced(bad)


@pytest.mark.parametrize("value, options, exc, message", [
    ([b"a", 5], {}, TypeError, "expected bytes, str, or Atom, and got int"),
    ([None], {}, TypeError, "expected bytes, str, or Atom, and got NoneType"),
    ([b"a"], {"indent": -1}, ValueError, "indent must be a non-negative integer"),
    ([b"a"], {"width": 2.5}, ValueError, "width must be a non-negative integer"),
    ([b"a"], {"width": True}, ValueError, "width must be a non-negative integer"),
])
def test_refusals(value, options, exc, message):
    with pytest.raises(exc, match=f"^{message}"):
        to_indented(value, **options)


class Looper:
    """Octets whose reading makes `root` contain itself: the value changes
    after `to_indented` has written it on one line."""

    def __init__(self, root):
        self.root = root

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError(i)
        if self.root[-1] is not self.root:
            self.root.append(self.root)
        return 0x61


def test_a_value_that_becomes_cyclic_while_laid_out_is_refused():
    root = [[b"x" * 40, b"y" * 40]]
    root[0].append(Looper(root))
    # The first reading (the one-line text) adds the loop; laying the value
    # out then meets it and stops with the writers' own error.
    with pytest.raises(ValueError, match="^lists nested deeper than 1024$"):
        to_indented(root, width=20)


def test_memory_stays_near_the_size_of_the_result():
    # 1,000 levels indented 400 columns each make 200 MB of text from a small
    # value; 2 million short atoms one a line make as many small pieces.
    # Under 300 MiB of address space each is laid out: its text, and little
    # beside it.
    got = bounded("""
        import json, parvex
        deep = [b"b"]
        for _ in range(999):
            deep = [b"a", deep]
        wide = [b"ab"] * 2_000_000
        print(json.dumps([len(parvex.to_indented(deep, indent=400, width=0)),
                          len(parvex.to_indented(wide, indent=2, width=0))]))
    """, memory_mb=300)
    # Line k of the first holds "(a" after 400 k blanks (the last "(b" and
    # the closing parentheses); each line of the second "  ab".
    assert got == [2 + sum(3 + 400 * k for k in range(1, 1000)) + 1000,
                   len("(ab") + len("\n  ab") * (2_000_000 - 1) + len(")")]
