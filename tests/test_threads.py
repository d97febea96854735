"""Threads: several threads parsing and writing at once, sharing one Parser,
get exactly what one thread gets; a structure that another thread changes
while it is written comes out as one of its states, whole."""

import gc
import random
import sys
import threading

import parvex
import pytest
from parvex import Atom, ParseError, Parser
from support import transport

THREADS = 8
ROUNDS = 25
SHARED = Parser(max_depth=64, max_atom_len=4096, allow_empty_lists=False)


class Seq:
    """Octets produced by Python code, where the interpreter may switch
    threads in the middle of a conversion."""
    def __init__(self, octets):
        self.octets = octets

    def __len__(self):
        return len(self.octets)

    def __getitem__(self, i):
        return self.octets[i]


TEXTS = [
    b"(4:text[1:t]2:hi(1:a1:b)0:)",
    b'(a "b c" #616263# |YWJj| [t]x 3"abc" (deep (er (est))))',
    b"  " + transport(b"([4:mime]4:data(1:x))") + b"\n",
    b"(" * 64 + b"x" + b")" * 64,
    b"(" * 65 + b"x" + b")" * 65,            # one level too deep for SHARED
    b"(a ())",                               # an empty list SHARED refuses
    b"(a b]",
    b'"\\x4"',
    b"(1:a)(1:b)",
    b"#" + b"ab" * 3000 + b"#",              # longer than SHARED's atoms
    "(\u00e9t\u00e9 2:\u00e9)",
    Seq(b"(seq [h]d)"),
    bytearray(b"(1:a 2:bc)"),
    5,
    "\ud800",
]
VALUES = [
    [b"a", "b", Atom(b"c", hint=b"h"), (b"d", [b"e", []]), bytearray(b"f")],
    [Seq(b"slow"), [Seq(b"\x00\xff"), range(3)], Atom(b"", hint=b"")],
    Atom(b"x" * 100, hint="text/plain"),
    [[[[[[b"deep"]]]]]],
    [b"a", None],
    [b"a", "\ud800"],
    [Seq(b"x"), [Seq(b"y"), 5]],
]
CYCLE = [b"a"]
CYCLE.append([CYCLE])                       # holds itself: too deep
VALUES.append(CYCLE)
READERS = {"SHARED.parse": SHARED.parse, "SHARED.parse_prefix": SHARED.parse_prefix,
           "parse": parvex.parse, "parse_canonical": parvex.parse_canonical}
WRITERS = {"to_canonical": parvex.to_canonical, "to_transport": parvex.to_transport,
           "to_advanced": parvex.to_advanced}
WORK = ([(name, read, data) for name, read in READERS.items() for data in TEXTS]
        + [(name, write, value) for name, write in WRITERS.items() for value in VALUES]
        + [("Atom", Atom, value) for value in (b"abc", Seq(b"seq"), [300], "\ud800")])


def exact(v):
    """A key that tells every value apart, Atom(b"x") from b"x" included."""
    if type(v) is Atom:
        return ("Atom", v.data, v.hint)
    if type(v) in (list, tuple):
        return (type(v).__name__, tuple(exact(x) for x in v))
    return (type(v).__name__, v)


def outcome(call, arg):
    try:
        return ("ok", exact(call(arg)))
    except ParseError as e:
        return ("ParseError", e.kind, e.offset, e.args)
    except (TypeError, ValueError) as e:
        return (type(e).__name__, e.args, getattr(e, "__notes__", None))


def pause():
    """A point where the interpreter may hand the lock to another thread: it
    does so only on entering a Python function or jumping back in a loop."""


@pytest.fixture
def switch_often():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(target, count):
    barrier = threading.Barrier(count)
    errors = []

    def body(i):
        try:
            barrier.wait()
            target(i)
        except BaseException as e:  # reported below, in the main thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)
        assert not t.is_alive()
    assert errors == []


def test_work_spread_over_threads_gives_the_single_thread_results(switch_often):
    expected = [outcome(call, arg) for _, call, arg in WORK]
    # Every kind of outcome is among them.
    assert {e[0] for e in expected} == {"ok", "ParseError", "TypeError", "ValueError",
                                        "UnicodeEncodeError"}
    mismatches = [[] for _ in range(THREADS)]
    calls = [0] * THREADS

    def work(i):
        order = list(range(len(WORK)))
        random.Random(i).shuffle(order)
        for _ in range(ROUNDS):
            for j in order:
                _, call, arg = WORK[j]
                got = outcome(call, arg)
                calls[i] += 1
                if got != expected[j]:
                    mismatches[i].append((WORK[j][0], arg, got))

    run_threads(work, THREADS)
    assert sum(calls) == THREADS * ROUNDS * len(WORK)
    assert [m[:3] for m in mismatches] == [[]] * THREADS
    assert gc.isenabled()   # each read paused collection and resumed it


def test_a_structure_changed_while_it_is_written(switch_often):
    # The writer takes each list as it stands when it reaches it; the other
    # thread's changes land between such snapshots, never inside one.
    inner = [b"b"]
    shared = [b"a", Seq(b"s"), inner, Seq(b"t")]
    states = {parvex.to_canonical([b"a", b"s", third, b"t"])
              for third in ([b"b"], [b"b", b"x"], [b"c"])}
    stop = threading.Event()
    seen = set()

    def target(i):
        if i == 0:
            while not stop.is_set():
                inner.append(b"x")
                pause()
                shared[2] = [b"c"]
                pause()
                inner.pop()
                pause()
                shared[2] = inner
                pause()
        else:
            # Until the writers have met every state, within a bound.
            for _ in range(200_000):
                seen.add(parvex.to_canonical(shared))
                if len(seen) == len(states):
                    break
            stop.set()

    run_threads(target, 3)
    assert seen == states


def test_an_input_changed_while_it_is_read(switch_often):
    # A bytearray is copied before it is read, so each read sees one state.
    data = bytearray(b"(1:a)")
    states = {b"(1:a)": [b"a"], b"(1:b 1:c)": [b"b", b"c"]}
    stop = threading.Event()
    seen = []

    def target(i):
        if i == 0:
            while not stop.is_set():
                data[:] = b"(1:b 1:c)"
                pause()
                data[:] = b"(1:a)"
                pause()
        else:
            for _ in range(200_000):
                seen.append(SHARED.parse(data))
                if seen[-1] != seen[0]:
                    break
            stop.set()

    run_threads(target, 2)
    assert all(v in states.values() for v in seen)
    assert seen[0] != seen[-1]
