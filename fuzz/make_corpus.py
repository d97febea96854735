"""Writes the fuzzers' seed corpus: every representation, every octet-string
form and every error kind for the readers; the decoder's accepted and refused
shapes of base-64; and writer programs that reach every form and the deepest
chains.

    python3 fuzz/make_corpus.py OUTDIR      # OUTDIR/<harness>/<seed name>

The reader seeds start with the option header that fuzz/common.hpp reads,
drawn from the reader's option table (src/decode/parser.hpp); `header` and
`options` here are its two directions. tests/test_hostile.py
reads the seeds back through the Python module to check what they cover.
"""

import base64
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _option_table():
    """The rows of the reader's option table, (kind, field, default), read
    from the header that declares them, in its order."""
    text = (ROOT / "src" / "decode" / "parser.hpp").read_text()
    rows = re.findall(r"X\((Limit|Flag|Leniency), (\w+), (\w+), \w+\)", text)
    if not rows:
        raise RuntimeError("no option table in src/decode/parser.hpp")
    return rows


NO_LIMIT = 2**64 - 1
_ROWS = _option_table()
# Parser keywords: a leniency's has a leading underscore.
FLAGS = tuple(("_" if kind == "Leniency" else "") + field
              for kind, field, _ in _ROWS if kind != "Limit")
LIMITS = tuple(field for kind, field, _ in _ROWS if kind == "Limit")
DEFAULT_FLAGS = {("_" if kind == "Leniency" else "") + field: default == "true"
                 for kind, field, default in _ROWS if kind != "Limit"}
# The limits one header octet can name, from 240 on (below 240 it is the value).
EDGES = {240: 1024, 241: 65536, 242: 2**32, 243: 2**63, 244: NO_LIMIT - 1, 255: NO_LIMIT}
FLAG_OCTETS = (len(FLAGS) + 7) // 8
HEADER = FLAG_OCTETS + 1 + len(LIMITS)


def limit_octet(value):
    if value < 240:
        return value
    for octet, edge in EDGES.items():
        if edge == value:
            return octet
    raise ValueError(f"no header octet names the limit {value}")


def header(fail_at=None, **options):
    """The option header for Parser keyword arguments (absent: the defaults,
    except that max_depth defaults to no limit, as a short input's does)."""
    unknown = set(options) - set(FLAGS) - set(LIMITS)
    if unknown:
        raise TypeError(f"unknown options {sorted(unknown)}")
    bits = sum(1 << i for i, name in enumerate(FLAGS) if options.get(name, DEFAULT_FLAGS[name]))
    assert fail_at is None or 0 <= fail_at < 255
    builder = 255 if fail_at is None else fail_at
    return bytes([*bits.to_bytes(FLAG_OCTETS, "little"), builder,
                  *(limit_octet(options.get(name, NO_LIMIT)) for name in LIMITS)])


def options(data):
    """Parser keyword arguments and the text of a reader input, as the
    harnesses read them."""
    h = bytes(data[:HEADER]) + b"\xff" * max(0, HEADER - len(data))
    bits = int.from_bytes(h[:FLAG_OCTETS], "little")
    kwargs = {name: bool(bits >> i & 1) for i, name in enumerate(FLAGS)}
    for name, octet in zip(LIMITS, h[FLAG_OCTETS + 1:]):
        kwargs[name] = octet if octet < 240 else EDGES.get(octet, NO_LIMIT)
    return kwargs, bytes(data[HEADER:])


def transport(canonical):
    return b"{" + base64.b64encode(canonical) + b"}"


CANONICAL = dict(allow_advanced=False, allow_transport=False)

