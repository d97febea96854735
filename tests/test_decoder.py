"""The sans-IO Decoder, and the streams read through it: the same values
and errors whatever the pieces, limits that bite as octets arrive, and
nothing lost or made up when Python code interrupts a read."""

import inspect
import io
import pathlib
import signal
import socket
import sys

import parvex
import pytest
from hypothesis import given, settings, strategies as st
from parvex import Decoder, ParseError, Parser, iter_parse
from support import same, values


def outcome(call):
    """What `call()` gives: its values, then ("error", kind, offset) if it
    raised ParseError."""
    out = []
    try:
        for value in call():
            out.append(value)
    except ParseError as e:
        out.append(("error", e.kind, e.offset))
    return out


def decoded(data, pieces, **options):
    """`data` fed to a Decoder cut at `pieces` (offsets), iterated after each
    piece, then closed."""
    def run():
        d = Decoder(**options)
        at = 0
        for cut in [*sorted(pieces), len(data)]:
            d.feed(data[at:cut])
            at = cut
            yield from d
        d.close()
        yield from d
    return outcome(run)


def prefixes(data, **options):
    """The same input read as a stream by hand, one parse_prefix at a time."""
    def run():
        p, at = Parser(**options), 0
        skip = options.get("allow_advanced", True) and not options.get("canonical", False)
        while True:
            while skip and at < len(data) and data[at] in b" \t\n\r\x0b\x0c":
                at += 1
            if at == len(data):
                return
            try:
                value, n = p.parse_prefix(data[at:])
            except ParseError as e:
                raise Parser._parse_error(e.kind, e.offset + at) from None
            yield value
            at += n
    return outcome(run)


FORMS = [parvex.to_canonical, parvex.to_transport, parvex.to_advanced,
         lambda v: parvex.to_indented(v, width=12)]
GARBAGE = st.lists(st.sampled_from(b'()[]{}|#"\\:0123 abc=+/\x00\xff'), max_size=40).map(bytes)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(values, st.sampled_from(FORMS)), max_size=4), GARBAGE, st.data())
def test_any_pieces_read_as_a_whole_stream_does(items, tail, data):
    stream = b" ".join(form(v).encode() if isinstance(form(v), str) else form(v) for v, form in items) + tail
    cuts = data.draw(st.lists(st.integers(0, len(stream)), max_size=8))
    want = prefixes(stream)
    assert same(decoded(stream, cuts), want)
    assert same(decoded(stream, range(len(stream))), want)  # an octet at a time


@settings(max_examples=200, deadline=None)
@given(st.lists(values, max_size=4), GARBAGE, st.data())
def test_canonical_pieces_read_as_a_whole_stream_does(items, tail, data):
    # The canonical reader is a loop of its own, streamed or not.
    stream = b"".join(parvex.to_canonical(v) for v in items) + tail
    cuts = data.draw(st.lists(st.integers(0, len(stream)), max_size=8))
    assert same(decoded(stream, cuts, canonical=True), prefixes(stream, canonical=True))


# An open list's count, and whether its first element is a list, wait with
# it for the octets that close it.
@pytest.mark.parametrize("data, options, last", [
    (b"(a ((b) c))", {"allow_list_as_first_element": False}, ("error", "list_as_first_element_not_allowed", 3)),
    (b"(((a)) b)", {"allow_list_as_first_element": False}, ("error", "list_as_first_element_not_allowed", 1)),
    (b"(a (b (c)) d)", {"allow_list_as_first_element": False}, [b"a", [b"b", [b"c"]], b"d"]),
    (b"(a (b) ( ))", {"allow_empty_lists": False}, ("error", "empty_list_not_allowed", 7)),
    (b"((a) (b) c)", {}, [[b"a"], [b"b"], b"c"]),
])
def test_open_lists_wait_for_more_as_they_were(data, options, last):
    got = decoded(data, range(len(data)), **options)  # an octet at a time
    assert same(got, prefixes(data, **options))
    assert same(got[-1], last)


