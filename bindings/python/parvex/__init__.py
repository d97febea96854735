"""S-expressions as RFC 9804 defines them: read and write the canonical,
basic transport and advanced representations.

The reading and writing is done by the extension module `parvex._parvex`,
whose names are re-exported here as the very same objects, the sans-IO
`Decoder` among them. The package adds reading a stream of S-expressions
(`iter_parse`, and `aiter_parse` and `aread` for asyncio), an indented form for
people (`to_indented`), reading and writing file objects and octets as
json's and pickle's functions do (`load`, `dump`, `loads`, `dumps`),
parsing files on several processes (`parse_file`, `parse_files`), pickling
and copying of `Atom`, look-ups, integers and hashes of values (`find`,
`extract`, `to_int`, `digest`, ...), GnuPG's key files (`parvex.gnupg`), and
the command line (`python -m parvex`).
"""

from typing import TYPE_CHECKING

from . import _reduce  # registers the pickling of Atom
from ._parvex import (
    DEFAULT_HINT as DEFAULT_HINT,
    DEFAULT_MAX_DEPTH as DEFAULT_MAX_DEPTH,
    Atom as Atom,
    Decoder as Decoder,
    ParseError as ParseError,
    Parser as Parser,
    StreamReader as StreamReader,
    parse as parse,
    parse_canonical as parse_canonical,
    to_advanced as to_advanced,
    to_canonical as to_canonical,
    to_transport as to_transport,
)
from ._types import OctetsLike as OctetsLike, SexpLike as SexpLike, Value as Value
from .files import dump as dump, dumps as dumps, load as load, loads as loads
from .indent import to_indented as to_indented
from .parallel import parse_file as parse_file, parse_files as parse_files
from .stream import (
    aiter_parse as aiter_parse,
    aread as aread,
    iter_parse as iter_parse,
)

del _reduce

if TYPE_CHECKING:
    __version__: str
    from .values import *  # noqa: F403 (the names of __all__ not imported above)
else:
    def __getattr__(name):
        # The names of __all__ not imported above are parvex.values's, loaded
        # on first use, so that `import parvex` (in every worker of
        # parse_files, say) holds what reading and writing need and no more.
        if name in __all__:
            from . import values

            globals().update((n, getattr(values, n)) for n in values.__all__)
            return globals()[name]
        # The version is looked up on first use: importlib.metadata alone
        # would double the time `import parvex` takes.
        if name != "__version__":
            raise AttributeError(f"module 'parvex' has no attribute {name!r}")
        from importlib import metadata

        try:
            version = metadata.version("parvex")
        except metadata.PackageNotFoundError:  # imported from a source tree
            version = "0+unknown"
        globals()["__version__"] = version
        return version

# parvex.values's names come from the star import above for type checkers,
# and from __getattr__ at run time.
# ruff: noqa: F405
__all__ = [
    # The extension module's names, in its order.
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
    "Decoder",
    "StreamReader",
    # The package's own.
    "iter_parse",
    "aiter_parse",
    "aread",
    "to_indented",
    "load",
    "dump",
    "loads",
    "dumps",
    "parse_file",
    "parse_files",
    "Value",
    "OctetsLike",
    "SexpLike",
    # parvex.values's.
    "find",
    "find_all",
    "extract",
    "to_int",
    "from_int",
    "digest",
]