# name -> (text, options)
ACCEPT = {
    # canonical (RFC 9804 §6.2)
    "canonical_atom": (b"3:abc", CANONICAL),
    "canonical_list": (b"(1:a1:b(1:c)0:)", CANONICAL),
    "canonical_hints": (b"([4:text]5:hello[0:]0:())", CANONICAL),
    "canonical_binary": (b"(6:\x00\xff()[]" + b"10:0123456789)", CANONICAL),
    "canonical_nested": (b"(((()))(()))", CANONICAL),
    # basic transport (§6.3)
    "transport_list": (transport(b"(1:a1:b)"), {}),
    "transport_hint": (b" " + transport(b"[1:t]3:abc") + b"\n", {}),
    "transport_spaced": (b"{KDE6 YTE6\nYik=}", dict(allow_advanced=False)),
    "transport_unpadded": (b"{KDE6YTE6Yik}", {}),
    # advanced (§6.4): every octet-string form, with and without lengths
    "advanced_tokens": (b"(abc-1.2/x a1 *+-./:=_ Z)", {}),
    "advanced_quoted": (b'"\\a\\b\\f\\n\\r\\t\\v\\x41\\101\\"\\\'\\?\\\\\\\n\\\r\\\r\\n.\\\n\\r"', {}),
    "advanced_hex": (b"(#616263# #61 62\t63# ## #4A4b#)", {}),
    "advanced_base64": (b"(|YWJj| |YW Jj| || |YQ==| |YQ|)", {}),
    "advanced_lengths": (b'(3"abc" 3#616263# 3|YWJj| 0"" 0## 0||)', {}),
    "advanced_hints": (b'([text/plain]"hi" [ 4:text ] 2:hi [#00#]|AA==|)', {}),
    "advanced_whitespace": (b" \t( a\x0b[ b ]\x0cc\r\n( ) )\n ", {}),
    "advanced_mixed": (b"(a(b)c[d]e" + transport(b"(1:x)")[1:-1] + b")", {}),
    "depth_edge": (b"(" * 3 + b"x" + b")" * 3, dict(max_depth=3)),
    "atom_len_edge": (b"(3:abc #61 62 63#)", dict(max_atom_len=3)),
    "input_len_edge": (b"(a b)", dict(max_input_len=5)),
    "8bit_in_quoted": (b'(comment "\xc3\xa9t\xe9")', dict(_allow_8bit_in_quoted=True)),
    # More values than half the octets: the builder's stack must grow.
    "dense_empty_lists": (b"(j()j()j()j()j())", {}),
}

# Inputs that hold more than one S-expression: read by parse_prefix only.
STREAMS = {
    "two_lists": (b"(a) (b)\n3:abcXYZ", {}),
    "canonical_then_junk": (b"3:abcXYZ", CANONICAL),
    "leading_space": (b"  abc def", {}),
}

