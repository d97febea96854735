"""What the package's modules share: reading a file object up to a limit,
the errors of a file and the note that names it, values carried between
processes as their canonical octets, hashlib's objects by name, and the
checks of the arguments that several functions take alike.
"""

from __future__ import annotations

import errno
import operator
import os
from typing import Any, SupportsIndex, TypeAlias

from ._parvex import DEFAULT_MAX_DEPTH, ParseError, Parser
from ._types import ParserOptions, Readable, Value

# MARK: reading a file object

# The first read of a file whose length is bounded only by a limit; each
# further read asks for twice as much, so that what is asked for (and
# allocated by the file object) follows what the file holds.
_FIRST_READ = 1 << 16


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
    return pieces[0][:0].join(pieces) if pieces else fp.read(0)


# MARK: a file's errors

StrPath: TypeAlias = str | os.PathLike[str]
#: What a file that cannot be read or parsed raises, and what `errors` covers.
FileError: TypeAlias = ParseError | OSError
FILE_ERRORS = (ParseError, OSError)


def noted(error: BaseException, path: StrPath) -> BaseException:
    """`error`, with the note that names the file it comes from."""
    error.add_note(f"while reading {os.fsdecode(path)!r}")
    return error


# MARK: values carried between processes

def lander(options: ParserOptions) -> Parser:
    """The parser that reads shipped canonical octets again: under the
    options' depth, and no other bound, for the canonical form may be
    longer than the file was, and it passed the rest there."""
    return Parser(canonical=True, max_depth=options.get("max_depth", DEFAULT_MAX_DEPTH))


def landed(back: Parser, shipped: bytes | BaseException) -> Value | BaseException:
    """A shipped value made again by `back` (a `lander`), or the exception
    that travelled in its place."""
    return back.parse(shipped) if isinstance(shipped, bytes) else shipped


# MARK: hashes

def hasher(algorithm: str) -> Any:
    """A new `hashlib` object for `algorithm`, or `ValueError` when hashlib
    knows no such algorithm or its digests have no fixed length."""
    import hashlib  # on first use: it loads OpenSSL, slower than parvex itself

    try:
        h = hashlib.new(algorithm)
    except (ValueError, TypeError):
        raise ValueError(f"unknown hash algorithm: {algorithm!r}") from None
    if h.digest_size == 0:  # shake_128, shake_256
        raise ValueError(f"{algorithm!r} has no fixed digest length")
    return h


# MARK: arguments

def count(name: str, value: object) -> int:
    """`value` as a count of one or more; `name` names it in the errors."""
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < 1:
        raise ValueError(f"{name} must be at least 1, not {number}")
    return number


def positive(name: str, value: object) -> int:
    """`value`, an `int` (not a `bool`) of 1 or more; `name` names it in the
    error."""
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive integer, not {value!r}")
    return value


def check_errors(errors: str) -> None:
    """What a reader of many files does with one that fails."""
    if errors not in ("raise", "skip", "return"):
        raise ValueError(f"errors must be 'raise', 'skip' or 'return', not {errors!r}")


def check_layout(to: str, indent: int | None) -> None:
    """The representation a writer writes, and its layout."""
    if to not in ("canonical", "transport", "advanced"):
        raise ValueError(f"to must be 'canonical', 'transport' or 'advanced', not {to!r}")
    if indent is not None and to != "advanced":
        raise ValueError(f"indent lays out the advanced representation, not the {to} one")
