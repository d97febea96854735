"""Every entry point of the extension, on valid input and down every failure
path (parse errors, conversion errors, argument-binding errors, notes),
called thousands of times, leaves the reference counts of its inputs and of
the types, the Python memory that tracemalloc traces, and the native heap
exactly where they were.

The native heap is read from the sanitizer's allocator where the suite runs
under AddressSanitizer, else from glibc's main arena: it is what catches
C++ storage that is never freed, which tracemalloc does not see.
"""

import ctypes
import gc
import sys
import tracemalloc

import parvex
import pytest
from parvex import Atom, Decoder, ParseError, Parser, StreamReader
from support import U64, Index, nested, transport

ITERATIONS = 4000
WARM_UP = 200
# Growth allowed over all iterations: a leak of one small object a call
# would exceed either by two orders of magnitude.
TRACED_SLACK = 4096
NATIVE_SLACK = 16384


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def _native_heap_reader():
    process = ctypes.CDLL(None)
    try:
        allocated = process.__sanitizer_get_current_allocated_bytes
    except AttributeError:
        pass
    else:
        allocated.restype = ctypes.c_size_t
        return allocated
    try:
        mallinfo2 = process.mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = Mallinfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd
    return in_use


native_heap = _native_heap_reader()


# --- hostile and unusual arguments -------------------------------------------

class Seq:
    """Octets from Python code, one item at a time."""
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i < 3:
            return 0x61 + i
        raise IndexError(i)


class Endless:
    """Says two items, yields them forever."""
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return 0x61


class BadIndex:
    def __index__(self):
        raise ValueError("no index")


class BadIter:
    def __len__(self):
        return 1

    def __iter__(self):
        raise RuntimeError("no iteration")


def cycle(*items):
    value = list(items)
    value.append(value)
    return value


VALID = b'(4:text[1:t]2:hi #616263# |YWJj| "q\\n" 3"abc" tok ((a) b))'
PARSER = Parser(max_depth=8, max_atom_len=64, allow_empty_lists=False)
PLAIN = [b"a", "\u00e9", Atom(b"x", hint=b"h"), (b"t", []), bytearray(b"ba")]
LAID_OUT = [b"a", range(3), Seq(), memoryview(b"mv"), [Atom(b"y", hint=b"")]]
ATOM = Atom(b"data", hint=b"hint")
NOT_UTF8 = "x\ud800"

# The objects and types whose reference counts must not move.
WATCHED = [VALID, PARSER, PLAIN, LAID_OUT, ATOM, Atom, Parser, ParseError, Seq, Endless,
           BadIndex, BadIter]


def succeeds(fn, *args, **kwargs):
    def call():
        fn(*args, **kwargs)
    return call


def fails(exc, note, fn, *args, **kwargs):
    """A call that raises `exc` (exactly), with `note` attached or none."""
    def call():
        try:
            fn(*args, **kwargs)
        except exc as e:
            return e
        raise AssertionError(f"no {exc.__name__}")

    def checked():
        e = call()
        assert type(e) is exc, repr(e)
        notes = getattr(e, "__notes__", None)
        want = note if note is None or note.startswith("at sexp") else f"while processing '{note}'"
        assert (notes[:1] if notes else None) == (want and [want])
    checked()  # the path under test is the one named
    return call


def parse_error(kind, fn, *args):
    def call():
        try:
            fn(*args)
        except ParseError as e:
            return e.kind, e.offset
        raise AssertionError("no ParseError")
    assert call()[0] == kind
    return call


READERS = {
    "parse": parvex.parse,
    "parse_canonical": parvex.parse_canonical,
    "Parser.parse": PARSER.parse,
    "Parser.parse_prefix": PARSER.parse_prefix,
    "Parser._canonical": PARSER._canonical,
}
WRITERS = {
    "to_canonical": parvex.to_canonical,
    "to_transport": parvex.to_transport,
    "to_advanced": parvex.to_advanced,
}


