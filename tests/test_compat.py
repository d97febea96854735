"""The objects that bindings/python/src/compat.hpp builds through CPython's
internals, against the same objects built through the public API, in a
child interpreter whose allocator checks every block (PYTHONMALLOC=debug):
a field that moved, a block freed by the wrong allocator or written past
its end shows here. A public-API-only build passes these too."""

import subprocess
import sys

import pytest
from support import child_env

PRELUDE = """
import ctypes, sys, parvex
def image(b):  # a bytes object's memory past its reference count: type, size, hash, octets, NUL
    return ctypes.string_at(id(b), sys.getsizeof(b))[8:]
def flags(b):  # the word of the reference count less the count: from 3.14 on, flags share it
    return int.from_bytes(ctypes.string_at(id(b), 8), sys.byteorder) - sys.getrefcount(b)
def public(b):
    return bytes(bytearray(b))
"""

CASES = {
    # parse_canonical's outermost list of 1,024 items or more adopts the
    # reader's stack as its item array.
    "list adopting its items": """
        for n in (1024, 5000):
            got = parvex.parse_canonical(b"(" + b"2:ab" * n + b")")
            assert got == [b"ab"] * n
            assert got.__sizeof__() >= [].__sizeof__() + n * ctypes.sizeof(ctypes.c_void_p)
            got += [b"cd"] * (3 * n)   # grown by PyMem_Realloc
            del got[::2]
            assert sorted(got) == [b"ab"] * (n // 2) + [b"cd"] * (3 * n // 2)
    """,
    # Every other list gets an item array of its own size, filled unzeroed.
    "short lists": """
        for n in (0, 1, 2, 13, 1023):
            got = parvex.parse(b"((" + b"a " * n + b"))")[0]
            assert got == [b"a"] * n
            assert got.__sizeof__() == [].__sizeof__() + n * ctypes.sizeof(ctypes.c_void_p)
            want = list(got)
            for items in (got, want):  # grown by PyMem_Realloc, then shrunk
                items += [b"b"] * (3 * n + 3)
                del items[::2]
            assert got == want
    """,
    # Atoms of 2 to 15 octets are made with one 16-octet move.
    "short bytes": """
        octets = bytes(range(33, 127))
        text = b"(" + b"".join(b"%d:%s" % (n, octets[n:2 * n]) for n in range(1, 20)) + b")"
        import tracemalloc
        for traced in (False, True):  # from 3.13 on tracemalloc sets a reference tracer
            if traced:
                tracemalloc.start()
            atoms = parvex.parse_canonical(text)
            for got in atoms[1:]:  # not the first: one octet, an object CPython shares
                want = public(got)
                assert image(got) == image(want), (got, image(got), image(want))
                assert flags(got) == flags(want), (got, flags(got), flags(want))
                assert hash(got) == hash(want)
                assert sys.getrefcount(got) == 4  # the two lists', got's, the call's
                assert (tracemalloc.get_object_traceback(got) is not None) == traced
    """,
    # A decoder reads on into what it built before Python code ran, here
    # code that starts tracemalloc (from 3.13 on, a reference tracer).
    "short bytes from a decoder": """
        import tracemalloc
        half = b"".join(b"%d:%s" % (n, b"x" * n) for n in range(2, 16))
        decoder = parvex.Decoder()
        decoder.feed(b"(" + half)
        assert next(decoder, None) is None
        tracemalloc.start()
        decoder.feed(half + b")")
        atoms = next(decoder)
        for i, got in enumerate(atoms):
            want = public(got)
            assert image(got) == image(want) and flags(got) == flags(want), got
            assert (tracemalloc.get_object_traceback(got) is not None) == (i >= len(atoms) // 2)
    """,
    # A large result written into a block of the size of the last one is
    # shortened in place: a bytes object, and a compact ASCII str.
    "shortened results": """
        value = [b"%06d" % i for i in range(20000)]
        for write in (parvex.to_canonical, parvex.to_transport, parvex.to_advanced):
            first, got = write(value), write(value)
            want = public(first) if type(first) is bytes else (first + ".")[:-1]
            assert got == want and len(got) == len(want) and hash(got) == hash(want)
            if type(got) is bytes:
                assert image(got) == image(want)
            else:  # the octets and their NUL, where a compact ASCII str keeps them
                data = id(got) + sys.getsizeof("") - 1
                assert ctypes.string_at(data, len(got) + 1) == want.encode() + b"\\0"
    """,
}


@pytest.mark.parametrize("case", CASES)
def test_internal_objects_match_public_ones(case):
    import textwrap
    code = PRELUDE + textwrap.dedent(CASES[case])
    done = subprocess.run([sys.executable, "-X", "dev", "-c", code], capture_output=True, text=True,
                          env=child_env(PYTHONMALLOC="debug"), timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
