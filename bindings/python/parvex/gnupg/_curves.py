"""The named elliptic curves of libgcrypt, under every name and OID it
accepts for them, with their domain parameters.

The parameters of the Weierstrass curves are those of SEC 2 (NIST P-*,
secp256k1), RFC 5639 (brainpool) and GM/T 0003.5 (sm2p256v1); Ed25519 and
Curve25519 those of RFC 8032 §5.1 and RFC 7748 §4.1, Ed448 and X448 those of
RFC 8032 §5.2 and RFC 7748 §4.2. The tests check each against libgcrypt's.
"""

from __future__ import annotations

from typing import NamedTuple

# The forms of curve equation, which decide how a point is written.
WEIERSTRASS = "weierstrass"  # y² = x³ + ax + b
EDWARDS = "edwards"          # ax² + y² = 1 + bx²y² (b is the usual d)
MONTGOMERY = "montgomery"    # by² = x³ + ax² + x (a is the usual A)

# The curves whose points and keys have a native encoding (RFC 7748, RFC
# 8032), and its length in octets (libgcrypt keeps the secret of Curve25519
# big-endian, the others as those RFCs write them).
NATIVE_SIZES = {"Ed25519": 32, "Ed448": 57, "Curve25519": 32, "X448": 56}


class Curve(NamedTuple):
    name: str
    form: str
    p: int
    a: int
    b: int
    gx: int
    gy: int
    n: int

    @property
    def size(self) -> int:
        """The octets of one coordinate."""
        return (self.p.bit_length() + 7) // 8


