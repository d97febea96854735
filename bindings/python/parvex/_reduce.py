"""Pickling and copying of `Atom` and `Parser`.

The extension type stores its octets natively and defines no reduction, so
CPython refuses to pickle or copy it by default. Registering one with
`copyreg` serves `pickle` (every protocol), `copy.copy` and `copy.deepcopy`,
and leaves the type itself as it is. The reduction rebuilds the atom by
calling `Atom(data, hint)`: `hint` is `None` for an atom without a display
hint and `b""` for a present empty one, which the constructor keeps apart.
Unpickling imports `parvex` to find `Atom`, and so registers this again.

A `Parser` is rebuilt from the keywords and values of all its options, so
that a copy, or a parser sent to another process, reads as it does.
"""

import copyreg
from typing import Any

from ._parvex import Atom, Parser


def _reduce_atom(atom: Atom) -> tuple[type[Atom], tuple[bytes, bytes | None]]:
    return Atom, (atom.data, atom.hint)


copyreg.pickle(Atom, _reduce_atom)


def _parser(options: dict[str, Any]) -> Parser:
    return Parser(**options)


def _reduce_parser(parser: Parser) -> tuple[Any, tuple[dict[str, Any]]]:
    return _parser, (parser._options(),)


copyreg.pickle(Parser, _reduce_parser)
