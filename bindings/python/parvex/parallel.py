"""Parsing many files on several processes.

The module holds the interpreter lock for the whole of each call, so threads
do not parse in parallel; processes do. A `Parser` cannot cross a process
boundary (its options cannot be read back), so the worker here takes the
parser's keywords instead and builds its own. Parsed values, `Atom`s
included, come back by pickling.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Callable, Iterable
from typing import Union

from ._parvex import DEFAULT_MAX_DEPTH, ParseError, Parser
from ._types import Value

__all__ = ["parse_file", "parse_files"]

StrPath = Union[str, "os.PathLike[str]"]


def parse_file(
    path: StrPath,
    *,
    canonical: bool = False,
    max_depth: int = DEFAULT_MAX_DEPTH,
    max_atom_len: int | None = None,
    max_input_len: int | None = None,
    allow_advanced: bool = True,
    allow_transport: bool = True,
    allow_display_hints: bool = True,
    allow_empty_atoms: bool = True,
    allow_empty_lists: bool = True,
    allow_list_as_first_element: bool = True,
    allow_hexadecimal: bool = True,
    allow_base64: bool = True,
    allow_lengths: bool = True,
) -> Value:
    """Reads the one S-expression that a file holds, under a `Parser` built
    from the keywords.

    A module-level function, so that `ProcessPoolExecutor.map` and
    `multiprocessing.Pool.map` can send it to their workers; bind options
    with `functools.partial(parse_file, canonical=True)`. With
    `max_input_len` no more than that many octets and one are read. A
    `ParseError` gets the note "while reading '{path}'".
    """
    parser = Parser(
        canonical=canonical, max_depth=max_depth, max_atom_len=max_atom_len,
        max_input_len=max_input_len, allow_advanced=allow_advanced,
        allow_transport=allow_transport, allow_display_hints=allow_display_hints,
        allow_empty_atoms=allow_empty_atoms, allow_empty_lists=allow_empty_lists,
        allow_list_as_first_element=allow_list_as_first_element,
        allow_hexadecimal=allow_hexadecimal, allow_base64=allow_base64,
        allow_lengths=allow_lengths)
    with open(path, "rb") as f:
        data = f.read() if max_input_len is None else f.read(max_input_len + 1)
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
    **options: bool | int | None,
) -> list[Value]:
    """Reads each file with `parse_file` on `jobs` processes (by default one
    for each processor) and returns the values in the order of `paths`.

    `options` are `parse_file`'s keywords. The first file that fails raises
    its exception; `ProcessPoolExecutor.map` with `parse_file` is the way to
    keep going past failures. With `jobs=1` no process is started.
    """
    paths = list(paths)
    work: Callable[[StrPath], Value] = functools.partial(parse_file, **options)  # type: ignore[arg-type]
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
