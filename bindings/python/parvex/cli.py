"""The `parvex` command: check S-expressions and convert them between the
three representations of RFC 9804.

Run as `parvex` (the console script) or `python -m parvex`; `--help` lists
every option and the exit statuses. Every failure is one line on standard
error (a parse error adds the line it is on, and a caret), never a
traceback.
"""

from __future__ import annotations

import argparse
import dataclasses
import errno
import functools
import io
import os
import signal
import sys
from collections.abc import Callable, Iterable, Sequence
from typing import IO, Any, get_type_hints

from ._common import hasher, read_at_most
from ._parvex import ParseError, Parser
from ._types import ParserOptions, Value
from .files import dump, dumps
from .stream import iter_parse
from .values import digest

__all__ = ["main"]

STDIN = "-"

# Exit statuses.
EXIT_OK = 0
EXIT_INPUT = 1         # an input could not be read, or what it holds could not be written
EXIT_USAGE = 2         # argparse's own
EXIT_OUTPUT = 74       # the output could not be written (EX_IOERR of sysexits.h)
EXIT_CLOSED_PIPE = 128 + signal.SIGPIPE  # its reader went away: what a shell shows for SIGPIPE
EXIT_INTERRUPTED = 128 + signal.SIGINT

# The widest --indent taken, in columns for each level of nesting.
MAX_INDENT = 1000
# The line width of --indent.
WIDTH = 80


def _reading_flags() -> list[tuple[str, str, str]]:
    """The command-line flag, Parser keyword and help of every reading
    option, in the order of `Parser`'s keywords: `--canonical`, `--max-X N`
    for a limit and `--no-X` for an `allow_X` flag, which refuses X."""
    flags = []
    for keyword, hint in get_type_hints(ParserOptions, include_extras=True).items():
        what = hint.__metadata__[0]
        if keyword.startswith("allow_"):
            flags.append(("--no-" + keyword[6:].replace("_", "-"), keyword, f"refuse {what}"))
        else:
            flags.append(("--" + keyword.replace("_", "-"), keyword, what))
    return flags


_EXAMPLES = """\
examples:
  parvex cert.sx                      write cert.sx on one line, advanced
  parvex --indent 2 cert.sx           ... indented, lists broken at 80 columns
  parvex --to canonical cert.sx > cert.csx
                                      raw canonical octets, e.g. for hashing
  printf '(a "b c")' | parvex --to transport
                                      prints {KDE6YTM6YiBjKQ==}
  parvex --check --canonical *.csx    validate canonical files, write nothing
  parvex --stream log.sx              every S-expression of log.sx, one a line
  parvex --max-depth 64 --max-atom-len 65536 --max-input-len 1048576 in.sx
                                      limits for input from untrusted sources
  parvex --no-hexadecimal --no-base64 --no-display-hints in.sx
                                      refuse those forms (any --no-* flag)
  parvex --check --jobs 4 data/*.sx   check many files on 4 processes
  parvex --hash=sha1 --stream keys.sx the SHA-1 of each S-expression's
                                      canonical octets, one a line
  parvex --key-file --indent 1 ~/.gnupg/private-keys-v1.d/KEYGRIP.key
                                      a GnuPG key file's key, indented
  parvex --keygrip KEYGRIP.key        its keygrip, as gpg prints it

On bad input parvex writes NAME:LINE:COLUMN: MESSAGE (kind) to standard error
(COLUMN counts octets from 1), then the line with a caret under the octet.
Any other failure is one line on standard error.

exit status:
  0    every input was read, and written
  1    an input could not be read (bad input, a file that cannot be opened,
       too large for memory), or what it holds could not be written
  2    a usage error
  74   the output could not be written (a full disk, a closed descriptor)
  141  the output's reader went away (`parvex ... | head`): nothing is said
  130  interrupted
"""


