"""Reading S-expressions: the values returned, and every failure with its offset."""

import base64

import pytest

import parvex
from parvex import Atom, Parser

D = {}                      # the default options, as parvex.parse reads
C = {"canonical": True}     # the canonical options, as parvex.parse_canonical reads
U64 = 2**64 - 1


def T(content):
    """A basic transport block (§6.3) holding `content`."""
    return b"{" + base64.b64encode(content) + b"}"


def A(data, hint):
    """The expected shape of an Atom."""
    return ("Atom", data, hint)


def shape(value):
    """The value with its exact types made visible (a hintless Atom equals bytes)."""
    if type(value) is bytes:
        return value
    if type(value) is list:
        return [shape(item) for item in value]
    if type(value) is Atom:
        return A(value.data, value.hint)
    raise AssertionError(f"unexpected {type(value).__name__} in a parsed value")


def readers(opts):
    """Every entry point that reads whole inputs under `opts`."""
    calls = [Parser(**opts).parse]
    if opts == D:
        calls.append(parvex.parse)
    if opts == C:
        calls.append(parvex.parse_canonical)
    return calls


VALUES = [
    # tokens (§6.4.1)
    (D, b"abc-1.2/x", b"abc-1.2/x"),
    (D, b"*+-./:=_", b"*+-./:=_"),
    (D, b"a1", b"a1"),
    (D, b" \t\n\v\f\rabc \t\n\v\f\r", b"abc"),
    # verbatim (§6.2): any octets, no flag applies
    (D, b"3:abc", b"abc"),
    (D, b"0:", b""),
    (D, b"3:)(]", b")(]"),
    (D, b"6:\x00\xff \n{}", b"\x00\xff \n{}"),
    ({"allow_lengths": False}, b"3:abc", b"abc"),
    # quoted strings (§6.4.2) with every escape
    (D, b'"abc"', b"abc"),
    (D, b'""', b""),
    (D, b'3"abc"', b"abc"),
    (D, b'0""', b""),
    (D, b'"(a b)[]{}|#:\'~"', b"(a b)[]{}|#:'~"),
    (D, rb'"\"\'\?\\"', b"\"'?\\"),
    (D, rb'"\a\b\f\n\r\t\v"', b"\x07\x08\x0c\n\r\t\x0b"),
    (D, rb'"\x41\x6a\x6A\xfF\x00"', b"Ajj\xff\x00"),
    (D, rb'"\101\000\377\177"', b"A\x00\xff\x7f"),
    (D, rb'"\101\x42\n"', b"AB\n"),
    (D, b'"a\\\nb"', b"ab"),
    (D, b'"a\\\n\rb"', b"ab"),
    (D, b'"a\\\rb"', b"ab"),
    (D, b'"a\\\r\nb"', b"ab"),
    (D, b'"a\\\r\n\\\nb"', b"ab"),
    (D, b'2"\\x41\\102"', b"AB"),     # a length counts decoded octets
    (D, b'2"a\\\r\nb"', b"ab"),
    # hexadecimal (§6.4.3)
    (D, b"#616263#", b"abc"),
    (D, b"#61 62 63#", b"abc"),
    (D, b"#6 16263#", b"abc"),
    (D, b"#6\t1\n6\v2\f6\r3#", b"abc"),
    (D, b"#AbCdEf#", b"\xab\xcd\xef"),
    (D, b"##", b""),
    (D, b"# #", b""),
    (D, b"3#616263#", b"abc"),
    (D, b"0##", b""),
    # base-64 (§6.4.4)
    (D, b"|YWJj|", b"abc"),
    (D, b"3|YWJj|", b"abc"),
    (D, b"| YW\nJj |", b"abc"),
    (D, b"|YQ|", b"a"),
    (D, b"|YQ==|", b"a"),
    (D, b"||", b""),
    (D, b"0||", b""),
    # display hints (§4.6): any form, empty hint kept apart from none
    (D, b'[text/plain]"hi"', A(b"hi", b"text/plain")),
    (D, b"[ 4:text ] 2:hi", A(b"hi", b"text")),
    (D, b"[0:]3:abc", A(b"abc", b"")),
    (D, b'[""]x', A(b"x", b"")),
    (D, b"[#74#]|aGk=|", A(b"hi", b"t")),
    (D, b"[1:t]0:", A(b"", b"t")),
    (D, b"[a]b", A(b"b", b"a")),
    # lists
    (D, b"()", []),
    (D, b"( \n)", []),
    (D, b"(a (b c) 3:def)", [b"a", [b"b", b"c"], b"def"]),
    (D, b"(a(b)c)", [b"a", [b"b"], b"c"]),
    (D, b'(abc"def")', [b"abc", b"def"]),
    (D, b'(#61#|Yg==|"c"1:d)', [b"a", b"b", b"c", b"d"]),
    (D, b"(()())", [[], []]),
    (D, b"((()))", [[[]]]),
    (D, b"(4:text[1:t]2:hi)", [b"text", A(b"hi", b"t")]),
    (D, b"(a[b]c)", [b"a", A(b"c", b"b")]),
    # transport blocks (§6.3)
    (D, b"{KDI6YWIp}", [b"ab"]),
    (D, b" {KDI6YWIp}\n", [b"ab"]),
    (D, b"{KDI6 YWIp}", [b"ab"]),
    (D, b"{MzphYmM=}", b"abc"),
    (D, T(b"[1:t]3:abc"), A(b"abc", b"t")),
    (D, T(b"()"), []),
    (D, T(b"(1:a(1:b)[0:]0:)"), [b"a", [b"b"], A(b"", b"")]),
    ({"allow_advanced": False}, b"{KDI6 YWIp}", [b"ab"]),
    ({"allow_base64": False}, b"{KDI6YWIp}", [b"ab"]),
    ({"max_depth": 1}, T(b"(1:a)"), [b"a"]),       # the block's content starts at depth 0
    # canonical (§6.2)
    (C, b"3:abc", b"abc"),
    (C, b"[1:x]3:abc", A(b"abc", b"x")),
    (C, b"(1:a1:b)", [b"a", b"b"]),
    (C, b"()", []),
    (C, b"(0:[0:]0:(()))", [b"", A(b"", b""), [[]]]),
    ({"allow_advanced": False}, b"(3:abc[1:t]1:x)", [b"abc", A(b"x", b"t")]),
    # limits: exactly at the limit is accepted
    ({"max_atom_len": 3}, b"3:abc", b"abc"),
    ({"max_atom_len": 3}, b"#61 62 63#", b"abc"),
    ({"max_atom_len": 0}, b'(0:""##||)', [b"", b"", b"", b""]),
    ({"max_input_len": 5}, b"abcde", b"abcde"),
    ({"max_depth": 0}, b"a", b"a"),
    ({"max_depth": 1}, b"(a)", [b"a"]),
    ({"max_depth": 2}, b"((a)(b))", [[b"a"], [b"b"]]),
    ({"allow_list_as_first_element": False}, b"(a (b))", [b"a", [b"b"]]),
    ({"max_depth": U64, "max_atom_len": U64, "max_input_len": U64}, b"(a)", [b"a"]),
    ({"max_atom_len": None, "max_input_len": None}, b"(a)", [b"a"]),
]


