"""Reading an S-expression from a file object and writing one to it, in the
manner of `json.load` and `json.dump`, and from and to octets in the manner
of `json.loads` and `pickle.dumps`.
"""

from __future__ import annotations

import errno
import io
import itertools
import operator
from collections.abc import Iterator
from typing import Any, Literal, Protocol, SupportsIndex, Unpack

from ._parvex import Parser, to_advanced, to_canonical, to_transport
from ._types import OctetsLike, ParserOptions, SexpLike, Value
from .indent import indented_chunks

__all__ = ["load", "loads", "dump", "dumps"]

# The first read of a file whose length is bounded only by a limit; each
# further read asks for twice as much, so that what is asked for (and
# allocated by the file object) follows what the file holds.
_FIRST_READ = 1 << 16


class Readable(Protocol):
    """A file object opened for reading: `read(size)` returns `bytes` (or
    `str`, which is read as UTF-8)."""

    def read(self, size: int = -1, /) -> bytes | str: ...


class Writable(Protocol):
    """A binary file object opened for writing."""

    def write(self, data: bytes, /) -> Any: ...


def _read(fp: Readable, size: int) -> Any:
    piece = fp.read(size)
    if piece is None:  # a non-blocking stream with nothing ready, not its end
        raise BlockingIOError(errno.EAGAIN, "the stream has no data ready; load() needs a blocking stream "
                                            "(a socket with a timeout will do)")
    return piece


def read_at_most(fp: Readable, limit: SupportsIndex | None) -> Any:
    """What `fp` holds up to its end, or its first `limit + 1` octets (or
    characters), enough to tell that it is longer than `limit`, asked for in
    growing pieces: a large limit allocates nothing up front. Each read that
    returns something is followed by another until one returns nothing, so
    that a non-blocking stream with part of its data ready raises
    `BlockingIOError` rather than give that part for the whole."""
    want = None if limit is None else operator.index(limit) + 1
    pieces = []
    size = _FIRST_READ
    while want is None or want > 0:
        piece = _read(fp, -1 if want is None else min(size, want))
        if not piece:
            break
        pieces.append(piece)
        if want is not None:
            want -= len(piece)
        size *= 2
    if len(pieces) == 1:
        return pieces[0]
    return pieces[0][:0].join(pieces) if pieces else fp.read(0)  # type: ignore[arg-type]


def loads(data: OctetsLike, **options: Unpack[ParserOptions]) -> Value:
    """Reads the one S-expression that `data` holds (`bytes`, `str` as
    UTF-8, or any octets `parse` takes), under a `Parser` built from the
    keywords: `Parser(**options).parse(data)`. Raises `ParseError`."""
    return Parser(**options).parse(data)


def load(fp: Readable, **options: Unpack[ParserOptions]) -> Value:
    """Reads the one S-expression that a file object holds, from where it
    stands to its end, under a `Parser` built from the keywords.

    `fp` is opened in binary mode (a text file is read as UTF-8, and
    offsets then count its UTF-8 octets). With `max_input_len` no more than
    that many octets and one are read. Raises `ParseError` as
    `Parser.parse` does. The file is not closed.
    """
    return loads(read_at_most(fp, options.get("max_input_len")), **options)


_TO = ("canonical", "transport", "advanced")


def _check(to: str, indent: int | None) -> None:
    if to not in _TO:
        raise ValueError(f"to must be 'canonical', 'transport' or 'advanced', not {to!r}")
    if indent is not None and to != "advanced":
        raise ValueError(f"indent lays out the advanced representation, not the {to} one")


def dumps(sexp: SexpLike, *,
          to: Literal["canonical", "transport", "advanced"] = "canonical",
          indent: int | None = None, width: int = 80) -> bytes:
    """The octets `dump` writes to a binary file: the canonical
    representation (the default), the basic transport text or the advanced
    text (laid out as `to_indented` lays it out with `indent`), as ASCII
    octets with no line feed after them. `loads` reads them back. For the
    texts as `str`, `to_transport`, `to_advanced` and `to_indented`."""
    _check(to, indent)
    if to == "canonical":
        return to_canonical(sexp)
    if to == "transport":
        return to_transport(sexp).encode("ascii")
    if indent is None:
        return to_advanced(sexp).encode("ascii")
    return b"".join(chunk.encode("ascii") for chunk in _indented(sexp, indent, width))


def dump(sexp: SexpLike, fp: Writable | io.TextIOBase, *,
         to: Literal["canonical", "transport", "advanced"] = "canonical",
         indent: int | None = None, width: int = 80) -> None:
    """Writes an S-expression to a file object, in the representation `to`
    names: the canonical octets (the default), the basic transport text, or
    the advanced text, on one line or, with `indent`, laid out as
    `to_indented(sexp, indent=indent, width=width)` lays it out.

    Nothing follows it: no line feed. `fp` is opened in binary mode; the
    transport and advanced texts may also go to a text file. Raises what the
    writers raise, and nothing is written then. The file is not closed.

    An indented text is written in pieces as it is made, so that memory
    stays small however long indentation makes it; a value changed by code
    of its own while it is written (an atom's `__getitem__`, say) may then
    leave part of its text written before the error.
    """
    _check(to, indent)
    if isinstance(fp, io.TextIOBase):
        if to == "canonical":
            raise TypeError("the canonical representation is octets: dump it to a binary file")
        if indent is None:
            fp.write(to_transport(sexp) if to == "transport" else to_advanced(sexp))
            return
        for chunk in _indented(sexp, indent, width):
            fp.write(chunk)
        return
    if indent is None:
        fp.write(dumps(sexp, to=to))
        return
    for chunk in _indented(sexp, indent, width):
        fp.write(chunk.encode("ascii"))


def _indented(sexp: SexpLike, indent: int, width: int) -> Iterator[str]:
    """`to_indented`'s text in pieces; the writers' errors are raised at
    once, before anything can be written."""
    chunks = indented_chunks(sexp, indent=indent, width=width)
    return itertools.chain((next(chunks, ""),), chunks)
