"""S-expression files on a Dask cluster: `read_sexp` reads files from any
fsspec URL (local paths, object stores) into a `dask.bag.Bag` of values,
parsed on the workers; `to_sexp` writes a bag back, one file per partition.

Needs the extra `parvex[dask]` (`dask[bag]`, `distributed` for a cluster);
`import parvex` does not import Dask, this module does.

Values cross between processes (worker to worker, worker to client) as
`parse_files` brings them back from its workers: as canonical octets, read
again where they arrive. Pickling nested lists recurses, and fails some
1,000 levels down; canonical octets carry any value the options accept. A
partition of `read_sexp` is a list that travels so, and the bag's result is
gathered the same way. Once your own function has mapped the values, what
it returns travels as Dask sends any object.
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

from ._parvex import DEFAULT_MAX_DEPTH, Parser, to_canonical
from ._types import ParserOptions, SexpLike, Value
from .files import dump, read_at_most
from .parallel import _FILE_ERRORS, _noted, landed, lander
from .stream import iter_parse

__all__ = ["read_sexp", "to_sexp"]

# What a shipped element is: the canonical octets of a value, or the
# exception that stands in its place (errors="return").
_Shipped: TypeAlias = bytes | BaseException


class _Partition(list[Any]):
    """Elements read from files: a list, which travels between processes as
    the canonical octets of its values.

    Those are written when it travels, from the values, unless the values
    may be nested deeper than the writers go (a `max_depth` above theirs):
    then they are made as the file is read, straight from it, as
    `parse_files`' workers make them, and kept."""

    def __init__(self, values: list[Any], paths: list[str] | None, max_depth: int,
                 octets: int, shipped: list[_Shipped] | None = None) -> None:
        super().__init__(values if paths is None else zip(values, paths))
        self.values = values  # the values, or the exceptions in their place
        self.paths = paths
        self.max_depth = max_depth
        self.octets = octets  # read from the files
        self.kept = shipped

    def shipped(self) -> list[_Shipped]:
        if self.kept is not None:
            return self.kept
        return [v if isinstance(v, BaseException) else to_canonical(v) for v in self.values]

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, ...]]:
        return _partition, (self.shipped(), self.paths, self.max_depth, self.octets)


class _Gathered(_Partition):
    """The partitions of a bag put together: arrives as a plain list."""

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, ...]]:
        return _landed, (self.shipped(), self.paths, self.max_depth)


def _sizeof(partition: _Partition) -> int:
    """What a partition holds, for Dask to manage memory by (it would walk
    the values, and recurse through deep ones): Python's objects take two to
    seven times the octets of the text they were read from."""
    kept = sum(len(s) for s in partition.kept or () if isinstance(s, bytes))
    return 5 * partition.octets + kept + sys.getsizeof(partition)


sizeof.register(_Partition)(_sizeof)  # type: ignore[no-untyped-call]


def _landed(shipped: list[_Shipped], paths: list[str] | None, max_depth: int) -> list[Any]:
    values = _land(shipped, max_depth)
    return values if paths is None else list(zip(values, paths))


def _land(shipped: list[_Shipped], max_depth: int) -> list[Any]:
    back = lander({"max_depth": max_depth})
    return [landed(back, s) for s in shipped]


def _partition(shipped: list[_Shipped], paths: list[str] | None, max_depth: int,
               octets: int) -> _Partition:
    deep = max_depth > DEFAULT_MAX_DEPTH
    return _Partition(_land(shipped, max_depth), paths, max_depth, octets,
                      shipped if deep else None)


def _gather(partitions: Sequence[Iterable[Any]]) -> list[Any]:
    """The bag's result: its partitions one after another, still shipped as
    canonical octets where every partition is one of `read_sexp`'s."""
    items = list(itertools.chain.from_iterable(partitions))
    parts: list[_Partition] = [p for p in partitions if type(p) is _Partition]
    if not parts or len(parts) < len(partitions):
        return items  # mapped or filtered: what the user's functions made
    paths = None if parts[0].paths is None else [p for part in parts for p in part.paths or ()]
    kept = None if any(p.kept is None for p in parts) else [s for p in parts for s in p.kept or ()]
    return _Gathered([v for p in parts for v in p.values], paths, parts[0].max_depth,
                     sum(p.octets for p in parts), kept)


class SexpBag(dask.bag.Bag):
    """The bag `read_sexp` returns: a `dask.bag.Bag` whose values travel to
    the client as canonical octets when it is computed."""

    def __dask_postcompute__(self) -> tuple[Callable[..., Any], tuple[()]]:
        return _gather, ()


def _read_file(of: Any, parser: Parser, options: ParserOptions, stream: bool, deep: bool,
               ) -> tuple[list[Value], list[_Shipped] | None, int]:
    """The value a file holds, or each of its S-expressions; their canonical
    octets if the values may be too `deep` for the writers; the octets read."""
    with of as f:
        data = f.read() if stream else read_at_most(f, options.get("max_input_len"))
    if not stream:
        if not deep:
            return [parser.parse(data)], None, len(data)
        octets = parser._canonical(data)
        return [lander(options).parse(octets)], [octets], len(data)
    values = []
    shipped: list[_Shipped] = []
    reader = iter_parse(data, **options)
    start = 0
    for value in reader:
        values.append(value)
        if deep:
            try:
                shipped.append(to_canonical(value))
            except ValueError:  # nested deeper than the writers go
                shipped.append(parser._canonical(data[start:reader.offset]))
            start = reader.offset
    return values, shipped if deep else None, len(data)


def _read_partition(files: Sequence[Any], parser: Parser, stream: bool,
                    include_path: bool, errors: Literal["raise", "skip", "return"]) -> _Partition:
    """In a worker: the elements of the files of one partition."""
    options: ParserOptions = parser._options()  # type: ignore[assignment]
    max_depth = operator.index(options["max_depth"])
    deep = max_depth > DEFAULT_MAX_DEPTH
    values: list[Any] = []
    shipped: list[_Shipped] = []
    paths: list[str] = []
    octets = 0
    for of in files:
        got: list[Any]
        try:
            got, kept, read = _read_file(of, parser, options, stream, deep)
        except _FILE_ERRORS as e:
            _noted(e, of.path)
            if errors == "raise":
                raise
            if errors == "skip":
                continue
            got, kept, read = [e], [e], 0
        values += got
        shipped += kept or ()
        paths += [of.path] * len(got)
        octets += read
    return _Partition(values, paths if include_path else None, max_depth, octets,
                      shipped if deep else None)


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
    a glob such as `"data/*.sx"`, a URL fsspec reads, or a list of them), in
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
