"""Reading a stream of S-expressions in chunks with iter_parse."""

import io
import itertools
import os
import socket
import threading

import parvex
import pytest
from hypothesis import given, settings, strategies as st
from parvex import Atom, ParseError, iter_parse
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
    for n, value in enumerate(itertools.islice(reader, 20000), 1):  # noqa: B007 (the last is checked)
        assert source.given <= n * len(record) + 2 * 4096
    assert value == [b"field"] * 20


def test_an_s_expression_spanning_many_chunks():
    # Read on as each piece arrives: one read of the stream a piece, and
    # nothing asked for past the end.
    big = [[b"k%d" % i, b"v" * (i % 50)] for i in range(20000)]
    data = b"x " + parvex.to_advanced(big).encode() + b" y"
    source = Chunked(data, 1000)
    assert same(list(iter_parse(source, chunk_size=1000)), [b"x", big, b"y"])
    assert len(data) > 600 * 1000 and source.reads == -(-len(data) // 1000) + 1


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
    ("(a)", {}, TypeError),
    (b"(a)", {"chunk_size": 0}, ValueError),
    (b"(a)", {"canonical": 1}, TypeError),  # Parser's own checks apply
])
def test_refusals(source, options, exc):
    with pytest.raises(exc):
        list(iter_parse(source, **options))


# MARK: real sockets and pipes

def socket_ends():
    """A client's read and write files, a server's, and how the client
    ends what it sends."""
    a, b = socket.socketpair()
    return a.makefile("rb"), a.makefile("wb"), b.makefile("rb"), b.makefile("wb"), \
        lambda: a.shutdown(socket.SHUT_WR)


def pipe_ends():
    (down_r, down_w), (up_r, up_w) = os.pipe(), os.pipe()
    client_w = os.fdopen(down_w, "wb")
    return os.fdopen(up_r, "rb"), client_w, os.fdopen(down_r, "rb"), os.fdopen(up_w, "wb"), client_w.close


def pieces(message, growing):
    """Pieces of one octet each, or of 1, 2, 4, ... octets up to 64 KiB."""
    at, size = 0, 1
    while at < len(message):
        yield message[at:at + size]
        at, size = at + size, min(2 * size, 1 << 16) if growing else 1


BIG_LIST = [[b"%d" % i, b"v" * (i % 50)] for i in range(150000)]
# Requests in canonical form, and whether their pieces grow.
REQUESTS = [([], False), (b"", False), (b"a", False), ([b"a", [[b"b"], Atom(b"", hint=b"t")], [b"c" * 300]], False),
            (b"\x00\xff" * 32768, True), (bytes(range(256)) * 40000, True), (BIG_LIST * 5, True)]


@pytest.mark.parametrize("ends", [socket_ends, pipe_ends])
def test_request_response_without_separators(ends):
    # Each reply goes out once its request has been read, and the next
    # request once the reply is in: a reader that waited for more than the
    # request would hang the exchange.
    client_r, client_w, server_r, server_w, finish = ends()
    got, errors = [], []

    def serve():
        for value in iter_parse(server_r, canonical=True):
            got.append(value)
            server_w.write(parvex.to_canonical(b"%d" % len(parvex.to_canonical(value))))
            server_w.flush()

    def ask():
        replies = iter_parse(client_r, canonical=True)
        for value, growing in REQUESTS:
            message = parvex.to_canonical(value)
            for piece in pieces(message, growing):
                client_w.write(piece)
                client_w.flush()
            assert next(replies) == b"%d" % len(message)
        finish()

    def guarded(work):
        try:
            work()
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(w,), daemon=True) for w in (serve, ask)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "the exchange hung"
    assert not errors, errors
    assert same(got, [value for value, _ in REQUESTS])


@pytest.mark.parametrize("data, options", [
    (b"(1:a)", {"canonical": True}),       # a closing parenthesis
    (b"(" + b"x " * 40000 + b")\n", {}),   # far longer than a chunk
    (b'"text"', {}), (b"#61#", {}), (b"|YQ==|", {}), (b"{MTph}", {}), (b"3:abc", {}),
    (b"[t]7:payload", {}), (b"token ", {}),
], ids=lambda x: repr(x)[:20])
def test_yielded_once_its_last_octet_has_arrived(data, options):
    a, b = socket.socketpair()
    with a, b, b.makefile("rb") as stream:
        b.settimeout(30)  # a reader that waits for more fails here
        a.sendall(data)
        reader = iter_parse(stream, **options)
        assert next(reader) == parvex.Parser(**options).parse_prefix(data)[0]
        if data == b"token ":  # a token at the very end waits: it may go on
            a.sendall(b"tok")
            a.sendall(b"en ")
            assert next(reader) == b"token"


def test_a_non_blocking_stream_is_not_taken_for_its_end():
    a, b = socket.socketpair()
    with a, b, b.makefile("rb") as stream:
        b.setblocking(False)
        a.sendall(b"(a) (b")
        reader = iter_parse(stream)
        assert next(reader) == [b"a"]
        with pytest.raises(BlockingIOError):
            next(reader)  # "(b" and nothing more yet: not an unexpected end
        a.sendall(b")")
        assert next(reader) == [b"b"]
        a.close()
        assert list(reader) == []
