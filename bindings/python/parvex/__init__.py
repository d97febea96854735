"""S-expressions as RFC 9804 defines them: read and write the canonical,
basic transport and advanced representations."""

from ._parvex import (
    DEFAULT_HINT,
    DEFAULT_MAX_DEPTH,
    Atom,
    ParseError,
    Parser,
    parse,
    parse_canonical,
    to_advanced,
    to_canonical,
    to_transport,
)
from . import _parvex

__all__ = list(_parvex.__all__)