def _count(text: str) -> int:
    """A command-line number: a non-negative integer."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _indent(text: str) -> int:
    value = _count(text)
    if value > MAX_INDENT:
        raise argparse.ArgumentTypeError(f"at most {MAX_INDENT}")
    return value


def _positive(text: str) -> int:
    value = _count(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _algorithm(text: str) -> str:
    """A hash algorithm that hashlib knows."""
    try:
        hasher(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return text


# As in sexp-conv, the algorithm is given only as `--hash=ALG`, so that
# `--hash FILE` hashes FILE. A bare --hash followed by a word that names an
# algorithm is refused rather than read either way: `--hash=sha1 FILE` or
# `--hash ./sha1` says which was meant.
_HASH = "--hash"
_HASH_DEFAULT = "sha256"
_HASH_USAGE = f"{_HASH}[=ALG]"


def _hash_alone(cli: argparse.ArgumentParser, argv: Sequence[str]) -> list[str]:
    """`argv` with a bare --hash (before any `--`) given its default."""
    args = list(argv)
    end = args.index("--") if "--" in args else len(args)
    for i in range(end):
        if args[i] != _HASH:
            continue
        after = args[i + 1] if i + 1 < end else None
        if after is not None and not after.startswith("-") and _known_algorithm(after):
            cli.error(f"the algorithm of {_HASH} follows '=': {_HASH}={after} "
                      f"(or {_HASH} ./{after} to hash a file of that name)")
        args[i] = f"{_HASH}={_HASH_DEFAULT}"
    return args


def _known_algorithm(word: str) -> bool:
    try:
        _algorithm(word)
    except argparse.ArgumentTypeError:
        return False
    return True


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """Shows --hash as it is given: `--hash[=ALG]`, not `--hash ALG`."""

    def _format_usage(self, *args: Any) -> str:
        return super()._format_usage(*args).replace(f"{_HASH} ALG", _HASH_USAGE)

    def _format_action_invocation(self, action: argparse.Action) -> str:
        if _HASH in action.option_strings:
            return _HASH_USAGE
        return super()._format_action_invocation(action)


def _version() -> str:
    from . import __version__
    return f"parvex {__version__}"


def build_parser() -> argparse.ArgumentParser:
    cli = argparse.ArgumentParser(
        prog="parvex",
        description="Read S-expressions (RFC 9804) in any of the canonical, basic\n"
                    "transport and advanced representations, check them, and write\n"
                    "them in the one chosen.",
        epilog=_EXAMPLES,
        formatter_class=_Formatter,
    )
    cli.add_argument("files", nargs="*", metavar="FILE",
                     help="input files (default: standard input)")
    cli.add_argument("--version", action="version", version=_version())

    out = cli.add_argument_group("output")
    out.add_argument("--to", choices=("advanced", "canonical", "transport"),
                     default="advanced",
                     help="representation to write (default: advanced). Canonical is "
                          "written as raw octets; the others as one line of text each, "
                          "e.g. --to transport")
    out.add_argument("--indent", type=_indent, metavar="N",
                     help="write the advanced form on several lines, each list's "
                          f"elements N columns further in (at most {MAX_INDENT}), e.g. --indent 2")
    out.add_argument("--width", type=_count, metavar="W",
                     help="with --indent (and only with it), the line width that lists "
                          f"must fit to stay on one line (default: {WIDTH}), e.g. --width 100")
    out.add_argument("--check", action="store_true",
                     help="only check that the input reads, write nothing, "
                          "e.g. parvex --check *.sx")
    out.add_argument("--stream", action="store_true",
                     help="read every S-expression of each input one after another, "
                          "not exactly one; each is written on its own line "
                          "(canonical: one after another), e.g. parvex --stream log.sx")
    out.add_argument(_HASH, type=_algorithm, metavar="ALG",
                     help="write the digest of each S-expression's canonical octets, "
                          "one lowercase hexadecimal line each, in place of the "
                          f"S-expression; --hash alone is --hash={_HASH_DEFAULT}, any "
                          "other hashlib name is given as --hash=ALG, e.g. --hash=sha1")
    out.add_argument("-j", "--jobs", type=_positive, metavar="N", default=1,
                     help="read the files on N processes; output stays in the order "
                          "of the files (default: 1), e.g. --jobs 4")

    gpg = cli.add_argument_group("GnuPG")
    gpg.add_argument("--key-file", dest="key_file", action="store_const", const="key",
                     help="read each input as a GnuPG private key file (either form) "
                          "and write its key, e.g. parvex --key-file KEYGRIP.key")
    gpg.add_argument("--keygrip", dest="key_file", action="store_const", const="keygrip",
                     help="write the keygrip of each GnuPG key file, 40 hexadecimal "
                          "digits as gpg prints them")

    rd = cli.add_argument_group(
        "reading", "The options of parvex.Parser. By default every representation\n"
                   "is accepted and lists may nest 1024 deep.")
    # Absent from the namespace unless given, so that the parser's own
    # defaults apply.
    for flag, keyword, what in _reading_flags():
        if keyword == "max_input_len":
            what += "; with --stream, of each S-expression"
        if flag.startswith("--max-"):
            rd.add_argument(flag, dest=keyword, type=_count, metavar="N",
                            default=argparse.SUPPRESS, help=what)
        else:
            rd.add_argument(flag, dest=keyword, action="store_const",
                            const=not flag.startswith("--no-"), default=argparse.SUPPRESS,
                            help=what)
    return cli


@dataclasses.dataclass(frozen=True)
class Job:
    """What to do with each input; sent to the worker processes as is."""

    to: str
    indent: int | None
    width: int
    check: bool
    stream: bool
    options: dict[str, Any]
    hash: str | None = None
    key_file: str | None = None  # "key" or "keygrip"

    def write(self, value: Value, out: IO[bytes]) -> None:
        if self.hash is not None:
            out.write(digest(value, self.hash).hex().encode("ascii") + b"\n")
            return
        if self.indent is not None:
            # Written as it is laid out: indentation can make the text many
            # times longer than the value. The writers' refusals come first.
            dump(value, out, to="advanced", indent=self.indent, width=self.width)
        else:
            # Made whole before anything goes out, so that a value that
            # cannot be written leaves no part of itself behind.
            out.write(dumps(value, to=self.to))  # type: ignore[arg-type]
        if self.to != "canonical":
            out.write(b"\n")


def _job(args: argparse.Namespace) -> Job:
    options = {keyword: getattr(args, keyword) for _, keyword, _ in _reading_flags()
               if hasattr(args, keyword)}
    width = WIDTH if args.width is None else args.width
    return Job(to=args.to, indent=args.indent, width=width, check=args.check,
               stream=args.stream, options=options, hash=args.hash, key_file=args.key_file)


# MARK: pointing at an error

# How much of the stream stays available before the point the reader has
# reached, to show the line of an error that lies beyond it.
_CONTEXT = 256
# How many octets of the offending line are shown on each side of the caret.
_SHOWN = 40


class Tracked:
    """Passes a binary stream on to the reader, and keeps what it takes to
    point at an error with bounded memory: the octets from shortly before the
    reader's position on, and the count of lines before them. `before_read`
    runs before each read, which may wait for more to arrive."""

    def __init__(self, raw: IO[bytes], before_read: Callable[[], object] = lambda: None) -> None:
        read1 = getattr(raw, "read1", None)
        self._raw = raw
        self._read = read1 if callable(read1) else raw.read
        self._before_read = before_read
        self._reader: Any = None
        self.kept = bytearray()
        self.start = 0         # offset of kept[0] in the stream
        self.lines = 0         # line feeds before it
        self.line_start = 0    # offset just past the last of them

    def follow(self, reader: Any) -> None:
        """Lets go of what `reader` has passed each time it reads: the
        whitespace between S-expressions too, however long it runs."""
        self._reader = reader

    def read(self, size: int, /) -> bytes:
        if self._reader is not None:
            self.release(self._reader.offset)
        self._before_read()
        data = self._read(size)
        if data:
            self.kept += data
        return data

    read1 = read

    def fileno(self) -> int:
        return self._raw.fileno()

    def release(self, upto: int) -> None:
        """The reader has passed `upto`; no error can lie before it."""
        cut = upto - _CONTEXT - self.start
        if cut <= 0:
            return
        newlines = self.kept.count(b"\n", 0, cut)
        if newlines:
            self.lines += newlines
            self.line_start = self.start + self.kept.rfind(b"\n", 0, cut) + 1
        del self.kept[:cut]
        self.start += cut

    def point(self, name: str, error: ParseError) -> str:
        return point_at(name, error, bytes(self.kept), self.start, self.lines,
                        self.line_start)


def _shown(octets: bytes) -> str:
    # One character for every octet, so that the caret lines up: printable
    # ASCII and tab as themselves, anything else as a dot.
    return "".join(chr(o) if 32 <= o < 127 or o == 9 else "." for o in octets)


def point_at(name: str, error: ParseError, data: bytes, start: int = 0,
             lines: int = 0, line_start: int = 0) -> str:
    """`NAME:LINE:COLUMN: MESSAGE (kind)`, then the offending line and a
    caret under the octet at the error's offset, then the error's notes. `data` holds the input from
    offset `start` on; `lines` line feeds come before it, the last of them
    just before `line_start`."""
    rel = max(0, min(error.offset - start, len(data)))
    nl = data.rfind(b"\n", 0, rel)
    begin = nl + 1 if nl >= 0 else 0
    line = lines + data.count(b"\n", 0, rel) + 1
    column = rel - begin + 1 if nl >= 0 else start + rel - line_start + 1
    end = data.find(b"\n", rel)
    end = len(data) if end < 0 else end
    if end > begin and data[end - 1:end] == b"\r" and end - 1 > rel:
        end -= 1
    left = max(begin, rel - _SHOWN)
    right = min(end, rel + _SHOWN)
    cut_left = left > begin or (nl < 0 and line_start < start)
    before = ("..." if cut_left else "") + _shown(data[left:rel])
    text = before + _shown(data[rel:right]) + ("..." if right < end else "")
    caret = "".join("\t" if c == "\t" else " " for c in before) + "^"
    notes = "".join(f"    note: {note}\n" for note in getattr(error, "__notes__", ()))
    return (f"{name}:{line}:{column}: {error} ({error.kind})\n"
            f"    {text}\n    {caret}\n{notes}")


# MARK: running


class OutputFailed(Exception):
    """Writing the output failed, other than for a closed pipe; carries the
    OSError."""


class Output:
    """The output, whose failures are told apart from the inputs'."""

    def __init__(self, raw: IO[bytes] | None) -> None:
        self._raw = raw

    def write(self, data: bytes | memoryview) -> None:
        try:
            if self._raw is None:
                raise OSError(errno.EBADF, os.strerror(errno.EBADF))
            self._raw.write(data)
        except BrokenPipeError:
            raise
        except OSError as e:
            raise OutputFailed(e) from None

    def flush(self) -> None:
        if self._raw is None:
            return
        try:
            self._raw.flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            raise OutputFailed(e) from None


