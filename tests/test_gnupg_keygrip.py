"""Keygrips (parvex.gnupg.keygrip) against libgcrypt's gcry_pk_get_keygrip,
on made-up keys of every kind and spelling, and the curves' parameters
against libgcrypt's."""

import random

import pytest
from gnupg_support import HAVE_CRYPTO, Gcrypt
from parvex import Atom, to_advanced
from parvex.gnupg import keygrip, private_key, public_key
from parvex.gnupg._curves import CURVES, MONTGOMERY, NATIVE_SIZES

NO_CRYPTO = {"brainpoolP160r1", "brainpoolP192r1", "brainpoolP224r1", "brainpoolP320r1",
             "sm2p256v1"}  # curves cryptography lacks
NAMES = {}  # curve -> its spellings
for _spelling, _curve in CURVES.items():
    NAMES.setdefault(_curve, []).append(_spelling)


@pytest.fixture(scope="module")
def gcrypt():
    return Gcrypt()


def same_as_libgcrypt(gcrypt, key):
    """parvex's keygrip is libgcrypt's, or both refuse the key."""
    want = gcrypt.keygrip(key)
    if want is not None:
        assert keygrip(key) == want, key
        return
    try:
        got = keygrip(key)
    except ValueError:
        return
    pytest.fail(f"libgcrypt refuses {to_advanced(key)}, parvex gives {got.hex()}")


@pytest.mark.parametrize("curve", NAMES, ids=lambda c: c.name)
def test_curves_are_libgcrypts(gcrypt, curve):
    held = gcrypt.curve(curve.name, "pabn" if curve.form == MONTGOMERY else "pabgn")
    a = (curve.a - 2) // 4 if curve.form == MONTGOMERY else curve.a  # libgcrypt's (A - 2) / 4
    assert (held["p"], held["a"], held["b"], held["n"]) == (curve.p, a, curve.b, curve.n)
    if "g" in held:
        assert held["g"] == (4 << 16 * curve.size) + (curve.gx << 8 * curve.size) + curve.gy


def _points(curve, rng):
    """Spellings of points of `curve` as keys hold them: uncompressed,
    compressed, native behind 0x40 or bare, and some that are no point."""
    size, native = curve.size, NATIVE_SIZES
    x, y = curve.gx.to_bytes(size, "big"), curve.gy.to_bytes(size, "big")
    points = [b"\x04" + x + y, b"\x00\x04" + x + y]
    if curve.form != MONTGOMERY:  # (libgcrypt reads a few on X448 as Weierstrass points)
        points += [bytes([2 + (y[-1] & 1)]) + x, bytes([3 - (y[-1] & 1)]) + x, b"\x02" + x[1:]]
    if curve.name in native:
        raw = b"\x09" + rng.randbytes(native[curve.name] - 1)
        points += [b"\x40" + raw, raw, b"\x40" + raw[:-1], b"\x40" + raw + b"\x01"]
        if curve.form != MONTGOMERY:
            points.append(b"\x02" + raw[1:])
            # Native points whose first octet is that of a compressed one.
            points += [y.to_bytes(native[curve.name], "little") for y in (2, 3, 258, 259)]
    return points