@pytest.mark.parametrize("opts, data, expected", VALUES)
def test_value(opts, data, expected):
    for read in readers(opts):
        assert shape(read(data)) == expected
    # Read as a prefix, the same S-expression ends before any trailing whitespace.
    advanced = opts.get("allow_advanced", True) and not opts.get("canonical", False)
    end = len(data.rstrip()) if advanced else len(data)
    value, consumed = Parser(**opts).parse_prefix(data)
    assert (shape(value), consumed) == (expected, end)


PREFIXES = [
    (D, b"(a) (b)", [b"a"], 3),
    (D, b"  abc def", b"abc", 5),
    (D, b"(a)(b)", [b"a"], 3),
    (D, b"(a)b", [b"a"], 3),
    (D, b"(a))", [b"a"], 3),
    (D, b"a )", b"a", 1),
    (D, b"a\x80\xff", b"a", 1),                # nothing after the S-expression is examined
    (D, b'"x"garbage(', b"x", 3),
    (D, b"[a]b c", A(b"b", b"a"), 4),
    (D, b"{KDI6YWIp}xyz", [b"ab"], 10),
    (D, b"3:abc)", b"abc", 5),
    (C, b"3:abcXYZ", b"abc", 5),
    (C, b"(1:a) ", [b"a"], 5),
]


