"""S-expression files on a Dask cluster: `read_sexp` reads files from any
fsspec URL (local paths, object stores) into a `dask.bag.Bag` of values,
parsed on the workers; `to_sexp` writes a bag back, one file per partition.

Needs the extra `parvex[dask]` (`dask[bag]`, `distributed` for a cluster);
`import parvex` does not import Dask, this module does.

A partition of `read_sexp` is a list, to be changed in place as any list of
`dask.bag.from_sequence` may be. It crosses between processes (worker to
worker, worker to client) as `parse_files` brings values back from its
workers: each value as its canonical octets, read again where they arrive.
Pickling nested lists recurses, and fails some 1,000 levels down; canonical
octets carry a value as deep as the options let the files be. What the
list holds when it travels is what arrives: anything that is not such a
value (a `str`, a `tuple`, the exception of errors="return") travels as
Dask sends any object, and arrives as it was. The bag's result is gathered
the same way.
"""

from __future__ import annotations

import itertools
import operator
import os
import sys
import uuid
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Literal, TypeAlias, Unpack, overload

import dask.bag
import fsspec  # type: ignore[import-untyped]
from dask.base import compute as compute_all
from dask.delayed import Delayed, delayed
from dask.sizeof import sizeof

from ._common import FILE_ERRORS, check_errors, check_layout, lander, noted, positive, read_at_most
from ._parvex import DEFAULT_MAX_DEPTH, Atom, Parser, to_canonical
from ._types import ParserOptions, SexpLike, Value
from .files import dump
from .stream import iter_parse

__all__ = ["read_sexp", "to_sexp"]

# A shipped element: the canonical octets of a value; a pair of them and a
# path (include_path=True); or the element itself, for anything else (never
# `bytes`, which is an atom, nor such a pair).
_Shipped: TypeAlias = Any


_ATOMS = (bytes, Atom)


def _pure(value: list[Any]) -> bool:
    """Whether a list (the writers took it: no loop, bounded depth) holds
    only what reading makes, `bytes`, `Atom` and `list`, which its canonical
    octets give back as they are."""
    stack = [value]
    while stack:
        for item in stack.pop():
            kind = type(item)
            if kind is list:
                stack.append(item)
            elif kind not in _ATOMS:
                return False
    return True


def _deep_canonical(value: list[Any], max_depth: int) -> bytes | None:
    """The canonical octets of a value nested deeper than the writers go, or
    None if it holds anything else or is nested deeper than `max_depth`
    (a list that holds itself, say)."""
    out = bytearray()
    stack: list[Iterator[Any]] = [iter((value,))]
    while stack:
        for item in stack[-1]:
            kind = type(item)
            if kind is list:
                if len(stack) > max_depth:
                    return None
                out += b"("
                stack.append(iter(item))
                break
            if kind is bytes:
                out += b"%d:%s" % (len(item), item)
            elif kind is Atom:
                out += to_canonical(item)
            else:
                return None
        else:
            stack.pop()
            if stack:
                out += b")"
    return bytes(out)


def _octets(value: Any, max_depth: int) -> bytes | None:
    """The canonical octets of `value`, if it is a value as reading makes
    them and they give it back as it is; None if not."""
    kind = type(value)
    if kind is bytes or kind is Atom:
        return to_canonical(value)
    if kind is not list:
        return None
    try:
        octets = to_canonical(value)
    except ValueError:  # nested deeper than the writers go, or a loop
        return _deep_canonical(value, max_depth)
    except TypeError:
        return None
    return octets if _pure(value) else None


def _ship(items: Iterable[Any], max_depth: int) -> list[_Shipped]:
    shipped: list[_Shipped] = []
    for item in items:
        if type(item) is tuple and len(item) == 2 and type(item[1]) is str:
            octets = _octets(item[0], max_depth)
            shipped.append(item if octets is None else (octets, item[1]))
        else:
            octets = _octets(item, max_depth)
            shipped.append(item if octets is None else octets)
    return shipped


def _land(shipped: list[_Shipped], max_depth: int) -> list[Any]:
    back = lander({"max_depth": max_depth})
    items: list[Any] = []
    for s in shipped:
        if type(s) is bytes:
            items.append(back.parse(s))
        elif type(s) is tuple and len(s) == 2 and type(s[0]) is bytes and type(s[1]) is str:
            items.append((back.parse(s[0]), s[1]))
        else:
            items.append(s)
    return items


