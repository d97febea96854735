"""Pickling and copying of `Atom`.

The extension type stores its octets natively and defines no reduction, so
CPython refuses to pickle or copy it by default. Registering one with
`copyreg` serves `pickle` (every protocol), `copy.copy` and `copy.deepcopy`,
and leaves the type itself as it is. The reduction rebuilds the atom by
calling `Atom(data, hint)`: `hint` is `None` for an atom without a display
hint and `b""` for a present empty one, which the constructor keeps apart.
Unpickling imports `parvex` to find `Atom`, and so registers this again.
"""

import copyreg

from ._parvex import Atom


def _reduce_atom(atom: Atom) -> tuple[type[Atom], tuple[bytes, bytes | None]]:
    return Atom, (atom.data, atom.hint)


copyreg.pickle(Atom, _reduce_atom)
