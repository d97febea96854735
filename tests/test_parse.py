"""Reading S-expressions: the values returned, and every failure with its offset."""

import parvex
import pytest
from parvex import Atom, Parser
from support import LIMITS, U64, transport

D = {}                      # the default options, as parvex.parse reads
C = {"canonical": True}     # the canonical options, as parvex.parse_canonical reads
T = transport               # a basic transport block (§6.3)


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


def flatten(groups):
    return [(opts, *case) for opts, cases in groups for case in cases]


VALUES = flatten([
    (D, [
        # tokens (§6.4.1) and whitespace around them
        (b"abc-1.2/x", b"abc-1.2/x"), (b"*+-./:=_", b"*+-./:=_"), (b"a1", b"a1"),
        (b" \t\n\v\f\rabc \t\n\v\f\r", b"abc"),
        # verbatim (§6.2): any octets
        (b"3:abc", b"abc"), (b"0:", b""), (b"3:)(]", b")(]"),
        (b"6:\x00\xff \n{}", b"\x00\xff \n{}"),
        # quoted strings (§6.4.2) and every escape
        (b'"abc"', b"abc"), (b'""', b""), (b'3"abc"', b"abc"), (b'0""', b""),
        (b'"(a b)[]{}|#:\'~"', b"(a b)[]{}|#:'~"),
        (rb'"\"\'\?\\"', b"\"'?\\"),
        (rb'"\a\b\f\n\r\t\v"', b"\x07\x08\x0c\n\r\t\x0b"),
        (rb'"\x41\x6a\x6A\xfF\x00"', b"Ajj\xff\x00"),
        (rb'"\101\000\377\177"', b"A\x00\xff\x7f"), (rb'"\101\x42\n"', b"AB\n"),
        (b'"a\\\nb"', b"ab"), (b'"a\\\n\rb"', b"ab"), (b'"a\\\rb"', b"ab"),
        (b'"a\\\r\nb"', b"ab"), (b'"a\\\r\n\\\nb"', b"ab"),
        (b'2"\\x41\\102"', b"AB"), (b'2"a\\\r\nb"', b"ab"),   # lengths count decoded octets
        # hexadecimal (§6.4.3)
        (b"#616263#", b"abc"), (b"#61 62 63#", b"abc"), (b"#6 16263#", b"abc"),
        (b"#6\t1\n6\v2\f6\r3#", b"abc"), (b"#AbCdEf#", b"\xab\xcd\xef"),
        (b"##", b""), (b"# #", b""), (b"3#616263#", b"abc"), (b"0##", b""),
        # base-64 (§6.4.4)
        (b"|YWJj|", b"abc"), (b"3|YWJj|", b"abc"), (b"| YW\nJj |", b"abc"),
        (b"|YQ|", b"a"), (b"|YQ==|", b"a"), (b"||", b""), (b"0||", b""),
        # display hints (§4.6): any form; an empty hint is not an absent one
        (b'[text/plain]"hi"', A(b"hi", b"text/plain")), (b"[ 4:text ] 2:hi", A(b"hi", b"text")),
        (b"[0:]3:abc", A(b"abc", b"")), (b'[""]x', A(b"x", b"")),
        (b"[#74#]|aGk=|", A(b"hi", b"t")), (b"[1:t]0:", A(b"", b"t")), (b"[a]b", A(b"b", b"a")),
        # lists; no separator is needed between elements
        (b"()", []), (b"( \n)", []), (b"(()())", [[], []]), (b"((()))", [[[]]]),
        (b"(a (b c) 3:def)", [b"a", [b"b", b"c"], b"def"]),
        (b"(a(b)c)", [b"a", [b"b"], b"c"]), (b'(abc"def")', [b"abc", b"def"]),
        (b'(#61#|Yg==|"c"1:d)', [b"a", b"b", b"c", b"d"]),
        (b"(4:text[1:t]2:hi)", [b"text", A(b"hi", b"t")]), (b"(a[b]c)", [b"a", A(b"c", b"b")]),
        # transport blocks (§6.3)
        (b"{KDI6YWIp}", [b"ab"]), (b" {KDI6YWIp}\n", [b"ab"]), (b"{KDI6 YWIp}", [b"ab"]),
        (b"{MzphYmM=}", b"abc"), (T(b"[1:t]3:abc"), A(b"abc", b"t")), (T(b"()"), []),
        (T(b"(1:a(1:b)[0:]0:)"), [b"a", [b"b"], A(b"", b"")]),
    ]),
    (C, [
        (b"3:abc", b"abc"), (b"[1:x]3:abc", A(b"abc", b"x")), (b"(1:a1:b)", [b"a", b"b"]),
        (b"()", []), (b"(0:[0:]0:(()))", [b"", A(b"", b""), [[]]]),
    ]),
    ({"allow_advanced": False}, [
        (b"{KDI6 YWIp}", [b"ab"]), (b"(3:abc[1:t]1:x)", [b"abc", A(b"x", b"t")])]),
    ({"allow_lengths": False}, [(b"3:abc", b"abc")]),          # verbatim needs no flag
    ({"allow_base64": False}, [(b"{KDI6YWIp}", [b"ab"])]),
    ({"allow_list_as_first_element": False}, [(b"(a (b))", [b"a", [b"b"]])]),
    # limits: exactly at the limit is accepted; atoms count decoded octets
    ({"max_atom_len": 3}, [(b"3:abc", b"abc"), (b"#61 62 63#", b"abc")]),
    ({"max_atom_len": 0}, [(b'(0:""##||)', [b"", b"", b"", b""])]),
    ({"max_input_len": 5}, [(b"abcde", b"abcde")]),
    ({"max_depth": 0}, [(b"a", b"a")]),
    ({"max_depth": 1}, [(b"(a)", [b"a"]), (T(b"(1:a)"), [b"a"])]),   # blocks start at 0
    ({"max_depth": 2}, [(b"((a)(b))", [[b"a"], [b"b"]])]),
    (dict.fromkeys(LIMITS, U64), [(b"(a)", [b"a"])]),
    ({"max_atom_len": None, "max_input_len": None}, [(b"(a)", [b"a"])]),
])


