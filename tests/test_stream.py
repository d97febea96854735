"""Reading a stream of S-expressions in chunks with iter_parse."""

import io
import itertools

import pytest
from hypothesis import given, settings, strategies as st

import parvex
from parvex import Atom, ParseError, StreamReader, iter_parse
from support import same, values


class Chunked:
    """A binary stream that hands out at most `size` octets a read, and counts
    what it handed out; `data` may be an iterator of chunks without end."""

    def __init__(self, data, size):
        self.chunks = iter([data]) if isinstance(data, bytes) else data
        self.size = size
        self.pending = b""
        self.given = 0
        self.reads = 0

    def read(self, n):
        self.reads += 1
        while not self.pending:
            self.pending = next(self.chunks, None)
            if self.pending is None:
                self.pending = b""
                return b""
        out, self.pending = self.pending[:min(n, self.size)], self.pending[min(n, self.size):]
        self.given += len(out)
        return out


def read_all(data, size, **options):
    return list(iter_parse(Chunked(data, size), chunk_size=size, **options))


def every_size(data):
    return range(1, len(data) + 2)


STREAMS = [
    # data, options, values
    (b"", {}, []),
    (b" \t\r\n\x0b\x0c", {}, []),
    (b"abc def", {}, [b"abc", b"def"]),
    (b"abc", {}, [b"abc"]),
    (b"  abc  ", {}, [b"abc"]),
    (b"(a)(b)c", {}, [[b"a"], [b"b"], b"c"]),
    (b"a(b)", {}, [b"a", [b"b"]]),
    (b'"x"y', {}, [b"x", b"y"]),
    (b"3:abcdef", {}, [b"abc", b"def"]),
    (b"[t]abc [u]d", {}, [Atom(b"abc", hint=b"t"), Atom(b"d", hint=b"u")]),
    (b'[""]ab', {}, [Atom(b"ab", hint=b"")]),
    (b"#616263# |YWJj| {MzphYmM=}", {}, [b"abc", b"abc", b"abc"]),
    (b"{KDI6YWIp}{KDI6YWIp}", {}, [[b"ab"], [b"ab"]]),
    (b'(a "b\\\r\nc" #61 62#)', {}, [[b"a", b"bc", b"ab"]]),
    (b"(1:a)(2:bc)[1:t]0:", {"canonical": True},
     [[b"a"], [b"bc"], Atom(b"", hint=b"t")]),
    (b"(1:a){KDE6Yik=}", {"allow_advanced": False}, [[b"a"], [b"b"]]),
    (b"abc de", {"max_input_len": 3}, [b"abc", b"de"]),
    (b"(a)(bc)\n", {"max_input_len": 4}, [[b"a"], [b"bc"]]),
    (b"  abc", {"max_input_len": 3}, [b"abc"]),
]


@pytest.mark.parametrize("data, options, want", STREAMS)
def test_every_chunk_size_reads_the_same(data, options, want):
    for size in every_size(data):
        got = read_all(data, size, **options)
        assert same(got, want), (size, got)
    assert same(list(iter_parse(data, **options)), want)
    assert same(list(iter_parse(io.BytesIO(data), **options)), want)


ERRORS = [
    # data, options, kind, offset from the start of the stream
    (b"(a) (b) )", {}, "unmatched_parenthesis", 8),
    (b"(a) (b", {}, "unexpected_end", 6),
    (b"abc \"de", {}, "unexpected_end", 7),
    (b"(a)\n(b ]", {}, "unexpected_octet", 7),
    (b"x {KDE6YSAxOmIp}", {}, "unexpected_octet", 2),  # inner error at the brace
    (b"(a) 3:ab", {}, "unexpected_end", 8),
    (b"ab 2\"abc\"", {}, "length_mismatch", 3),
    (b"(1:a) (1:b)", {"canonical": True}, "unexpected_octet", 5),
    (b"(1:a)\n", {"canonical": True}, "unexpected_octet", 5),
    (b" ", {"canonical": True}, "unexpected_octet", 0),
    (b"(1:a)a", {"canonical": True}, "advanced_not_allowed", 5),
    (b"a ((b))", {"max_depth": 1}, "too_deep", 3),
    (b"ab abcd", {"max_atom_len": 3}, "atom_too_long", 3),
    (b"ab abcd", {"max_input_len": 3}, "input_too_long", 6),
    (b"ab (abc)", {"max_input_len": 4}, "input_too_long", 7),
    (b"ab abc", {"max_input_len": 2}, "input_too_long", 5),
    (b"(a)  [t]x ()", {"allow_empty_lists": False}, "empty_list_not_allowed", 10),
]


