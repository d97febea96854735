"""Reading the S-expressions of a stream one after another, each as soon as
its last octet has arrived: from a file object or a socket (`iter_parse`),
or from an `asyncio` stream (`aiter_parse`, `aread`).

The reading is done by `Decoder`, which goes on with an S-expression from
where the octets that had arrived ran out, with the lists it had open and
the values it had built: an S-expression that arrives in many pieces is
read once, whatever its size. The only wait is for an S-expression whose
end cannot be known yet: one that ends with a token (or the digits of a
length) at the very end of what has arrived, which the next octet could
continue. This module chooses how a stream is read, and tells a stream that
has ended from one that has nothing ready.

Each read asks the stream once for what it has (`read1`, or `recv` of a
socket), so a stream that delivers an S-expression and then waits for the
reply (a socket, a pipe) is never asked for more than it has sent.
"""

from __future__ import annotations

import errno
import os
import select
import weakref
from collections.abc import AsyncIterator, Callable
from io import BytesIO
from typing import TYPE_CHECKING, Any, Protocol, TypeAlias, Unpack

from ._common import positive
from ._parvex import Decoder, ParseError, StreamReader
from ._types import ParserOptions, Readable, Value

if TYPE_CHECKING:
    import asyncio  # not at run time: importing it costs more than importing parvex

__all__ = ["iter_parse", "aiter_parse", "aread"]

DEFAULT_CHUNK_SIZE = 65536


class Receiving(Protocol):
    """A socket, or anything else with its `recv(size)`."""

    def recv(self, size: int, /) -> bytes: ...


Source: TypeAlias = Readable | Receiving | bytes | bytearray | memoryview


def _reader_of(source: Any) -> tuple[Callable[[int], Any], bool]:
    """The call that reads up to n octets of `source`, and whether an empty
    result from it is always the end (a socket's is)."""
    for name in ("read1", "read"):
        read = getattr(source, name, None)
        if callable(read):
            return read, False
    recv = getattr(source, "recv", None)
    if callable(recv):
        return recv, True
    recv_into = getattr(source, "recv_into", None)
    if callable(recv_into):
        def read_into(n: int) -> memoryview:
            buf = bytearray(n)
            return memoryview(buf)[:recv_into(buf)]
        return read_into, True
    raise TypeError("iter_parse() needs a binary or text stream, a socket, or bytes, "
                    f"not {type(source).__name__}")


def _ended_of(source: Any, empty_is_end: bool) -> Callable[[], bool]:
    """Whether an empty read of `source` was the end of it. A non-blocking
    stream also reads empty when it has nothing ready (a buffered reader's
    `read1` says so no other way): then its descriptor does not poll
    readable, as it does at the end."""
    def ended() -> bool:
        if empty_is_end:
            return True
        try:
            fd = source.fileno()
            if os.get_blocking(fd):
                return True
        except (AttributeError, OSError, ValueError):
            return True  # no descriptor: a read that returns nothing has ended
        poll = select.poll()
        poll.register(fd, select.POLLIN)
        if poll.poll(0):
            return False  # readable after all: read again, and believe that
        raise BlockingIOError(
            errno.EAGAIN, "the stream has no data ready; iter_parse() needs a "
                          "blocking stream (a socket with a timeout will do)")
    return ended


def iter_parse(
    source: Source,
    *,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    **options: Unpack[ParserOptions],
) -> StreamReader:
    """Reads the S-expressions of a stream one after another, each as soon
    as its last octet has arrived.

    `source` is a binary file or stream (anything whose `read(size)` returns
    `bytes`; `read1` is used where it exists, so that a pipe is never asked
    for more than it has), a text stream (read as UTF-8: for the advanced
    and transport representations), a socket (`recv`), or a bytes-like
    object. Each read asks for up to `chunk_size` octets, and no more than
    twice what is buffered plus 64 KiB. Only an S-expression that ends with
    a token (or the digits of a length) at the very end of what has arrived
    waits for the next octet, which could continue it. The stream is not
    closed.

    The other keywords are those of `Parser` and read every S-expression
    under the same restrictions, as `Decoder` does: whitespace between
    S-expressions is skipped where the advanced representation is allowed,
    `max_input_len` bounds each S-expression rather than the stream (no more
    than `max_input_len + 1` of its octets are ever buffered), and
    `max_atom_len` refuses a string as soon as what has arrived of it is
    too long.

    A `ParseError` carries the offset from the start of the stream; an
    S-expression cut short by the end of the stream is an `unexpected_end`
    at the stream's length, and after a `ParseError` the iterator raises it
    again. An exception from the stream's read, or a signal handler's,
    loses nothing: iterating again goes on where it stopped. A non-blocking
    stream that has nothing to read raises `BlockingIOError` rather than
    pass for one that has ended.
    """
    chunk_size = positive("chunk_size", chunk_size)
    if isinstance(source, (bytes, bytearray, memoryview)):
        source = BytesIO(source)
    read, empty_is_end = _reader_of(source)
    # StreamReader checks every keyword and reports a bad one as Parser does.
    return StreamReader(read, _ended_of(source, empty_is_end), chunk_size, **options)