@pytest.mark.parametrize("opts, data, expected, consumed", PREFIXES)
def test_parse_prefix(opts, data, expected, consumed):
    result = Parser(**opts).parse_prefix(data)
    assert type(result) is tuple and len(result) == 2
    assert type(result[1]) is int
    assert (shape(result[0]), result[1]) == (expected, consumed)


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize("data, expected", [
    (b"(a b)", [b"a", b"b"]),
    ("(a b)", [b"a", b"b"]),
    ("2:\u00e9", b"\xc3\xa9"),                   # str is read as its UTF-8 octets
    (bytearray(b"(a)"), [b"a"]),
    (Atom(b"(a)", hint=b"ignored"), [b"a"]),    # an Atom's data only
    ([40, 97, 41], [b"a"]),
    ((40, 41), []),                             # a tuple of integers is octets here
    (range(97, 98), b"a"),
    (memoryview(b"(a)"), [b"a"]),
    (BytesSub(b"a"), b"a"),
    (StrSub("a"), b"a"),
])
def test_input_types(data, expected):
    assert shape(parvex.parse(data)) == expected
    assert shape(Parser().parse_prefix(data)[0]) == expected


@pytest.mark.parametrize("text, kind, offset", [
    ("2:\u00e9\u00e9", "trailing_octets", 4),
    ("(2:\u00e9 \u00e9)", "unexpected_octet", 6),
    #       ^ character 5, octet 6
    ('"\u00e9"', "unexpected_octet", 1),
])
def test_offsets_of_str_input_count_utf8_octets(text, kind, offset, parse_error):
    parse_error(parvex.parse, text, kind, offset)