@settings(max_examples=200, deadline=None)
@given(GARBAGE, st.data(), st.integers(0, 6))
def test_early_limits_do_not_depend_on_the_pieces(text, data, limit):
    # A string refused for its length as it arrives is refused at the same
    # offset however the octets came.
    text = data.draw(st.sampled_from([b'"', b"#", b"|", b"", b"9:", b"[", b"(a "])) + text
    cuts = data.draw(st.lists(st.integers(0, len(text)), max_size=6))
    whole = decoded(text, [], max_atom_len=limit)
    assert same(decoded(text, cuts, max_atom_len=limit), whole)
    assert same(decoded(text, range(len(text)), max_atom_len=limit), whole)


class Endless:
    """A peer that sends `head` and then filler, up to 4 MiB in all, and
    counts it."""

    def __init__(self, head, filler):
        self.head, self.filler, self.sent = head, filler, 0

    def read(self, n):
        n = min(n, (4 << 20) - self.sent)
        out = (self.head + self.filler * (n // len(self.filler) + 1))[:n]
        self.head = self.head[n:]
        self.sent += len(out)
        return out


@pytest.mark.parametrize("head, filler, offset", [
    (b"999999999:", b"x", 0),
    (b'(a "', b"y", 3),
    (b'(a "', b"\\n", 3),      # escapes that decode to an octet each
    (b"(#", b"41 ", 1),
    (b"(|", b"QUJD", 1),
    (b"(", b"t", 1),           # a token
    (b"([", b"h", 2),          # a token as a hint
    (b'(5"', b"z", 1),         # a declared length within the limit, and more
])
def test_a_string_is_refused_as_its_octets_arrive(head, filler, offset):
    peer = Endless(head, filler)
    with pytest.raises(ParseError) as info:
        next(iter_parse(peer, max_atom_len=5, chunk_size=4096))
    assert (info.value.kind, info.value.offset) == ("atom_too_long", offset)
    assert peer.sent <= 3 * 4096  # not all a peer could send


def test_a_whole_input_keeps_its_order_of_checks(parse_error):
    # Its octets are all there: a length beyond the input is cut short
    # before it is too long, as the documentation says.
    parse_error(Parser(max_atom_len=5).parse, b"999999999:abc", "unexpected_end", 13)
    parse_error(Parser(max_atom_len=5).parse, b'5"abcdef"', "length_mismatch", 0)


class Profiled:
    """Raises KeyboardInterrupt, through the profiler, as every `nth` call of
    a C function of the stream returns: after the stream has given up its
    octets and before the caller has them, where a signal handler's
    exception could land too."""

    def __init__(self, target, nth):
        self.target, self.nth, self.calls = target, nth, 0

    def __call__(self, frame, event, arg):
        if event == "c_return" and getattr(arg, "__self__", None) is self.target:
            self.calls += 1
            if self.calls % self.nth == 0:
                raise KeyboardInterrupt


def read_through_interruptions(reader, catch=KeyboardInterrupt):
    got = []
    while True:
        try:
            for value in reader:  # READING
                got.append(value)  # READING
            return got
        except catch:
            continue


# The lines of the loop above where an exception is caught.
READING = {read_through_interruptions.__code__.co_firstlineno + i
           for i, line in enumerate(inspect.getsource(read_through_interruptions).splitlines())
           if line.endswith("# READING")}


def test_an_exception_between_read_and_append_loses_nothing():
    stream = io.BytesIO(b"a " * 100_000)
    reader = iter_parse(stream, chunk_size=97)
    sys.setprofile(Profiled(stream, 5))
    try:
        got = read_through_interruptions(reader)
    finally:
        sys.setprofile(None)
    assert got == [b"a"] * 100_000


class Interrupted(Exception):
    pass


PACKAGE = str(pathlib.Path(parvex.__file__).parent)


@pytest.mark.parametrize("act", ["raise", "next"])
def test_signal_handlers_during_a_stream(act):
    # Real signals, every half millisecond: a handler that raises, or one
    # that reads the same iterator. Every message comes exactly once,
    # whoever took it; a call made while another is under way raises
    # ValueError at once and takes nothing.
    messages = [[b"msg", b"%05d" % i] for i in range(20_000)]
    reader = iter_parse(io.BytesIO(b"".join(map(parvex.to_canonical, messages))), chunk_size=64)
    got, refused, reading = [], [], [True]

    def handler(signum, frame):
        # Only where the loop reads (a read in the C code is taken on the
        # loop's line), or in parvex's own code: elsewhere, in the loop's
        # `except` or in a finaliser the collector ran, what the handler
        # raised would escape, or be reported as unraisable.
        in_loop = frame.f_code is read_through_interruptions.__code__ and frame.f_lineno in READING
        if not reading or not (in_loop or frame.f_code.co_filename.startswith(PACKAGE)):
            return
        if act == "raise":
            raise Interrupted
        try:
            got.append(next(reader))
        except ValueError:
            refused.append(1)
        except StopIteration:
            pass

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
    try:
        got.extend(read_through_interruptions(reader, Interrupted))
        reading.clear()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    # Taken by the loop or the handler, each once; the loop's own in order.
    assert sorted(got) == messages
    assert act == "next" or got == messages


def test_a_call_while_another_is_under_way_raises_at_once():
    reads = []

    def read(n):
        with pytest.raises(ValueError, match="already executing"):
            next(reader)
        reads.append(n)
        return b"(a)" if len(reads) == 1 else b""

    reader = parvex.StreamReader(read, lambda: True, 10)
    assert list(reader) == [[b"a"]] and len(reads) == 2


def test_the_decoder_after_the_end_and_after_an_error(parse_error):
    d = Decoder()
    d.feed(b"(a) b")
    assert list(d) == [[b"a"]] and (d.offset, d.buffered) == (4, 1)
    d.close()
    assert list(d) == [b"b"] and d.offset == 5
    with pytest.raises(ValueError, match="after close"):
        d.feed(b"c")
    d = Decoder()
    d.feed(b"(a) (b")
    parse_error(lambda _: d.close(), None, "unexpected_end", 6)
    d = Decoder()
    d.feed(b"(a) ) (b)")
    assert next(d) == [b"a"]
    for call in (lambda _: next(d), lambda _: d.feed(b"(c)"), lambda _: d.close()):
        parse_error(call, None, "unmatched_parenthesis", 4)  # every later call
    assert d.buffered == 0  # nothing more is read: what was handed in goes


def test_values_before_the_end_that_cuts_one_short_are_still_given():
    d = Decoder()
    d.feed(b"(a) (b")
    with pytest.raises(ParseError):
        d.close()
    assert next(d) == [b"a"]
    with pytest.raises(ParseError, match="offset 6"):
        next(d)


def test_sockets_text_streams_and_recv_into():
    a, b = socket.socketpair()
    with a, b:
        a.sendall(b"(1:a)(1:b)")
        a.shutdown(socket.SHUT_WR)
        assert list(iter_parse(b)) == [[b"a"], [b"b"]]
    assert list(iter_parse(io.StringIO('(text "x y") |YQ==|'))) == [[b"text", b"x y"], b"a"]

    class RecvInto:
        def __init__(self, data):
            self.data = io.BytesIO(data)

        def recv_into(self, buf):
            return self.data.readinto(buf)

    assert list(iter_parse(RecvInto(b"(a) (b)"))) == [[b"a"], [b"b"]]


@pytest.mark.parametrize("read", [
    lambda f: parvex.load(f),
    lambda f: next(iter_parse(f)),
])
def test_a_non_blocking_socket_with_nothing_ready_raises(read):
    a, b = socket.socketpair()
    with a, b, b.makefile("rb") as stream:
        b.setblocking(False)
        a.sendall(b"(a b")
        with pytest.raises(BlockingIOError):
            read(stream)


@pytest.mark.parametrize("data, note", [
    (b"(size 1024)", 'a token cannot start with a digit: 1024 is written as a quoted string ("1024") '
                     "or with its length (4:1024)"),
    (b"(x 12ab)", 'a token cannot start with a digit: 12ab is written as a quoted string ("12ab") '
                  "or with its length (4:12ab)"),
    ("(café)".encode(), "octet 0xc3 (above 0x7F, as in UTF-8 text) cannot stand in a token or a quoted "
                        "string: an atom that holds it is written verbatim (n:...), in hexadecimal (#...#) "
                        "or in base 64 (|...|), as to_advanced writes it"),
    (b'("a\x01")', "octet 0x01 is not printable: in a quoted string it is written as an escape (\\x01)"),
    (b"(a b))", None),
])
@pytest.mark.parametrize("read", [parvex.parse, lambda data: list(iter_parse(b"(x) " + data))])
def test_errors_say_what_to_write_instead(read, data, note):
    with pytest.raises(ParseError) as info:
        read(data)
    assert getattr(info.value, "__notes__", None) == (note and [note])
