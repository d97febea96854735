"""Typical uses of parvex, type-checked with `mypy --strict` by test_typing.

Each annotation states what a user relies on; a stub that said otherwise
would make this file fail to check.
"""

import copy
import functools
import io
import pickle
from concurrent.futures import ProcessPoolExecutor

import parvex
import parvex.dask
from parvex import Atom, ParseError, Parser, Value


def first_word(value: Value) -> bytes | None:
    """Narrowing a parsed value by its type."""
    if isinstance(value, list) and value:
        head = value[0]
        if isinstance(head, bytes):
            return head
        if isinstance(head, Atom):
            return head.data
    return None


def read_untrusted(data: bytes) -> Value | None:
    parser = Parser(max_depth=32, max_atom_len=4096, max_input_len=1 << 20,
                    allow_transport=False)
    try:
        return parser.parse(data)
    except ParseError as e:
        where: int = e.offset
        what: str = e.kind
        print(f"{what} at {where}")
        return None


def prefix(data: bytes) -> tuple[Value, int]:
    value, used = Parser(canonical=True).parse_prefix(data)
    return value, used


def atoms() -> list[bytes]:
    a = Atom(b"hi", hint="text/plain")
    b = Atom([104, 105])
    hint: bytes | None = a.hint
    assert a.eq_ignoring_hint(b) and a != b and len(a) == 2 and hint is not None
    twin: Atom = pickle.loads(pickle.dumps(a))
    return [a.effective_hint(parvex.DEFAULT_HINT), twin.data, copy.copy(b).data]


def writing() -> tuple[bytes, str, str, str]:
    tree: parvex.SexpLike = [b"a", "b", (bytearray(b"c"), Atom(b"d", hint=b"")), [[]]]
    return (parvex.to_canonical(tree), parvex.to_transport(tree),
            parvex.to_advanced(tree), parvex.to_indented(tree, indent=2, width=40))


def streaming() -> list[Value]:
    reader = parvex.iter_parse(io.BytesIO(b"(a) (b)"), chunk_size=1 << 16,
                               max_input_len=1 << 20)
    values = list(reader)
    consumed: int = reader.offset
    assert consumed == 7
    return values + list(parvex.iter_parse(b"1:a", canonical=True))


def parallel(paths: list[str]) -> list[Value]:
    strict = functools.partial(parvex.parse_file, canonical=True)
    with ProcessPoolExecutor(max_workers=2) as pool:
        values = list(pool.map(strict, paths))
    outcomes: list[Value | ParseError | OSError] = parvex.parse_files(paths, errors="return")
    good = [v for v in outcomes if not isinstance(v, (ParseError, OSError))]
    return values + parvex.parse_files(paths, jobs=2) + parvex.parse_files(paths, errors="skip") + good


def files(path: str) -> Value:
    with open(path, "wb") as out:
        parvex.dump([b"a", Atom(b"b", hint=b"t")], out, to="advanced", indent=2)
    with open(path, "rb") as f:
        octets: bytes = parvex.dumps(parvex.load(f, max_input_len=1 << 20), to="transport")
    return parvex.loads(octets, canonical=False)


def values(key: Value) -> tuple[int, int, bytes | None]:
    rsa = parvex.find(key, "rsa")
    every = [found[0] for found in parvex.find_all(key, Atom(b"n", hint=b"h"), ignore_hint=True)]
    n, e = parvex.extract(key, "n", "e", path=("public-key", b"rsa"), convert=parvex.to_int)
    comment, = parvex.extract(key, "comment?")
    assert rsa is not None and every and isinstance(comment, (bytes, type(None)))
    octets: bytes = parvex.from_int(n, signed=True) + parvex.digest(key, "sha1")
    return parvex.to_int(octets[:4]), e, comment


def key_file(data: bytes) -> bytes:
    from parvex.gnupg import KeyFile, keygrip, read_key_file

    kf: KeyFile = read_key_file(data)
    created: str | None = kf.get("Created")
    labels: list[str] = kf.get_all("Label")
    kf.set("Label", *labels, created or "")
    kf.key = parvex.parse(parvex.to_canonical(kf.key))
    return keygrip(kf.key) + kf.to_bytes()


depth: int = parvex.DEFAULT_MAX_DEPTH
version: str = parvex.__version__


def cluster(url: str, out: str) -> list[str]:
    bag = parvex.dask.read_sexp(url, files_per_partition=8, errors="skip", max_depth=64)
    later = parvex.dask.to_sexp(bag, out + "/later-*.sx", compute=False)
    assert len(later) == bag.npartitions
    return parvex.dask.to_sexp(bag, out, to="advanced", indent=2)