class _Discard(io.StringIO):
    """Standard error when it is closed: what would go there is dropped."""

    def write(self, text: str) -> int:
        return len(text)


def _reason(e: BaseException) -> str:
    if isinstance(e, MemoryError):
        return "out of memory"
    if isinstance(e, OSError):
        return e.strerror or str(e)
    return str(e)


def process(job: Job, name: str, source: IO[bytes] | None, out: Output | IO[bytes],
            err: IO[str]) -> bool:
    """Reads one input and writes what `job` asks; reports a failure of the
    input to `err` and returns whether there was none. A failure of the
    output raises."""
    opts = job.options
    try:
        if source is None:  # the standard input was closed
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        if job.key_file is not None:
            return _key_file(job, name, read_at_most(source, opts.get("max_input_len")), out, err)
        if job.stream:
            # What was written goes out before more is waited for: a peer
            # that sends a request and waits for the reply gets it.
            tracked = Tracked(source, before_read=out.flush)
            reader = iter_parse(tracked, **opts)
            tracked.follow(reader)
            try:
                for value in reader:
                    if not job.check:
                        job.write(value, out)  # type: ignore[arg-type]
            except ParseError as e:
                out.flush()
                err.write(tracked.point(name, e))
                return False
        else:
            # Past a limit one octet tells as much as the rest would.
            data = read_at_most(source, opts.get("max_input_len"))
            try:
                value = Parser(**opts).parse(data)
            except ParseError as e:
                err.write(point_at(name, e, data))
                return False
            del data
            if not job.check:
                job.write(value, out)  # type: ignore[arg-type]
    except ValueError as e:  # a value nested deeper than the writers take
        out.flush()
        err.write(f"{name}: cannot write it: {e}\n")
        return False
    except (OutputFailed, BrokenPipeError):
        raise
    except (OSError, MemoryError) as e:  # a directory, a read that failed, too large
        out.flush()
        err.write(f"parvex: {name}: {_reason(e)}\n")
        return False
    return True


