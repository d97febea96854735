"""Shared by the tests of parvex.gnupg: libgcrypt through ctypes, as the
reference for keygrips and curves, and a GnuPG home holding a key of every
kind, made by gpg and, for the kinds gpg does not make, written by the tests
for gpg-agent to use."""

import ctypes
import ctypes.util
import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field

import parvex
import pytest
from conftest import skip_unless
from parvex.gnupg import keygrip

try:
    import cryptography  # noqa: F401
    HAVE_CRYPTO = True
except ImportError:
    HAVE_CRYPTO = False
needs_crypto = pytest.mark.needs("crypto")


class Gcrypt:
    """The few calls of libgcrypt the tests compare with."""

    def __init__(self):
        skip_unless("gnupg")
        path = ctypes.util.find_library("gcrypt")
        lib = self.lib = ctypes.CDLL(path)
        v, n, s = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p
        for name, args, result in [
                ("check_version", [s], s), ("sexp_new", [v, s, n, ctypes.c_int], int),
                ("sexp_release", [v], None), ("sexp_sprint", [v, ctypes.c_int, s, n], n),
                ("pk_get_keygrip", [v, s], v), ("pk_genkey", [v, v], int),
                ("sexp_find_token", [v, s, n], v), ("mpi_ec_new", [v, v, s], int),
                ("mpi_ec_get_mpi", [s, v, ctypes.c_int], v), ("mpi_aprint", [ctypes.c_int, v, v, v], int),
                ("mpi_release", [v], None), ("ctx_release", [v], None), ("free", [v], None)]:
            function = getattr(lib, "gcry_" + name)
            function.argtypes, function.restype = args, result
        lib.gcry_check_version(None)

    def _sexp(self, value):
        s, canonical = ctypes.c_void_p(), parvex.to_canonical(value)
        assert self.lib.gcry_sexp_new(ctypes.byref(s), canonical, len(canonical), 1) == 0, value
        return s

    def keygrip(self, key):
        """libgcrypt's keygrip of `key`, or None where it has none."""
        s, grip = self._sexp(key), ctypes.create_string_buffer(20)
        found = self.lib.gcry_pk_get_keygrip(s, grip)
        self.lib.gcry_sexp_release(s)
        return grip.raw if found else None

    def genkey(self, curve, *flags):
        """A new (private-key (ecc ...)) on `curve`, made by libgcrypt."""
        spec = self._sexp([b"genkey", [b"ecc", [b"curve", curve], [b"flags", *flags]]])
        key = ctypes.c_void_p()
        assert self.lib.gcry_pk_genkey(ctypes.byref(key), spec) == 0
        private = self.lib.gcry_sexp_find_token(key, b"private-key", 0)
        size = self.lib.gcry_sexp_sprint(private, 1, None, 0)  # 1: canonical
        out = ctypes.create_string_buffer(size)
        self.lib.gcry_sexp_sprint(private, 1, out, size)
        for s in (spec, key, private):
            self.lib.gcry_sexp_release(s)
        return parvex.parse(out.raw[:size].rstrip(b"\0"))

    def curve(self, name, params="pabgn"):
        """The domain parameters libgcrypt holds for `name`, as integers."""
        ctx, out = ctypes.c_void_p(), {}
        assert self.lib.gcry_mpi_ec_new(ctypes.byref(ctx), None, name.encode()) == 0
        for param in params:
            m = self.lib.gcry_mpi_ec_get_mpi(param.encode(), ctx, 1)
            buf, size = ctypes.c_void_p(), ctypes.c_size_t()
            assert self.lib.gcry_mpi_aprint(5, ctypes.byref(buf), ctypes.byref(size), m) == 0
            out[param] = int.from_bytes(ctypes.string_at(buf, size.value), "big")
            self.lib.gcry_free(buf)
            self.lib.gcry_mpi_release(m)
        self.lib.gcry_ctx_release(ctx)
        return out


# MARK: a GnuPG home with every kind of key

# (kind, what gpg makes: its algorithm, the usage, the passphrase, and the
# kind of the primary key a subkey goes under)
GPG_KINDS = [
    ("rsa", "rsa2048", "sign", "", None),
    ("rsa-encr", "rsa2048", "encr", "", "rsa"),
    ("dsa", "dsa2048", "sign", "", None),
    ("elg", "elg2048", "encr", "", "dsa"),
    ("ed25519", "ed25519", "sign", "", None),
    ("cv25519", "cv25519", "encr", "", "ed25519"),
    ("ecdsa-brainpoolP256r1", "brainpoolP256r1", "sign", "secret", None),
    ("ecdh-brainpoolP256r1", "brainpoolP256r1", "encr", "secret", "ecdsa-brainpoolP256r1"),
] + [(f"{use}-{curve}", curve, usage, "", None if use == "ecdsa" else f"ecdsa-{curve}")
     for curve in ("nistp256", "nistp384", "nistp521", "brainpoolP384r1",
                   "brainpoolP512r1", "secp256k1")
     for use, usage in (("ecdsa", "sign"), ("ecdh", "encr"))]
