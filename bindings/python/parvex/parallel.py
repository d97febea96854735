"""Parsing many files on several processes.

The module holds the interpreter lock for the whole of each call, so threads
do not parse in parallel; processes do. The workers here take the parser's
keywords and build their own parser, and the calling process reads its
share of the files beside them (see `_pool`).

A value comes back from a worker as its canonical octets, which the worker
writes straight from the file it read, without making Python values of it,
and which the parent reads again: values of any depth `parse` accepts travel
this way (pickling lists recurses, and fails some 500 levels down), and
reading canonical octets is faster than unpickling the lists they hold.
"""

from __future__ import annotations

import functools
import gc
import os
import threading
from collections.abc import Iterable
from typing import Literal, Unpack, overload

from ._common import FILE_ERRORS, FileError, StrPath, check_errors, count, landed, lander, noted, read_at_most
from ._parvex import ParseError, Parser
from ._types import ParserOptions, Value

__all__ = ["parse_file", "parse_files"]


def _read(path: StrPath, options: ParserOptions) -> bytes:
    # A path, never a descriptor, which `open` would read and close.
    with open(os.fspath(path), "rb") as f:
        data: bytes = read_at_most(f, options.get("max_input_len"))
        return data


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
    data = _read(path, options)
    try:
        return parser.parse(data)
    except ParseError as e:
        noted(e, path)
        raise


def _read_here(path: StrPath, options: ParserOptions) -> Value | BaseException:
    """The file's value, or the exception that reading it raised, noted
    with the path."""
    try:
        return parse_file(path, **options)
    except OSError as e:
        return noted(e, path)
    except ParseError as e:  # noted already
        return e


def _shipped(path: StrPath, options: ParserOptions) -> bytes | BaseException:
    """In a worker: the canonical octets of the file's value, or the
    exception that reading it raised, noted with the path."""
    try:
        return Parser(**options)._canonical(_read(path, options))
    except FILE_ERRORS as e:
        return noted(e, path)


# Parsed values hold no cycles, yet the cyclic collector walks the lists
# again and again while a batch of them grows: a third to a half of the time
# of reading many files. It rests while parse_files runs, once for however
# many threads run it at once. On waking it would walk every list made
# meanwhile at once, as young objects, only to find them all alive (0.4 s
# for 200 MB of files): they go to the oldest generation instead, by
# freezing and unfreezing as the gc module documents, and are walked there
# with the rest at its next full collection. Not when the process keeps
# objects frozen (3.12 starts with some), which unfreezing would release.
class _CollectorPause:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._holders = 0
        self._was_enabled = False

    def __enter__(self) -> None:
        with self._lock:
            if self._holders == 0:
                self._was_enabled = gc.isenabled()
                gc.disable()
            self._holders += 1

    def __exit__(self, *_: object) -> None:
        with self._lock:
            self._holders -= 1
            if self._holders == 0 and self._was_enabled:
                if gc.get_freeze_count() == 0:
                    gc.freeze()
                    gc.unfreeze()
                gc.enable()


_collector_paused = _CollectorPause()


def _processors() -> int:
    """The processors this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


@overload
def parse_files(paths: Iterable[StrPath], *, jobs: int | None = None,
                chunksize: int | None = None, errors: Literal["raise", "skip"] = "raise",
                **options: Unpack[ParserOptions]) -> list[Value]: ...
@overload
def parse_files(paths: Iterable[StrPath], *, jobs: int | None = None,
                chunksize: int | None = None, errors: Literal["return"],
                **options: Unpack[ParserOptions]) -> list[Value | FileError]: ...


def parse_files(
    paths: Iterable[StrPath],
    *,
    jobs: int | None = None,
    chunksize: int | None = None,
    errors: Literal["raise", "skip", "return"] = "raise",
    **options: Unpack[ParserOptions],
) -> list[Value] | list[Value | FileError]:
    """Reads each file with `parse_file` on `jobs` processes (by default one
    for each processor it may run on): the calling one and `jobs - 1`
    others. Returns the values in the order of `paths`.

    `options` are `parse_file`'s keywords. A file that cannot be read or
    parsed (`OSError`, `ParseError`, with the note naming the file) is dealt
    with as `errors` says: "raise" raises the first, in the order of
    `paths`, and stops the rest; "skip" leaves the file out of the result;
    "return" puts the exception in the result in the value's place. With
    `jobs=1` no process is started. `chunksize` fixes how many files a
    worker is sent at once (by default about 10 ms of work, from the time
    files have taken so far). Values of any depth the options allow
    come back whole (see the module's documentation).
    """
    # Bad arguments fail here, before any file is read.
    check_errors(errors)
    Parser(**options)
    jobs = _processors() if jobs is None else count("jobs", jobs)
    if chunksize is not None:
        count("chunksize", chunksize)
    paths = [os.fspath(path) for path in paths]
    jobs = min(jobs, len(paths)) or 1

    results: list[Value | FileError] = []

    def take(outcome: Value | BaseException) -> None:
        if not isinstance(outcome, FILE_ERRORS):
            results.append(outcome)  # type: ignore[arg-type]
        elif errors == "raise":
            raise outcome
        elif errors == "return":
            results.append(outcome)

    own = functools.partial(_read_here, options=options)
    # Imported here: they cost more than the rest of `import parvex`.
    import multiprocessing

    from ._pool import Pool

    with _collector_paused:
        if jobs == 1 or multiprocessing.current_process().daemon:
            # (A daemonic process, a pool's worker say, may not start any.)
            for path in paths:
                take(own(path))
            return results
        land = functools.partial(landed, lander(options))
        work = functools.partial(_shipped, options=options)
        with Pool(jobs - 1, work, chunksize) as pool:
            for outcome in pool.map(paths, own, land):
                take(outcome)
    return results