@pytest.mark.parametrize("curve", NAMES, ids=lambda c: c.name)
def test_ecc_keygrips(gcrypt, curve):
    rng = random.Random(curve.name)
    flags = [[], [[b"flags", b"eddsa"]], [[b"flags", b"djb-tweak", b"comp"]], [[b"flags", b"comp"]]]
    for spelling in NAMES[curve]:
        for algorithm in (b"ecc", b"ecdsa", b"EdDSA", b"ecdh"):
            for flag in flags:
                for q in _points(curve, rng):
                    same_as_libgcrypt(gcrypt, [b"public-key", [algorithm, [b"curve", spelling],
                                                               *flag, [b"q", q]]])
    # Keys libgcrypt makes, private ones with d, and their public halves;
    # as cryptography objects, the private key's public key is the key's.
    flags = {"Ed25519": [b"eddsa"], "Curve25519": [b"djb-tweak"]}.get(curve.name, [])
    key = gcrypt.genkey(curve.name.encode(), *flags)
    while curve.name == "X448" and dict(key[1][1:])[b"q"][0] in (2, 3):
        # A bare X448 point that starts as a compressed one does, which
        # libgcrypt reads as a point of another curve and parvex refuses, as
        # it refuses every q on X448 that starts so: one key in 128 made here.
        key = gcrypt.genkey(curve.name.encode(), *flags)
    same_as_libgcrypt(gcrypt, key)
    same_as_libgcrypt(gcrypt, [b"public-key", [p for p in key[1] if p[0] != b"d"]])
    if HAVE_CRYPTO and curve.name in NO_CRYPTO:
        with pytest.raises(ValueError, match=f"cryptography has no {curve.name} curve"):
            private_key(key)
    elif HAVE_CRYPTO:
        assert private_key(key).public_key() == public_key(key)
    # A curve given by its parameters, (flags param) telling so.
    numbers = [[b"p", curve.p], [b"a", curve.a], [b"b", curve.b],
               [b"g", (4 << 16 * curve.size) + (curve.gx << 8 * curve.size) + curve.gy],
               [b"n", curve.n]]
    explicit = [[name, value.to_bytes(max((value.bit_length() + 7) // 8 + extra, 1), "big")]
                for (name, value), extra in zip(numbers, [1, 1, 0, 0, 1])]  # a leading zero
    if curve.form != MONTGOMERY and curve.name != "Ed25519":
        for flag in ([[b"flags", b"param"]], []):
            for q in _points(curve, rng)[:4]:
                same_as_libgcrypt(gcrypt, [b"public-key", [b"ecc", *flag, *explicit, [b"q", q]]])
        explicit[3][1] = b"\0" + explicit[3][1]
        for q in _points(curve, rng)[:4]:
            same_as_libgcrypt(gcrypt, [b"public-key", [b"ecc", [b"flags", b"param"], *explicit,
                                                       [b"q", q]]])


def test_other_keygrips(gcrypt):
    rng = random.Random(9)
    n, big = b"\x00\xc3" + rng.randbytes(255), rng.randbytes(128)
    kinds = [b"public-key", b"private-key", b"protected-private-key", b"shadowed-private-key",
             b"key", Atom(b"public-key", hint=b"t")]
    keys = []
    for kind in kinds:
        for name in (b"rsa", b"RSA", b"openpgp-rsa", b"oid.1.2.840.113549.1.1.1", b"rsa-e"):
            keys += [[kind, [name, [b"n", value], [b"e", b"\x01\x00\x01"]]]
                     for value in (n, n[1:], b"\x05")]
            keys.append([kind, [name, [b"e", b"\x03"]]])
        for name in (b"dsa", b"DSA", b"openpgp-dsa", b"elg", b"openpgp-elg", b"openpgp-elg-sig",
                     b"elgamal"):
            params = [[b"y", b"\x00" + big], [b"p", big], [b"q", big[:20]], [b"g", big[::-1]]]
            keys += [[kind, [name, *params]], [kind, [name, *params[1:]]],
                     [kind, [name, *params, [b"x", b"\x07"]]]]
    keys += [
        [b"public-key", [b"rsa", [b"x", [b"n", big]], [b"n", n]]],  # found depth first
        [b"public-key", [b"rsa", [b"n", n]], [b"dsa", [b"p", big]]],  # the first algorithm
        [b"public-key", [b"rsa", [b"n", [n]]]], [b"public-key", [[b"rsa"], [b"n", n]]],
        [b"public-key", [b"ecc", [b"curve", b"Nist P-256"], [b"q", b"\x04" + big[:64]]]],
        [b"public-key", [b"ecc", [b"curve", b"oid.1.2.840.10045.3.1.7"], [b"q", b"\x04" + big[:64]]]],
        [b"private-key", [b"ecc", [b"curve", b"NIST P-256"], [b"d", b"\x01"]]],  # no q
    ]
    for key in keys:
        same_as_libgcrypt(gcrypt, key)


@pytest.mark.parametrize("key, message", [
    ([b"key", [b"rsa", [b"n", b"\x01"]]], "not a key"),
    ([b"public-key", [b"rsa", [b"e", b"\x03"]]], r"the rsa key has no \(n \.\.\.\)"),
    ([b"public-key", [b"dsa", [b"p", b"\x01"], [b"q", b"\x01"], [b"g", b"\x01"]]],
     r"the dsa key has no \(y \.\.\.\)"),
    ([b"public-key", [b"RSA", [b"n", Atom(b"\x01", hint=b"h")]]],
     r"the RSA key's \(n \.\.\.\) does not hold octets without a display hint"),
    ([b"public-key", [b"rsa", [b"n", b""]]], r"\(n \.\.\.\) does not hold octets"),
    ([b"public-key", [b"elgamal", [b"p", b"\x01"]]], "elgamal keys are not known to libgcrypt"),
    ([b"public-key", [b"ecc", [b"q", b"\x04"]]], r"has no \(curve \.\.\.\), nor \(flags param\)"),
    ([b"public-key", [b"ecc", [b"curve", b"Ed448"]]], r"has no \(q \.\.\.\)"),
    ([b"public-key", [b"ecc", [b"curve", b"nist p-256"], [b"q", b"\x04"]]],
     "the curve nist p-256 is not a curve libgcrypt knows"),
    ([b"public-key", [b"ecc", [b"curve", b"GOST2001-test"], [b"q", b"\x04"]]],
     r"GOST2001-test \(GOST R 34.10\) is not supported"),
    ([b"public-key", [b"ecc", [b"curve", b"NIST P-224"], [b"q", b"\x02\x01"]]],
     "a compressed q on NIST P-224, which libgcrypt cannot decompress"),
    ([b"public-key", [b"ecc", [b"curve", b"Ed25519"], [b"q", b"\x03" + bytes(32)]]],
     "a compressed q on Ed25519"),
    ([b"public-key", [b"ecc", [b"curve", b"X448"], [b"q", b"\x03" + bytes(56)]]],
     "a compressed q on X448"),
    ([b"public-key", [b"ecc", [b"flags", b"param"], [b"p", b"\x07"], [b"q", b"\x04"]]],
     r"the ecc key has no \(a \.\.\.\)"),
])
def test_keygrip_refuses(key, message):
    with pytest.raises(ValueError, match=message):
        keygrip(key)