def _key_file(job: Job, name: str, data: bytes, out: Output | IO[bytes], err: IO[str]) -> bool:
    from .gnupg import keygrip, read_key_file
    try:
        key = read_key_file(data).key
        grip = keygrip(key) if job.key_file == "keygrip" else None
    except ParseError as e:
        err.write(point_at(name, e, data))
        return False
    except ValueError as e:  # the Name: value layer, or a key with no keygrip
        err.write(f"parvex: {name}: {e}\n")
        return False
    if job.check:
        return True
    if grip is not None:
        out.write(grip.hex().upper().encode("ascii") + b"\n")
    else:
        job.write(key, out)  # type: ignore[arg-type]
    return True


def _open_and_process(job: Job, path: str, out: Output | IO[bytes], err: IO[str]) -> bool:
    if path == STDIN:
        stdin = sys.stdin.buffer if sys.stdin is not None else None
        return process(job, "<stdin>", stdin, out, err)
    try:
        source = open(path, "rb")
    except OSError as e:
        err.write(f"parvex: {path}: {_reason(e)}\n")
        return False
    with source:
        return process(job, path, source, out, err)


# What a worker holds of the output of a file: this much beside eight times
# the file's size, more than any representation takes. Past it (indentation
# that makes a small file into a large text) the file is read again by the
# calling process, which writes the text as it is made.
_HELD = 1 << 20


class _TooLong(Exception):
    """A worker's output for one file outgrew what it may hold."""