@pytest.mark.parametrize("data, options, kind, offset", ERRORS)
def test_errors_carry_the_offset_in_the_stream(data, options, kind, offset, parse_error):
    for size in every_size(data):
        parse_error(lambda d: read_all(d, size, **options), data, kind, offset)


@given(st.lists(values, max_size=6), st.integers(1, 40),
       st.sampled_from(["advanced", "transport", "canonical"]),
       st.lists(st.sampled_from([b" ", b"\n", b"\t", b"\r\n", b""]), min_size=7, max_size=7))
@settings(max_examples=200, deadline=None)
def test_generated_streams(items, size, form, gaps):
    write = {"advanced": lambda v: parvex.to_advanced(v).encode(),
             "transport": lambda v: parvex.to_transport(v).encode(),
             "canonical": parvex.to_canonical}[form]
    texts = [write(v) for v in items]
    if form == "canonical":
        data = b"".join(texts)
        got = read_all(data, size, canonical=True)
    else:
        # Adjacent advanced texts can run together (two tokens): keep a gap.
        data = b"".join(t + (g or b" ") for t, g in zip(texts, gaps)) + gaps[-1]
        got = read_all(data, size)
    assert same(got, items)


def test_offset_counts_what_was_read():
    reader = iter_parse(b" (a)  bc \n")
    assert reader.offset == 0
    assert next(reader) == [b"a"] and reader.offset == 4
    assert next(reader) == b"bc" and reader.offset == 8
    assert list(reader) == [] and reader.offset == 10


def test_limit_bounds_what_is_buffered():
    # An S-expression that never ends: the reader gives up one octet past
    # the limit instead of reading on.
    endless = Chunked(itertools.chain([b"(a"], itertools.repeat(b" a")), 7)
    with pytest.raises(ParseError) as info:
        next(iter_parse(endless, chunk_size=7, max_input_len=100))
    assert (info.value.kind, info.value.offset) == ("input_too_long", 100)
    assert endless.given == 101


def test_an_error_inside_a_transport_block_is_final():
    # The content of {KDE6YQ==} is "(1:a", cut short; that failure is
    # reported at the brace and needs no more of the stream.
    source = Chunked(b"{KDE6YQ==}" + b" (a)" * 100000, 64)
    with pytest.raises(ParseError) as info:
        next(iter_parse(source, chunk_size=64))
    assert (info.value.kind, info.value.offset) == ("unexpected_end", 0)
    assert source.given <= 64


def test_reading_stays_a_chunk_ahead():
    # Without a limit, the stream is read about one chunk beyond what the
    # S-expressions taken so far occupy, however many there are.
    record = b"(" + b" ".join([b"field"] * 20) + b")\n"
    source = Chunked(itertools.repeat(record), 1 << 20)
    reader = iter_parse(source, chunk_size=4096)
    for n, value in enumerate(itertools.islice(reader, 20000), 1):
        assert source.given <= n * len(record) + 2 * 4096
    assert value == [b"field"] * 20


def test_an_s_expression_spanning_many_chunks():
    class Counting:
        def __init__(self):
            self.parser, self.calls = parvex.Parser(), 0

        def _read_next(self, data, base):
            self.calls += 1
            return self.parser._read_next(data, base)

    big = [[b"k%d" % i, b"v" * (i % 50)] for i in range(20000)]
    data = b"x " + parvex.to_advanced(big).encode() + b" y"
    spy = Counting()
    reader = StreamReader(Chunked(data, 1000), 1000, spy, True, None, None)
    assert same(list(reader), [b"x", big, b"y"])
    # Every attempt starts the list again, so each one waits for as much
    # data again as the last had: a logarithmic number of attempts (about
    # 10 for these 680 chunks), not one a chunk.
    assert len(data) > 600 * 1000 and spy.calls <= 20


def test_pipe_like_stream_yields_before_it_ends():
    # read1 returns what has arrived: a complete S-expression is yielded
    # without waiting for the rest of a chunk.
    class Pipe:
        def __init__(self):
            self.parts = [b"(a b)\n", b"(c)\n"]

        def read1(self, n):
            return self.parts.pop(0) if self.parts else b""

        def read(self, n):
            raise AssertionError("read1 is preferred")

    reader = iter_parse(Pipe())
    assert next(reader) == [b"a", b"b"]
    assert next(reader) == [b"c"]


@pytest.mark.parametrize("source, options, exc", [
    (io.StringIO("(a)"), {}, TypeError),  # text, not octets
    ("(a)", {}, TypeError),
    (b"(a)", {"chunk_size": 0}, ValueError),
    (b"(a)", {"canonical": 1}, TypeError),  # Parser's own checks apply
])
def test_refusals(source, options, exc):
    with pytest.raises(exc):
        list(iter_parse(source, **options))
