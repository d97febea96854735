"""The base-64 decoder, seen through |...| strings (§6.4.4) and {...} blocks (§6.3).

The stdlib encoder is the oracle for what valid text looks like; nothing here
decodes with the stdlib.
"""

import base64
import random

import parvex
import pytest

ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
WHITESPACE = b"\t\n\v\f\r "
LONG = base64.b64encode(bytes(range(48)))  # 64 characters


def bars(text):
    return parvex.parse(b"|" + text + b"|")


@pytest.mark.parametrize("text, expected", [
    (b"", b""),
    (WHITESPACE, b""),
    (b"QQ", b"A"),
    (b"QQ==", b"A"),
    (b"QQ = =", b"A"),
    (b" Q Q = = ", b"A"),
    (b"Q\nQ=\t=", b"A"),
    (b"QUI", b"AB"),
    (b"QUI=", b"AB"),
    (b"QU I =", b"AB"),
    (b"QUI= ", b"AB"),
    (b"QUJD", b"ABC"),
    (b"QUJD\n", b"ABC"),
    (b"QUJDQQ", b"ABCA"),
    (b"QUJDQQ==", b"ABCA"),
    (b"QUJD QUJD", b"ABCABC"),
    (b"QUJ\r\nDQQ", b"ABCA"),
    (b"AAAA", b"\x00\x00\x00"),
    (b"////", b"\xff\xff\xff"),
    (b"+/+/", b"\xfb\xff\xbf"),
    (b"YWJjZGVm", b"abcdef"),
])
def test_decodes(text, expected):
    value = bars(text)
    assert type(value) is bytes and value == expected


# (text, index of the failure within the text)
FAILURES = [
    (b"Q", 0),              # one leftover sextet: its own offset
    (b"  Q ", 2),
    (b"QUJDQ", 4),
    (b"QR", 1),             # leftover bits not zero: the last alphabet character
    (b"QR==", 1),
    (b"QR = =", 1),
    (b"QR\n==", 1),
    (b"  QR", 3),
    (b"QUJ", 2),
    (b"QUJ=", 2),
    (b"QUJDQR", 5),
    (b"Q===", 1),           # "=" with fewer than two characters in the group
    (b"Q==", 1),
    (b"Q ==", 2),
    (b"=QUI", 0),
    (b"QUJD=", 4),
    (b"QUJD====", 4),
    (b"QQ=", 3),            # the text ends inside padding: its length
    (b"QQ=\n", 4),
    (b"QQ=Q", 3),           # a character after "=" in the same group
    (b"QQ = Q", 5),
    (b"QQ==QQ==", 4),       # only whitespace after a padded group
    (b"QUI=x", 4),
    (b"QUI==", 4),
    (b"QQ==\n=", 5),
    (b"QQ==,", 4),
    (b"QU-I", 2),           # outside the alphabet, URL-safe characters included
    (b"QU_I", 2),
    (b"YW*j", 2),
    (b"QUJ\x00", 3),
    (b"QUJD\x80", 4),
    (b"\xc3\xa9", 0),
    (b"QUJD.", 4),
    # Past the first blocks of 32 characters, which the decoder may take whole.
    (LONG[:31] + b"-" + LONG[32:], 31),
    (LONG[:32] + b"=" + LONG[33:], 32),
    (LONG[:40] + b"*" + LONG[41:], 40),
    (LONG[:33] + b" " + LONG[33:40] + b"\x80" + LONG[40:], 41),
    (LONG + b"Q", 64),
    (LONG + b"QR==", 65),
    (LONG + b"QQ==QQ==", 68),
]


@pytest.mark.parametrize("before, after, start", [
    (b"|", b"|", 1),
    (b"{", b"}", 1),
    (b"  {", b"}", 3),
    (b"(x |", b"|)", 4),
    (b"(x [7|", b"|]y)", 6),
])
@pytest.mark.parametrize("text, index", FAILURES)
def test_failure_offset(text, index, before, after, start, parse_error):
    parse_error(parvex.parse, before + text + after, "invalid_base64", start + index)


def test_every_string_of_up_to_two_octets():
    samples = [b""] + [bytes([a]) for a in range(256)]
    samples += [bytes([a, b]) for a in range(256) for b in range(256)]
    wrong = []
    for x in samples:
        text = base64.b64encode(x)
        got = (
            parvex.parse(b"|" + text + b"|"),
            parvex.parse(b"|" + text.rstrip(b"=") + b"|"),          # padding is optional
            parvex.parse(b"{" + base64.b64encode(b"%d:" % len(x) + x) + b"}"),
        )
        if got != (x, x, x) or {type(v) for v in got} != {bytes}:
            wrong.append((x, got))
    assert wrong == []


def test_only_encodings_of_octets_are_accepted_in_short_groups(parse_error):
    # Of all groups of two characters, and of three starting with "Q", exactly
    # those that the encoder writes are accepted; the others have leftover bits
    # and fail at their last character.
    encodings = {}
    for a in range(256):
        encodings[base64.b64encode(bytes([a]))[:2]] = bytes([a])
        if a < 4:
            for b in range(256):
                x = bytes([64 + a, b])        # first sextet 16: "Q"
                encodings[base64.b64encode(x)[:3]] = x
    groups = [bytes([c, d]) for c in ALPHABET for d in ALPHABET]
    groups += [b"Q" + bytes([c, d]) for c in ALPHABET for d in ALPHABET]
    accepted = {}
    for group in groups:
        try:
            accepted[group] = bars(group)
        except parvex.ParseError as e:
            assert (e.kind, e.offset) == ("invalid_base64", len(group)), group
    assert accepted == encodings


def test_random_octets_with_whitespace_anywhere():
    rng = random.Random(9804)
    for _ in range(300):
        x = rng.randbytes(rng.randrange(0, 120))
        text = base64.b64encode(x)
        if rng.random() < 0.5:
            text = text.rstrip(b"=")
        chars = list(text)
        for _ in range(rng.randrange(0, 8)):
            chars.insert(rng.randrange(0, len(chars) + 1), rng.choice(WHITESPACE))
        spaced = bytes(chars)
        assert parvex.parse(b"|" + spaced + b"|") == x, spaced
        assert parvex.parse(b"%d|" % len(x) + spaced + b"|") == x, spaced
        block = base64.b64encode(b"%d:" % len(x) + x)
        cut = rng.randrange(0, len(block) + 1)
        assert parvex.parse(b"{" + block[:cut] + b"\n" + block[cut:] + b"}") == x


@pytest.mark.parametrize("opts", [{}, {"allow_advanced": False}])
def test_whitespace_inside_a_block_belongs_to_the_base64_text(opts):
    assert parvex.Parser(**opts).parse(b"{ KDI6\r\nYWIp\t}") == [b"ab"]
