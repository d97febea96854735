"""Types of the extension module that the `parvex` package re-exports."""

from collections.abc import Sequence
from typing import Final, TypeAlias, Union, Unpack, final

from ._types import ParserOptions

_Octets: TypeAlias = Union[bytes, bytearray, memoryview, str, Atom, Sequence[int]]
_Value: TypeAlias = Union[bytes, Atom, list[_Value]]
# A list or tuple is a list even when it holds integers, so the writers take
# no Sequence[int] but the atoms of other types.
_Sexp: TypeAlias = Union[bytes, bytearray, memoryview, range, str, Atom, Sequence[_Sexp]]

__all__ = [
    "Atom",
    "Parser",
    "ParseError",
    "DEFAULT_HINT",
    "DEFAULT_MAX_DEPTH",
    "parse",
    "parse_canonical",
    "to_canonical",
    "to_transport",
    "to_advanced",
]

@final
class Atom:
    def __new__(cls, data: _Octets, hint: _Octets | None = None) -> Atom: ...
    @property
    def data(self) -> bytes: ...
    @property
    def hint(self) -> bytes | None: ...
    def effective_hint(self, default: _Octets) -> bytes: ...
    def eq_ignoring_hint(self, other: _Octets) -> bool: ...
    def __len__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Parser:
    def __new__(cls, **options: Unpack[ParserOptions]) -> Parser: ...
    def parse(self, data: _Octets) -> _Value: ...
    def parse_prefix(self, data: _Octets) -> tuple[_Value, int]: ...
    # Not part of the API: the canonical octets of what `data` holds, which
    # is how values travel between processes (parvex.parallel), and the
    # reading of a stream's S-expressions as they arrive (parvex.stream).
    def _canonical(self, data: _Octets) -> bytes: ...
    def _stream(self) -> _StreamReading: ...
    # The reader's ParseError for a kind at an offset, not part of the API.
    @staticmethod
    def _parse_error(kind: str, offset: int) -> ParseError: ...
    # Every option's keyword and value (pickling), not part of the API.
    def _options(self) -> dict[str, bool | int | None]: ...

@final
class _StreamReading:
    def read(self, data: bytearray | bytes, base: int, at_end: bool) -> tuple[_Value, int] | None: ...

class ParseError(ValueError):
    # Set on every instance the reading functions raise; absent on one built
    # by hand.
    offset: int
    kind: str

DEFAULT_HINT: Final[bytes]
DEFAULT_MAX_DEPTH: Final[int]

def parse(data: _Octets) -> _Value: ...
def parse_canonical(data: _Octets) -> _Value: ...
def to_canonical(sexp: _Sexp) -> bytes: ...
def to_transport(sexp: _Sexp) -> str: ...
def to_advanced(sexp: _Sexp) -> str: ...
