"""Seeded workloads for the benchmark: each one as the value parvex reads and
writes, as the equivalent trees the reference libraries take, and as the
octets every reader is given.

A generator describes its tree once, with plain lists and `(hint, data)`
leaves; `_materialise` then builds every form of that tree from fresh
objects, so that no two atoms are ever the same object and pickle and
marshal find nothing to share.
"""

from __future__ import annotations

import base64
import dataclasses
import random
import string

import parvex

# Atoms shorter than two octets would be the interpreter's cached single
# octet bytes (and single character str) objects, which are shared.
_MIN_ATOM = 2

_FIRST = string.ascii_letters
_REST = string.ascii_letters + string.digits + "-._"


@dataclasses.dataclass
class Workload:
    name: str
    about: str
    value: object      # lists, bytes and Atom: what parvex writes
    plain: object      # lists, bytes and (hint, data) tuples: pickle, marshal
    text: object       # lists, str and [hint, data] lists: json, orjson
    canonical: bytes
    advanced: bytes    # the advanced text, ASCII
    transport: bytes   # the transport text, ASCII
    json: bytes        # compact JSON of `text`, UTF-8
    max_depth: int     # the reading limit this workload needs
    writable: bool     # parvex's writers take the value (1,024 levels at most)


def _short_atom(rng: random.Random) -> bytes:
    """A short ASCII atom: mostly a token; some start with a digit or hold
    a space, which the advanced writer quotes."""
    n = rng.randint(_MIN_ATOM, 12)
    roll = rng.random()
    if roll < 0.8:
        s = rng.choice(_FIRST) + "".join(rng.choices(_REST, k=n - 1))
    elif roll < 0.9:
        s = "".join(rng.choices(string.digits, k=n))
    else:
        cut = rng.randint(1, n - 1)
        s = "".join(rng.choices(string.ascii_lowercase, k=cut)) + " " + "".join(
            rng.choices(string.ascii_lowercase, k=n - cut))
    return s.encode("ascii")


def _leaf(data: bytes, hint: bytes | None = None) -> tuple:
    return (hint, data)


# MARK: shapes


def records_shape(rng: random.Random, count: int) -> list:
    """`count` lists of 12 or 13 short atoms: 12.5 atoms a record, so
    20,000 records hold 270,000 objects."""
    return [[_leaf(_short_atom(rng)) for _ in range(12 + (i & 1))] for i in range(count)]


def wide_shape(rng: random.Random, count: int) -> list:
    return [_leaf(_short_atom(rng)) for _ in range(count)]


def blobs_shape(rng: random.Random, count: int, size: int) -> list:
    return [_leaf(rng.randbytes(size)) for _ in range(count)]


def _certificate(rng: random.Random, i: int) -> list:
    """A certificate-like list in the manner of SPKI: names, a public key,
    validity dates, extensions and a signature, with binary atoms and
    display hints on the key material."""
    def word(*parts):
        return [_leaf(p.encode()) for p in parts]

    if i % 4 == 3:
        key = [_leaf(b"ecc"), word("curve", "Ed25519"),
               [_leaf(b"point"), _leaf(rng.randbytes(32), b"application/x-ecc-point")]]
    else:
        key = [_leaf(b"rsa"), [_leaf(b"exponent"), _leaf(b"\x01\x00\x01")],
               [_leaf(b"modulus"), _leaf(rng.randbytes(256), b"application/x-rsa-modulus")]]
    year = 2020 + i % 10
    return [
        _leaf(b"certificate"),
        word("version", "v3"),
        [_leaf(b"serial"), _leaf(rng.randbytes(16))],
        [_leaf(b"issuer"), [_leaf(b"name"), _leaf(f"CN=Issuing CA {i % 97}, O=Example".encode())]],
        [_leaf(b"subject"), [_leaf(b"public-key"), key]],
        [_leaf(b"validity"),
         word("not-before", f"{year}-01-01T00:00:00Z"),
         word("not-after", f"{year + 2}-01-01T00:00:00Z")],
        [_leaf(b"extensions"),
         word("key-usage", "digitalSignature", "keyCertSign"),
         [_leaf(b"subject-key-id"), _leaf(rng.randbytes(20), b"application/octet-stream")],
         [_leaf(b"tag"), [_leaf(b"ftp-access"), _leaf(b"read"), _leaf(b"write")]]],
        [_leaf(b"signature"),
         [_leaf(b"hash"), _leaf(b"sha256"), _leaf(rng.randbytes(32))],
         _leaf(rng.randbytes(256), b"application/x-signature")],
    ]


def spki_shape(rng: random.Random, count: int) -> list:
    return [_certificate(rng, i) for i in range(count)]


# MARK: materialising


