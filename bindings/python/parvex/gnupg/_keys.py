"""Reading a key as libgcrypt writes it: `(public-key (ALGORITHM (NAME VALUE)
...))`, and the private, protected and shadowed forms, whose public
parameters are written the same way."""

from __future__ import annotations

from typing import Any

from .._parvex import Atom
from .._types import SexpLike
from ..values import find
from ._curves import CURVES, UNSUPPORTED, Curve

KINDS = (b"public-key", b"private-key", b"protected-private-key", b"shadowed-private-key")

# libgcrypt's names of the algorithms (in any case) to the family of each.
FAMILIES = {
    b"rsa": "rsa", b"openpgp-rsa": "rsa", b"oid.1.2.840.113549.1.1.1": "rsa",
    b"dsa": "dsa", b"openpgp-dsa": "dsa",
    b"elg": "elg", b"openpgp-elg": "elg", b"openpgp-elg-sig": "elg",
    b"ecc": "ecc", b"ecdsa": "ecc", b"ecdh": "ecc", b"eddsa": "ecc",
}


def bare(atom: object) -> bytes | None:
    """The octets of an atom without a display hint, else None."""
    if type(atom) is bytes:
        return atom
    if isinstance(atom, Atom):
        return atom.data if atom.hint is None else None
    if isinstance(atom, (str, bytearray, memoryview)):
        return Atom(atom).data
    return None


def mpi(octets: bytes) -> int:
    return int.from_bytes(octets, "big")


def octets(n: int, size: int = 0) -> bytes:
    """`n` unsigned, big-endian, in at least `size` octets (none for 0)."""
    return n.to_bytes(max(size, (n.bit_length() + 7) // 8), "big")


class Key:
    """A key's kind (`public-key` ...), its algorithm and the list of its
    parameters, found as libgcrypt finds them: the first list of that name,
    anywhere inside the algorithm's list."""

    __slots__ = ("kind", "algorithm", "family", "params")

    def __init__(self, key: SexpLike) -> None:
        kind = bare(key[0]) if isinstance(key, (list, tuple)) and key else None
        params: Any = key[1] if kind in KINDS and len(key) > 1 else None  # type: ignore[index]
        name = bare(params[0]) if isinstance(params, (list, tuple)) and params else None
        if kind is None or name is None:
            raise ValueError("not a key: (public-key (ALGORITHM ...)), (private-key ...), "
                             "(protected-private-key ...) or (shadowed-private-key ...) expected")
        self.kind = kind
        self.algorithm = name.decode("ascii", "replace")
        family = FAMILIES.get(name.lower())
        if family is None:
            raise ValueError(f"{self.algorithm} keys are not known to libgcrypt; RSA, DSA, "
                             "ElGamal and ECC (ecc, ecdsa, ecdh, eddsa) keys are")
        self.family = family
        self.params = params

    def _find(self, name: str) -> Any:
        for element in self.params[1:]:
            if isinstance(element, (list, tuple)):
                found = find(element, name)
                if found is not None:
                    return found
        return None

    def get(self, name: str) -> bytes | None:
        """The octets of the parameter `name`, or None if the key has none.
        A parameter that is a list, has a display hint or is empty raises."""
        found = self._find(name)
        if found is None:
            return None
        value = bare(found[1]) if len(found) > 1 else None
        if not value:
            raise ValueError(f"the {self.algorithm} key's ({name} ...) does not hold "
                             "octets without a display hint")
        return value

    def __getitem__(self, name: str) -> bytes:
        value = self.get(name)
        if value is None:
            raise ValueError(f"the {self.algorithm} key has no ({name} ...)")
        return value

    def flags(self) -> set[bytes]:
        found = self._find("flags")
        return {f for f in map(bare, (found or [])[1:]) if f is not None}

    def curve(self) -> Curve | None:
        """The named curve, None for a key that gives its parameters itself."""
        name = self.get("curve")
        if name is None:
            if b"param" in self.flags():
                return None
            raise ValueError(f"the {self.algorithm} key has no (curve ...), nor "
                             "(flags param) with its curve's parameters")
        found = CURVES.get(name)
        if found is None:
            shown = name.decode("ascii", "replace")
            if name in UNSUPPORTED:
                raise ValueError(f"the curve {shown} (GOST R 34.10) is not supported")
            raise ValueError(f"the curve {shown} is not a curve libgcrypt knows "
                             "(names are compared exactly, case included)")
        return found
