"""Reading the S-expressions of a binary stream one after another.

`Parser.parse_prefix` reads one S-expression from the front of the octets it
is given and says how many it used. Applied to a stream read in chunks, it
needs two precautions, both here:

* A token runs until an octet that cannot continue it, or until the end of
  the data: `parse_prefix(b"ab")` returns the atom `ab` even if the next chunk
  starts with `c`. So an S-expression that ends exactly where the buffered
  data ends is taken only once more data, or the end of the stream, confirms
  that it ends there.
* An S-expression cut by the end of the buffer fails with `unexpected_end`
  at the buffer's end; that failure means "read more", not a fault, unless
  the stream has ended.

Each attempt reads from the start of the S-expression again, so the data
asked for doubles while one S-expression stays incomplete: the work stays
linear in its size.
"""

from __future__ import annotations

import operator
import re
from collections.abc import Iterator
from io import BytesIO
from typing import Protocol, Union, Unpack

from ._parvex import ParseError, Parser
from ._types import ParserOptions, Value

__all__ = ["StreamReader", "iter_parse"]

# A run of the octets that RFC 9804 readers skip between elements (§6.4);
# matched in place, since stripping would copy the whole buffer each time.
_WHITESPACE = re.compile(rb"[\t\n\x0b\x0c\r ]*")

# The first attempt at an S-expression gives the parser at most this many
# octets (or twice the size of the previous S-expression, if larger): each
# call copies what it is given, so handing it a whole 64 KiB chunk for every
# short S-expression would cost more than the reading.
_FIRST_WINDOW = 4096

DEFAULT_CHUNK_SIZE = 65536


class BinaryReadable(Protocol):
    """Anything with a `read(size)` that returns `bytes`: a file opened in
    binary mode, `sys.stdin.buffer`, a socket's `makefile("rb")`, `BytesIO`."""

    def read(self, size: int, /) -> bytes: ...


Source = Union[BinaryReadable, bytes, bytearray, memoryview]


