"""The advanced representation laid out on several lines, for people.

A list that fits in the line width, counting the closing parentheses that
follow it on its last line, is written on one line as `to_advanced` writes
it. One that does not is broken one element a line: a list that starts with
an atom keeps that atom on the line of its parenthesis (the way `(define ...`
and `(certificate ...` read) and indents the rest; a list that starts with a
list aligns all its elements under the first, the way Python's own pretty
printer lays out a list of lists. Only whitespace is added between elements,
so reading the text back gives the same value.

The value is first written on one line by `to_advanced`, which refuses what
the writers refuse (lists nested too deep, a list that contains itself) with
their own errors, and is the answer where it fits. A second walk notes the
one-line length of each list (an integer each, in the order the walk meets
them), and a third writes the text in pieces as it goes. Indentation can
make the text far longer than the value (a thousand columns for each of a
thousand levels is half a gigabyte from four kilobytes): its spaces are
handed out as references to one shared run of blanks, so that `dump` writes
such a text with little memory and `to_indented` holds little beside its
result. Every walk uses an explicit stack: the depth of the value never
touches the interpreter's recursion limit.
"""

from __future__ import annotations

from array import array
from collections.abc import Iterable, Iterator
from typing import NoReturn

from ._parvex import to_advanced
from ._types import SexpLike

__all__ = ["to_indented"]

# Indentation is made of this many blanks at a time, shared.
_BLANK_RUN = 1 << 10
_BLANKS = " " * _BLANK_RUN


def _changed(root: SexpLike) -> NoReturn:
    """Code that ran while an atom was converted changed the value."""
    to_advanced(root)  # raises the writers' error for what it has become
    raise RuntimeError("the S-expression changed while it was laid out")


class _Open:
    """A list being walked: its elements, and what the walk keeps of it."""

    __slots__ = ("items", "index", "length", "count")

    def __init__(self, items: Iterator[SexpLike], index: int) -> None:
        self.items = items
        self.index = index  # of the list, in the order the walk meets lists
        self.length = 0     # of its elements on one line
        self.count = 0      # of its elements


def _measure(root: SexpLike, budget: int) -> tuple[array[int], array[int]]:
    """The one-line length of each list of `root` (a list), in the order a
    walk meets them, and for each the index just past the lists it holds.
    `budget` is the length of the one-line text: no more elements than that
    fit in it."""
    lengths, ends = array("q", [0]), array("q", [0])
    stack = [_Open(iter(root), 0)]  # type: ignore[arg-type]
    while stack:
        top = stack[-1]
        for item in top.items:
            budget -= 1
            if budget < 0:
                _changed(root)
            if isinstance(item, (list, tuple)):
                stack.append(_Open(iter(item), len(lengths)))
                lengths.append(0)
                ends.append(0)
                break
            top.length += len(to_advanced(item))
            top.count += 1
        else:
            stack.pop()
            length = 2 + max(top.count - 1, 0) + top.length
            lengths[top.index] = length
            ends[top.index] = len(lengths)
            if stack:
                stack[-1].length += length
                stack[-1].count += 1
    return lengths, ends


class _Broken:
    """A list laid out one element a line, as it is written."""

    __slots__ = ("items", "next", "inner", "first", "closers", "index")

    def __init__(self, items: list[SexpLike] | tuple[SexpLike, ...], inner: int, first: int,
                 closers: int, index: int) -> None:
        self.items = items
        self.next = 0           # position of the next element
        self.inner = inner      # column of its second element on
        self.first = first      # column of its first
        self.closers = closers  # closing parentheses after it
        self.index = index      # of its next list, in the order of `_measure`


def _pieces(sexp: SexpLike, indent: int, width: int) -> Iterator[str]:
    """The laid-out text in pieces, long runs of blanks as `_BLANKS` itself.
    Raises the writers' errors before the first piece."""
    flat = to_advanced(sexp)
    if len(flat) <= width or not isinstance(sexp, (list, tuple)):
        yield flat
        return
    lengths, ends = _measure(sexp, len(flat))
    del flat
    margins: dict[int, str] = {}
    stack: list[_Broken] = []
    node: list[SexpLike] | tuple[SexpLike, ...] | None = sexp  # a list to place
    index = column = closers = 0
    while True:
        if node is not None:
            if not node or column + lengths[index] + closers <= width:
                yield to_advanced(node)
            else:
                inner = column + (1 if isinstance(node[0], (list, tuple)) else indent)
                stack.append(_Broken(node, inner, column + 1, closers, index + 1))
                yield "("
            node = None
        if not stack:
            return
        top = stack[-1]
        pos, size = top.next, len(top.items)
        if pos >= size:
            stack.pop()
            yield ")"
            continue
        item = top.items[pos]
        top.next = pos + 1
        if pos:
            margin = margins.get(top.inner)
            if margin is None:
                margin = margins[top.inner] = "\n" + " " * (top.inner % _BLANK_RUN)
            yield margin
            for _ in range(top.inner // _BLANK_RUN):
                yield _BLANKS
        if isinstance(item, (list, tuple)):
            index = top.index
            if index >= len(lengths):
                _changed(sexp)
            top.index = ends[index]
            node = item
            column = top.inner if pos else top.first
            closers = top.closers + 1 if pos == size - 1 else 0
        else:
            yield to_advanced(item)


def _chunks(pieces: Iterable[str], size: int) -> Iterator[str]:
    """`pieces` joined into strings of about `size` characters; a piece at
    least that long is handed on as it is, not copied."""
    held: list[str] = []
    count = 0
    for piece in pieces:
        if len(piece) >= size:
            if held:
                yield "".join(held)
                held.clear()
                count = 0
            yield piece
            continue
        held.append(piece)
        count += len(piece)
        if count >= size:
            yield "".join(held)
            held.clear()
            count = 0
    if held:
        yield "".join(held)


def _check(indent: int, width: int) -> None:
    for name, number in (("indent", indent), ("width", width)):
        if isinstance(number, bool) or not isinstance(number, int) or number < 0:
            raise ValueError(f"{name} must be a non-negative integer, not {number!r}")


def indented_chunks(sexp: SexpLike, *, indent: int = 2, width: int = 80,
                    size: int = 1 << 16) -> Iterator[str]:
    """`to_indented`'s text in strings of about `size` characters, made as
    they are asked for. The writers' errors come with the first."""
    _check(indent, width)
    return _chunks(_pieces(sexp, indent, width), size)


def to_indented(sexp: SexpLike, *, indent: int = 2, width: int = 80) -> str:
    """Returns the advanced representation of the S-expression (RFC 9804
    §6.4) on as many lines as it needs to fit in `width` columns.

    Lists that fit stay on one line; others put each element on a line of its
    own, `indent` columns further in than their parenthesis. An atom longer
    than the width is never broken. The text ends without a line feed.
    Accepts what `to_advanced` accepts, and raises what it raises.
    """
    _check(indent, width)
    # Short pieces joined a run at a time, blanks kept as references to one
    # string: what is held beside the result is at most its own size.
    return "".join(_chunks(_pieces(sexp, indent, width), _BLANK_RUN))
