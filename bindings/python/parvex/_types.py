"""Type aliases for what the module reads and writes.

They are plain aliases, so that code annotated with them needs nothing from
parvex at run time beyond what it already imports.
"""

from collections.abc import Sequence
from typing import TypeAlias, Union

from ._parvex import Atom

#: A parsed S-expression: `bytes` for an atom without a display hint, `Atom`
#: for one with a hint, and `list` for a list.
Value: TypeAlias = Union[bytes, Atom, list["Value"]]

#: What the module takes as octets: `bytes`, `bytearray`, `str` (as UTF-8),
#: the data of an `Atom`, or any sequence of integers 0 to 255.
OctetsLike: TypeAlias = Union[bytes, bytearray, memoryview, str, Atom, Sequence[int]]

#: What the writers take: a `list` or `tuple` of such values, nested to 1024
#: levels at most, or an atom: `bytes`, `bytearray`, `str`, `Atom`, or a
#: sequence of integers that is neither a `list` nor a `tuple` (which would be
#: lists), such as `range` or `memoryview`.
SexpLike: TypeAlias = Union[bytes, bytearray, memoryview, range, str, Atom,
                            Sequence["SexpLike"]]
