"""A long read takes its signals as they come, in the middle of a single
long string too, not once it is over: a handler's exception (Ctrl-C's
KeyboardInterrupt) ends it."""

import base64
import signal
import time
import traceback

import parvex
import pytest

N = 64 << 20
# Inputs that take many milliseconds to read (made when needed), and their
# length once read.
LONG = {
    "token": (lambda: b"x" * N, N),
    "verbatim": (lambda: b"%d:" % N + b"x" * N, N),
    "quoted": (lambda: b'"' + b"x" * N + b'"', N),
    "hexadecimal": (lambda: b"#" + b"61" * N + b"#", N),
    "base-64": (lambda: b"|" + b"QUJD" * (N // 3) + b"|", N // 3 * 3),
    "transport": (lambda: b"{" + base64.b64encode(b"%d:" % N + b"x" * N) + b"}", N),
    "list": (lambda: b"(" + b"ab " * (N // 16) + b")", N // 16),
    "bytearray": (lambda: bytearray(b"%d:" % N + b"x" * N), N),
}


@pytest.fixture
def alarm():
    """`alarm(raising)` arms a 2 ms timer; its handler notes when it ran,
    and raises InterruptedError if asked to."""
    ran, raising = [], []

    def handler(signum, frame):
        ran.append(time.perf_counter())
        if raising[-1]:
            raise InterruptedError

    def arm(raise_it=False):
        raising.append(raise_it)
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        return ran

    old = signal.signal(signal.SIGALRM, handler)
    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


@pytest.mark.parametrize("kind", LONG)
def test_signals_are_taken_during_the_read(alarm, kind):
    make, length = LONG[kind]
    data = make()
    for _ in range(10):
        start = time.perf_counter()
        ran = alarm()
        before = len(ran)  # the handler's runs of earlier tries
        assert len(parvex.parse(data)) == length
        # The handler ran early in the read, not once it was over; a loaded
        # machine that stops us for longer than the read takes puts it late:
        # again (a read that takes its signals only at its end never passes).
        if ran[before:] and ran[before] - start < (time.perf_counter() - start) / 2:
            break
    else:
        pytest.fail("the handler never ran early in the read")


@pytest.mark.parametrize("kind", ["token", "base-64", "list"])
def test_a_handler_that_raises_ends_the_read(alarm, kind):
    data = LONG[kind][0]()
    for _ in range(10):
        try:
            alarm(raise_it=True)
            parvex.parse(data)
        except InterruptedError as e:
            # Raised out of the read, or else the alarm rang before the read
            # began (a loaded machine may not run us for 2 ms): again.
            if traceback.extract_tb(e.__traceback__)[0].line == "parvex.parse(data)":
                break
        else:
            pytest.fail("the read ended without the handler's exception")
    else:
        pytest.fail("the alarm never rang during the read")
    assert parvex.parse(b"(a b)") == [b"a", b"b"]
