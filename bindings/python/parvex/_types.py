"""Type aliases for what the module reads and writes, the file objects the
package reads, and the keywords of `Parser` that the package's reading
functions pass on.

The aliases are plain aliases, so that code annotated with them needs
nothing from parvex at run time beyond what it already imports.
"""

from collections.abc import Sequence
from typing import Annotated, Protocol, SupportsIndex, TypeAlias, TypedDict

from ._parvex import DEFAULT_MAX_DEPTH, Atom

#: A parsed S-expression: `bytes` for an atom without a display hint, `Atom`
#: for one with a hint, and `list` for a list.
Value: TypeAlias = bytes | Atom | list["Value"]

#: What the module takes as octets: `bytes`, `bytearray`, `str` (as UTF-8),
#: the data of an `Atom`, or any sequence of integers 0 to 255.
OctetsLike: TypeAlias = bytes | bytearray | memoryview | str | Atom | Sequence[int]

#: What the writers take: a `list` or `tuple` of such values, nested to 1024
#: levels at most, or an atom: `bytes`, `bytearray`, `str`, `Atom`, or a
#: sequence of integers that is neither a `list` nor a `tuple` (which would be
#: lists), such as `range` or `memoryview`.
SexpLike: TypeAlias = (bytes | bytearray | memoryview | range | str | Atom
                       | Sequence["SexpLike"])


class Readable(Protocol):
    """Anything with a `read(size)` that returns `bytes`: a file opened in
    binary mode, `sys.stdin.buffer`, a socket's `makefile("rb")`, `BytesIO`;
    or `str`, from a text file (read as UTF-8). `None` is a non-blocking
    stream's: nothing is ready yet."""

    def read(self, size: int, /) -> bytes | str | None: ...


class ParserOptions(TypedDict, total=False):
    """The keywords of `Parser`, in its order, each with what it does (the
    command line's help for its flag). Functions that read with a parser
    they build take these as `**options`."""

    canonical: Annotated[bool, "accept only the canonical representation: the same as "
                               "allow_advanced=False, allow_transport=False"]
    max_depth: Annotated[SupportsIndex, "most lists open at once "
                                        f"(default: {DEFAULT_MAX_DEPTH})"]
    max_atom_len: Annotated[SupportsIndex | None, "longest octet string, data or hint, "
                                                  "after decoding (default: no limit)"]
    max_input_len: Annotated[SupportsIndex | None, "longest input in octets (default: no limit)"]
    allow_advanced: Annotated[bool, "the advanced representation (tokens, quoted, hexadecimal "
                                    "and base-64 strings) and all whitespace"]
    allow_transport: Annotated[bool, "basic transport blocks {...}"]
    allow_display_hints: Annotated[bool, "display hints [...]"]
    allow_empty_atoms: Annotated[bool, "zero-length octet strings"]
    allow_empty_lists: Annotated[bool, "empty lists ()"]
    allow_list_as_first_element: Annotated[bool, "a list as the first element of a list"]
    allow_hexadecimal: Annotated[bool, "hexadecimal strings #...#"]
    allow_base64: Annotated[bool, "base-64 strings |...|"]
    allow_lengths: Annotated[bool, "a decimal length before a quoted, hexadecimal or "
                                   "base-64 string"]
