"""S-expression files on a Dask cluster: `read_sexp` reads files from any
fsspec URL (local paths, object stores) into a `dask.bag.Bag` of values,
parsed on the workers; `to_sexp` writes a bag back, one file per partition.

Needs the extra `parvex[dask]` (`dask[bag]`, `distributed` for a cluster);
`import parvex` does not import Dask, this module does.

Values cross between processes (worker to worker, worker to client) as
`parse_files` brings them back from its workers: as canonical octets, read
again where they arrive. Pickling nested lists recurses, and fails some
1,000 levels down; canonical octets carry any value the options accept. A
partition of `read_sexp` is a list that keeps the octets its values were
shipped as, and the bag's result is gathered the same way. Once your own
function has mapped the values, what it returns travels as Dask sends any
object.
"""

from __future__ import annotations

import itertools
import operator
import sys
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Literal, TypeAlias, Unpack, overload

import dask.bag
import fsspec  # type: ignore[import-untyped]
from dask.base import compute as compute_all
from dask.delayed import Delayed, delayed
from dask.sizeof import sizeof

from ._parvex import ParseError, Parser, to_canonical
from ._types import ParserOptions, SexpLike, Value
from .files import dump, read_at_most
from .parallel import _noted, lander
from .stream import iter_parse

__all__ = ["read_sexp", "to_sexp"]

# What a shipped element is: the canonical octets of a value, or the
# exception that stands in its place (errors="return").
_Shipped: TypeAlias = bytes | BaseException
# What a list of elements travels as: what each was shipped as, the path of
# each (include_path), and the depth to read them again under.
_Wire: TypeAlias = tuple[list[_Shipped], list[str] | None, int]


class _Partition(list[Any]):
    """Values read from files: a list, which remembers the canonical octets
    its values were shipped as, and travels as those."""

    def __init__(self, items: Iterable[Any], wire: _Wire) -> None:
        super().__init__(items)
        self.wire = wire

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, ...]]:
        return _partition, (self.wire,)


class _Gathered(_Partition):
    """The partitions of a bag put together: arrives as a plain list."""

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, ...]]:
        return _land, (self.wire,)


def _sizeof(partition: _Partition) -> int:
    """What a partition holds, for Dask to manage memory by (it would walk
    the values, and recurse through deep ones): the octets it keeps, and
    about twice as much again for the values made of them."""
    octets = sum(len(s) for s in partition.wire[0] if isinstance(s, bytes))
    return 3 * octets + sys.getsizeof(partition)


sizeof.register(_Partition)(_sizeof)  # type: ignore[no-untyped-call]


def _land(wire: _Wire) -> list[Any]:
    shipped, paths, max_depth = wire
    back = lander({"max_depth": max_depth})
    values = [back.parse(s) if isinstance(s, bytes) else s for s in shipped]
    return values if paths is None else list(zip(values, paths))


def _partition(wire: _Wire) -> _Partition:
    return _Partition(_land(wire), wire)


def _gather(partitions: Sequence[Iterable[Any]]) -> list[Any]:
    """The bag's result: its partitions one after another, still shipped as
    canonical octets where every partition is one of `read_sexp`'s."""
    items = list(itertools.chain.from_iterable(partitions))
    if not all(type(p) is _Partition for p in partitions):
        return items  # mapped or filtered: what the user's functions made
    wires = [p.wire for p in partitions]  # type: ignore[attr-defined]
    shipped = [s for w in wires for s in w[0]]
    with_paths = bool(wires) and wires[0][1] is not None
    paths = [p for w in wires for p in w[1]] if with_paths else None
    return _Gathered(items, (shipped, paths, wires[0][2] if wires else 0))


class SexpBag(dask.bag.Bag):
    """The bag `read_sexp` returns: a `dask.bag.Bag` whose values travel to
    the client as canonical octets when it is computed."""

    def __dask_postcompute__(self) -> tuple[Callable[..., Any], tuple[()]]:
        return _gather, ()


def _file_octets(of: Any, parser: Parser, options: ParserOptions, stream: bool
                 ) -> list[bytes]:
    """The canonical octets of the value a file holds, or of each of its
    S-expressions."""
    with of as f:
        if not stream:
            return [parser._canonical(read_at_most(f, options.get("max_input_len")))]
        data = f.read()
    octets = []
    reader = iter_parse(data, **options)
    start = 0
    for value in reader:
        try:
            octets.append(to_canonical(value))
        except ValueError:  # nested deeper than the writers go
            octets.append(parser._canonical(data[start:reader.offset]))
        start = reader.offset
    return octets


def _read_partition(files: Sequence[Any], parser: Parser, stream: bool,
                    include_path: bool, errors: Literal["raise", "skip", "return"]) -> _Partition:
    """In a worker: the elements of the files of one partition."""
    options: ParserOptions = parser._options()  # type: ignore[assignment]
    shipped: list[_Shipped] = []
    paths: list[str] = []
    for of in files:
        try:
            got: list[_Shipped] = list(_file_octets(of, parser, options, stream))
        except (ParseError, OSError) as e:
            _noted(e, of.path)
            if errors == "raise":
                raise
            if errors == "skip":
                continue
            got = [e]
        shipped += got
        paths += [of.path] * len(got)
    wire = (shipped, paths if include_path else None, operator.index(options["max_depth"]))
    return _partition(wire)