def reader_cases(name, read):
    canonical = name == "parse_canonical"
    yield "valid", succeeds(read, b"(1:a[1:t]1:b(0:))" if canonical else VALID)
    if not canonical:
        yield "valid transport", succeeds(read, transport(b"(1:a[1:t]1:b(1:c))"))
    yield "valid str", succeeds(read, "(2:\u00e9)")
    yield "valid sequence", succeeds(read, [ord(c) for c in "(1:a)"])
    yield "valid bytearray", succeeds(read, bytearray(b"(1:a)"))
    yield "valid Atom", succeeds(read, Atom(b"(1:a)", hint=b"h"))
    yield "parse error", parse_error("unexpected_octet", read, b"(1:a]")
    yield "parse error in transport", parse_error(
        "transport_not_allowed" if canonical else "unexpected_octet", read, transport(b"(1:a 1:b)"))
    yield "too deep", parse_error("too_deep", read, b"(" * 1100)
    yield "unexpected end", parse_error("unexpected_end", read, b"(1:a" * 5)
    yield "bad type", fails(TypeError, "data", read, 5)
    yield "not UTF-8", fails(UnicodeEncodeError, "data", read, NOT_UTF8)
    yield "endless sequence", fails(TypeError, "data", read, Endless())
    yield "item without index", fails(TypeError, "data", read, [40, BadIndex(), 41])
    yield "failing iteration", fails(TypeError, "data", read, BadIter())
    yield "no argument", fails(TypeError, None, read)
    yield "two arguments", fails(TypeError, None, read, b"a", b"b")
    yield "unknown keyword", fails(TypeError, None, read, b"a", x=1)
    yield "doubled keyword", fails(TypeError, None, read, b"a", data=b"a")


def writer_cases(write):
    yield "plain", succeeds(write, PLAIN)
    yield "laid out", succeeds(write, LAID_OUT)
    yield "atom", succeeds(write, ATOM)
    yield "deepest allowed", succeeds(write, nested(1024))
    yield "bad item", fails(TypeError, "at sexp[1][0]", write, [b"a", [None]])
    yield "bad item laid out", fails(TypeError, "at sexp[1][0]", write, [range(2), [None]])
    yield "endless item", fails(TypeError, "at sexp[1]", write, [b"a", Endless()])
    yield "not UTF-8", fails(UnicodeEncodeError, "at sexp[1]", write, [b"a", NOT_UTF8])
    yield "not UTF-8 laid out", fails(UnicodeEncodeError, "at sexp[1]", write, [range(2), NOT_UTF8])
    yield "too deep", fails(ValueError, None, write, nested(1025))
    yield "cycle", fails(ValueError, None, write, cycle(b"a"))
    yield "cycle laid out", fails(ValueError, None, write, cycle(range(2)))
    yield "no argument", fails(TypeError, None, write)
    yield "unknown keyword", fails(TypeError, None, write, b"a", x=1)


def atom_cases():
    other = Atom(b"data", hint=b"other")
    yield "new", succeeds(Atom, b"data", b"hint")
    yield "new from a sequence", succeeds(Atom, Seq(), hint=range(2))
    yield "new, bad data", fails(TypeError, "data", Atom, None)
    yield "new, bad hint", fails(TypeError, "hint", Atom, b"x", 5)
    yield "new, hint not UTF-8", fails(UnicodeEncodeError, "hint", Atom, b"x", NOT_UTF8)
    yield "new, endless data", fails(TypeError, "data", Atom, Endless())
    yield "new, three arguments", fails(TypeError, None, Atom, b"a", b"b", b"c")
    yield "new, unknown keyword", fails(TypeError, None, Atom, b"a", x=1)
    yield "properties", succeeds(lambda: (ATOM.data, ATOM.hint, len(ATOM), hash(ATOM), repr(ATOM)))
    yield "equality", succeeds(lambda: (ATOM == other, ATOM != b"data", ATOM == 5, ATOM == "data"))
    yield "ordering", fails(TypeError, None, lambda: ATOM < other)
    yield "effective_hint", succeeds(ATOM.effective_hint, default=b"d")
    yield "effective_hint, bad default", fails(TypeError, "default", ATOM.effective_hint, None)
    yield "effective_hint, no argument", fails(TypeError, None, ATOM.effective_hint)
    yield "eq_ignoring_hint", succeeds(ATOM.eq_ignoring_hint, other)
    yield "eq_ignoring_hint, bad other", fails(TypeError, None, ATOM.eq_ignoring_hint, {})


