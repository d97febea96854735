"""Keys as `cryptography` objects (the extra `parvex[crypto]`)."""

from __future__ import annotations

from typing import Any

from .._types import SexpLike
from ._curves import NATIVE_SIZES, WEIERSTRASS, Curve
from ._keys import Key, mpi

# The names of cryptography's classes of the Weierstrass curves it has.
_EC_CLASSES = {
    "NIST P-192": "SECP192R1", "NIST P-224": "SECP224R1", "NIST P-256": "SECP256R1",
    "NIST P-384": "SECP384R1", "NIST P-521": "SECP521R1", "secp256k1": "SECP256K1",
    "brainpoolP256r1": "BrainpoolP256R1", "brainpoolP384r1": "BrainpoolP384R1",
    "brainpoolP512r1": "BrainpoolP512R1",
}


def _asymmetric() -> Any:
    try:
        from cryptography.hazmat.primitives import asymmetric
        from cryptography.hazmat.primitives.asymmetric import dsa, ec, ed448, ed25519, rsa, x448, x25519  # noqa: F401
    except ImportError:
        raise ImportError("public_key and private_key need the cryptography package: "
                          "pip install 'parvex[crypto]'") from None
    return asymmetric


def _classes(curve: Curve) -> tuple[Any, Any]:
    """cryptography's public and private key classes of a curve of its own."""
    asym = _asymmetric()
    module = getattr(asym, {"Ed25519": "ed25519", "Ed448": "ed448", "Curve25519": "x25519",
                            "X448": "x448"}[curve.name])
    prefix = {"Curve25519": "X25519"}.get(curve.name, curve.name)
    return getattr(module, prefix + "PublicKey"), getattr(module, prefix + "PrivateKey")


def _point(key: Key, curve: Curve) -> bytes:
    """q without the 0x40 octet that marks a native point."""
    q = key["q"]
    size = NATIVE_SIZES.get(curve.name)
    if size is not None and len(q) == size + 1 and q[0] == 0x40:
        return q[1:]
    return q


def _curve(key: Key) -> Curve:
    curve = key.curve()
    if curve is None:
        raise ValueError("cryptography takes keys on named curves only, not on a curve "
                         "given by (flags param)")
    if curve.name not in _EC_CLASSES and curve.name not in NATIVE_SIZES:
        raise ValueError(f"cryptography has no {curve.name} curve")
    return curve


def _public(key: Key) -> Any:
    asym = _asymmetric()
    if key.family == "rsa":
        return asym.rsa.RSAPublicNumbers(mpi(key["e"]), mpi(key["n"])).public_key()
    if key.family == "dsa":
        p, q, g, y = (mpi(key[name]) for name in "pqgy")
        return asym.dsa.DSAPublicNumbers(y, asym.dsa.DSAParameterNumbers(p, q, g)).public_key()
    if key.family == "elg":
        raise ValueError("cryptography has no ElGamal keys")
    return _public_ecc(key, asym)


def _public_ecc(key: Key, asym: Any) -> Any:
    curve = _curve(key)
    point = _point(key, curve)
    if curve.form == WEIERSTRASS:
        ec = asym.ec
        return ec.EllipticCurvePublicKey.from_encoded_point(
            getattr(ec, _EC_CLASSES[curve.name])(), point)
    if curve.name == "Ed25519" and len(point) == 65 and point[0] == 4:
        point = (mpi(point[33:]) | (mpi(point[1:33]) & 1) << 255).to_bytes(32, "little")
    return _classes(curve)[0].from_public_bytes(point)


def public_key(key: SexpLike) -> Any:
    """The public key of `key` (public or private, protected too) as a
    `cryptography` key object: RSA, DSA, EC on every curve `cryptography`
    has (NIST P-192 to P-521, secp256k1, brainpool P256r1, P384r1, P512r1),
    Ed25519, X25519 (GnuPG's Curve25519), Ed448, X448. Other keys raise
    `ValueError` saying which; without `cryptography`, `ImportError`."""
    return _public(Key(key))


def private_key(key: SexpLike) -> Any:
    """The private key of an unprotected `(private-key ...)` as a
    `cryptography` key object, for the kinds `public_key` takes. The key is
    checked against its public parameters: a key whose public and private
    parts disagree raises `ValueError` (whose message holds no secret)."""
    parsed = Key(key)
    if parsed.kind != b"private-key":
        what = {b"public-key": "a public key",
                b"protected-private-key": "protected by a passphrase (gpg-agent can use it)",
                b"shadowed-private-key": "kept on a smartcard"}[parsed.kind]
        raise ValueError(f"private_key takes an unprotected (private-key ...): this key is {what}")
    public = _public(parsed)
    asym = _asymmetric()
    if parsed.family == "rsa":
        p, q, d = (mpi(parsed[name]) for name in "pqd")
        private: Any = asym.rsa.RSAPrivateNumbers(p, q, d, d % (p - 1), d % (q - 1),
                                                  pow(q, -1, p), public.public_numbers()
                                                  ).private_key()
    elif parsed.family == "dsa":
        private = asym.dsa.DSAPrivateNumbers(mpi(parsed["x"]), public.public_numbers()).private_key()
    else:
        curve = _curve(parsed)
        secret = parsed["d"]
        if curve.form == WEIERSTRASS:
            private = asym.ec.derive_private_key(mpi(secret), public.curve)
        else:
            size = NATIVE_SIZES[curve.name]
            if len(secret) > size:
                raise ValueError(f"the {curve.name} key's d is longer than {size} octets")
            secret = secret.rjust(size, b"\0")
            if curve.name == "Curve25519":
                secret = secret[::-1]
            private = _classes(curve)[1].from_private_bytes(secret)
    if private.public_key() != public:
        raise ValueError(f"the {parsed.algorithm} key's private part does not match its "
                         "public part")
    return private