class StreamReader(Iterator[Value]):
    """An iterator over the S-expressions of a binary stream; see `iter_parse`.

    `offset` is the number of octets of the stream that the S-expressions
    read so far, and the whitespace around them, occupy.
    """

    def __init__(self, source: Source, chunk_size: int, parser: Parser,
                 skip_whitespace: bool, limit: int | None,
                 unlimited: Parser | None) -> None:
        if isinstance(source, (bytes, bytearray, memoryview)):
            source = BytesIO(source)
        elif not callable(getattr(source, "read", None)):
            raise TypeError(
                "iter_parse() needs a binary stream or bytes, "
                f"not {type(source).__name__}")
        read1 = getattr(source, "read1", None)
        self._read = read1 if callable(read1) else source.read
        self._chunk = chunk_size
        self._parser = parser
        self._skip = skip_whitespace
        self._limit = limit
        self._unlimited = unlimited
        self._buf = bytearray()
        self._eof = False
        self._window = _FIRST_WINDOW
        self.offset = 0

    def __iter__(self) -> StreamReader:
        return self

    def _fill(self) -> None:
        """Reads more of the stream: at least one chunk, and as much as is
        buffered already once that is a chunk or more, so that an
        S-expression that stays incomplete is parsed a logarithmic number of
        times. Below a chunk a single read is enough, which keeps a stream
        that delivers short S-expressions one at a time (a pipe) from
        waiting for data that has not been written yet."""
        have = len(self._buf)
        want = max(self._chunk, have)
        if self._limit is not None:
            # One octet past the limit is all it takes to know that an
            # S-expression does not end within it.
            want = min(want, self._limit + 1 - have)
        got = 0
        while got < want:
            data = self._read(want - got)
            if data is None:
                raise BlockingIOError("the stream has no data ready; "
                                      "iter_parse() needs a blocking stream")
            if not isinstance(data, (bytes, bytearray)):
                raise TypeError("iter_parse() needs a binary stream; its read() "
                                f"returned {type(data).__name__}")
            if not data:
                self._eof = True
                return
            self._buf += data
            got += len(data)
            if have < self._chunk:
                return

    def __next__(self) -> Value:
        buf = self._buf
        limit = self._limit
        while True:
            if self._skip:
                run = _WHITESPACE.match(buf)
                skipped = run.end() if run else 0
                if skipped:
                    del buf[:skipped]
                    self.offset += skipped
            if not buf:
                if self._eof:
                    raise StopIteration
                self._fill()
                continue
            cap = len(buf) if limit is None else min(len(buf), limit)
            size = min(cap, self._window)
            try:
                value, consumed, _ = self._parser._read_next(buf[:size], self.offset)
            except ParseError as e:
                if e.kind != "unexpected_end" or e.offset != self.offset + size:
                    raise
                if size < cap:
                    self._window = 2 * size
                elif limit is not None and size == limit and len(buf) > limit:
                    self._too_long(buf)
                elif self._eof:
                    raise
                else:
                    self._window = max(self._window, 2 * size)
                    self._fill()
                continue
            if consumed == size and (size < len(buf) or not self._eof):
                # It ends where its data ends: a token there may go on.
                if size < cap:
                    self._window = 2 * size
                    continue
                if size < len(buf):
                    # At the length limit, with the next octet in hand.
                    if not self._ends_at_limit(buf):
                        self._too_long(buf)
                else:
                    self._window = max(self._window, 2 * size)
                    self._fill()
                    continue
            del buf[:consumed]
            self.offset += consumed
            self._window = max(_FIRST_WINDOW, 2 * consumed)
            return value

    def _too_long(self, buf: bytearray) -> None:
        """Raises input_too_long for the S-expression that starts the
        buffer, which goes on past the limit."""
        assert self._limit is not None
        raise Parser._parse_error("input_too_long", self.offset + self._limit)

    def _ends_at_limit(self, buf: bytearray) -> bool:
        """Whether the S-expression that fills the first `limit` octets ends
        there, judged with the octet after it, which a parser bound by the
        limit may not look at."""
        assert self._unlimited is not None and self._limit is not None
        try:
            _, consumed = self._unlimited.parse_prefix(buf[:self._limit + 1])
        except ParseError:
            return False
        return consumed == self._limit


def iter_parse(
    source: Source,
    *,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    **options: Unpack[ParserOptions],
) -> StreamReader:
    """Reads the S-expressions of a binary stream one after another.

    `source` is a binary file or stream (anything whose `read(size)` returns
    `bytes`; `read1` is used where it exists, so that a pipe yields each
    S-expression as soon as it has arrived) or a bytes-like object. It is
    read in chunks of `chunk_size` octets; an S-expression that spans chunks
    is read whole. The stream is not closed.

    The other keywords are those of `Parser` and read every S-expression
    under the same restrictions. Whitespace between S-expressions is skipped
    where the advanced representation is allowed; otherwise (`canonical`, or
    `allow_advanced=False`) it is an error like any octet that cannot begin
    an S-expression. `max_input_len` bounds each S-expression rather than the
    stream, and with it no more than `max_input_len + 1` octets are ever
    buffered; without it, memory is bounded by about twice the largest
    S-expression plus a chunk.

    A `ParseError` carries the offset from the start of the stream. An
    S-expression cut short by the end of the stream is an `unexpected_end`
    at the stream's length.
    """
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or chunk_size < 1:
        raise ValueError(f"chunk_size must be a positive integer, not {chunk_size!r}")
    # Parser checks every keyword and reports a bad one as it always does.
    parser = Parser(**options)
    max_input_len = options.get("max_input_len")
    limit = None if max_input_len is None else operator.index(max_input_len)
    unlimited = None
    if limit is not None:
        rest = options.copy()
        rest["max_input_len"] = None
        unlimited = Parser(**rest)
    # Whitespace is skipped where the advanced representation is allowed,
    # which it is unless a keyword refuses it.
    skip = options.get("allow_advanced", True) and not options.get("canonical", False)
    return StreamReader(source, chunk_size, parser, skip, limit, unlimited)