FAILURES = [
    # unexpected_end: always the input's length
    (D, b"", "unexpected_end", 0),
    (D, b"  \t\n", "unexpected_end", 4),
    (D, b"(", "unexpected_end", 1),
    (D, b"(a", "unexpected_end", 2),
    (D, b"(a (b)", "unexpected_end", 6),
    (D, b"3:ab", "unexpected_end", 4),
    (D, b"3:", "unexpected_end", 2),
    (D, b"12", "unexpected_end", 2),
    (D, b"5", "unexpected_end", 1),
    (D, b"18446744073709551615", "unexpected_end", 20),
    (D, b"18446744073709551594:", "unexpected_end", 21),  # 21 + n is just representable
    (D, b'"abc', "unexpected_end", 4),
    (D, b'"', "unexpected_end", 1),
    (D, b'"\\', "unexpected_end", 2),
    (D, b'"\\x', "unexpected_end", 3),
    (D, b'"\\x4', "unexpected_end", 4),
    (D, b'"\\1', "unexpected_end", 3),
    (D, b'"\\3', "unexpected_end", 3),
    (D, b'"\\17', "unexpected_end", 4),
    (D, b'"\\\n', "unexpected_end", 3),
    (D, b'"\\\r', "unexpected_end", 3),
    (D, b"#61", "unexpected_end", 3),
    (D, b"#", "unexpected_end", 1),
    (D, b"|YWJj", "unexpected_end", 5),
    (D, b"|", "unexpected_end", 1),
    (D, b"[", "unexpected_end", 1),
    (D, b"[a", "unexpected_end", 2),
    (D, b"[a ", "unexpected_end", 3),
    (D, b"[a]", "unexpected_end", 3),
    (D, b"[a] ", "unexpected_end", 4),
    (D, b"{KDI6YWIp", "unexpected_end", 9),
    (D, b"{", "unexpected_end", 1),
    (D, b"{}", "unexpected_end", 0),
    (D, b" {}", "unexpected_end", 1),
    (D, T(b"(1:a"), "unexpected_end", 0),
    ({"max_input_len": 0}, b"", "unexpected_end", 0),
    ({"max_depth": U64}, b"(()", "unexpected_end", 3),
    # unexpected_octet
    (D, b"1a", "unexpected_octet", 1),
    (D, b"3 :abc", "unexpected_octet", 1),
    (D, b"3{", "unexpected_octet", 1),
    (D, b"(a]", "unexpected_octet", 2),
    (D, b"]", "unexpected_octet", 0),
    (D, b"}", "unexpected_octet", 0),
    (D, b"\x00", "unexpected_octet", 0),
    (D, b"\x80", "unexpected_octet", 0),
    (D, b"(\xff)", "unexpected_octet", 1),
    (D, b"({KDI6YWIp})", "unexpected_octet", 1),
    (D, b"(a {KDI6YWIp})", "unexpected_octet", 3),
    (D, b"[a b]", "unexpected_octet", 3),
    (D, b"[[a]]b", "unexpected_octet", 1),
    (D, b"[(a)]b", "unexpected_octet", 1),
    (D, b"[]b", "unexpected_octet", 1),
    (D, b"[a]]", "unexpected_octet", 3),
    (D, b'"a\tb"', "unexpected_octet", 2),
    (D, b'"\x7f"', "unexpected_octet", 1),
    (D, b'"\xc3\xa9"', "unexpected_octet", 1),
    (D, b'"a\\\n\nb"', "unexpected_octet", 4),
    #         ^ one line feed is the continuation, the second is raw
    (D, b"((a) ]", "unexpected_octet", 5),
    ({"allow_list_as_first_element": False}, b"((a) ]", "unexpected_octet", 5),
    (C, b" 3:abc", "unexpected_octet", 0),
    (C, b"(1:a 1:b)", "unexpected_octet", 4),
    (C, b"(1:a1:b )", "unexpected_octet", 7),
    (C, b"[1:x] 3:abc", "unexpected_octet", 5),
    ({"allow_advanced": False}, b" {KDI6YWIp}", "unexpected_octet", 0),
    (D, T(b"(1:a 1:b)"), "unexpected_octet", 0),
    (D, b"  " + T(b"(1:a 1:b)"), "unexpected_octet", 2),
    # trailing_octets
    (D, b"(a b) x", "trailing_octets", 6),
    (D, b"(a)(b)", "trailing_octets", 3),
    (D, b"(a)b", "trailing_octets", 3),
    (D, b"(a))", "trailing_octets", 3),
    (D, b"abc def", "trailing_octets", 4),
    (D, b"{KDI6YWIp}x", "trailing_octets", 10),
    (D, b"{KDI6YWIp}}", "trailing_octets", 10),
    (D, b"|YWJj||", "trailing_octets", 6),
    (C, b"(1:a1:b) ", "trailing_octets", 8),
    (C, b"3:abc\n", "trailing_octets", 5),
    (D, T(b"1:a1:b"), "trailing_octets", 0),
    (D, T(b"(1:a) "), "trailing_octets", 0),
    # unmatched_parenthesis
    (D, b")", "unmatched_parenthesis", 0),
    (D, b"  )", "unmatched_parenthesis", 2),
    (D, T(b")"), "unmatched_parenthesis", 0),
    # length_leading_zero
    (D, b"00:", "length_leading_zero", 0),
    (D, b"01:a", "length_leading_zero", 0),
    (D, b'00""', "length_leading_zero", 0),
    (D, b"(a 012:x)", "length_leading_zero", 3),
    (D, b"[01:a]b", "length_leading_zero", 1),
    (D, T(b"01:a"), "length_leading_zero", 0),
    # length_overflow: at the start, or past the colon when n: cannot end
    (D, b"18446744073709551616:", "length_overflow", 0),
    (D, b"18446744073709551616", "length_overflow", 0),
    (D, b"184467440737095516150", "length_overflow", 0),
    (D, b"99999999999999999999", "length_overflow", 0),
    (D, b'18446744073709551616"a"', "length_overflow", 0),
    (D, b"(a 18446744073709551616:)", "length_overflow", 3),
    (D, b"18446744073709551615:", "length_overflow", 21),
    (D, b"18446744073709551595:", "length_overflow", 21),
    (D, T(b"18446744073709551616:"), "length_overflow", 0),
    # length_mismatch: checked after the whole string is read
    (D, b'2"abc"', "length_mismatch", 0),
    (D, b'4"abc"', "length_mismatch", 0),
    (D, b'3"\\x41\\102"', "length_mismatch", 0),
    (D, b'18446744073709551615"a"', "length_mismatch", 0),
    (D, b"2#616263#", "length_mismatch", 0),
    (D, b"4|YWJj|", "length_mismatch", 0),
    (D, b"(x 2|YWJj|)", "length_mismatch", 3),
    (D, b'[2"abc"]d', "length_mismatch", 1),
    ({"allow_empty_atoms": False}, b'1""', "length_mismatch", 0),
    # invalid_escape: at the backslash, as soon as an octet makes it invalid
    (D, b'"\\q"', "invalid_escape", 1),
    (D, b'"ab\\z"', "invalid_escape", 3),
    (D, b'"\\X41"', "invalid_escape", 1),
    (D, b'"\\e"', "invalid_escape", 1),
    (D, b'"\\ "', "invalid_escape", 1),
    (D, b'"\\q', "invalid_escape", 1),
    (D, b'"\\x4"', "invalid_escape", 1),
    (D, b'"\\x4g"', "invalid_escape", 1),
    (D, b'"\\xg', "invalid_escape", 1),
    (D, b'"\\x4g', "invalid_escape", 1),
    (D, b'"\\400"', "invalid_escape", 1),
    (D, b'"\\777"', "invalid_escape", 1),
    (D, b'"\\4', "invalid_escape", 1),
    (D, b'"\\0"', "invalid_escape", 1),
    (D, b'"\\19"', "invalid_escape", 1),
    (D, b'"\\18', "invalid_escape", 1),
    (D, b'"\\128"', "invalid_escape", 1),
    # invalid_hex_digit
    (D, b"#61G2#", "invalid_hex_digit", 3),
    (D, b"#6g#", "invalid_hex_digit", 2),
    (D, b"#61|", "invalid_hex_digit", 3),
    (D, b"(#0x41#)", "invalid_hex_digit", 3),
    (D, b"#61\x00#", "invalid_hex_digit", 3),
    (D, b"[#zz#]a", "invalid_hex_digit", 2),
    # odd_hex_digits, before a length is compared
    (D, b"#6162 6#", "odd_hex_digits", 0),
    (D, b"#6#", "odd_hex_digits", 0),
    (D, b"(a #616#)", "odd_hex_digits", 3),
    (D, b"3#61626#", "odd_hex_digits", 0),
    # invalid_base64: text start plus the decoder's index
    (D, b"|YW*j|", "invalid_base64", 3),
    (D, b"|Q|", "invalid_base64", 1),
    (D, b"|QR==|", "invalid_base64", 2),
    (D, b"|QQ=|", "invalid_base64", 4),
    (D, b"  |YW-j|", "invalid_base64", 5),
    (D, b"(a 3|YW_j|)", "invalid_base64", 7),
    (D, b"[|Q|]a", "invalid_base64", 2),
    (D, b"9|Q|", "invalid_base64", 2),          # decoded before the length is compared
    (D, b"{KDI6YW*p}", "invalid_base64", 7),
    (D, b"{KDI6 YW*p}", "invalid_base64", 8),
    (D, b"{Q}", "invalid_base64", 1),
    (D, b"{====}", "invalid_base64", 1),
    (D, b"{{}", "invalid_base64", 1),
    # hint_on_list
    (D, b"[a](b)", "hint_on_list", 3),
    (D, b"[a] (b)", "hint_on_list", 4),
    (D, b"[a]()", "hint_on_list", 3),
    (D, b"(x [1:t](y))", "hint_on_list", 8),
    #             ^
    # too_deep
    ({"max_depth": 0}, b"()", "too_deep", 0),
    ({"max_depth": 0}, b"  (a)", "too_deep", 2),
    ({"max_depth": 0, "allow_empty_lists": False}, b"()", "too_deep", 0),
    ({"max_depth": 1}, b"((a))", "too_deep", 1),
    ({"max_depth": 1}, b"(a (b))", "too_deep", 3),
    ({"max_depth": 2}, b"(((a)))", "too_deep", 2),
    ({"max_depth": 2}, b"((((", "too_deep", 2),    # refused before the input ends
    ({"max_depth": 1}, T(b"((1:a))"), "too_deep", 0),
    ({"max_depth": True}, b"((a))", "too_deep", 1),
    # atom_too_long: data and hints, counted after decoding
    ({"max_atom_len": 3}, b"4:abcd", "atom_too_long", 0),
    ({"max_atom_len": 3}, b"(abc abcd)", "atom_too_long", 5),
    ({"max_atom_len": 3}, b"[abcd]a", "atom_too_long", 1),
    ({"max_atom_len": 0}, b"a", "atom_too_long", 0),
    ({"max_atom_len": 2}, b'"\\x41\\x42\\x43"', "atom_too_long", 0),
    ({"max_atom_len": 2}, b"#61 62 63#", "atom_too_long", 0),
    ({"max_atom_len": 2}, b"|YWJj|", "atom_too_long", 0),
    ({"max_atom_len": 2}, b" {MzphYmM=}", "atom_too_long", 1),
    # input_too_long: before any octet is examined
    ({"max_input_len": 5}, b"abcdef", "input_too_long", 5),
    ({"max_input_len": 10}, b")" * 11, "input_too_long", 10),
    ({"max_input_len": 0}, b"a", "input_too_long", 0),
    ({"max_input_len": 0}, b" ", "input_too_long", 0),
    ({"max_input_len": 3}, b"(a)xyz", "input_too_long", 3),
    ({"max_input_len": True}, b"ab", "input_too_long", 1),
    # hint_not_allowed: at the bracket, before anything else
    ({"allow_display_hints": False}, b"(a [b]c)", "hint_not_allowed", 3),
    ({"allow_display_hints": False}, b"[1:t]1:x", "hint_not_allowed", 0),
    ({"allow_display_hints": False}, b"[", "hint_not_allowed", 0),
    ({"allow_display_hints": False}, b" " + T(b"[1:t]1:x"), "hint_not_allowed", 1),
    ({"canonical": True, "allow_display_hints": False}, b"[1:t]1:x", "hint_not_allowed", 0),
    # empty_atom_not_allowed: data and hints
    ({"allow_empty_atoms": False}, b"0:", "empty_atom_not_allowed", 0),
    ({"allow_empty_atoms": False}, b'""', "empty_atom_not_allowed", 0),
    ({"allow_empty_atoms": False}, b"##", "empty_atom_not_allowed", 0),
    ({"allow_empty_atoms": False}, b"# #", "empty_atom_not_allowed", 0),
    ({"allow_empty_atoms": False}, b"||", "empty_atom_not_allowed", 0),
    ({"allow_empty_atoms": False}, b"0##", "empty_atom_not_allowed", 0),
    ({"allow_empty_atoms": False}, b"[0:]3:abc", "empty_atom_not_allowed", 1),
    ({"allow_empty_atoms": False}, b"(a 0:)", "empty_atom_not_allowed", 3),
    ({"allow_empty_atoms": False, "max_atom_len": 0}, b"0:", "empty_atom_not_allowed", 0),
    ({"allow_empty_atoms": False}, T(b"(0:)"), "empty_atom_not_allowed", 0),
    # empty_list_not_allowed: when the list closes, innermost first
    ({"allow_empty_lists": False}, b"()", "empty_list_not_allowed", 0),
    ({"allow_empty_lists": False}, b"( )", "empty_list_not_allowed", 0),
    ({"allow_empty_lists": False}, b"(a ())", "empty_list_not_allowed", 3),
    ({"allow_empty_lists": False}, b"(())", "empty_list_not_allowed", 1),
    ({"allow_empty_lists": False, "allow_list_as_first_element": False}, b"(())",
     "empty_list_not_allowed", 1),
    ({"allow_empty_lists": False}, b"  " + T(b"()"), "empty_list_not_allowed", 2),
    # list_as_first_element_not_allowed: at the enclosing list's parenthesis
    ({"allow_list_as_first_element": False}, b"((a) b)", "list_as_first_element_not_allowed", 0),
    ({"allow_list_as_first_element": False}, b"(())", "list_as_first_element_not_allowed", 0),
    ({"allow_list_as_first_element": False}, b"(a ((b) c))",
     "list_as_first_element_not_allowed", 3),
    ({"allow_list_as_first_element": False}, b"(((a)) b)",
     "list_as_first_element_not_allowed", 1),
    ({"allow_list_as_first_element": False}, T(b"((1:a))"),
     "list_as_first_element_not_allowed", 0),
    # advanced_not_allowed: before the form's own flag and before allow_lengths
    (C, b"abc", "advanced_not_allowed", 0),
    (C, b'"x"', "advanced_not_allowed", 0),
    (C, b"#616263#", "advanced_not_allowed", 0),
    (C, b"|YQ==|", "advanced_not_allowed", 0),
    (C, b'3"abc"', "advanced_not_allowed", 0),
    (C, b"3#616263#", "advanced_not_allowed", 0),
    (C, b"3|YWJj|", "advanced_not_allowed", 0),
    (C, b"(a b)", "advanced_not_allowed", 1),
    (C, b"(1:a b)", "advanced_not_allowed", 4),
    (C, b"[t]1:x", "advanced_not_allowed", 1),
    ({"canonical": True, "allow_advanced": True}, b"abc", "advanced_not_allowed", 0),
    ({"allow_advanced": False, "allow_hexadecimal": False}, b"#61#", "advanced_not_allowed", 0),
    ({"allow_advanced": False, "allow_lengths": False}, b'1"a"', "advanced_not_allowed", 0),
    (D, T(b"abc"), "advanced_not_allowed", 0),
    (D, T(b"#61#"), "advanced_not_allowed", 0),
    # transport_not_allowed: at the brace, before its end is looked for
    (C, b"{KDI6YWIp}", "transport_not_allowed", 0),
    (C, b"{", "transport_not_allowed", 0),
    ({"canonical": True, "allow_transport": True}, b"{MzphYmM=}", "transport_not_allowed", 0),
    ({"allow_transport": False}, b"  {KDI6YWIp}", "transport_not_allowed", 2),
    (D, T(b"{KDI6YWIp}"), "transport_not_allowed", 0),
    # hexadecimal_not_allowed, before allow_lengths
    ({"allow_hexadecimal": False}, b"#616263#", "hexadecimal_not_allowed", 0),
    ({"allow_hexadecimal": False}, b"#", "hexadecimal_not_allowed", 0),
    ({"allow_hexadecimal": False}, b"(a #61#)", "hexadecimal_not_allowed", 3),
    ({"allow_hexadecimal": False}, b"3#616263#", "hexadecimal_not_allowed", 0),
    ({"allow_hexadecimal": False, "allow_lengths": False}, b"3#616263#",
     "hexadecimal_not_allowed", 0),
    ({"allow_hexadecimal": False}, b"[#74#]a", "hexadecimal_not_allowed", 1),
    # base64_not_allowed, before allow_lengths
    ({"allow_base64": False}, b"|YWJj|", "base64_not_allowed", 0),
    ({"allow_base64": False}, b"|", "base64_not_allowed", 0),
    ({"allow_base64": False}, b"3|YWJj|", "base64_not_allowed", 0),
    ({"allow_base64": False, "allow_lengths": False}, b"3|YWJj|", "base64_not_allowed", 0),
    ({"allow_base64": False}, b"(a [|dA==|]b)", "base64_not_allowed", 4),
    # length_not_allowed: at the first digit, before the string is read
    ({"allow_lengths": False}, b'3"abc"', "length_not_allowed", 0),
    ({"allow_lengths": False}, b'2"abc"', "length_not_allowed", 0),
    ({"allow_lengths": False}, b'3"abc', "length_not_allowed", 0),
    ({"allow_lengths": False}, b"3#616263#", "length_not_allowed", 0),
    ({"allow_lengths": False}, b"3|YWJj|", "length_not_allowed", 0),
    ({"allow_lengths": False}, b'(a 1"x")', "length_not_allowed", 3),
    ({"allow_lengths": False}, b'[1"t"]a', "length_not_allowed", 1),
]


@pytest.mark.parametrize("opts, data, kind, offset", FAILURES)
def test_failure(opts, data, kind, offset, parse_error):
    for read in readers(opts):
        parse_error(read, data, kind, offset)
    if kind != "trailing_octets":
        # A failure inside the S-expression is the same when it is read as a prefix.
        parse_error(Parser(**opts).parse_prefix, data, kind, offset)


def test_failure_table_reaches_every_kind(messages):
    assert {kind for _, _, kind, _ in FAILURES} == set(messages)


def test_prefix_failures(parse_error):
    parse_error(Parser().parse_prefix, b"(a", "unexpected_end", 2)
    parse_error(Parser().parse_prefix, b"", "unexpected_end", 0)
    parse_error(Parser(max_input_len=3).parse_prefix, b"(a)xyz", "input_too_long", 3)


def test_parse_error_is_a_value_error():
    with pytest.raises(ValueError):
        parvex.parse(b"(a)b")