def parser_cases():
    yield "new", succeeds(Parser, canonical=True, max_depth=Index(3), max_atom_len=None,
                          max_input_len=U64, allow_base64=False)
    yield "new, not a bool", fails(TypeError, "allow_lengths", Parser, allow_lengths=1)
    yield "new, None for a bool", fails(TypeError, "canonical", Parser, canonical=None)
    yield "new, negative size", fails(OverflowError, "max_depth", Parser, max_depth=-1)
    yield "new, size too large", fails(OverflowError, "max_input_len", Parser, max_input_len=2**64)
    yield "new, size not an integer", fails(TypeError, "max_atom_len", Parser, max_atom_len="x")
    yield "new, failing __index__", fails(ValueError, "max_depth", Parser, max_depth=BadIndex())
    yield "new, positional", fails(TypeError, None, Parser, True)
    yield "new, unknown keyword", fails(TypeError, None, Parser, depth=3)
    yield "repr", succeeds(repr, PARSER)


def decoder_cases():
    def in_two_pieces(data, close=True):
        """A new decoder, given the first half of `data` and then the rest;
        dropped with what it built so far where `close` is false."""
        def call():
            decoder = Decoder()
            decoder.feed(data[:len(data) // 2])
            assert list(decoder) == []
            decoder.feed(data[len(data) // 2:])
            if close:
                decoder.close()
            return list(decoder)
        return call

    def from_stream(*reads):
        def call():
            it = iter(reads)
            return list(StreamReader(lambda n: next(it), lambda: True, 10))
        return call

    yield "in two pieces", succeeds(in_two_pieces(VALID))
    yield "dropped half read", succeeds(in_two_pieces(VALID[:-1], close=False))
    yield "parse error after a wait", parse_error("unexpected_octet", in_two_pieces(b"(a (b c) ]"))
    yield "cut short at the end", parse_error("unexpected_end", in_two_pieces(b"(a (b c"))
    yield "bad data", fails(TypeError, None, Decoder().feed, 5)
    yield "str data", fails(TypeError, None, Decoder().feed, "(a)")
    yield "from a stream", succeeds(from_stream(b"(a", "b)", b""))
    yield "a stream with nothing ready", fails(BlockingIOError, None, from_stream(b"(a", None))
    yield "a stream of ints", fails(TypeError, None, from_stream(3))
    yield "a stream that raises StopIteration", fails(RuntimeError, None, from_stream())
    yield "a stream, bad keyword", fails(TypeError, None, StreamReader, len, len, 1, depth=3)


def cases():
    for name, read in READERS.items():
        for what, call in reader_cases(name, read):
            yield f"{name}: {what}", call
    for name, write in WRITERS.items():
        for what, call in writer_cases(write):
            yield f"{name}: {what}", call
    for what, call in atom_cases():
        yield f"Atom: {what}", call
    for what, call in parser_cases():
        yield f"Parser: {what}", call
    for what, call in decoder_cases():
        yield f"Decoder: {what}", call


CASES = dict(cases())


@pytest.mark.parametrize("name", CASES)
def test_nothing_is_left_behind(name):
    call = CASES[name]
    for _ in range(WARM_UP):
        call()
    gc.collect()
    counts = [sys.getrefcount(o) for o in WATCHED]
    tracemalloc.start()
    try:
        for _ in range(WARM_UP):  # what tracing itself caches
            call()
        gc.collect()
        start = tracemalloc.take_snapshot()
        traced = tracemalloc.get_traced_memory()[0]
        heap = native_heap() if native_heap else 0
        for _ in range(ITERATIONS):
            call()
        gc.collect()
        heap = (native_heap() - heap) if native_heap else 0
        traced = tracemalloc.get_traced_memory()[0] - traced
        if traced > TRACED_SLACK:
            growth = tracemalloc.take_snapshot().compare_to(start, "lineno")[:5]
            pytest.fail(f"{traced} octets more traced after {ITERATIONS} calls:\n"
                        + "\n".join(map(str, growth)))
    finally:
        tracemalloc.stop()
    assert heap <= NATIVE_SLACK, f"the native heap grew by {heap} octets in {ITERATIONS} calls"
    assert [sys.getrefcount(o) for o in WATCHED] == counts


def test_every_entry_point_is_covered():
    covered = {name.split(":")[0] for name in CASES}
    assert covered == {*READERS, *WRITERS, "Atom", "Parser", "Decoder"}
    assert native_heap is not None, "no way to read the native heap here"