@pytest.mark.parametrize("opts, data, expected", VALUES)
def test_value(opts, data, expected):
    for read in readers(opts):
        assert shape(read(data)) == expected
    # Read as a prefix, the same S-expression ends before any trailing whitespace.
    advanced = opts.get("allow_advanced", True) and not opts.get("canonical", False)
    end = len(data.rstrip()) if advanced else len(data)
    value, consumed = Parser(**opts).parse_prefix(data)
    assert (shape(value), consumed) == (expected, end)


# Tokens and quoted strings around the reader's 16-octet steps (the native
# checks take every length on every path), whole and as a stream cut inside
# them, ended at every distance from the end of the input.
@pytest.mark.parametrize("n", [1, 15, 16, 17, 33])
def test_runs_around_the_vector_steps(n, parse_error):
    token, plain = (b"aZ09*+-./:=_" * 3)[:n], (b"ab c~!'()[]{}|#:" * 3)[:n]
    for pad in range(18):
        tail = b" " * pad + b")"
        for text, want in ((b"(" + token + b'"x"' + tail, [token, b"x"]),
                           (b'("' + plain + b'\\n' + plain + b'"' + tail, [plain + b"\n" + plain])):
            assert parvex.parse(text) == want
            d = parvex.Decoder()
            d.feed(text[:2 + n // 2])
            d.feed(text[2 + n // 2:])
            assert list(d) == [want]
        parse_error(parvex.parse, b"(" + token + b"," + tail, "unexpected_octet", 1 + n)
        parse_error(parvex.parse, b'("' + plain + b"\xe9" + tail, "unexpected_octet", 2 + n)


@pytest.mark.parametrize("opts, data, expected, consumed", flatten([
    (D, [(b"(a) (b)", [b"a"], 3), (b"  abc def", b"abc", 5), (b"(a)(b)", [b"a"], 3),
         (b"(a)b", [b"a"], 3), (b"(a))", [b"a"], 3), (b"a )", b"a", 1),
         (b"a\x80\xff", b"a", 1),               # nothing after the S-expression is examined
         (b'"x"garbage(', b"x", 3), (b"[a]b c", A(b"b", b"a"), 4),
         (b"{KDI6YWIp}xyz", [b"ab"], 10), (b"3:abc)", b"abc", 5)]),
    (C, [(b"3:abcXYZ", b"abc", 5), (b"(1:a) ", [b"a"], 5)]),
]))
def test_parse_prefix(opts, data, expected, consumed):
    result = Parser(**opts).parse_prefix(data)
    assert type(result) is tuple and len(result) == 2 and type(result[1]) is int
    assert (shape(result[0]), result[1]) == (expected, consumed)


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize("data, expected", [
    (b"(a b)", [b"a", b"b"]), ("(a b)", [b"a", b"b"]),
    ("2:\u00e9", b"\xc3\xa9"),                   # str is read as its UTF-8 octets
    (bytearray(b"(a)"), [b"a"]), (Atom(b"(a)", hint=b"ignored"), [b"a"]),
    ([40, 97, 41], [b"a"]), ((40, 41), []), (range(97, 98), b"a"),
    (memoryview(b"(a)"), [b"a"]), (BytesSub(b"a"), b"a"), (StrSub("a"), b"a"),
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
def test_offsets_in_str_input_count_utf8_octets(text, kind, offset, parse_error):
    parse_error(parvex.parse, text, kind, offset)


FAILURES = flatten([
    (D, [
        # unexpected_end: always at the input's length
        (b"", "unexpected_end", 0), (b"  \t\n", "unexpected_end", 4),
        (b"(", "unexpected_end", 1), (b"(a", "unexpected_end", 2),
        (b"(a (b)", "unexpected_end", 6), (b"3:ab", "unexpected_end", 4),
        (b"3:", "unexpected_end", 2), (b"12", "unexpected_end", 2), (b"5", "unexpected_end", 1),
        (b"18446744073709551615", "unexpected_end", 20),
        (b"18446744073709551594:", "unexpected_end", 21),   # 21 + n is just representable
        (b'"abc', "unexpected_end", 4), (b'"', "unexpected_end", 1),
        # escapes cut short while every octet so far is valid
        (b'"\\', "unexpected_end", 2), (b'"\\x', "unexpected_end", 3),
        (b'"\\x4', "unexpected_end", 4), (b'"\\1', "unexpected_end", 3),
        (b'"\\3', "unexpected_end", 3), (b'"\\17', "unexpected_end", 4),
        (b'"\\\n', "unexpected_end", 3), (b'"\\\r', "unexpected_end", 3),
        (b"#61", "unexpected_end", 3), (b"#", "unexpected_end", 1),
        (b"|YWJj", "unexpected_end", 5), (b"|", "unexpected_end", 1),
        (b"[", "unexpected_end", 1), (b"[a", "unexpected_end", 2), (b"[a ", "unexpected_end", 3),
        (b"[a]", "unexpected_end", 3), (b"[a] ", "unexpected_end", 4),
        (b"{KDI6YWIp", "unexpected_end", 9), (b"{", "unexpected_end", 1),
        (b"{}", "unexpected_end", 0), (b" {}", "unexpected_end", 1),
        (T(b"(1:a"), "unexpected_end", 0),
        # unexpected_octet
        (b"1a", "unexpected_octet", 1), (b"3 :abc", "unexpected_octet", 1),
        (b"3{", "unexpected_octet", 1), (b"(a]", "unexpected_octet", 2),
        (b"]", "unexpected_octet", 0), (b"}", "unexpected_octet", 0),
        (b"\x00", "unexpected_octet", 0), (b"\x80", "unexpected_octet", 0),
        (b"(\xff)", "unexpected_octet", 1), (b"({KDI6YWIp})", "unexpected_octet", 1),
        (b"(a {KDI6YWIp})", "unexpected_octet", 3), (b"[a b]", "unexpected_octet", 3),
        (b"[[a]]b", "unexpected_octet", 1), (b"[(a)]b", "unexpected_octet", 1),
        (b"[]b", "unexpected_octet", 1), (b"[a]]", "unexpected_octet", 3),
        (b'"a\tb"', "unexpected_octet", 2), (b'"\x7f"', "unexpected_octet", 1),
        (b'"\xc3\xa9"', "unexpected_octet", 1), (b"((a) ]", "unexpected_octet", 5),
        (b'"a\\\n\nb"', "unexpected_octet", 4),
        #        ^ the first line feed continues the line, the second is raw
        (T(b"(1:a 1:b)"), "unexpected_octet", 0),
        (b"  " + T(b"(1:a 1:b)"), "unexpected_octet", 2),
        # trailing_octets
        (b"(a b) x", "trailing_octets", 6), (b"(a)(b)", "trailing_octets", 3),
        (b"(a)b", "trailing_octets", 3),
        (b"(a))", "trailing_octets", 3), (b"abc def", "trailing_octets", 4),
        (b"{KDI6YWIp}x", "trailing_octets", 10), (b"{KDI6YWIp}}", "trailing_octets", 10),
        (b"|YWJj||", "trailing_octets", 6), (T(b"1:a1:b"), "trailing_octets", 0),
        (T(b"(1:a) "), "trailing_octets", 0),
        # unmatched_parenthesis
        (b")", "unmatched_parenthesis", 0), (b"  )", "unmatched_parenthesis", 2),
        (T(b")"), "unmatched_parenthesis", 0),
        # length_leading_zero
        (b"00:", "length_leading_zero", 0), (b"01:a", "length_leading_zero", 0),
        (b'00""', "length_leading_zero", 0), (b"(a 012:x)", "length_leading_zero", 3),
        (b"[01:a]b", "length_leading_zero", 1), (T(b"01:a"), "length_leading_zero", 0),
        # length_overflow: at the start, or past the colon when n: cannot end
        (b"18446744073709551616:", "length_overflow", 0),
        (b"18446744073709551616", "length_overflow", 0),
        (b"184467440737095516150", "length_overflow", 0),
        (b"99999999999999999999", "length_overflow", 0),
        (b'18446744073709551616"a"', "length_overflow", 0),
        (b"(a 18446744073709551616:)", "length_overflow", 3),
        (b"18446744073709551615:", "length_overflow", 21),
        (b"18446744073709551595:", "length_overflow", 21),
        (T(b"18446744073709551616:"), "length_overflow", 0),
        # length_mismatch: after the whole string is read
        (b'2"abc"', "length_mismatch", 0), (b'4"abc"', "length_mismatch", 0),
        (b'3"\\x41\\102"', "length_mismatch", 0),
        (b'18446744073709551615"a"', "length_mismatch", 0),
        (b"2#616263#", "length_mismatch", 0), (b"4|YWJj|", "length_mismatch", 0),
        (b"(x 2|YWJj|)", "length_mismatch", 3), (b'[2"abc"]d', "length_mismatch", 1),
        # invalid_escape: at the backslash, once an octet makes the escape invalid
        (b'"\\q"', "invalid_escape", 1), (b'"ab\\z"', "invalid_escape", 3),
        (b'"\\X41"', "invalid_escape", 1), (b'"\\ "', "invalid_escape", 1),
        (b'"\\e"', "invalid_escape", 1),
        (b'"\\q', "invalid_escape", 1), (b'"\\x4"', "invalid_escape", 1),
        (b'"\\x4g"', "invalid_escape", 1), (b'"\\xg', "invalid_escape", 1),
        (b'"\\x4g', "invalid_escape", 1), (b'"\\400"', "invalid_escape", 1),
        (b'"\\777"', "invalid_escape", 1), (b'"\\4', "invalid_escape", 1),
        (b'"\\0"', "invalid_escape", 1), (b'"\\19"', "invalid_escape", 1),
        (b'"\\18', "invalid_escape", 1), (b'"\\128"', "invalid_escape", 1),
        # invalid_hex_digit and odd_hex_digits (the latter before any length)
        (b"#61G2#", "invalid_hex_digit", 3), (b"#6g#", "invalid_hex_digit", 2),
        (b"#61|", "invalid_hex_digit", 3), (b"(#0x41#)", "invalid_hex_digit", 3),
        (b"#61\x00#", "invalid_hex_digit", 3), (b"[#zz#]a", "invalid_hex_digit", 2),
        (b"#6162 6#", "odd_hex_digits", 0), (b"#6#", "odd_hex_digits", 0),
        (b"(a #616#)", "odd_hex_digits", 3), (b"3#61626#", "odd_hex_digits", 0),
        # invalid_base64: start of the text plus the decoder's index (more in test_base64)
        (b"|YW*j|", "invalid_base64", 3), (b"|QQ=|", "invalid_base64", 4),
        (b"(a 3|YW_j|)", "invalid_base64", 7), (b"[|Q|]a", "invalid_base64", 2),
        (b"9|Q|", "invalid_base64", 2),            # decoded before the length is compared
        (b"{KDI6 YW*p}", "invalid_base64", 8), (b"{{}", "invalid_base64", 1),
        (b"{====}", "invalid_base64", 1), (b"  |YW-j|", "invalid_base64", 5),
        # hint_on_list
        (b"[a](b)", "hint_on_list", 3), (b"[a] (b)", "hint_on_list", 4),
        (b"[a]()", "hint_on_list", 3),
        (b"(x [1:t](y))", "hint_on_list", 8),
        #             ^
        # restrictions inside a transport block: the content is canonical
        (T(b"abc"), "advanced_not_allowed", 0), (T(b"#61#"), "advanced_not_allowed", 0),
        (T(b"{KDI6YWIp}"), "transport_not_allowed", 0),
    ]),
    (C, [
        (b" 3:abc", "unexpected_octet", 0), (b"(1:a 1:b)", "unexpected_octet", 4),
        (b"(1:a1:b )", "unexpected_octet", 7), (b"[1:x] 3:abc", "unexpected_octet", 5),
        (b"(1:a1:b) ", "trailing_octets", 8), (b"3:abc\n", "trailing_octets", 5),
        # advanced_not_allowed comes before the form's own flag and allow_lengths
        (b"abc", "advanced_not_allowed", 0), (b'"x"', "advanced_not_allowed", 0),
        (b"#616263#", "advanced_not_allowed", 0), (b"|YQ==|", "advanced_not_allowed", 0),
        (b'3"abc"', "advanced_not_allowed", 0), (b"3#616263#", "advanced_not_allowed", 0),
        (b"3|YWJj|", "advanced_not_allowed", 0), (b"(a b)", "advanced_not_allowed", 1),
        (b"(1:ab)", "advanced_not_allowed", 4), (b"[t]1:x", "advanced_not_allowed", 1),
        # after a list closes, which takes its own way back into the loop
        (b"((1:a)tok)", "advanced_not_allowed", 6), (b"((1:a)#61#)", "advanced_not_allowed", 6),
        (b"((1:a) 1:b)", "unexpected_octet", 6),
        # transport_not_allowed: at the brace, before its end is looked for
        (b"{KDI6YWIp}", "transport_not_allowed", 0), (b"{", "transport_not_allowed", 0),
    ]),
    ({"canonical": True, "allow_advanced": True}, [(b"abc", "advanced_not_allowed", 0)]),
    ({"canonical": True, "allow_transport": True}, [
        (b"{MzphYmM=}", "transport_not_allowed", 0)]),
    ({"canonical": True, "allow_display_hints": False}, [(b"[1:t]1:x", "hint_not_allowed", 0)]),
    ({"allow_advanced": False}, [
        (b" {KDI6YWIp}", "unexpected_octet", 0),
        (b"#61#", "advanced_not_allowed", 0), (b'1"a"', "advanced_not_allowed", 0)]),
    ({"allow_advanced": False, "allow_hexadecimal": False, "allow_lengths": False}, [
        (b"3#61#", "advanced_not_allowed", 0)]),
    ({"allow_transport": False}, [(b"  {KDI6YWIp}", "transport_not_allowed", 2)]),
    ({"max_depth": 0}, [(b"()", "too_deep", 0), (b"  (a)", "too_deep", 2)]),
    ({"max_depth": 0, "allow_empty_lists": False}, [(b"()", "too_deep", 0)]),
    ({"max_depth": 1}, [(b"((a))", "too_deep", 1), (b"(a (b))", "too_deep", 3),
                        (T(b"((1:a))"), "too_deep", 0)]),
    ({"max_depth": 2}, [(b"(((a)))", "too_deep", 2),
                        (b"((((", "too_deep", 2)]),       # refused before the input ends
    ({"max_depth": U64}, [(b"(()", "unexpected_end", 3)]),
    ({"max_atom_len": 3}, [(b"4:abcd", "atom_too_long", 0), (b"(abc abcd)", "atom_too_long", 5),
                           (b"[abcd]a", "atom_too_long", 1)]),
    ({"max_atom_len": 2}, [(b'"\\x41\\x42\\x43"', "atom_too_long", 0),
                           (b"#61 62 63#", "atom_too_long", 0), (b"|YWJj|", "atom_too_long", 0),
                           (b" {MzphYmM=}", "atom_too_long", 1)]),
    ({"max_atom_len": 0}, [(b"a", "atom_too_long", 0)]),
    # input_too_long: before any octet is examined
    ({"max_input_len": 5}, [(b"abcdef", "input_too_long", 5)]),
    ({"max_input_len": 10}, [(b")" * 11, "input_too_long", 10)]),
    ({"max_input_len": 3}, [(b"(a)xyz", "input_too_long", 3)]),
    ({"max_input_len": 0}, [(b"a", "input_too_long", 0), (b" ", "input_too_long", 0),
                            (b"", "unexpected_end", 0)]),
    ({"allow_display_hints": False}, [
        (b"(a [b]c)", "hint_not_allowed", 3), (b"[", "hint_not_allowed", 0),
        (b" " + T(b"[1:t]1:x"), "hint_not_allowed", 1)]),
    ({"allow_empty_atoms": False}, [
        (b"0:", "empty_atom_not_allowed", 0), (b'""', "empty_atom_not_allowed", 0),
        (b"##", "empty_atom_not_allowed", 0), (b"# #", "empty_atom_not_allowed", 0),
        (b"||", "empty_atom_not_allowed", 0), (b"0##", "empty_atom_not_allowed", 0),
        (b"[0:]3:abc", "empty_atom_not_allowed", 1), (b"(a 0:)", "empty_atom_not_allowed", 3),
        (T(b"(0:)"), "empty_atom_not_allowed", 0),
        (b'1""', "length_mismatch", 0)]),          # the form's own check comes first
    ({"allow_empty_atoms": False, "max_atom_len": 0}, [(b"0:", "empty_atom_not_allowed", 0)]),
    # list restrictions apply when a list closes, innermost first
    ({"allow_empty_lists": False}, [
        (b"()", "empty_list_not_allowed", 0), (b"( )", "empty_list_not_allowed", 0),
        (b"(a ())", "empty_list_not_allowed", 3), (b"(())", "empty_list_not_allowed", 1),
        (b"  " + T(b"()"), "empty_list_not_allowed", 2)]),
    ({"allow_empty_lists": False, "allow_list_as_first_element": False}, [
        (b"(())", "empty_list_not_allowed", 1)]),
    ({"allow_list_as_first_element": False}, [
        (b"((a) b)", "list_as_first_element_not_allowed", 0),
        (b"(())", "list_as_first_element_not_allowed", 0),
        (b"(a ((b) c))", "list_as_first_element_not_allowed", 3),
        (b"(((a)) b)", "list_as_first_element_not_allowed", 1),
        (T(b"((1:a))"), "list_as_first_element_not_allowed", 0),
        (b"((a) ]", "unexpected_octet", 5)]),      # the outer list never closes
    # the form's own flag comes before allow_lengths
    ({"allow_hexadecimal": False}, [
        (b"#616263#", "hexadecimal_not_allowed", 0), (b"#", "hexadecimal_not_allowed", 0),
        (b"(a #61#)", "hexadecimal_not_allowed", 3), (b"3#616263#", "hexadecimal_not_allowed", 0),
        (b"[#74#]a", "hexadecimal_not_allowed", 1)]),
    ({"allow_hexadecimal": False, "allow_lengths": False}, [
        (b"3#616263#", "hexadecimal_not_allowed", 0)]),
    ({"allow_base64": False}, [
        (b"|YWJj|", "base64_not_allowed", 0), (b"|", "base64_not_allowed", 0),
        (b"3|YWJj|", "base64_not_allowed", 0), (b"(a [|dA==|]b)", "base64_not_allowed", 4)]),
    ({"allow_base64": False, "allow_lengths": False}, [(b"3|YWJj|", "base64_not_allowed", 0)]),
    # length_not_allowed: at the first digit, before the string is read
    ({"allow_lengths": False}, [
        (b'3"abc"', "length_not_allowed", 0), (b'2"abc"', "length_not_allowed", 0),
        (b'3"abc', "length_not_allowed", 0), (b"3#616263#", "length_not_allowed", 0),
        (b"3|YWJj|", "length_not_allowed", 0), (b'(a 1"x")', "length_not_allowed", 3),
        (b'[1"t"]a', "length_not_allowed", 1)]),
])


@pytest.mark.parametrize("opts, data, kind, offset", FAILURES)
def test_failure(opts, data, kind, offset, parse_error):
    for read in readers(opts):
        parse_error(read, data, kind, offset)
    if kind != "trailing_octets":
        # A failure inside the S-expression is the same when it is read as a prefix.
        parse_error(Parser(**opts).parse_prefix, data, kind, offset)


def test_failure_table_reaches_every_kind(messages):
    assert {kind for _, _, kind, _ in FAILURES} == set(messages)


def test_parse_error_is_a_value_error():
    with pytest.raises(ValueError):
        parvex.parse(b"(a)b")


# GnuPG writes octets 0x80-0xFF raw inside quoted strings of its key files;
# the leniency that reads them applies there and nowhere else.
@pytest.mark.parametrize("data, value", [
    (b'"\xc3\xa9"', b"\xc3\xa9"),
    (b'(a "x\xff\\x41" [t]"\x80")', [b"a", b"x\xffA", parvex.Atom(b"\x80", hint=b"t")]),
    (b'2"\xc3\xa9"', b"\xc3\xa9"),
])
def test_8bit_in_quoted(data, value, parse_error):
    assert Parser(_allow_8bit_in_quoted=True).parse(data) == value
    parse_error(parvex.parse, data, "unexpected_octet", next(i for i, o in enumerate(data) if o >= 0x80))


@pytest.mark.parametrize("data, kind, offset", [
    (b"\xc3\xa9", "unexpected_octet", 0),         # not in a token
    (b'"a\x7fb"', "unexpected_octet", 2),          # nor other octets a quoted string cannot hold
    (b'(1:a "\xff)', "unexpected_end", 8),
])
def test_8bit_in_quoted_elsewhere(data, kind, offset, parse_error):
    parse_error(Parser(_allow_8bit_in_quoted=True).parse, data, kind, offset)
