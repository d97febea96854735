"""Python code that runs inside a call of the module (a sequence's own
methods, another thread, a signal handler) and changes what the call is
working on. Under the sanitizer build a use of freed memory is reported;
in the plain build it shows as wrong output or a crash."""

import io
import signal
import threading

import parvex
import pytest
from parvex import Atom

BIG = 1 << 20


def via_dump(sexp):
    out = io.BytesIO()
    parvex.dump(sexp, out)
    return out.getvalue()


WRITERS = {
    "to_canonical": (parvex.to_canonical, lambda v: parvex.to_canonical(v)),
    "to_transport": (parvex.to_transport, lambda v: parvex.to_transport(v)),
    "dump": (via_dump, lambda v: parvex.to_canonical(v)),
    "digest": (parvex.digest, lambda v: parvex.digest(v)),
}
LARGE = {
    "bytes": lambda: b"Z" * BIG,
    "str": lambda: "Z" * BIG,
    "str (UTF-8 of its own)": lambda: "\u00e9" * (BIG // 2),
    "Atom": lambda: Atom(b"Z" * BIG),
    "Atom's hint": lambda: Atom(b"z", hint=b"Z" * BIG),
}


def drop(holder):
    """Lets go of the large atom already written, and fills memory with
    other octets so that a read of the freed block shows."""
    holder[0] = None
    return [bytes([0x51]) * BIG for _ in range(4)]


class DropsInLen:
    """A sequence of integers whose `len()` lets go of the large atom."""

    def __init__(self, holder):
        self.holder = holder

    def __len__(self):
        self.junk = drop(self.holder)
        return 1

    def __iter__(self):
        return iter([65])

    def __getitem__(self, i):
        return [65][i]


class DropsInOtherThread:
    """A sequence whose iteration waits, holding no lock, for another thread
    to let go of the large atom."""

    def __init__(self, holder):
        self.holder = holder
        self.done = threading.Event()

    def __len__(self):
        threading.Thread(target=self.other).start()
        return 1

    def other(self):
        self.junk = drop(self.holder)
        self.done.set()

    def __iter__(self):
        self.done.wait()
        yield 65

    __getitem__ = DropsInLen.__getitem__


@pytest.mark.parametrize("large", LARGE.values(), ids=LARGE)
@pytest.mark.parametrize("how", [DropsInLen, DropsInOtherThread])
@pytest.mark.parametrize("write, want", WRITERS.values(), ids=WRITERS)
def test_a_long_atom_written_before_python_code_runs_is_held(write, want, how, large):
    expected = want([large(), b"A"])
    holder = [large(), None]
    holder[1] = how(holder)
    assert write(holder) == expected
    assert holder[0] is None


def during_signals(prepare, call, act, tries=20):
    """Calls `prepare()`, then `call()` under a timer that fires every
    millisecond, whose handler calls `act()` while the call runs, until a
    try in which it did; returns what that call returned and what `act`
    did. A try whose handler ran before the call began (`call` raises
    TypeError or returns None then) is taken again."""
    inside = False
    acted = []

    def handler(signum, frame):
        if inside:
            acted.append(act())

    old = signal.signal(signal.SIGALRM, handler)
    try:
        for _ in range(tries):
            acted.clear()
            prepare()
            signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
            inside = True
            try:
                got = call()
            except TypeError:
                continue
            finally:
                inside = False
                signal.setitimer(signal.ITIMER_REAL, 0)
            if acted and got is not None:
                return got, acted
        pytest.fail("the handler never ran during the call")
    finally:
        signal.signal(signal.SIGALRM, old)


@pytest.mark.parametrize("write, want", WRITERS.values(), ids=WRITERS)
def test_a_signal_handler_between_the_slices_of_a_bytearray(write, want):
    # The copy of a large bytearray checks for signals between slices; a
    # handler that runs there lets go of the long atom written before it.
    tail = bytearray(64 << 20)
    expected = want([b"Z" * (2 << 20), tail])
    holder = []

    def prepare():
        holder[:] = [b"Z" * (2 << 20), tail]

    got, _ = during_signals(prepare, lambda: write(holder), lambda: holder.__setitem__(0, None))
    assert got == expected


def test_a_signal_handler_during_a_read():
    # A read takes its signals as it builds; the handler empties the
    # bytearray being read and reads something else on the same thread.
    text = b"(" + b"ab " * (2 << 20) + b")"  # copied in one slice
    expected = parvex.parse(text)
    data = bytearray()

    def call():
        got = parvex.parse(data)
        return None if got == [b"junk"] else got

    def act():
        data[:] = b"junk"
        return parvex.parse(b"(nested [h]read)")

    got, nested = during_signals(lambda: data.__setitem__(slice(None), text), call, act)
    assert got == expected
    assert nested[0] == [b"nested", Atom(b"read", hint=b"h")]
