"""A long read takes its signals as they come, in the middle of a single
long string too, not once it has finished: a handler's exception (Ctrl-C's
KeyboardInterrupt) ends it."""

import base64
import signal
import time

import pytest

import parvex

N = 64 << 20
# Inputs that take a good many milliseconds to read (made when needed), and
# their length once read.
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
    """Arms a timer whose signal's handler notes when it ran, or raises."""
    ran = []

    def handler(signum, frame):
        ran.append(time.perf_counter())
        if raising:
            raise InterruptedError("stop")

    raising = False
    old = signal.signal(signal.SIGALRM, handler)

    def arm(raise_it=False):
        nonlocal raising
        raising = raise_it
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        return ran

    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


@pytest.mark.parametrize("kind", LONG)
def test_signals_are_taken_during_the_read(alarm, kind):
    make, length = LONG[kind]
    data = make()
    start = time.perf_counter()
    ran = alarm()
    value = parvex.parse(data)
    done = time.perf_counter()
    # The handler ran early in the read, not once it was over.
    assert ran and ran[0] - start < (done - start) / 2
    assert len(value) == length


@pytest.mark.parametrize("kind", ["token", "base-64", "list"])
def test_a_handler_that_raises_ends_the_read(alarm, kind):
    alarm(raise_it=True)
    with pytest.raises(InterruptedError):
        parvex.parse(LONG[kind][0]())
    assert parvex.parse(b"(a b)") == [b"a", b"b"]