# The kinds gpg does not make, written as key files: (kind, curve, usage).
WRITTEN_KINDS = [("ecdsa-nistp192", "NIST P-192", "sign"), ("ecdsa-nistp224", "NIST P-224", "sign"),
                 ("ed448", "Ed448", "sign"), ("x448", "X448", "encr"),
                 ("ecdh-nistp224", "NIST P-224", "encr")]


@dataclass
class Key:
    kind: str
    usage: str
    passphrase: str
    grip: str = ""          # 40 hexadecimal digits
    fpr: str = ""           # gpg's fingerprint, for a key gpg made
    by_gpg: bool = True
    path: object = None     # its key file


@dataclass
class Keyring:
    home: str
    env: dict
    keys: dict = field(default_factory=dict)

    def gpg(self, *args, passphrase=""):
        return subprocess.run(["gpg", "--batch", "--pinentry-mode", "loopback", "--passphrase",
                               passphrase, "--trust-model", "always", *args], env=self.env,
                              check=True, capture_output=True, timeout=300).stdout

    def stop_agent(self):  # which reads the key files again when it next starts
        subprocess.run(["gpgconf", "--kill", "gpg-agent"], env=self.env, timeout=60, check=True)


def gnupg_version():
    """The (major, minor) of the gpg on PATH; (0, 0) where there is none."""
    if shutil.which("gpg") is None:
        return (0, 0)
    out = subprocess.run(["gpg", "--version"], capture_output=True, text=True, timeout=60).stdout
    return tuple(int(n) for n in out.split()[2].split(".")[:2])


def gnupg_env(home):
    """The environment of GnuPG's programs for the home `home`. GnuPG runs
    as itself, without the sanitizer runtime .ci/sanitize.sh preloads."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"} | {"GNUPGHOME": str(home)}


def _private_key_sexp(curve, private):
    """A cryptography private key on `curve` as libgcrypt writes it."""
    from cryptography.hazmat.primitives import serialization as s
    from cryptography.hazmat.primitives.asymmetric import ec
    if isinstance(private, ec.EllipticCurvePrivateKey):
        q = private.public_key().public_bytes(s.Encoding.X962, s.PublicFormat.UncompressedPoint)
        return [b"private-key", [b"ecc", [b"curve", curve.encode()], [b"q", q],
                                 [b"d", parvex.from_int(private.private_numbers().private_value)]]]
    q = private.public_key().public_bytes(s.Encoding.Raw, s.PublicFormat.Raw)
    d = private.private_bytes(s.Encoding.Raw, s.PrivateFormat.Raw, s.NoEncryption())
    flags = [b"flags", b"eddsa"] if curve == "Ed448" else [b"flags", b"djb-tweak"]
    return [b"private-key", [b"ecc", [b"curve", curve.encode()], flags, [b"q", b"\x40" + q],
                             [b"d", d[::-1] if curve == "Curve25519" else d]]]


def make_keyring(extra_conf=""):
    """A GnuPG home (its path short, for the agent's socket) with the keys of
    GPG_KINDS, and those of WRITTEN_KINDS when cryptography is there."""
    home = tempfile.mkdtemp(prefix="pvx", dir="/tmp")
    # A passphrase is never cached, so that a wrong one is always refused.
    with open(os.path.join(home, "gpg-agent.conf"), "w") as f:
        f.write("allow-loopback-pinentry\ndefault-cache-ttl 0\nmax-cache-ttl 0\n" + extra_conf)
    ring = Keyring(home, gnupg_env(home))
    for kind, algo, usage, passphrase, primary in GPG_KINDS:
        key = ring.keys[kind] = Key(kind, usage, passphrase)
        if primary is None:
            ring.gpg("--quick-gen-key", f"{kind} <{kind}@example.org>", algo, usage, "never",
                     passphrase=passphrase)
        else:
            ring.gpg("--quick-add-key", ring.keys[primary].fpr, algo, usage, "never",
                     passphrase=passphrase)
        listing = ring.gpg("--with-colons", "--with-keygrip", "-K",
                           f"<{(primary or kind)}@example.org>").decode().splitlines()
        records = [line.split(":") for line in listing if line[:3] in ("fpr", "grp")]
        key.fpr, key.grip = records[-2][9], records[-1][9]
    private_dir = os.path.join(home, "private-keys-v1.d")
    if HAVE_CRYPTO:
        from cryptography.hazmat.primitives.asymmetric import ec, ed448, x448
        for kind, curve, usage in WRITTEN_KINDS:
            private = {"Ed448": ed448.Ed448PrivateKey.generate, "X448": x448.X448PrivateKey.generate
                       }.get(curve) or (lambda: ec.generate_private_key(
                           {"NIST P-192": ec.SECP192R1(), "NIST P-224": ec.SECP224R1()}[curve]))
            sexp = _private_key_sexp(curve, private())
            grip = keygrip(sexp).hex().upper()
            with open(os.path.join(private_dir, grip + ".key"), "wb") as f:
                f.write(parvex.to_canonical(sexp))
            ring.keys[kind] = Key(kind, usage, "", grip, by_gpg=False)
    for key in ring.keys.values():
        key.path = os.path.join(private_dir, key.grip + ".key")
    return ring
