"""An ordered process pool in which the calling process takes a share.

`Pool(workers, work)` starts `workers` processes that run `work(item)`;
`Pool.map(items, own, land)` hands the items out in chunks and yields one
result for each item, in the order of `items`: `land(work(item))` for the
items a worker did, `own(item)` for those the caller did itself.

Why not `concurrent.futures.ProcessPoolExecutor` (which the package used
before), in short:

* The caller works too. It takes the next item itself whenever no result is
  ready to be yielded and every worker has its queue full, so the work is
  done on `workers + 1` processes, and before the workers have started
  (which takes a while under "spawn" and "forkserver") the caller is already
  at it: a batch too small to be worth a process is done in about the time
  one process takes.
* Nothing needs the caller to move a result. The executor's results travel
  through a pipe that holds 64 KiB, read by a thread of the caller's that
  needs the interpreter lock between every piece: while the caller was busy
  with a value (a long parse holds the lock throughout), the workers waited
  for it. Here a worker writes a large reply to a file in memory that has no
  name (`memfd_create`, on Linux), sends its descriptor, and goes on: a
  caller that is killed cannot leave such a file behind, as it could a
  named one.
* Workers are started only once the work left is worth it: the items the
  caller has done tell how long the rest will take, and below
  `_WORTH_STARTING` seconds of it (the time it takes to import
  multiprocessing and start a process, several times over) the caller does
  it alone rather than pay for processes that could not pay back.
* Chunks follow the work: each holds about `_CHUNK_SECONDS` of it, from the
  time items have taken so far, so many small files cost few messages and
  a few large ones still spread over every process.

Workers end with the caller, however it ends (a signal that cannot be
caught included): no process but the caller holds the caller's end of a
worker's pipe, and a worker ends when that end closes (see
`_end_with_caller`). Any start method will do ("fork",
"forkserver", "spawn"); the context's default is used unless one is given.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import time
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Generic, TypeVar

from ._common import count

if TYPE_CHECKING:
    from multiprocessing.connection import Connection

__all__ = ["Pool", "WorkerEnded"]

Item = TypeVar("Item")
Shipped = TypeVar("Shipped")
Result = TypeVar("Result")

# Work in one chunk, in seconds: enough that a message costs little beside
# it, little enough that the last chunks end together.
_CHUNK_SECONDS = 0.01
# Chunks sent ahead to each worker, so that it never waits for the caller.
_QUEUED = 2
# A reply at least this long goes through a file in memory rather than the
# pipe, where there are such files.
_SPOOL_AT = 1 << 15
_SPOOLS = sys.platform.startswith("linux") and hasattr(os, "memfd_create")
# How often the caller looks for replies while it works itself, in seconds.
_POLL_SECONDS = 0.001
# How many results of its own the caller may hold, at least, while it waits
# for a worker's.
_AHEAD = 8
# Work left, in seconds, that is worth starting the workers for, and the
# time the caller works before it judges.
_WORTH_STARTING = 0.1
_SAMPLE_SECONDS = 0.002
# How long a worker that was told to stop, or terminated, may take before
# it is killed.
_GRACE_SECONDS = 5.0


class WorkerEnded(RuntimeError):
    """A worker process ended before it had done its work (it was killed,
    or crashed)."""


def _serve(conn: Connection, work: Callable[[Any], Any]) -> None:
    """A worker: runs `work` on each chunk it is sent and replies with the
    results, until it is sent None or the caller goes away."""
    import pickle

    _end_with_caller(conn)
    # Ctrl-C reaches every process of the terminal's group; ending the
    # workers is the caller's business. A handler of SIGTERM that "fork"
    # brought from the caller would keep `terminate` from ending a worker.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    try:
        conn.send_bytes(pickle.dumps(("ready",)))
    except OSError:  # the caller has gone
        return
    while True:
        try:
            task = conn.recv()
        except (EOFError, OSError):
            return
        if task is None:
            return
        first, items = task
        start = time.perf_counter()
        try:
            results = [work(item) for item in items]
        except Exception as e:  # a fault of `work`, not of an item
            with contextlib.suppress(OSError):
                conn.send_bytes(_pickled_error(e))
            return
        reply = ("done", first, time.perf_counter() - start, results)
        try:
            if not (_SPOOLS and _octets(results) >= _SPOOL_AT and _send_in_a_file(conn, reply)):
                conn.send_bytes(pickle.dumps(reply, -1))
        except OSError:  # the caller has gone
            return


def _end_with_caller(conn: Connection) -> None:
    """Ends this process when the caller does, whatever the worker is at.

    A thread of its own waits for the caller's end of the pipe to close (no
    process but the caller holds it) and ends the process, as soon as the
    interpreter lock is free: a parse holds it throughout. On Linux the
    kernel also kills the process when its parent ends, lock or no lock;
    the parent is the thread that started it, or under "forkserver" the
    server, which lives on while any process it started does."""
    import select
    import threading

    if sys.platform.startswith("linux"):
        try:
            import ctypes

            libc = ctypes.CDLL(None, use_errno=True)
            libc.prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
        except (OSError, AttributeError):
            pass
    if not hasattr(select, "poll"):
        return
    fd = os.dup(conn.fileno())

    def watch() -> None:
        poller = select.poll()
        poller.register(fd, 0)  # no reading here: only the hang-up
        while not poller.poll():
            pass
        os._exit(1)

    threading.Thread(target=watch, name="parvex-watch", daemon=True).start()


# A descriptor crosses the connection beside one octet of its own. Not
# multiprocessing.reduction's send_handle: from CPython 3.14 on, it waits for
# the receiver to answer with an octet, which on a connection that carries
# requests the other way can be the first octet of the next request.
def _send_fd(conn: Connection, fd: int) -> None:
    import array
    import socket

    with socket.socket(fileno=os.dup(conn.fileno())) as s:
        s.sendmsg([b"F"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [fd]))])


def _recv_fd(conn: Connection) -> int:
    import array
    import socket

    fds = array.array("i")
    with socket.socket(fileno=os.dup(conn.fileno())) as s:
        octet, ancillary, _, _ = s.recvmsg(1, socket.CMSG_SPACE(fds.itemsize), socket.MSG_CMSG_CLOEXEC)
    if not octet:
        raise EOFError
    for level, kind, data in ancillary:
        if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
            fds.frombytes(data[: len(data) - len(data) % fds.itemsize])
    if len(fds) != 1:
        for fd in fds:
            os.close(fd)
        raise RuntimeError(f"a reply's file came with {len(fds)} descriptors")
    return fds[0]


def _send_in_a_file(conn: Connection, reply: tuple[Any, ...]) -> bool:
    """Sends `reply` pickled into a file in memory that has no name, and
    its descriptor; False where no such file could be made (memory or
    descriptors short), and nothing was sent."""
    import pickle

    try:
        fd = os.memfd_create("parvex-reply", os.MFD_CLOEXEC)
    except OSError:
        return False
    try:
        try:
            # Pickled straight into the file: no copy in between.
            with open(fd, "wb", closefd=False) as f:
                pickle.dump(reply, f, -1)
        except OSError:
            return False
        conn.send_bytes(pickle.dumps(("spooled",)))
        _send_fd(conn, fd)
        return True
    finally:
        os.close(fd)


def _octets(results: list[Any]) -> int:
    """About how long a reply will be: the octets and characters of the
    results, and of the members of those that are tuples."""
    total = 0
    for result in results:
        for part in result if type(result) is tuple else (result,):
            if isinstance(part, (bytes, bytearray, str)):
                total += len(part)
    return total


def _pickled_error(e: Exception) -> bytes:
    import pickle

    try:
        return pickle.dumps(("failed", e), -1)
    except Exception:
        return pickle.dumps(("failed", RuntimeError(f"{type(e).__name__}: {e}")), -1)


# The caller's ends of the workers' pipes. No process forked from the caller
# may hold them (a worker under "fork" among them): a worker would not read
# the end of its pipe, when the caller is killed, while a copy of the
# caller's end lived in it or in a sibling.
_callers_ends: set[Connection] = set()


def _close_callers_ends() -> None:
    for conn in _callers_ends:
        conn.close()
    _callers_ends.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_close_callers_ends)


class _Worker:
    def __init__(self, context: Any, work: Callable[[Any], Any]) -> None:
        self.conn, child = context.Pipe()
        _callers_ends.add(self.conn)
        self.process = context.Process(target=_serve, args=(child, work), daemon=True)
        try:
            self.process.start()
        except BaseException:
            _callers_ends.discard(self.conn)
            self.conn.close()
            raise
        finally:
            child.close()
        self.ready = False
        self.queued: deque[int] = deque()  # the first index of each chunk sent

    def end(self) -> None:
        """Waits for the process to end (killing it after `_GRACE_SECONDS`),
        and releases it and the pipe."""
        self.process.join(_GRACE_SECONDS)
        if self.process.exitcode is None:
            self.process.kill()
            self.process.join()
        self.process.close()
        _callers_ends.discard(self.conn)
        self.conn.close()


def _ended(w: _Worker) -> WorkerEnded:
    w.process.join(1)
    return WorkerEnded(f"a worker process ended unexpectedly (exit status {w.process.exitcode})")


class Pool(Generic[Item, Shipped]):
    """`workers` processes that run `work(item) -> Shipped`, and the caller
    beside them; a context manager, which ends the workers on leaving.
    They are started from `context` (a `multiprocessing` context; by
    default, the default one)."""

    def __init__(self, workers: int, work: Callable[[Item], Shipped],
                 chunksize: int | None = None, context: Any = None) -> None:
        self._wanted = count("workers", workers)
        self._work = work
        self._chunksize = None if chunksize is None else count("chunksize", chunksize)
        self._context = context
        self._seconds = 0.0  # the time items have taken, and how many
        self._timed = 0
        self._workers: list[_Worker] = []
        self._started = False

    def _start(self) -> None:
        """Starts the workers (see the module's documentation for when)."""
        import multiprocessing

        self._started = True
        context = self._context or multiprocessing.get_context()
        for _ in range(self._wanted):
            self._workers.append(_Worker(context, self._work))

    def __enter__(self) -> Pool[Item, Shipped]:
        return self

    def __exit__(self, kind: object, *_: object) -> None:
        self.close(at_once=kind is not None)

    def close(self, at_once: bool = False) -> None:
        """Ends the workers: those at rest are told to stop, the others (and
        all of them `at_once`) are terminated."""
        workers, self._workers = self._workers, []
        for w in workers:
            try:
                if at_once or not w.ready or w.queued:
                    w.process.terminate()
                else:
                    w.conn.send(None)
            except OSError:
                pass
        for w in workers:
            w.end()

    def _chunk(self, left: int) -> int:
        if self._chunksize is not None:
            return min(self._chunksize, left)
        share = max(1, left // (_QUEUED * (len(self._workers) + 1)))
        if not self._timed:
            return 1
        per_item = self._seconds / self._timed
        return max(1, min(share, int(_CHUNK_SECONDS / per_item) if per_item > 0 else share))

    def map(self, items: Sequence[Item], own: Callable[[Item], Result],
            land: Callable[[Shipped], Result],
            in_turn: Callable[[Item], Result] | None = None) -> Iterator[Result]:
        """Yields a result for each of `items`, in their order: `own(item)`
        where the caller took the item, `land(work(item))` where a worker
        did. `in_turn(item)`, where given, takes `own`'s place while the
        caller works alone, each result yielded as soon as it is made: it
        may write its output at once. Raises what `work` raised in a worker,
        and `WorkerEnded`."""
        count = len(items)
        arrived: dict[int, Any] = {}  # index -> what a worker shipped
        owned: dict[int, Result] = {}  # index -> what the caller made
        sent = done = 0  # items handed out (or taken), items yielded
        polled = 0.0
        if self._chunksize is not None and not self._started:
            self._start()  # told how to share the work out: no need to time it
        # Alone until the work left is worth the workers.
        if not self._started:
            alone, clock = in_turn or own, time.perf_counter
            begun = clock()
            for item in items:
                result = alone(item)
                sent += 1
                # Timed as a whole, the handling of the results between
                # included: what each item costs the caller, for no more than
                # one clock reading an item.
                spent = clock() - begun
                if spent >= _SAMPLE_SECONDS and spent * (count - sent) > _WORTH_STARTING * sent:
                    self._time(spent, sent)
                    self._start()
                    yield result
                    break
                yield result
        done = sent
        while done < count:
            for w in self._workers:
                while w.ready and len(w.queued) < _QUEUED and sent < count:
                    size = self._chunk(count - sent)
                    try:
                        w.conn.send((sent, items[sent:sent + size]))
                    except OSError:
                        raise _ended(w) from None
                    w.queued.append(sent)
                    sent += size
            now = time.perf_counter()
            if now - polled >= _POLL_SECONDS:
                self._receive(arrived, block=False)
                polled = now
            while done in owned or done in arrived:
                yield owned.pop(done) if done in owned else land(arrived.pop(done))
                done += 1
            if done == count:
                break
            # The caller runs ahead of the workers by about as many items as
            # they hold, so that what waits to be yielded stays bounded.
            in_flight = sent - done - len(owned) - len(arrived)
            if sent < count and len(owned) <= max(_AHEAD, in_flight):
                start = time.perf_counter()
                owned[sent] = own(items[sent])
                self._time(time.perf_counter() - start, 1)
                sent += 1
            else:
                self._receive(arrived, block=True)
                polled = time.perf_counter()

    def _time(self, seconds: float, items: int) -> None:
        self._seconds += seconds
        self._timed += items

    def _receive(self, arrived: dict[int, Any], block: bool) -> None:
        import mmap
        import pickle
        from multiprocessing.connection import wait

        conns = {w.conn: w for w in self._workers}
        for ready in wait(list(conns), timeout=None if block else 0):
            w = conns[ready]
            try:
                message = pickle.loads(w.conn.recv_bytes())
                if message[0] == "spooled":
                    fd = _recv_fd(w.conn)
                    # Read where the file lies, in memory: no copy in between.
                    try:
                        with mmap.mmap(fd, 0, access=mmap.ACCESS_READ) as data:
                            message = pickle.loads(data)
                    finally:
                        os.close(fd)
            except (EOFError, OSError, RuntimeError):  # the worker ended mid-reply
                raise _ended(w) from None
            if message[0] == "ready":
                w.ready = True
            elif message[0] == "failed":
                raise message[1]
            else:
                _, first, seconds, results = message
                w.queued.popleft()
                self._time(seconds, len(results))
                for i, result in enumerate(results):
                    arrived[first + i] = result