def _convert(shape, leaf):
    """The tree of `shape` with every leaf replaced by `leaf(hint, data)`,
    built with an explicit stack: the deep workloads nest 200,000 levels."""
    if not isinstance(shape, list):
        return leaf(*shape)
    root: list = []
    stack = [(shape, root, 0)]
    while stack:
        src, dst, i = stack.pop()
        while i < len(src):
            item = src[i]
            i += 1
            if isinstance(item, list):
                new: list = []
                dst.append(new)
                stack.append((src, dst, i))
                src, dst, i = item, new, 0
            else:
                dst.append(leaf(*item))
    return root


def _copy(b: bytes) -> bytes:
    return bytes(memoryview(b))  # a new object, never the one given


def _value_leaf(hint, data):
    return _copy(data) if hint is None else parvex.Atom(_copy(data), hint=_copy(hint))


def _plain_leaf(hint, data):
    return _copy(data) if hint is None else (_copy(hint), _copy(data))


def _text_leaf(hint, data):
    # latin-1 maps each octet to the code point of the same number: the
    # one-to-one str equivalent of arbitrary octets.
    s = data.decode("latin-1")
    return s if hint is None else [hint.decode("latin-1"), s]


def _materialise(name, about, shape, orjson_dumps) -> Workload:
    value = _convert(shape, _value_leaf)
    text = _convert(shape, _text_leaf)
    canonical = parvex.to_canonical(value)
    return Workload(
        name=name, about=about, value=value,
        plain=_convert(shape, _plain_leaf), text=text,
        canonical=canonical,
        advanced=parvex.to_advanced(value).encode("ascii"),
        transport=parvex.to_transport(value).encode("ascii"),
        json=_json_bytes(text, orjson_dumps),
        max_depth=parvex.DEFAULT_MAX_DEPTH, writable=True)


def _json_bytes(text, orjson_dumps) -> bytes:
    if orjson_dumps is not None:
        return orjson_dumps(text)
    import json
    return json.dumps(text, separators=(",", ":"), ensure_ascii=False).encode("utf-8")


# MARK: deep


def deep(name: str, levels: int) -> Workload:
    """`levels` nested lists, each holding the atom `lv` and then the next
    list: (lv (lv (... (lv)))). parvex's writers take values nested at most
    1,024 levels, so the texts are written here directly, and checked
    against the writers wherever those can run."""
    shape: list = [_leaf(b"lv")]
    for _ in range(levels - 1):
        shape = [_leaf(b"lv"), shape]
    n = levels
    canonical = b"(2:lv" * n + b")" * n
    advanced = b"(lv " * (n - 1) + b"(lv" + b")" * n
    json_text = b'["lv",' * (n - 1) + b'["lv"' + b"]" * n
    value = _convert(shape, _value_leaf)
    writable = levels <= parvex.DEFAULT_MAX_DEPTH
    if writable:
        assert parvex.to_canonical(value) == canonical
        assert parvex.to_advanced(value).encode("ascii") == advanced
    return Workload(
        name=name, about=f"{levels:,} nested lists, each an atom and the next list",
        value=value, plain=_convert(shape, _plain_leaf), text=_convert(shape, _text_leaf),
        canonical=canonical, advanced=advanced,
        transport=b"{" + base64.b64encode(canonical) + b"}",
        json=json_text, max_depth=max(levels, parvex.DEFAULT_MAX_DEPTH), writable=writable)


# MARK: the suite

SEED = 9804
NAMES = ("records", "wide", "blobs", "deep", "deep200k", "spki")


def build(name: str, scale: float = 1.0, orjson_dumps=None) -> Workload:
    """The workload `name`, with its counts multiplied by `scale` (1.0 is
    the suite's size; the smoke test uses a small fraction)."""
    rng = random.Random(f"{SEED}-{name}")

    def n(full: int) -> int:
        return max(2, round(full * scale))

    if name == "records":
        return _materialise(name, f"{n(20000):,} lists of 12 or 13 short atoms",
                            records_shape(rng, n(20000)), orjson_dumps)
    if name == "wide":
        return _materialise(name, f"one list of {n(200000):,} short atoms",
                            wide_shape(rng, n(200000)), orjson_dumps)
    if name == "blobs":
        return _materialise(name, f"one list of {n(200):,} atoms of 64 KiB random octets",
                            blobs_shape(rng, n(200), 65536), orjson_dumps)
    if name == "deep":
        return deep(name, n(1000))
    if name == "deep200k":
        return deep(name, n(200000))
    if name == "spki":
        return _materialise(name, f"{n(2000):,} certificate-like lists with binary atoms and hints",
                            spki_shape(rng, n(2000)), orjson_dumps)
    raise ValueError(f"unknown workload {name!r}; choose from {', '.join(NAMES)}")