# (name, other names and OIDs, form, (p, a, b, gx, gy, n) in hexadecimal)
_TABLE = [
    ('NIST P-192', ('1.2.840.10045.3.1.1', 'nistp192', 'prime192v1', 'secp192r1',), WEIERSTRASS, (
        "fffffffffffffffffffffffffffffffeffffffffffffffff",
        "fffffffffffffffffffffffffffffffefffffffffffffffc",
        "64210519e59c80e70fa7e9ab72243049feb8deecc146b9b1",
        "188da80eb03090f67cbf20eb43a18800f4ff0afd82ff1012",
        "7192b95ffc8da78631011ed6b24cdd573f977a11e794811",
        "ffffffffffffffffffffffff99def836146bc9b1b4d22831",
    )),
    ('NIST P-224', ('1.3.132.0.33', 'nistp224', 'secp224r1',), WEIERSTRASS, (
        "ffffffffffffffffffffffffffffffff000000000000000000000001",
        "fffffffffffffffffffffffffffffffefffffffffffffffffffffffe",
        "b4050a850c04b3abf54132565044b0b7d7bfd8ba270b39432355ffb4",
        "b70e0cbd6bb4bf7f321390b94a03c1d356c21122343280d6115c1d21",
        "bd376388b5f723fb4c22dfe6cd4375a05a07476444d5819985007e34",
        "ffffffffffffffffffffffffffff16a2e0b8f03e13dd29455c5c2a3d",
    )),
    ('NIST P-256', ('1.2.840.10045.3.1.7', 'nistp256', 'prime256v1', 'secp256r1',), WEIERSTRASS, (
        "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff",
        "ffffffff00000001000000000000000000000000fffffffffffffffffffffffc",
        "5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b",
        "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296",
        "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5",
        "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551",
    )),
    ('NIST P-384', ('1.3.132.0.34', 'nistp384', 'secp384r1',), WEIERSTRASS, (
        "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffeffffffff00000000"
        "00000000ffffffff",
        "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffeffffffff00000000"
        "00000000fffffffc",
        "b3312fa7e23ee7e4988e056be3f82d19181d9c6efe8141120314088f5013875ac656398d8a2ed19d"
        "2a85c8edd3ec2aef",
        "aa87ca22be8b05378eb1c71ef320ad746e1d3b628ba79b9859f741e082542a385502f25dbf55296c"
        "3a545e3872760ab7",
        "3617de4a96262c6f5d9e98bf9292dc29f8f41dbd289a147ce9da3113b5f0b8c00a60b1ce1d7e819d"
        "7a431d7c90ea0e5f",
        "ffffffffffffffffffffffffffffffffffffffffffffffffc7634d81f4372ddf581a0db248b0a77a"
        "ecec196accc52973",
    )),
    ('NIST P-521', ('1.3.132.0.35', 'nistp521', 'secp521r1',), WEIERSTRASS, (
        "1fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
        "fffffffffffffffffffffffffffffffffffffffffffffffffff",
        "1fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"
        "ffffffffffffffffffffffffffffffffffffffffffffffffffc",
        "51953eb9618e1c9a1f929a21a0b68540eea2da725b99b315f3b8b489918ef109e156193951ec7e93"
        "7b1652c0bd3bb1bf073573df883d2c34f1ef451fd46b503f00",
        "c6858e06b70404e9cd9e3ecb662395b4429c648139053fb521f828af606b4d3dbaa14b5e77efe759"
        "28fe1dc127a2ffa8de3348b3c1856a429bf97e7e31c2e5bd66",
        "11839296a789a3bc0045c8a5fb42c7d1bd998f54449579b446817afbd17273e662c97ee72995ef42"
        "640c550b9013fad0761353c7086a272c24088be94769fd16650",
        "1fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffa51868783bf2f9"
        "66b7fcc0148f709a5d03bb5c9b8899c47aebb6fb71e91386409",
    )),
    ('brainpoolP160r1', ('1.3.36.3.3.2.8.1.1.1',), WEIERSTRASS, (
        "e95e4a5f737059dc60dfc7ad95b3d8139515620f",
        "340e7be2a280eb74e2be61bada745d97e8f7c300",
        "1e589a8595423412134faa2dbdec95c8d8675e58",
        "bed5af16ea3f6a4f62938c4631eb5af7bdbcdbc3",
        "1667cb477a1a8ec338f94741669c976316da6321",
        "e95e4a5f737059dc60df5991d45029409e60fc09",
    )),
    ('brainpoolP192r1', ('1.3.36.3.3.2.8.1.1.3',), WEIERSTRASS, (
        "c302f41d932a36cda7a3463093d18db78fce476de1a86297",
        "6a91174076b1e0e19c39c031fe8685c1cae040e5c69a28ef",
        "469a28ef7c28cca3dc721d044f4496bcca7ef4146fbf25c9",
        "c0a0647eaab6a48753b033c56cb0f0900a2f5c4853375fd6",
        "14b690866abd5bb88b5f4828c1490002e6773fa2fa299b8f",
        "c302f41d932a36cda7a3462f9e9e916b5be8f1029ac4acc1",
    )),
    ('brainpoolP224r1', ('1.3.36.3.3.2.8.1.1.5',), WEIERSTRASS, (
        "d7c134aa264366862a18302575d1d787b09f075797da89f57ec8c0ff",
        "68a5e62ca9ce6c1c299803a6c1530b514e182ad8b0042a59cad29f43",
        "2580f63ccfe44138870713b1a92369e33e2135d266dbb372386c400b",
        "d9029ad2c7e5cf4340823b2a87dc68c9e4ce3174c1e6efdee12c07d",
        "58aa56f772c0726f24c6b89e4ecdac24354b9e99caa3f6d3761402cd",
        "d7c134aa264366862a18302575d0fb98d116bc4b6ddebca3a5a7939f",
    )),
    ('brainpoolP256r1', ('1.3.36.3.3.2.8.1.1.7',), WEIERSTRASS, (
        "a9fb57dba1eea9bc3e660a909d838d726e3bf623d52620282013481d1f6e5377",
        "7d5a0975fc2c3057eef67530417affe7fb8055c126dc5c6ce94a4b44f330b5d9",
        "26dc5c6ce94a4b44f330b5d9bbd77cbf958416295cf7e1ce6bccdc18ff8c07b6",
        "8bd2aeb9cb7e57cb2c4b482ffc81b7afb9de27e1e3bd23c23a4453bd9ace3262",
        "547ef835c3dac4fd97f8461a14611dc9c27745132ded8e545c1d54c72f046997",
        "a9fb57dba1eea9bc3e660a909d838d718c397aa3b561a6f7901e0e82974856a7",
    )),
    ('brainpoolP320r1', ('1.3.36.3.3.2.8.1.1.9',), WEIERSTRASS, (
        "d35e472036bc4fb7e13c785ed201e065f98fcfa6f6f40def4f92b9ec7893ec28fcd412b1f1b32e27",
        "3ee30b568fbab0f883ccebd46d3f3bb8a2a73513f5eb79da66190eb085ffa9f492f375a97d860eb4",
        "520883949dfdbc42d3ad198640688a6fe13f41349554b49acc31dccd884539816f5eb4ac8fb1f1a6",
        "43bd7e9afb53d8b85289bcc48ee5bfe6f20137d10a087eb6e7871e2a10a599c710af8d0d39e20611",
        "14fdd05545ec1cc8ab4093247f77275e0743ffed117182eaa9c77877aaac6ac7d35245d1692e8ee1",
        "d35e472036bc4fb7e13c785ed201e065f98fcfa5b68f12a32d482ec7ee8658e98691555b44c59311",
    )),
    ('brainpoolP384r1', ('1.3.36.3.3.2.8.1.1.11',), WEIERSTRASS, (
        "8cb91e82a3386d280f5d6f7e50e641df152f7109ed5456b412b1da197fb71123acd3a729901d1a71"
        "874700133107ec53",
        "7bc382c63d8c150c3c72080ace05afa0c2bea28e4fb22787139165efba91f90f8aa5814a503ad4eb"
        "04a8c7dd22ce2826",
        "4a8c7dd22ce28268b39b55416f0447c2fb77de107dcd2a62e880ea53eeb62d57cb4390295dbc9943"
        "ab78696fa504c11",
        "1d1c64f068cf45ffa2a63a81b7c13f6b8847a3e77ef14fe3db7fcafe0cbd10e8e826e03436d646aa"
        "ef87b2e247d4af1e",
        "8abe1d7520f9c2a45cb1eb8e95cfd55262b70b29feec5864e19c054ff99129280e46462177918111"
        "42820341263c5315",
        "8cb91e82a3386d280f5d6f7e50e641df152f7109ed5456b31f166e6cac0425a7cf3ab6af6b7fc310"
        "3b883202e9046565",
    )),
    ('brainpoolP512r1', ('1.3.36.3.3.2.8.1.1.13',), WEIERSTRASS, (
        "aadd9db8dbe9c48b3fd4e6ae33c9fc07cb308db3b3c9d20ed6639cca703308717d4d9b009bc66842"
        "aecda12ae6a380e62881ff2f2d82c68528aa6056583a48f3",
        "7830a3318b603b89e2327145ac234cc594cbdd8d3df91610a83441caea9863bc2ded5d5aa8253aa1"
        "0a2ef1c98b9ac8b57f1117a72bf2c7b9e7c1ac4d77fc94ca",
        "3df91610a83441caea9863bc2ded5d5aa8253aa10a2ef1c98b9ac8b57f1117a72bf2c7b9e7c1ac4d"
        "77fc94cadc083e67984050b75ebae5dd2809bd638016f723",
        "81aee4bdd82ed9645a21322e9c4c6a9385ed9f70b5d916c1b43b62eef4d0098eff3b1f78e2d0d48d"
        "50d1687b93b97d5f7c6d5047406a5e688b352209bcb9f822",
        "7dde385d566332ecc0eabfa9cf7822fdf209f70024a57b1aa000c55b881f8111b2dcde494a5f485e"
        "5bca4bd88a2763aed1ca2b2fa8f0540678cd1e0f3ad80892",
        "aadd9db8dbe9c48b3fd4e6ae33c9fc07cb308db3b3c9d20ed6639cca70330870553e5c414ca92619"
        "418661197fac10471db1d381085ddaddb58796829ca90069",
    )),
    ('secp256k1', ('1.3.132.0.10',), WEIERSTRASS, (
        "fffffffffffffffffffffffffffffffffffffffffffffffffffffffefffffc2f",
        "0",
        "7",
        "79be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798",
        "483ada7726a3c4655da4fbfc0e1108a8fd17b448a68554199c47d08ffb10d4b8",
        "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141",
    )),
    ('sm2p256v1', ('1.2.156.10197.1.301',), WEIERSTRASS, (
        "fffffffeffffffffffffffffffffffffffffffff00000000ffffffffffffffff",
        "fffffffeffffffffffffffffffffffffffffffff00000000fffffffffffffffc",
        "28e9fa9e9d9f5e344d5a9e4bcf6509a7f39789f515ab8f92ddbcbd414d940e93",
        "32c4ae2c1f1981195f9904466a39c9948fe30bbff2660be1715a4589334c74c7",
        "bc3736a2f4f6779c59bdcee36b692153d0a9877cc62a474002df32e52139f0a0",
        "fffffffeffffffffffffffffffffffff7203df6b21c6052b53bbf40939d54123",
    )),
    ('Ed25519', ('1.3.6.1.4.1.11591.15.1', '1.3.101.112',), EDWARDS, (
        "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed",
        "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffec",
        "52036cee2b6ffe738cc740797779e89800700a4d4141d8ab75eb4dca135978a3",
        "216936d3cd6e53fec0a4e231fdd6dc5c692cc7609525a7b2c9562d608f25d51a",
        "6666666666666666666666666666666666666666666666666666666666666658",
        "1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ed",
    )),
    ('Ed448', ('1.3.101.113',), EDWARDS, (
        "fffffffffffffffffffffffffffffffffffffffffffffffffffffffeffffffffffffffffffffffff"
        "ffffffffffffffffffffffffffffffff",
        "1",
        "fffffffffffffffffffffffffffffffffffffffffffffffffffffffeffffffffffffffffffffffff"
        "ffffffffffffffffffffffffffff6756",
        "4f1970c66bed0ded221d15a622bf36da9e146570470f1767ea6de324a3d3a46412ae1af72ab66511"
        "433b80e18b00938e2626a82bc70cc05e",
        "693f46716eb6bc248876203756c9c7624bea73736ca3984087789c1e05a0c2d73ad3ff1ce67c39c4"
        "fdbd132c4ed7c8ad9808795bf230fa14",
        "3fffffffffffffffffffffffffffffffffffffffffffffffffffffff7cca23e9c44edb49aed63690"
        "216cc2728dc58f552378c292ab5844f3",
    )),
    ('Curve25519', ('X25519', '1.3.6.1.4.1.3029.1.5.1', '1.3.101.110',), MONTGOMERY, (
        "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed",
        "76d06",
        "1",
        "9",
        "20ae19a1b8a086b4e01edd2c7748d14c923d4d7e6d7c61b229e9c5a27eced3d9",
        "1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ed",
    )),
    ('X448', ('1.3.101.111',), MONTGOMERY, (
        "fffffffffffffffffffffffffffffffffffffffffffffffffffffffeffffffffffffffffffffffff"
        "ffffffffffffffffffffffffffffffff",
        "262a6",
        "1",
        "5",
        "7d235d1295f5b1f66c98ab6e58326fcecbae5d34f55545d060f75dc28df3f6edb8027e2346430d21"
        "1312c4b150677af76fd7223d457b5b1a",
        "3fffffffffffffffffffffffffffffffffffffffffffffffffffffff7cca23e9c44edb49aed63690"
        "216cc2728dc58f552378c292ab5844f3",
    )),
]