# name -> (text, options, kind): one or more for each of the 24 kinds
REJECT = {
    "unexpected_end": (b"(a", {}, "unexpected_end"),
    "unexpected_end_verbatim": (b"99999:abc", {}, "unexpected_end"),
    "unexpected_end_hex": (b"#616", {}, "unexpected_end"),
    "unexpected_end_base64": (b"|YWJj", {}, "unexpected_end"),
    "unexpected_end_transport": (b"{KDE6YSk=", {}, "unexpected_end"),
    "unexpected_octet": (b"(a]", {}, "unexpected_octet"),
    "unexpected_octet_in_quoted": (b'"a\tb"', {}, "unexpected_octet"),
    "trailing_octets": (b"(a)b", {}, "trailing_octets"),
    "unmatched_parenthesis": (b")", {}, "unmatched_parenthesis"),
    "length_leading_zero": (b"01:a", {}, "length_leading_zero"),
    "length_overflow": (b"18446744073709551616:", {}, "length_overflow"),
    "length_overflow_end": (b"18446744073709551615:", {}, "length_overflow"),
    "length_mismatch": (b'2"abc"', {}, "length_mismatch"),
    "invalid_escape": (b'"\\q"', {}, "invalid_escape"),
    "invalid_escape_octal": (b'"\\400"', {}, "invalid_escape"),
    "invalid_hex_digit": (b"#6g#", {}, "invalid_hex_digit"),
    "odd_hex_digits": (b"#616#", {}, "odd_hex_digits"),
    "invalid_base64": (b"|Y*|", {}, "invalid_base64"),
    "invalid_base64_transport": (b"{KQ=}", {}, "invalid_base64"),
    "hint_on_list": (b"[a](b)", {}, "hint_on_list"),
    "too_deep": (b"(((a)))", dict(max_depth=2), "too_deep"),
    "too_deep_default": (b"(" * 1025, dict(max_depth=1024), "too_deep"),
    "atom_too_long": (b"4:abcd", dict(max_atom_len=3), "atom_too_long"),
    "input_too_long": (b"(a b c)", dict(max_input_len=5), "input_too_long"),
    "hint_not_allowed": (b"[a]b", dict(allow_display_hints=False), "hint_not_allowed"),
    "empty_atom_not_allowed": (b"(a 0:)", dict(allow_empty_atoms=False), "empty_atom_not_allowed"),
    "empty_list_not_allowed": (b"(a ())", dict(allow_empty_lists=False), "empty_list_not_allowed"),
    "list_as_first_element_not_allowed":
        (b"((a) b)", dict(allow_list_as_first_element=False), "list_as_first_element_not_allowed"),
    "advanced_not_allowed": (b"abc", CANONICAL, "advanced_not_allowed"),
    "transport_not_allowed": (b"{KCk=}", CANONICAL, "transport_not_allowed"),
    "transport_in_transport": (transport(transport(b"1:a")), {}, "transport_not_allowed"),
    "transport_content_not_canonical": (transport(b"(1:a 1:b)"), {}, "unexpected_octet"),
    "hexadecimal_not_allowed": (b"#61#", dict(allow_hexadecimal=False), "hexadecimal_not_allowed"),
    "base64_not_allowed": (b"|YQ==|", dict(allow_base64=False), "base64_not_allowed"),
    "length_not_allowed": (b'1"a"', dict(allow_lengths=False), "length_not_allowed"),
}

BASE64_ACCEPT = [b"", b" \t\n", b"QQ", b"QQ==", b"QQ = =", b" Q Q = = ", b"QUI", b"QUI=",
                 b"QUJD", b"QUJD\n", b"QUI= ", base64.b64encode(bytes(range(256)))]
BASE64_REJECT = [b"QR==", b"QR", b"Q", b"Q===", b"QQ=", b"QQ=Q", b"QQ==QQ==", b"QUI=x",
                 b"=QUI", b"QUJD=", b"QU-I", b"QU_I", b"QUJD\x00"]
# Texts of a few 32-character blocks, which the decoder takes whole when
# they hold only alphabet characters: whitespace, "=" or a foreign octet
# just before, at and after a block boundary, and in the last block.
_LONG = base64.b64encode(bytes(range(7, 79)))  # 96 characters, no padding


def _put(text, at, octet):
    return text[:at] + octet + text[at + 1:]


BASE64_ACCEPT += [_LONG, base64.b64encode(bytes(range(70))), base64.encodebytes(bytes(range(150))),
                  _LONG[:31] + b" " + _LONG[31:], _LONG[:32] + b"\n" + _LONG[32:],
                  _LONG[:64] + b"\t" + _LONG[64:]]
BASE64_REJECT += [_put(_LONG, 31, b"*"), _put(_LONG, 32, b"="), _put(_LONG, 33, b"-"),
                  _put(_LONG, 95, b"\x80"), _LONG[:90] + b"==" + _LONG[92:], _LONG + b"Q"]
BASE64_OCTETS = [b"", b"A", b"AB", b"ABC", b"\x00\xff\x7f\x80", bytes(range(256))]

