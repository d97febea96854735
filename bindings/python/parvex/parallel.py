"""Parsing many files on several processes.

The module holds the interpreter lock for the whole of each call, so threads
do not parse in parallel; processes do. The worker here takes the parser's
keywords and builds its own parser. Parsed values, `Atom`s included, come
back by pickling.
"""

from __future__ import annotations

import functools
import operator
import os
from collections.abc import Callable, Iterable
from typing import Union, Unpack

from ._parvex import ParseError, Parser
from ._types import ParserOptions, Value

__all__ = ["parse_file", "parse_files"]

StrPath = Union[str, "os.PathLike[str]"]


def parse_file(path: StrPath, **options: Unpack[ParserOptions]) -> Value:
    """Reads the one S-expression that a file holds, under a `Parser` built
    from the keywords.

    A module-level function, so that `ProcessPoolExecutor.map` and
    `multiprocessing.Pool.map` can send it to their workers; bind options
    with `functools.partial(parse_file, canonical=True)`. With
    `max_input_len` no more than that many octets and one are read. A
    `ParseError` gets the note "while reading '{path}'".
    """
    parser = Parser(**options)
    limit = options.get("max_input_len")
    with open(path, "rb") as f:
        data = f.read() if limit is None else f.read(operator.index(limit) + 1)
    try:
        return parser.parse(data)
    except ParseError as e:
        e.add_note(f"while reading {os.fsdecode(path)!r}")
        raise


def parse_files(
    paths: Iterable[StrPath],
    *,
    jobs: int | None = None,
    chunksize: int | None = None,
    **options: Unpack[ParserOptions],
) -> list[Value]:
    """Reads each file with `parse_file` on `jobs` processes (by default one
    for each processor) and returns the values in the order of `paths`.

    `options` are `parse_file`'s keywords. The first file that fails raises
    its exception; `ProcessPoolExecutor.map` with `parse_file` is the way to
    keep going past failures. With `jobs=1` no process is started.
    """
    Parser(**options)  # a bad keyword fails here, before any file is read
    paths = list(paths)
    work: Callable[[StrPath], Value] = functools.partial(parse_file, **options)
    if jobs is None:
        jobs = os.cpu_count() or 1
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    jobs = min(jobs, len(paths)) or 1
    if jobs == 1:
        return [work(p) for p in paths]
    if chunksize is None:
        # A few batches for each worker: fewer round trips than one file at
        # a time, and still a share for every worker.
        chunksize = max(1, len(paths) // (4 * jobs))
    # Imported here: it costs more than the rest of `import parvex`.
    from concurrent.futures import ProcessPoolExecutor

    with ProcessPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(work, paths, chunksize=chunksize))
