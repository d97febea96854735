"""Look-ups, integers and hashes of values (parvex.values)."""

import doctest
import hashlib
import subprocess
import sys
from pathlib import Path

import parvex
import parvex.gnupg
import parvex.values
import pytest
from hypothesis import given, strategies as st
from parvex import Atom, extract, find, find_all, from_int, to_int
from support import child_env

H = Atom(b"n", hint=b"h")
TREE = parvex.parse(b"(n r (n a (n b)) ([h]n c) (m (n d) ((n e))) () n)")
HAND = ("k", ("n", "1"), [[b"n"]], (memoryview(b"n"),))


@pytest.mark.parametrize("sexp, token, options, found", [
    # Pre-order: the value itself, then each element with all inside it.
    (TREE, "n", {}, [TREE, TREE[2], TREE[2][2], TREE[4][1], TREE[4][2][0]]),
    (TREE, H, {}, [TREE[3]]),
    (TREE, b"n", {"ignore_hint": True},
     [TREE, TREE[2], TREE[2][2], TREE[3], TREE[4][1], TREE[4][2][0]]),
    (TREE, Atom(b"m", hint=b"x"), {"ignore_hint": True}, [TREE[4]]),
    (TREE, bytearray(b"m"), {}, [TREE[4]]),
    (TREE, "r", {}, []),       # an atom that starts no list
    (b"n", "n", {}, []),       # an atom is no list
    # Lists built by hand: tuples, and str or other octet values as atoms.
    (HAND, b"n", {}, [HAND[1], HAND[2][0], HAND[3]]),
])
def test_find_all_and_find(sexp, token, options, found):
    # The very lists of the value, not copies.
    assert [id(x) for x in find_all(sexp, token, **options)] == [id(x) for x in found]
    assert find(sexp, token, **options) is (found[0] if found else None)


def test_walks_are_iterative_and_refuse_cycles():
    deep = [b"n", b"bottom"]
    for _ in range(200_000):
        deep = [b"lv", deep]
    assert find(deep, "n") == [b"n", b"bottom"]
    shared = [b"n", b"x"]
    assert list(find_all([b"k", shared, [shared]], "n")) == [shared, shared]
    cycle = [b"k", [b"n"]]
    cycle[1].append(cycle)
    with pytest.raises(ValueError, match="a list that contains itself"):
        list(find_all(cycle, "n"))
    with pytest.raises(TypeError, match="got int") as info:
        find(TREE, 5)
    assert info.value.__notes__ == ["while processing 'token'"]


KEY = parvex.parse(b"(key-data (public-key (rsa (n #00c3#) (e #010001#) (x (y z)) (w))))")


def test_extract():
    assert extract(KEY, "n", "e", path=("public-key", "rsa"), convert=to_int) == (195, 65537)
    assert extract(KEY, b"e", "d?") == (b"\x01\x00\x01", None)
    assert extract(KEY[1], "y", path=[b"x"]) == (b"z",)


@pytest.mark.parametrize("names, path, error, message", [
    (["d"], (), LookupError, r"no \(d \.\.\.\) list found"),
    (["n"], ("dsa",), LookupError, r"no \(dsa \.\.\.\) list found"),
    (["w?"], (), ValueError, r"\(w\) has nothing after its name"),
    (["x"], (), ValueError, r"\(x \.\.\.\) holds a list where an atom is expected"),
    ([Atom(b"d", hint=b"t")], (), LookupError, r"no \(\[t\]d \.\.\.\) list found"),
])
def test_extract_failures(names, path, error, message):
    with pytest.raises(error, match=message):
        extract(KEY, *names, path=path)


INTS = [  # n, signed, octets
    (0, False, b"\x00"), (255, False, b"\xff"), (256, False, b"\x01\x00"),
    (65537, False, b"\x01\x00\x01"), (0, True, b"\x00"), (127, True, b"\x7f"),
    (128, True, b"\x00\x80"), (-1, True, b"\xff"), (-128, True, b"\x80"),
    (-129, True, b"\xff\x7f"), (2**64, True, b"\x01" + bytes(8)),
]


@pytest.mark.parametrize("n, signed, octets", INTS)
def test_integers(n, signed, octets):
    assert from_int(n, signed=signed) == octets
    assert to_int(octets, signed=signed) == n
    assert to_int(Atom(octets), signed=signed) == to_int(list(octets), signed=signed) == n


@given(st.integers(), st.booleans())
def test_from_int_is_shortest_and_reads_back(n, signed):
    if n < 0 and not signed:
        with pytest.raises(ValueError, match="needs signed=True"):
            from_int(n)
        return
    octets = from_int(n, signed=signed)
    assert to_int(octets, signed=signed) == n
    # One octet fewer would not do: it would lose bits or, signed, the sign.
    assert len(octets) == 1 or to_int(octets[1:], signed=signed) != n


@pytest.mark.parametrize("atom, error, message", [
    (b"", ValueError, "no octets"),
    (Atom(b"\x01", hint=b"t"), ValueError, "display hint"),
    (5, TypeError, "got int"),
])
def test_to_int_refuses(atom, error, message):
    with pytest.raises(error, match=message):
        to_int(atom)


@pytest.mark.parametrize("algorithm", ["sha256", "sha1", "sha3_256", "blake2b", "md5"])
def test_digest_hashes_the_canonical_octets(algorithm):
    value = [b"a", Atom(b"\x00", hint=b"t"), [b"b"]]
    want = hashlib.new(algorithm, parvex.to_canonical(value)).digest()
    assert parvex.digest(value, algorithm) == want
    if algorithm == "sha256":
        assert parvex.digest(value) == want


@pytest.mark.parametrize("algorithm, message", [
    ("sha257", "unknown hash algorithm: 'sha257'"),
    ("shake_128", "'shake_128' has no fixed digest length"),
])
def test_digest_refuses(algorithm, message):
    with pytest.raises(ValueError, match=message):
        parvex.digest(b"a", algorithm)


def test_benchmark_runs():
    bench = Path(__file__).parent.parent / "bench" / "values.py"
    done = subprocess.run([sys.executable, str(bench), "--keys", "30", "--repeat", "1"],
                          capture_output=True, text=True, env=child_env(), timeout=300)
    assert done.returncode == 0 and "keygrip" in done.stdout, done.stderr


@pytest.mark.parametrize("module", [parvex.values, parvex.gnupg])
def test_docstring_examples(module):
    result = doctest.testmod(module, extraglobs={"parvex": parvex})
    assert result.attempted > 0 and result.failed == 0