# Hexadecimal texts for its harness, each after its limit octet (255: none)
# and the octet that says where to cut it: unbroken runs of a few blocks,
# lines, whitespace and a foreign octet about a 64-digit boundary, odd
# counts, and limits met exactly and passed.
_HEX = bytes(range(40, 120)).hex().encode()  # 160 digits
BASE16 = {
    "run": b"\xff\x80" + _HEX + b"#",
    "upper_run": b"\xff\x10" + _HEX.upper() + b"# ",
    "lines": b"\xff\x40" + b"\n".join(_HEX[i:i + 64] for i in range(0, 160, 64)) + b"#",
    "split_pair": b"\xff\x7f" + _HEX[:63] + b" \r\n " + _HEX[63:] + b"#",
    "foreign": b"\xff\x00" + _HEX[:64] + b"g" + _HEX[65:],
    "high_octet": b"\xff\x00" + _HEX[:95] + b"\xb0" + _HEX[96:],
    "odd": b"\xff\x30" + _HEX[:129] + b"#",
    "at_limit": bytes([80, 0x90]) + _HEX + b"#",
    "past_limit": bytes([47, 0x90]) + _HEX + b"#",
    "cut_short": b"\xff\xc0" + _HEX[:99],
}

# Programs for the writers harness (see fuzz/writers.cpp).
OPEN, CLOSE, ATOM, HINTED, EMPTY_HINT, CHAIN, REPEAT, EMPTIES = range(8)
WRITERS = {
    "list_of_atoms": bytes([OPEN, ATOM, 3, *b"abc", ATOM, 0, HINTED, 1, *b"t", 2, *b"hi", CLOSE]),
    "empty_hint": bytes([EMPTY_HINT, 1, *b"x"]),
    "every_form": bytes([OPEN, REPEAT, 3, ord("1"), REPEAT, 2, 0x00, REPEAT, 1, 0x07, REPEAT, 2, 0x22,
                         REPEAT, 2, 0x5C, REPEAT, 1, 0x7F, REPEAT, 1, 0x80, REPEAT, 4, 0xFF,
                         REPEAT, 1, ord("a"), REPEAT, 1, ord(" "), CLOSE]),
    "wide": bytes([OPEN, EMPTIES, 255, OPEN, CLOSE, CLOSE]),
    "short_chains": bytes([ATOM, 1, *b"x", CHAIN, 200, OPEN, CHAIN, 5, CLOSE]),
    "deepest_chain": bytes([HINTED, 1, *b"h", 1, *b"d", CHAIN, 255]),
}


def reader_seeds():
    """(name, octets, outcome) for the reader harnesses: outcome "accept",
    "stream" (accepted by parse_prefix only) or the kind of the failure."""
    out = [(f"accept_{name}", header(**opts) + text, "accept") for name, (text, opts) in ACCEPT.items()]
    out += [(f"stream_{name}", header(**opts) + text, "stream") for name, (text, opts) in STREAMS.items()]
    out += [(f"reject_{name}", header(**opts) + text, kind) for name, (text, opts, kind) in REJECT.items()]
    out += [("accept_builder_fails_first", header(fail_at=0) + b"(a [b]c)", "accept"),
            ("accept_builder_fails_inside", header(fail_at=3) + transport(b"(1:a(1:b))"), "accept"),
            ("reject_short_header", b"\xff" * (HEADER - 1), "unexpected_end")]
    return out


def seeds():
    """harness -> {seed name: octets}"""
    reader = {name: data for name, data, _ in reader_seeds()}
    return {
        "parse": reader,
        "parse_prefix": reader,
        "base16_decode": BASE16,
        "base64_decode": {**{f"accept_{i}": t for i, t in enumerate(BASE64_ACCEPT)},
                          **{f"reject_{i}": t for i, t in enumerate(BASE64_REJECT)}},
        "base64_encode": {f"octets_{i}": t for i, t in enumerate(BASE64_OCTETS)},
        "writers": WRITERS,
    }


def main(out):
    for harness, files in seeds().items():
        folder = pathlib.Path(out) / harness
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in files.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
