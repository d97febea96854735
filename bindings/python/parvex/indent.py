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
their own errors, and is the answer where it fits. Both passes over the
value use explicit stacks: its depth never touches the interpreter's
recursion limit.
"""

from __future__ import annotations

from ._parvex import to_advanced
from ._types import SexpLike

__all__ = ["to_indented"]


class _Group:
    """A list of the value, with its elements' texts or groups and the length
    it takes on one line."""

    __slots__ = ("source", "items", "flat")

    def __init__(self, source: SexpLike) -> None:
        self.source = source
        self.items: list[str | _Group] = []
        self.flat = 0


def _measure(root: SexpLike, flat: str) -> str | _Group:
    """The groups of `root`, which `to_advanced` wrote as `flat`."""
    if not isinstance(root, (list, tuple)):
        return flat
    top = _Group(root)
    stack = [(iter(root), top)]
    while stack:
        items, group = stack[-1]
        for item in items:
            if isinstance(item, (list, tuple)):
                if 2 * len(stack) >= len(flat):
                    # Deeper than the text written a moment ago: code that ran
                    # while an atom was converted changed the value.
                    to_advanced(root)  # raises the writers' error for what it has become
                    raise RuntimeError("the S-expression changed while it was laid out")
                child = _Group(item)
                group.items.append(child)
                stack.append((iter(item), child))
                break
            group.items.append(to_advanced(item))
        else:
            stack.pop()
            n = len(group.items)
            group.flat = 2 + max(n - 1, 0) + sum(
                len(i) if isinstance(i, str) else i.flat for i in group.items)
    return top


def to_indented(sexp: SexpLike, *, indent: int = 2, width: int = 80) -> str:
    """Returns the advanced representation of the S-expression (RFC 9804
    §6.4) on as many lines as it needs to fit in `width` columns.

    Lists that fit stay on one line; others put each element on a line of its
    own, `indent` columns further in than their parenthesis. An atom longer
    than the width is never broken. The text ends without a line feed.
    Accepts what `to_advanced` accepts, and raises what it raises.
    """
    for name, number in (("indent", indent), ("width", width)):
        if isinstance(number, bool) or not isinstance(number, int) or number < 0:
            raise ValueError(f"{name} must be a non-negative integer, not {number!r}")
    flat = to_advanced(sexp)
    if len(flat) <= width:
        return flat
    root = _measure(sexp, flat)
    out: list[str] = []
    # Entries: text to write, or (node, column, closing parentheses after it).
    stack: list[str | tuple[str | _Group, int, int]] = [(root, 0, 0)]
    while stack:
        entry = stack.pop()
        if isinstance(entry, str):
            out.append(entry)
            continue
        node, column, closers = entry
        if isinstance(node, str):
            out.append(node)
            continue
        if not node.items or column + node.flat + closers <= width:
            out.append(to_advanced(node.source))
            continue
        head = node.items[0]
        inner = column + (indent if isinstance(head, str) else 1)
        out.append("(")
        stack.append(")")
        last = len(node.items) - 1
        for i in range(last, 0, -1):
            stack.append((node.items[i], inner, closers + 1 if i == last else 0))
            stack.append("\n" + " " * inner)
        stack.append((head, column + 1, closers + 1 if last == 0 else 0))
    return "".join(out)