def read_sexp(
    urlpath: str | Sequence[str],
    *,
    stream: bool = False,
    files_per_partition: int = 1,
    include_path: bool = False,
    errors: Literal["raise", "skip", "return"] = "raise",
    storage_options: dict[str, Any] | None = None,
    **options: Unpack[ParserOptions],
) -> dask.bag.Bag:
    """A bag of the S-expressions of the files that `urlpath` names (a path,
    a glob such as "data/*.sx", a URL fsspec reads, or a list of them), in
    the order of the files, sorted within each glob.

    Each element is the one value a file holds (`parse_file`), or with
    `stream=True` one element for each S-expression of each file, in order
    (`iter_parse`). With `include_path=True` an element is `(value, path)`.
    Each partition holds the elements of `files_per_partition` files in a
    row (the last may have fewer). `options` are `Parser`'s keywords: they
    are checked here, at once, and applied in the workers. A file that
    cannot be read or parsed (`OSError`, `ParseError`, with the note
    "while reading '{path}'") is dealt with as `errors` says, a file at a
    time: "raise" fails the computation with its error; "skip" leaves the
    file out; "return" puts the exception in place of the file's elements
    (one element, whatever `stream`). `storage_options` go to
    `fsspec.open_files`.
    """
    if errors not in ("raise", "skip", "return"):
        raise ValueError(f"errors must be 'raise', 'skip' or 'return', not {errors!r}")
    if isinstance(files_per_partition, bool) or not isinstance(files_per_partition, int) \
            or files_per_partition < 1:
        raise ValueError(f"files_per_partition must be a positive integer, not {files_per_partition!r}")
    parser = Parser(**options)
    files = fsspec.open_files(urlpath, mode="rb", **(storage_options or {}))
    read = delayed(_read_partition, pure=True)
    parts = [read(files[i:i + files_per_partition], parser, stream, include_path, errors)
             for i in range(0, len(files), files_per_partition)]
    bag = (dask.bag.from_delayed(parts) if parts  # type: ignore[no-untyped-call]
           else dask.bag.from_sequence([], npartitions=1))  # type: ignore[no-untyped-call]
    return SexpBag(bag.dask, bag.name, bag.npartitions)


def _write_partition(values: Iterable[SexpLike], of: Any, to: str, indent: int | None,
                     width: int) -> None:
    with of as f:
        for value in values:
            dump(value, f, to=to, indent=indent, width=width)  # type: ignore[arg-type]
            if to != "canonical":
                f.write(b"\n")


@overload
def to_sexp(bag: dask.bag.Bag, urlpath: str | Sequence[str], *,
            to: Literal["canonical", "transport", "advanced"] = "canonical",
            indent: int | None = None, width: int = 80,
            name_function: Callable[[int], str] | None = None, compute: Literal[True] = True,
            storage_options: dict[str, Any] | None = None) -> list[str]: ...
@overload
def to_sexp(bag: dask.bag.Bag, urlpath: str | Sequence[str], *,
            to: Literal["canonical", "transport", "advanced"] = "canonical",
            indent: int | None = None, width: int = 80,
            name_function: Callable[[int], str] | None = None, compute: Literal[False],
            storage_options: dict[str, Any] | None = None) -> list[Delayed]: ...


def to_sexp(
    bag: dask.bag.Bag,
    urlpath: str | Sequence[str],
    *,
    to: Literal["canonical", "transport", "advanced"] = "canonical",
    indent: int | None = None,
    width: int = 80,
    name_function: Callable[[int], str] | None = None,
    compute: bool = True,
    storage_options: dict[str, Any] | None = None,
) -> list[str] | list[Delayed]:
    """Writes a bag of values to files, one for each partition, as
    `dask.bag.Bag.to_textfiles` does: `urlpath` is a directory, a path with
    one "*" that `name_function(i)` (by default `str(i)`) fills in for
    partition i, or a list of one path for each partition.

    Each file holds its partition's values one after another, written as
    `dump(value, f, to=to, indent=indent, width=width)` writes them, each
    followed by a line feed except in the canonical representation: what
    `read_sexp(..., stream=True)` reads back. Returns the paths written, or
    with `compute=False` one `Delayed` for each file, to compute later.
    """
    if to not in ("canonical", "transport", "advanced"):
        raise ValueError(f"to must be 'canonical', 'transport' or 'advanced', not {to!r}")
    if indent is not None and to != "advanced":
        raise ValueError(f"indent lays out the advanced representation, not the {to} one")
    files = fsspec.open_files(urlpath, mode="wb", name_function=name_function,
                              num=bag.npartitions, **(storage_options or {}))
    write = delayed(_write_partition, pure=False)
    parts = bag.to_delayed()  # type: ignore[no-untyped-call]
    writes: list[Delayed] = [write(part, of, to, indent, width) for part, of in zip(parts, files)]
    if not compute:
        return writes
    compute_all(*writes)  # type: ignore[no-untyped-call]
    return [of.path for of in files]
