"""Reading the S-expressions of a binary stream one after another, each as
soon as its last octet has arrived.

The reading is done by the private `Parser._stream()`, which goes on with an
S-expression from where the octets that had arrived ran out, with the lists
it had open and the values it had built: an S-expression that arrives in
many pieces is read once, whatever its size, and a string cut short is read
again only once an octet has arrived that could end it. The only wait is for
an S-expression whose end cannot be known yet: one that ends with a token
(or the digits of a length) at the very end of what has arrived, which the
next octet could continue. This module adds the buffer, the reads, the
whitespace between S-expressions and the offsets.

Each read asks the stream once for what it has (`read1`, where the stream
has it), so a stream that delivers an S-expression and then waits for the
reply (a socket, a pipe) is never asked for more than it has sent.
"""

from __future__ import annotations

import errno
import operator
import os
import re
import select
from collections.abc import Iterator
from io import BytesIO
from typing import Protocol, Union, Unpack

from ._parvex import Parser
from ._types import ParserOptions, Value

__all__ = ["StreamReader", "iter_parse"]

# A run of the octets that RFC 9804 readers skip between elements (§6.4);
# matched in place, since stripping would copy the whole buffer each time.
_WHITESPACE = re.compile(rb"[\t\n\x0b\x0c\r ]*")

DEFAULT_CHUNK_SIZE = 65536
# A read asks for at most this much beyond what is buffered: a large
# `chunk_size` (or a stream's read allocating what is asked for) costs
# memory only as the data arrives.
_FIRST_READ = 65536


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
                 skip_whitespace: bool, limit: int | None) -> None:
        if isinstance(source, (bytes, bytearray, memoryview)):
            source = BytesIO(source)
        elif not callable(getattr(source, "read", None)):
            raise TypeError(
                "iter_parse() needs a binary stream or bytes, "
                f"not {type(source).__name__}")
        read1 = getattr(source, "read1", None)
        self._read = read1 if callable(read1) else source.read
        self._source = source
        self._chunk = chunk_size
        self._reading = parser._stream()
        self._skip = skip_whitespace
        self._limit = limit
        self._buf = bytearray()
        self._eof = False
        self._under_way = False  # the buffer starts with an unfinished S-expression
        self.offset = 0

    def __iter__(self) -> StreamReader:
        return self

    def __next__(self) -> Value:
        buf = self._buf
        while True:
            if not self._under_way:
                if self._skip:
                    skipped = _WHITESPACE.match(buf).end()  # type: ignore[union-attr]
                    if skipped:
                        del buf[:skipped]
                        self.offset += skipped
                if not buf:
                    if self._eof:
                        raise StopIteration
                    self._fill()
                    continue
                self._under_way = True
            try:
                got = self._reading.read(buf, self.offset, self._eof)
            except BaseException:
                # Read again from its start next time, if asked.
                self._under_way = False
                raise
            if got is None:  # its end has not arrived yet
                self._fill()
                continue
            self._under_way = False
            value, consumed = got
            del buf[:consumed]
            self.offset += consumed
            return value

    def _fill(self) -> None:
        """Asks the stream once for more: up to a chunk, and no more than
        twice what is buffered plus a first read, nor, with a limit, than it
        takes to see an S-expression pass it."""
        have = len(self._buf)
        want = min(self._chunk, 2 * have + _FIRST_READ)
        if self._limit is not None:
            want = max(1, min(want, self._limit + 1 - have))
        data = self._read(want)
        if data is None:
            raise self._would_block()
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError("iter_parse() needs a binary stream; its read() "
                            f"returned {type(data).__name__}")
        if not data and not self._ended():
            data = self._read(want)
            if data is None:
                raise self._would_block()
        if data:
            self._buf += data
        else:
            self._eof = True

    def _ended(self) -> bool:
        """Whether an empty read was the end of the stream. A non-blocking
        stream also reads empty when it has nothing ready (a buffered
        reader's `read1` says so no other way): then its descriptor does not
        poll readable, as it does at the end."""
        try:
            fd = self._source.fileno()  # type: ignore[union-attr,attr-defined]
            if os.get_blocking(fd):
                return True
        except (AttributeError, OSError, ValueError):
            return True  # no descriptor: a read that returns nothing has ended
        poll = select.poll()
        poll.register(fd, select.POLLIN)
        if poll.poll(0):
            return False  # readable after all: read again, and believe that
        raise self._would_block()

    @staticmethod
    def _would_block() -> BlockingIOError:
        return BlockingIOError(
            errno.EAGAIN, "the stream has no data ready; iter_parse() needs a "
                          "blocking stream (a socket with a timeout will do)")


def iter_parse(
    source: Source,
    *,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    **options: Unpack[ParserOptions],
) -> StreamReader:
    """Reads the S-expressions of a binary stream one after another, each as
    soon as its last octet has arrived.

    `source` is a binary file or stream (anything whose `read(size)` returns
    `bytes`; `read1` is used where it exists, so that a pipe or a socket is
    never asked for more than it has) or a bytes-like object. Each read asks
    for up to `chunk_size` octets, and no more than twice what is buffered
    plus 64 KiB. Only an S-expression that ends with a token (or the digits
    of a length) at the very end of what has arrived waits for the next
    octet, which could continue it. The stream is not closed.

    The other keywords are those of `Parser` and read every S-expression
    under the same restrictions. Whitespace between S-expressions is skipped
    where the advanced representation is allowed; otherwise (`canonical`, or
    `allow_advanced=False`) it is an error like any octet that cannot begin
    an S-expression. `max_input_len` bounds each S-expression rather than the
    stream, and with it no more than `max_input_len + 1` octets are ever
    buffered; without it, memory is bounded by a few times the largest
    S-expression plus a read.

    A `ParseError` carries the offset from the start of the stream. An
    S-expression cut short by the end of the stream is an `unexpected_end`
    at the stream's length. A non-blocking stream that has nothing to read
    raises `BlockingIOError` rather than pass for one that has ended.
    """
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or chunk_size < 1:
        raise ValueError(f"chunk_size must be a positive integer, not {chunk_size!r}")
    # Parser checks every keyword and reports a bad one as it always does.
    parser = Parser(**options)
    max_input_len = options.get("max_input_len")
    limit = None if max_input_len is None else operator.index(max_input_len)
    # Whitespace is skipped where the advanced representation is allowed,
    # which it is unless a keyword refuses it.
    skip = options.get("allow_advanced", True) and not options.get("canonical", False)
    return StreamReader(source, chunk_size, parser, skip, limit)