class _Held(io.BytesIO):
    def __init__(self, limit: int) -> None:
        super().__init__()
        self.limit = limit

    def write(self, data: Any, /) -> int:
        if self.tell() + len(data) > self.limit:
            raise _TooLong
        return super().write(data)


def work(job: Job, path: str) -> tuple[bytes, str, bool | None]:
    """One file in a worker process: its output, its error report, and
    whether it was read; None in place of all three when its output is
    too long to hold, for the caller to do it."""
    try:
        size = os.stat(path).st_size
    except OSError:  # reported as the file is opened
        size = 0
    out, err = _Held(8 * size + _HELD), io.StringIO()
    try:
        ok = _open_and_process(job, path, out, err)
    except _TooLong:
        return b"", "", None
    return out.getvalue(), err.getvalue(), ok


def _run_parallel(job: Job, paths: list[str], jobs: int, out: Output,
                  err: IO[str]) -> bool:
    """The files on `jobs` processes, this one among them (see
    `parvex._pool`); standard input read here, in its place."""
    from ._pool import Pool, WorkerEnded

    run = functools.partial(work, job)

    def in_turn(path: str) -> tuple[bytes, str, bool | None]:
        # Written at once, as one process writes, while no worker runs.
        return b"", "", _open_and_process(job, path, out, err)

    def write(paths: list[str], results: Iterable[tuple[bytes, str, bool | None]]) -> bool:
        ok = True
        for path, (data, report, good) in zip(paths, results):
            if good is None:  # too long for a worker to hold: done here
                good = _open_and_process(job, path, out, err)
            if data:
                out.write(data)
            if report:
                out.flush()
                err.write(report)
            ok &= good
        return ok

    # Standard input ('-', once at most) is this process's own.
    stdin = paths.index(STDIN) if STDIN in paths else len(paths)
    try:
        with Pool(jobs - 1, run) as pool:
            ok = write(paths[:stdin], pool.map(paths[:stdin], run, _same, in_turn))
            if stdin < len(paths):
                ok &= _open_and_process(job, STDIN, out, err)
                rest = paths[stdin + 1:]
                ok &= write(rest, pool.map(rest, run, _same, in_turn))
    except WorkerEnded as e:
        out.flush()
        err.write(f"parvex: {e}\n")
        return False
    return ok


def _same(result: tuple[bytes, str, bool | None]) -> tuple[bytes, str, bool | None]:
    return result


def _silence_stdout() -> None:
    """Points the standard output at /dev/null, so that the interpreter's
    own last flush at exit has nowhere to fail."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (AttributeError, OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    cli = build_parser()
    args = cli.parse_args(_hash_alone(cli, sys.argv[1:] if argv is None else argv))
    if args.width is not None and args.indent is None:
        cli.error("--width is the line width of --indent: give --indent N too")
    if args.indent is not None and args.to != "advanced":
        cli.error("--indent writes the advanced representation; "
                  f"it cannot be used with --to {args.to}")
    if args.hash is not None and (args.indent is not None or args.check):
        cli.error("--hash writes digests; it cannot be used with "
                  + ("--indent" if args.indent is not None else "--check"))
    if args.key_file is not None and args.stream:
        cli.error("a key file holds one key; --stream cannot be used with --key-file or --keygrip")
    job = _job(args)
    try:
        Parser(**job.options)
    except OverflowError as e:
        cli.error(f"a limit too large: {e}")
    paths = args.files or [STDIN]
    if paths.count(STDIN) > 1:
        cli.error("standard input ('-') can be read only once")
    err: IO[str] = sys.stderr if sys.stderr is not None else _Discard()
    stdout = sys.stdout.buffer if sys.stdout is not None else None
    if stdout is None and not job.check:
        err.write(f"parvex: standard output: {os.strerror(errno.EBADF)}\n")
        return EXIT_OUTPUT
    out = Output(stdout)
    try:
        jobs = min(args.jobs, len([p for p in paths if p != STDIN]))
        if jobs > 1:
            ok = _run_parallel(job, paths, jobs, out, err)
        else:
            ok = True
            for path in paths:
                ok &= _open_and_process(job, path, out, err)
        out.flush()
    except BrokenPipeError:
        # The reader of the output went away (`parvex big.sx | head`): stop
        # quietly, as a tool that the signal ended would.
        _silence_stdout()
        return EXIT_CLOSED_PIPE
    except OutputFailed as e:
        _silence_stdout()
        err.write(f"parvex: standard output: {_reason(e.args[0])}\n")
        return EXIT_OUTPUT
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    return EXIT_OK if ok else EXIT_INPUT
