"""Working with what is read: finding lists by their first atom, pulling out
named parameters, integers to and from octets, and hashes of values.

The look-ups follow the convention that libgcrypt, nettle and GnuPG use for
keys and signatures: a parameter is a list whose first element, an atom,
names it, as in `(rsa (n #00c3...#) (e #010001#))`. Every walk over a value
is iterative, so a value may nest deeper than Python's recursion limit.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TypeAlias

from ._common import hasher
from ._parvex import Atom, to_advanced, to_canonical
from ._types import OctetsLike, SexpLike

__all__ = ["find", "find_all", "extract", "to_int", "from_int", "digest"]


#: What a look-up takes as a list: parsed values hold `list`, the writers
#: take `tuple` too.
_LISTS = (list, tuple)

# The depth from which find_all checks, now and then, for a list that contains
# itself.
_CYCLE_CHECK = 1024

#: A list as the look-ups return it: the very object found inside the value.
Found: TypeAlias = list[Any] | tuple[Any, ...]


def _octets(value: OctetsLike, argument: str) -> bytes:
    """The octets of `value`, as the module takes them; a failure names
    `argument` rather than the `Atom` used to convert it."""
    try:
        return Atom(value).data
    except (TypeError, ValueError) as e:
        e.__notes__ = [f"while processing {argument!r}"]
        raise


def _token(token: OctetsLike) -> tuple[bytes, bytes | None]:
    if type(token) is bytes:
        return token, None
    if isinstance(token, Atom):
        return token.data, token.hint
    return _octets(token, "token"), None


def _shown(token: OctetsLike) -> str:
    """A token as the advanced representation writes it, for messages."""
    return to_advanced(token if isinstance(token, Atom) else Atom(_token(token)[0]))


def _head_matches(head: object, data: bytes, hint: bytes | None,
                  ignore_hint: bool) -> bool:
    """Whether the first element of a list, other than `bytes`, is the token."""
    if isinstance(head, Atom):
        return head.data == data and (ignore_hint or head.hint == hint)
    if isinstance(head, _LISTS) or not (ignore_hint or hint is None):
        return False
    try:  # a str, bytearray or other octet value in a value built by hand
        return Atom(head).data == data  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return False


def find_all(sexp: SexpLike, token: OctetsLike, *,
             ignore_hint: bool = False) -> Iterator[Found]:
    """Iterates over every list in `sexp` whose first element is an atom equal
    to `token`, depth first and in pre-order: `sexp` itself first, then its
    elements from left to right, each with everything inside it.

    `token` is `bytes`, `str` (as UTF-8), an `Atom` or any other octet value;
    it matches as `Atom` equality does, so a token without a display hint
    does not match a hinted atom. With `ignore_hint=True` the data alone is
    compared. A list that contains itself raises `ValueError`.

    >>> key = parvex.parse(b"(key (sub (n a)) (n b))")
    >>> list(parvex.find_all(key, "n"))
    [[b'n', b'a'], [b'n', b'b']]
    """
    data, hint = _token(token)
    plain = ignore_hint or hint is None  # may a hintless head match?
    # The iterators of the lists entered and not yet left, and those lists.
    stack: list[Iterator[Any]] = [iter((sexp,))]
    path: list[Found] = []
    check_at = _CYCLE_CHECK
    while stack:
        for node in stack[-1]:
            kind = type(node)
            if kind is bytes:  # most elements: atoms
                continue
            if kind is list or isinstance(node, _LISTS):
                if node:
                    head = node[0]
                    if (plain and head == data if type(head) is bytes
                            else _head_matches(head, data, hint, ignore_hint)):
                        yield node
                stack.append(iter(node))
                path.append(node)
                if len(path) > check_at:
                    # Only a list that contains itself nests without end;
                    # checking at doubling depths keeps the cost linear.
                    if len(set(map(id, path))) < len(path):
                        raise ValueError("a list that contains itself")
                    check_at *= 2
                break
        else:
            stack.pop()
            if path:
                path.pop()


def find(sexp: SexpLike, token: OctetsLike, *,
         ignore_hint: bool = False) -> Found | None:
    """The first list in `sexp` whose first element is an atom equal to
    `token`, in the order of `find_all`, or `None` when there is none.

    >>> key = parvex.parse(b"(public-key (rsa (n #00c3#) (e #010001#)))")
    >>> parvex.find(key, "e")
    [b'e', b'\\x01\\x00\\x01']
    >>> parvex.find(key, "dsa") is None
    True
    """
    return next(find_all(sexp, token, ignore_hint=ignore_hint), None)


def _name(name: OctetsLike) -> tuple[OctetsLike, bool]:
    """A name of `extract` without its `?`, and whether it had one."""
    if isinstance(name, str) and name.endswith("?"):
        return name[:-1], True
    if isinstance(name, (bytes, bytearray)) and name.endswith(b"?"):
        return name[:-1], True
    return name, False


def extract(sexp: SexpLike, *names: OctetsLike, path: Sequence[OctetsLike] = (),
            convert: Callable[[Any], Any] | None = None) -> tuple[Any, ...]:
    """The atoms that follow the given names, one for each name.

    Each step of `path` narrows the search first: the next step is looked
    for inside the list the previous one found (with `find`). Then, for each
    name, `find` looks for the list it starts, and the element after the
    name is taken. A `str` or `bytes` name ending in `?` is optional and
    gives `None` when absent (an `Atom` name is taken as it is). `convert`,
    when given, is applied to each atom found.

    Raises `LookupError` naming a step or a required name that is not
    there, and `ValueError` naming a list that has nothing after its name or
    a list where the atom should be.

    >>> key = parvex.parse(b"(public-key (rsa (n #00c3#) (e #010001#)))")
    >>> parvex.extract(key, "n", "e", "d?", path=("public-key", "rsa"),
    ...                convert=parvex.to_int)
    (195, 65537, None)
    """
    node: Any = sexp
    for step in path:
        node = find(node, step)
        if node is None:
            raise LookupError(f"no ({_shown(step)} ...) list found")
    values: list[Any] = []
    for name in names:
        token, optional = _name(name)
        found = find(node, token)
        if found is None:
            if not optional:
                raise LookupError(f"no ({_shown(token)} ...) list found")
            values.append(None)
            continue
        if len(found) < 2:
            raise ValueError(f"({_shown(token)}) has nothing after its name")
        value = found[1]
        if isinstance(value, _LISTS):
            raise ValueError(
                f"({_shown(token)} ...) holds a list where an atom is expected")
        values.append(value if convert is None else convert(value))
    return tuple(values)


def to_int(atom: OctetsLike, *, signed: bool = False) -> int:
    """The integer that an atom's octets hold, most significant first; with
    `signed=True`, in two's complement.

    `atom` is `bytes`, an `Atom` without a display hint, or any other octet
    value. Empty octets and a hinted `Atom` raise `ValueError`.

    >>> parvex.to_int(b"\\x01\\x00\\x01"), parvex.to_int(b"\\xff", signed=True)
    (65537, -1)
    """
    if type(atom) is bytes:
        data = atom
    elif isinstance(atom, Atom):
        if atom.hint is not None:
            raise ValueError("an atom with a display hint is not an integer")
        data = atom.data
    else:
        data = _octets(atom, "atom")
    if not data:
        raise ValueError("no octets to read an integer from")
    return int.from_bytes(data, "big", signed=signed)


def from_int(n: int, *, signed: bool = False) -> bytes:
    """The shortest octets that hold `n`, most significant first; zero is
    one zero octet.

    With `signed=True` they hold `n` in two's complement, so a positive
    number whose top bit is set gets a leading zero octet, as the integers
    of GnuPG's and libgcrypt's keys do. A negative `n` needs `signed=True`,
    and raises `ValueError` without it.

    >>> parvex.from_int(65537), parvex.from_int(200, signed=True), parvex.from_int(-1, signed=True)
    (b'\\x01\\x00\\x01', b'\\x00\\xc8', b'\\xff')
    """
    n = operator.index(n)
    if n < 0 and not signed:
        raise ValueError("a negative number needs signed=True")
    # Two's complement needs a sign bit beyond the bits of n (or of ~n).
    bits = (~n if n < 0 else n).bit_length() + signed
    return n.to_bytes(max(1, (bits + 7) // 8), "big", signed=signed)


def digest(sexp: SexpLike, algorithm: str = "sha256") -> bytes:
    """The `hashlib` digest of the canonical representation of `sexp`: the
    octets that are signed and hashed (RFC 9804 §6.2).

    `algorithm` is any name `hashlib.new` takes (`"sha256"`, `"sha1"`,
    `"sha3_256"`, `"blake2b"`, ...); an unknown one, or one without a fixed
    digest length (`"shake_128"`), raises `ValueError`.

    >>> parvex.digest([b"a", b"b"], "sha1").hex()
    '1ed4d7f588563c22c1e18d176214f89bbbc2b183'
    """
    h = hasher(algorithm)
    h.update(to_canonical(sexp))
    return bytes(h.digest())
