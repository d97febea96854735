"""Keygrips: the SHA-1 of a key's public parameters as libgcrypt computes it,
which names the key's file in `private-keys-v1.d` and the key in gpg-agent."""

from __future__ import annotations

import hashlib

from .._types import SexpLike
from ._curves import EDWARDS, MONTGOMERY, NATIVE_SIZES, WEIERSTRASS, Curve
from ._keys import Key, mpi, octets

# The parameters hashed for each family besides RSA (whose keygrip is the
# SHA-1 of n alone), each as it is written in the key, leading zeros kept.
_HASHED = {"dsa": ("p", "q", "g", "y"), "elg": ("p", "g", "y")}
# With either flag, q may be a native point behind a 0x40 octet.
_NATIVE = {b"eddsa", b"djb-tweak"}


def _hash(pairs: list[tuple[str, bytes]]) -> bytes:
    h = hashlib.sha1()
    for name, value in pairs:
        h.update(b"(%d:%s%d:%s)" % (len(name), name.encode(), len(value), value))
    return h.digest()


def _hashed_curve(c: Curve) -> list[tuple[str, bytes]]:
    """p, a, b, the base point and n as libgcrypt hashes them: Ed25519 with
    the signs of a and d turned, a Montgomery curve with (A - 2) / 4."""
    a, b = c.a, c.b
    if c.name == "Ed25519":
        a, b = c.p - a, c.p - b
    elif c.form == MONTGOMERY:
        a = (a - 2) // 4
    g = b"\x04" + octets(c.gx, c.size) + octets(c.gy, c.size)
    return [("p", octets(c.p)), ("a", octets(a)), ("b", octets(b)), ("g", g), ("n", octets(c.n))]


def _decompress(q: bytes, p: int, a: int, b: int, where: str) -> bytes:
    """The point 0x04 || x || y that a compressed point (0x02 or 0x03, then x)
    stands for, with y found as libgcrypt finds it: as the square root
    that p = 3 (mod 4) allows, right or wrong for an x not on the curve."""
    if p % 4 != 3:
        raise ValueError(f"a compressed q on {where}, which libgcrypt cannot decompress")
    size = (p.bit_length() + 7) // 8
    x = mpi(q[1:])
    if x.bit_length() > 8 * size:
        raise ValueError(f"a compressed q whose x is longer than the coordinates of {where}")
    y = pow((x * x * x + a * x + b) % p, (p + 1) // 4, p)
    if y & 1 != q[0] & 1:
        y = (p - y) % p
    return b"\x04" + octets(x, size) + octets(y, size)


def _edwards_native(q: bytes, c: Curve) -> bool:
    """Whether q is a point of the Edwards curve c in its native (RFC 8032)
    encoding: y little-endian below p, and a square for x^2."""
    if len(q) != NATIVE_SIZES[c.name]:
        return False
    y = int.from_bytes(q, "little") & ~(1 << (8 * len(q) - 1))
    if y >= c.p:
        return False
    u = (y * y - 1) * pow(c.b * y * y - c.a, -1, c.p) % c.p
    return pow(u, (c.p - 1) // 2, c.p) in (0, 1)


def _ecc(key: Key) -> bytes:
    flags = key.flags()
    curve = key.curve()
    if curve is None:  # (flags param): the key's own p, a, b, g and n, as integers
        found = {name: key[name] for name in "pabgn"}
        hashed = [(name, octets(mpi(found[name]))) for name in "pabgn"]
        form, where = WEIERSTRASS, "the curve the key gives"
        p, a, b = (mpi(found[name]) for name in "pab")
    else:
        hashed = _hashed_curve(curve)
        form, where = curve.form, curve.name
        p, a, b = curve.p, mpi(hashed[1][1]), mpi(hashed[2][1])
    q = key.get("q")
    if q is None:
        raise ValueError(f"the {key.algorithm} key has no (q ...): libgcrypt does not "
                         "compute it from d for a keygrip")
    native = bool(flags & _NATIVE)
    if native and len(q) > 1 and len(q) % 2 and q[0] == 0x40:
        q = q[1:]
    if b"eddsa" in flags:
        if curve is not None and curve.name == "Ed25519" and len(q) == 65 and q[0] == 4:
            # An uncompressed point, which libgcrypt writes in EdDSA's form.
            x, y = mpi(q[1:33]), mpi(q[33:])
            if y >= 1 << 255:
                raise ValueError("q is not a point of Ed25519: its y needs 256 bits")
            q = (y | (x & 1) << 255).to_bytes(32, "little")
    elif not native and q[0] in (2, 3):
        # (libgcrypt takes some on X448 for Weierstrass points, which no one writes.)
        # A native point of an Edwards curve that starts so (an Ed448 key in 128) is
        # taken for a compressed one, and hashed as decompressed by y^2 = x^3 + ax + b.
        edwards = form == EDWARDS and curve is not None and _edwards_native(q, curve)
        if not edwards and (form != WEIERSTRASS or curve is None and key["g"][0] != 4):
            raise ValueError(f"a compressed q on {where}, which libgcrypt cannot decompress")
        q = _decompress(q, p, a, b, where)
    return _hash(hashed + [("q", q)])


def keygrip(key: SexpLike) -> bytes:
    """The keygrip of a key, public or private (protected and shadowed keys
    included): the 20 octets that name its file in `private-keys-v1.d` and
    the key in gpg-agent, as libgcrypt's `gcry_pk_get_keygrip` computes them.

    RSA, DSA, ElGamal and ECC keys (`ecc`, `ecdsa`, `ecdh`, `eddsa`) on every
    curve libgcrypt names but the GOST ones, under each of its names and OIDs
    (exactly, case included), or with `(flags param)` and the curve's own
    parameters. A key that libgcrypt would refuse raises `ValueError` saying
    what is missing.

    >>> keygrip([b"public-key", [b"rsa", [b"n", b"\\x00\\xc3"], [b"e", b"\\x03"]]]).hex()
    'c9f33a309ab8e7d9fdf244029c10fe094912f4e8'
    """
    parsed = Key(key)
    if parsed.family == "rsa":
        return hashlib.sha1(parsed["n"]).digest()
    if parsed.family == "ecc":
        return _ecc(parsed)
    return _hash([(name, parsed[name]) for name in _HASHED[parsed.family]])