class _Partition(list[Any]):
    """The elements of a partition of `read_sexp`: a list, which travels
    between processes as the canonical octets of the values it holds."""

    # Dask makes one of its own from the elements alone, as it would a list.
    def __init__(self, items: Iterable[Any] = (), max_depth: int = DEFAULT_MAX_DEPTH,
                 octets: int = 0) -> None:
        super().__init__(items)
        self.max_depth = max_depth
        self.octets = octets  # read from the files

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, ...]]:
        return _partition, (_ship(self, self.max_depth), self.max_depth, self.octets)


class _Gathered(_Partition):
    """The partitions of a bag put together: arrives as a plain list."""

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, ...]]:
        return _land, (_ship(self, self.max_depth), self.max_depth)


def _partition(shipped: list[_Shipped], max_depth: int, octets: int) -> _Partition:
    return _Partition(_land(shipped, max_depth), max_depth, octets)


def _sizeof(partition: _Partition) -> int:
    """What a partition holds, for Dask to manage memory by (it would walk
    the values, and recurse through deep ones): Python's objects take two to
    seven times the octets of the text they were read from."""
    return 5 * partition.octets + sys.getsizeof(partition)


sizeof.register(_Partition)(_sizeof)  # type: ignore[no-untyped-call]


# This process among all others, that of a fork included.
_TOKEN = uuid.uuid4().hex


def _here() -> tuple[str, int]:
    return _TOKEN, os.getpid()


def _gather(partitions: Sequence[Iterable[Any]], home: tuple[str, int]) -> list[Any]:
    """The bag's result: its partitions one after another. Put together in
    another process than the caller's `home`, it travels there as a
    partition does, when any of them is one of `read_sexp`'s."""
    items = itertools.chain.from_iterable(partitions)
    depths = [p.max_depth for p in partitions if isinstance(p, _Partition)]
    if not depths or home == _here():
        return list(items)
    return _Gathered(items, max(depths))


class SexpBag(dask.bag.Bag):
    """The bag `read_sexp` returns: a `dask.bag.Bag` whose values travel to
    the client as canonical octets when it is computed."""

    def __dask_postcompute__(self) -> tuple[Callable[..., Any], tuple[tuple[str, int]]]:
        return _gather, (_here(),)


def _read_file(of: Any, parser: Parser, options: ParserOptions, stream: bool,
               ) -> tuple[list[Value], int]:
    """The value a file holds, or each of its S-expressions, and the octets
    read."""
    with of as f:
        data = f.read() if stream else read_at_most(f, options.get("max_input_len"))
    if stream:
        return list(iter_parse(data, **options)), len(data)
    return [parser.parse(data)], len(data)


def _read_partition(files: Sequence[Any], parser: Parser, stream: bool,
                    include_path: bool, errors: Literal["raise", "skip", "return"]) -> _Partition:
    """In a worker: the elements of the files of one partition."""
    options: ParserOptions = parser._options()  # type: ignore[assignment]
    items: list[Any] = []
    octets = 0
    for of in files:
        got: list[Any]
        try:
            got, read = _read_file(of, parser, options, stream)
        except FILE_ERRORS as e:
            noted(e, of.path)
            if errors == "raise":
                raise
            if errors == "skip":
                continue
            got, read = [e], 0
        items += [(v, of.path) for v in got] if include_path else got
        octets += read
    return _Partition(items, operator.index(options["max_depth"]), octets)


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
    check_errors(errors)
    positive("files_per_partition", files_per_partition)
    parser = Parser(**options)
    files = fsspec.open_files(urlpath, mode="rb", **(storage_options or {}))
    if not files:  # as dask.bag.read_text says it
        raise ValueError("No files found", urlpath)
    read = delayed(_read_partition, pure=True)
    parts = [read(files[i:i + files_per_partition], parser, stream, include_path, errors)
             for i in range(0, len(files), files_per_partition)]
    bag = dask.bag.from_delayed(parts)  # type: ignore[no-untyped-call]
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
    check_layout(to, indent)
    files = fsspec.open_files(urlpath, mode="wb", name_function=name_function,
                              num=bag.npartitions, **(storage_options or {}))
    write = delayed(_write_partition, pure=False)
    parts = bag.to_delayed()  # type: ignore[no-untyped-call]
    writes: list[Delayed] = [write(part, of, to, indent, width) for part, of in zip(parts, files)]
    if not compute:
        return writes
    compute_all(*writes)  # type: ignore[no-untyped-call]
    return [of.path for of in files]