#: Every spelling libgcrypt takes for a curve (exactly, case included) to
#: the curve.
CURVES: dict[bytes, Curve] = {}
for _name, _aliases, _form, _hex in _TABLE:
    _curve = Curve(_name, _form, *(int(h.replace(" ", ""), 16) for h in _hex))
    for _spelling in (_name, *_aliases):
        CURVES[_spelling.encode()] = _curve

# Curves that libgcrypt knows and parvex does not: the GOST R 34.10 curves,
# which GnuPG does not use.
UNSUPPORTED = frozenset(s.encode() for s in (
    "GOST2001-test", "GOST2001-CryptoPro-A", "GOST2001-CryptoPro-B", "GOST2001-CryptoPro-C",
    "GOST2001-CryptoPro-XchA", "GOST2001-CryptoPro-XchB", "GOST2012-256-A",
    "GOST2012-256-tc26-A", "GOST2012-256-tc26-B", "GOST2012-256-tc26-C", "GOST2012-256-tc26-D",
    "GOST2012-512-test", "GOST2012-test", "GOST2012-512-tc26-A", "GOST2012-512-tc26-B",
    "GOST2012-512-tc26-C", "GOST2012-tc26-A", "GOST2012-tc26-B",
    "1.2.643.2.2.35.0", "1.2.643.2.2.35.1", "1.2.643.2.2.35.2", "1.2.643.2.2.35.3",
    "1.2.643.2.2.36.0", "1.2.643.2.2.36.1", "1.2.643.7.1.2.1.1.1", "1.2.643.7.1.2.1.1.2",
    "1.2.643.7.1.2.1.1.3", "1.2.643.7.1.2.1.1.4", "1.2.643.7.1.2.1.2.0",
    "1.2.643.7.1.2.1.2.1", "1.2.643.7.1.2.1.2.2", "1.2.643.7.1.2.1.2.3"))
