"""Reading an S-expression from a file object and writing one to it, in the
manner of `json.load` and `json.dump`, and from and to octets in the manner
of `json.loads` and `pickle.dumps`.
"""

from __future__ import annotations

import io
import itertools
from collections.abc import Iterator
from typing import Any, Literal, Protocol, Unpack

from ._common import check_layout, read_at_most
from ._parvex import Parser, to_advanced, to_canonical, to_transport
from ._types import OctetsLike, ParserOptions, Readable, SexpLike, Value
from .indent import indented_chunks

__all__ = ["load", "loads", "dump", "dumps"]


class Writable(Protocol):
    """A binary file object opened for writing."""

    def write(self, data: bytes, /) -> Any: ...


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


def dumps(sexp: SexpLike, *,
          to: Literal["canonical", "transport", "advanced"] = "canonical",
          indent: int | None = None, width: int = 80) -> bytes:
    """The octets `dump` writes to a binary file: the canonical
    representation (the default), the basic transport text or the advanced
    text (laid out as `to_indented` lays it out with `indent`), as ASCII
    octets with no line feed after them. `loads` reads them back. For the
    texts as `str`, `to_transport`, `to_advanced` and `to_indented`."""
    check_layout(to, indent)
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
    check_layout(to, indent)
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