# MARK: asyncio

# The decoder of each asyncio stream read by `aread` or `aiter_parse`, with
# the octets it has taken from the stream and not yet given out as values,
# so that the next call goes on exactly where the last value ended.
_decoders: weakref.WeakKeyDictionary[Any, tuple[dict[str, Any], Decoder]] = weakref.WeakKeyDictionary()


def _decoder_for(reader: asyncio.StreamReader, options: dict[str, Any]) -> Decoder:
    held = _decoders.get(reader)
    if held is not None:
        held_options, decoder = held
        if held_options == options:
            return decoder
        try:
            decoder.feed(b"")  # raises again the ParseError that broke the stream, if one did
        except ParseError:
            raise
        except ValueError:
            return decoder  # the stream has ended: there is nothing left to read
    # Other options: what the last decoder took from the stream and did not
    # give out is read again under them, with offsets going on from there.
    fresh = Decoder(**options)
    if held is not None:
        fresh._start_at(decoder.offset)
        fresh.feed(decoder._unread())
    _decoders[reader] = (dict(options), fresh)
    return fresh


async def _next(reader: asyncio.StreamReader, decoder: Decoder, chunk_size: int) -> Value:
    """The next S-expression of `reader`, read through `decoder`;
    StopAsyncIteration at the end of the stream."""
    while True:
        for value in decoder:
            return value
        # Nothing can come between the read and the feed: a cancellation
        # arrives at the await, and leaves the octets in the stream.
        data = await reader.read(chunk_size)
        if data:
            decoder.feed(data)
            continue
        decoder.close()
        for value in decoder:
            return value
        raise StopAsyncIteration


async def aiter_parse(reader: asyncio.StreamReader, *, chunk_size: int = DEFAULT_CHUNK_SIZE,
                      **options: Unpack[ParserOptions]) -> AsyncIterator[Value]:
    """Yields the S-expressions of an `asyncio.StreamReader` one after
    another, each as soon as its last octet has arrived, under the keywords
    of `Parser`, as `iter_parse` reads a blocking stream.

    Octets read from the stream and not yet given out as a value stay with
    the stream: a later `aiter_parse` or `aread` of it (with the same
    options) goes on where the last value ended, after a `break` or a
    cancellation too. After a `ParseError` every later read of the stream
    raises it again.
    """
    chunk_size = positive("chunk_size", chunk_size)
    decoder = _decoder_for(reader, dict(options))
    while True:
        try:
            value = await _next(reader, decoder, chunk_size)
        except StopAsyncIteration:
            return
        yield value


async def aread(reader: asyncio.StreamReader, *, chunk_size: int = DEFAULT_CHUNK_SIZE,
                **options: Unpack[ParserOptions]) -> Value:
    """Reads the next S-expression of an `asyncio.StreamReader`, under the
    keywords of `Parser`; `EOFError` if the stream ends before one begins.

    What is read beyond it stays for the next `aread` or `aiter_parse` of the
    stream. To write one, `writer.write(parvex.to_canonical(value))` (or
    another writer's text, encoded) and `await writer.drain()`.
    """
    chunk_size = positive("chunk_size", chunk_size)
    try:
        return await _next(reader, _decoder_for(reader, dict(options)), chunk_size)
    except StopAsyncIteration:
        raise EOFError("the stream ended before an S-expression began") from None
