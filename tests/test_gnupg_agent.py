"""parvex.gnupg against the real GnuPG, for every kind of key: keygrips
(parvex = libgcrypt = the file name gpg gives), gpg-agent's signatures and
decryptions, and the keys as cryptography objects checked against what gpg
exports."""

import hashlib
import os
import socket
import sys
import threading

import parvex
import pytest
from gnupg_support import GPG_KINDS, WRITTEN_KINDS, Gcrypt, gnupg_version, needs_crypto
from parvex import extract, find, to_int
from parvex.gnupg import Agent, AgentError, keygrip, private_key, public_key, read_key_file
from support import child_env, doc_script, run_cli

KINDS = [kind for kind, *_ in GPG_KINDS] + [kind for kind, *_ in WRITTEN_KINDS]
SIGNING = [k for k, _, usage, *_ in GPG_KINDS + WRITTEN_KINDS if usage == "sign"]
ENCRYPTING = [k for k, _, usage, *_ in GPG_KINDS + WRITTEN_KINDS if usage == "encr"]
# What cryptography has no class for.
NO_CRYPTO = {"elg": "ElGamal"}
# The kinds whose public key gpg --export-ssh-key prints (and cryptography
# loads: it reads no ssh-dss).
SSH = {"rsa", "ed25519", "ecdsa-nistp256", "ecdsa-nistp384", "ecdsa-nistp521"}
# What gpg-agent refuses to sign with, whatever the hash (2.4 signs with Ed448).
AGENT_REFUSES = {"ecdsa-nistp192"} | ({"ed448"} if gnupg_version() < (2, 3) else set())
# gpg-agent takes an ECDSA digest no shorter than the curve's order.
HASHES = {"ecdsa-nistp384": "sha384", "ecdsa-brainpoolP384r1": "sha384",
          "ecdsa-nistp521": "sha512", "ecdsa-brainpoolP512r1": "sha512"}


@pytest.fixture(scope="module")
def agent(keyring):
    with Agent(os.path.join(keyring.home, "S.gpg-agent")) as a:
        yield a


def _key(keyring, kind):
    key = keyring.keys.get(kind)
    if key is None:
        pytest.skip("the key files of this kind are written with cryptography (parvex[crypto])")
    return key


def _verify(public, sig_val, digest):
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec, padding, utils
    algorithm = sig_val[1][0]
    prehashed = utils.Prehashed({32: hashes.SHA256(), 48: hashes.SHA384(),
                                 64: hashes.SHA512()}[len(digest)])
    if algorithm == b"rsa":
        s = find(sig_val, "s")[1].rjust(public.key_size // 8, b"\0")
        return public.verify(s, digest, padding.PKCS1v15(), prehashed)
    r, s = extract(sig_val, "r", "s", path=(algorithm,))
    if algorithm == b"eddsa":
        size = len(public.public_bytes_raw())
        return public.verify(r.rjust(size, b"\0") + s.rjust(size, b"\0"), digest)
    der = utils.encode_dss_signature(to_int(r), to_int(s))
    if algorithm == b"dsa":
        return public.verify(der, digest, prehashed)
    return public.verify(der, digest, ec.ECDSA(prehashed))


def _export_numbers(keyring, fpr):
    """The public parameters of the OpenPGP key `fpr` in what gpg --export
    prints: the MPIs of its v4 key packet (RFC 4880 §5.5.2), q as an integer."""
    data, mpis = keyring.gpg("--export", fpr + "!"), None
    while data:
        tag, body_at = data[0], 1
        if tag & 0x40:  # new format length
            size, body_at = (data[1], 2) if data[1] < 192 else (
                ((data[1] - 192) << 8) + data[2] + 192, 3)
        else:
            width = {0: 1, 1: 2, 2: 4}[tag & 3]
            size, body_at = int.from_bytes(data[1:1 + width], "big"), 1 + width
        body, data = data[body_at:body_at + size], data[body_at + size:]
        packet = tag & 0x3F if tag & 0x40 else (tag >> 2) & 0xF
        if packet in (6, 14) and hashlib.sha1(b"\x99" + len(body).to_bytes(2, "big") + body
                                               ).hexdigest().upper() == fpr:
            algo, at, mpis = body[5], 6, []
            if algo in (18, 19, 22):  # ECDH, ECDSA, EdDSA: the curve's OID, then q
                at += 1 + body[at]
            while at < len(body) and len(mpis) < {1: 2, 16: 3, 17: 4}.get(algo, 1):
                bits = int.from_bytes(body[at:at + 2], "big")
                mpis.append(int.from_bytes(body[at + 2:at + 2 + (bits + 7) // 8], "big"))
                at += 2 + (bits + 7) // 8
    return mpis


def _numbers(public):
    """A cryptography public key's parameters in the order OpenPGP has them."""
    from cryptography.hazmat.primitives import serialization as s
    from cryptography.hazmat.primitives.asymmetric import dsa, ec, rsa
    if isinstance(public, rsa.RSAPublicKey):
        return [public.public_numbers().n, public.public_numbers().e]
    if isinstance(public, dsa.DSAPublicKey):
        numbers = public.public_numbers()
        p = numbers.parameter_numbers
        return [p.p, p.q, p.g, numbers.y]
    if isinstance(public, ec.EllipticCurvePublicKey):
        return [to_int(public.public_bytes(s.Encoding.X962, s.PublicFormat.UncompressedPoint))]
    return [to_int(b"\x40" + public.public_bytes(s.Encoding.Raw, s.PublicFormat.Raw))]


@pytest.mark.parametrize("kind", KINDS)
def test_keygrip(keyring, agent, kind):
    key = _key(keyring, kind)
    kf = read_key_file(key.path)  # gpg names the file; the listing shows the same grip
    public = agent.read_key(key.grip)
    gcrypt = Gcrypt()
    assert {keygrip(kf.key), keygrip(public), gcrypt.keygrip(kf.key), gcrypt.keygrip(public)
            } == {bytes.fromhex(key.grip)}
    assert bytes.fromhex(key.grip) in agent.keys()


@needs_crypto
@pytest.mark.parametrize("kind", SIGNING)
def test_agent_signs(keyring, agent, kind):
    key = _key(keyring, kind)
    hash = HASHES.get(kind, "sha256")
    digest = hashlib.new(hash, kind.encode()).digest()
    if kind in AGENT_REFUSES:  # the error the agent gives, with its code and text
        with pytest.raises(AgentError, match="Invalid digest algorithm") as info:
            agent.sign(key.grip, digest, hash=hash)
        assert info.value.code == 5 and info.value.text.endswith("<gcrypt>")
        return
    sig_val = agent.sign(key.grip, digest, hash=hash, passphrase=key.passphrase or None)
    assert sig_val[0] == b"sig-val"
    public = public_key(agent.read_key(bytes.fromhex(key.grip)))
    _verify(public, sig_val, digest)
    from cryptography.exceptions import InvalidSignature
    with pytest.raises(InvalidSignature):
        _verify(public, sig_val, hashlib.new(hash, b"another message").digest())


def _ephemeral(public):
    """A sender's ephemeral key for `public`: the point sent, the secret shared."""
    from cryptography.hazmat.primitives import serialization as s
    from cryptography.hazmat.primitives.asymmetric import ec, x448, x25519
    if isinstance(public, ec.EllipticCurvePublicKey):
        eph = ec.generate_private_key(public.curve)
        return (eph.public_key().public_bytes(s.Encoding.X962, s.PublicFormat.UncompressedPoint),
                eph.exchange(ec.ECDH(), public))
    cls = x448.X448PrivateKey if isinstance(public, x448.X448PublicKey) else x25519.X25519PrivateKey
    eph = cls.generate()
    return b"\x40" + eph.public_key().public_bytes_raw(), eph.exchange(public)


@needs_crypto
@pytest.mark.parametrize("kind", ENCRYPTING)
def test_agent_decrypts(keyring, agent, kind):
    from cryptography.hazmat.primitives.asymmetric import padding
    key = _key(keyring, kind)
    public_sexp = agent.read_key(key.grip)
    algorithm = public_sexp[1][0]
    message = b"attack at dawn %\r\n" + kind.encode()
    if algorithm == b"rsa":
        a = public_key(public_sexp).encrypt(message, padding.PKCS1v15())
        ciphertext = [b"enc-val", [b"flags", b"pkcs1"], [b"rsa", [b"a", a]]]
        assert agent.decrypt(key.grip, ciphertext) == message
        return
    if algorithm == b"elg":
        p, g, y = extract(public_sexp, "p", "g", "y", path=(b"elg",), convert=to_int)
        k, m = 0x1234567 + len(kind), to_int(message)
        ciphertext = [b"enc-val", [b"elg", [b"a", parvex.from_int(pow(g, k, p))],
                                   [b"b", parvex.from_int(pow(y, k, p) * m % p)]]]
        assert agent.decrypt(key.grip, ciphertext) == message
        return
    point, shared = _ephemeral(public_key(public_sexp))
    ciphertext = [b"enc-val", [b"ecdh", [b"s", b"\x01" * 40], [b"e", point]]]
    got = agent.decrypt(bytes.fromhex(key.grip), ciphertext, passphrase=key.passphrase or None)
    # The shared point (x alone counts on a Weierstrass curve), X448's bare.
    assert got == shared or got[0] in (0x04, 0x40) and got[1:1 + len(shared)] == shared
    if key.passphrase:
        with pytest.raises(AgentError, match="Bad passphrase") as info:
            agent.decrypt(key.grip, ciphertext, passphrase="wrong")
        assert info.value.code == 11 and "wrong" not in repr(info.value)
        with pytest.raises(ValueError, match="protected by a passphrase"):
            private_key(read_key_file(key.path).key)


@needs_crypto
@pytest.mark.parametrize("kind", KINDS)
def test_public_key(keyring, agent, kind):
    key = _key(keyring, kind)
    kf = read_key_file(key.path)
    if kind in NO_CRYPTO:
        with pytest.raises(ValueError, match=f"cryptography has no {NO_CRYPTO[kind]}"):
            public_key(kf.key)
        numbers = list(extract(kf.key, "p", "g", "y", path=(b"elg",), convert=to_int))
    else:
        numbers = _numbers(public_key(kf.key))
        assert numbers == _numbers(public_key(agent.read_key(key.grip)))
    if key.by_gpg:
        assert numbers == _export_numbers(keyring, key.fpr)


@needs_crypto
@pytest.mark.parametrize("kind", KINDS)
def test_private_key(keyring, agent, kind):
    from cryptography.hazmat.primitives import serialization as s
    key = _key(keyring, kind)
    kf = read_key_file(key.path)
    if kind in NO_CRYPTO or key.passphrase:
        with pytest.raises(ValueError, match=NO_CRYPTO.get(kind, "protected by a passphrase")):
            private_key(kf.key)
        return
    private = private_key(kf.key)
    assert _numbers(private.public_key()) == _numbers(public_key(agent.read_key(key.grip)))
    assert repr(kf) == f"<KeyFile ({'extended' if key.by_gpg else 'one S-expression'} form): " \
        f"private-key {kf.key[1][0].decode()}>"
    if key.usage == "encr":  # private_key checked its public part; the agent decrypts
        return
    # A signature made in Python verifies with the key gpg exports for ssh,
    # or else with the agent's public key.
    digest = hashlib.sha256(b"signed in Python").digest()
    sig_val = _python_signature(private, digest)
    if kind in SSH:
        fpr = keyring.keys[kind].fpr
        public = s.load_ssh_public_key(keyring.gpg("--export-ssh-key", fpr + "!"))
    else:
        public = public_key(agent.read_key(key.grip))
    _verify(public, sig_val, digest)


def _python_signature(private, digest):
    """A (sig-val ...) made with cryptography, as the agent would give it."""
    from cryptography.hazmat.primitives.asymmetric import dsa, ec, padding, rsa, utils
    from cryptography.hazmat.primitives.hashes import SHA256
    prehashed = utils.Prehashed(SHA256())
    if isinstance(private, rsa.RSAPrivateKey):
        return [b"sig-val", [b"rsa", [b"s", private.sign(digest, padding.PKCS1v15(), prehashed)]]]
    if isinstance(private, (dsa.DSAPrivateKey, ec.EllipticCurvePrivateKey)):
        der = (private.sign(digest, prehashed) if isinstance(private, dsa.DSAPrivateKey)
               else private.sign(digest, ec.ECDSA(prehashed)))
        r, s = utils.decode_dss_signature(der)
        name = b"dsa" if isinstance(private, dsa.DSAPrivateKey) else b"ecdsa"
        return [b"sig-val", [name, [b"r", parvex.from_int(r)], [b"s", parvex.from_int(s)]]]
    sig = private.sign(digest)
    return [b"sig-val", [b"eddsa", [b"r", sig[:len(sig) // 2]], [b"s", sig[len(sig) // 2:]]]]


def _run(args, keyring):
    done = run_cli(*args, command=(sys.executable,), env=child_env(GNUPGHOME=keyring.home))
    done.text = done.stdout.decode("ascii", "replace")
    return done


@needs_crypto
def test_guide_scripts(keyring):
    # The key listing, over a home that holds every kind of key.
    done = _run(["-c", doc_script("for path in sorted(home.glob")], keyring)
    assert done.returncode == 0, done.stderr
    listed = {line.split()[0]: line.split(maxsplit=3)[1:] for line in done.text.splitlines()}
    assert listed == {k.grip: ["protected-private-key" if k.passphrase else "private-key",
                               *_listed(k)] for k in keyring.keys.values()}
    done = _run(["-c", doc_script("signed and verified")], keyring)
    assert done.returncode == 0, done.stderr
    assert sorted(done.text.splitlines()) == sorted(
        f"{keyring.keys[k].grip} signed and verified" for k in ("ecdsa-nistp256", "ecdh-nistp256"))


def _listed(key):
    kf = read_key_file(key.path)
    curve = find(kf.key, "curve")
    return [kf.key[1][0].decode()] + ([curve[1].decode()] if curve else [])


def test_command_line(keyring, tmp_path):
    keys = list(keyring.keys.values())
    done = _run(["-m", "parvex", "--keygrip", *(key.path for key in keys)], keyring)
    assert (done.returncode, done.text) == (0, "".join(key.grip + "\n" for key in keys))
    key = keyring.keys["ed25519"]  # a file of the extended form, and one of the other
    for path in (key.path, keyring.keys.get("ed448", key).path):
        done = _run(["-m", "parvex", "--key-file", "--to", "canonical", path], keyring)
        assert done.stdout == parvex.to_canonical(read_key_file(path).key)
    (tmp_path / "bad.key").write_bytes(b"Key: (a)\nX y\n")
    (tmp_path / "gost.key").write_bytes(b"(public-key (ecc (curve GOST2001-test) (q #04#)))")
    done = _run(["-m", "parvex", "--keygrip", tmp_path / "bad.key", tmp_path / "gost.key"], keyring)
    assert done.returncode == 1 and done.stdout == b""
    assert done.stderr.decode().splitlines() == [
        f"parvex: {tmp_path / 'bad.key'}: line 2: expected a name (a letter, then letters, "
        "digits or '-') followed by ':'",
        f"parvex: {tmp_path / 'gost.key'}: the curve GOST2001-test (GOST R 34.10) is not supported"]


# MARK: the Assuan protocol, against a scripted server

class Server:
    """A one-connection Assuan server on a Unix socket: it greets (unless
    `greet` is False), then answers each line the client sends with
    `answer(line, conn)`, which sends what it will; lines received are kept."""

    def __init__(self, path, answer, greet=True):
        self.path, self.answer, self.greet, self.received = path, answer, greet, []
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.bind(path)
        self.sock.listen(1)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        conn, _ = self.sock.accept()
        with conn, conn.makefile("rb") as lines:
            if self.greet:
                conn.sendall(b"OK Pleased to meet you\n")
            for line in lines:
                self.received.append(line)
                if line.startswith(b"OPTION"):
                    conn.sendall(b"OK\n")
                elif self.answer(line.rstrip(b"\n"), conn, lines) is False:
                    return

    def close(self):
        self.sock.close()
        self.thread.join(5)


def _escaped_lines(data, width):
    from parvex.gnupg._assuan import escape
    return b"".join(b"D " + escape(data[i:i + width]) + b"\n" for i in range(0, len(data), width))


def test_assuan_data_inquiries_and_errors(tmp_path):
    value = bytes(range(256)) * 6 + b"%\r\n" * 300  # escaped, it takes several lines
    ciphertext = [b"enc-val", [b"rsa", [b"a", value]]]

    def answer(line, conn, lines):
        if line.startswith(b"PKDECRYPT"):
            conn.sendall(b"S INQUIRE_MAXLEN 4096\nINQUIRE CIPHERTEXT\n")
            data = b"".join(iter(lines.readline, b"END\n"))
            assert all(len(d) <= 1000 and d.startswith(b"D ") for d in data.splitlines(True))
            got = b"".join(parvex.gnupg._assuan.unescape(d[2:]) for d in data.splitlines())
            assert got == parvex.to_canonical(ciphertext)
            conn.sendall(b"# the value\n" + _escaped_lines(b"(5:value%d:%s)\0" % (len(value), value),
                                                             300) + b"OK\n")
        elif line.startswith(b"PKSIGN"):
            conn.sendall(b"INQUIRE PINENTRY_LAUNCHED 1 curses\n")
            assert lines.readline() == b"END\n"
            threading.Event().wait(0.6)  # longer than the timeout: a person types
            conn.sendall(b"INQUIRE PASSPHRASE\n")
            sent = lines.readline()[2:-1]  # as it came, escaped
            assert lines.readline() == b"END\n"
            conn.sendall(_escaped_lines(b"(7:sig-val(3:rsa(1:s%d:%s)))" % (len(sent), sent), 99)
                         + b"OK\n")
        elif line.startswith(b"READKEY"):
            conn.sendall(b"ERR 67108881 No secret key <GPG Agent>\n")
        elif line.startswith(b"KEYINFO"):
            conn.sendall(b"S KEYINFO %s D - - - P - - -\nS KEYINFO junk\nOK\n" % (b"AB" * 20))
        else:
            conn.sendall(b"OK\n")

    server = Server(str(tmp_path / "S"), answer)
    with Agent(server.path, timeout=0.3) as agent:
        assert agent.keys() == [b"\xab" * 20]
        assert agent.decrypt("ab" * 20, ciphertext) == value
        sig_val = agent.sign(b"\x01" * 20, bytes(32), passphrase="p%s\nx")
        assert sig_val == [b"sig-val", [b"rsa", [b"s", b"p%25s%0Ax"]]]  # sent escaped
        with pytest.raises(AgentError) as info:
            agent.read_key(b"\x01" * 20)
        assert (info.value.code, info.value.source, info.value.text) == (17, 4, "No secret key <GPG Agent>")
        assert str(info.value) == "gpg-agent refused READKEY: No secret key <GPG Agent> (error code 17)"
        for grip in (b"\x01" * 19, "zz" * 20, 5):
            with pytest.raises(ValueError, match="a keygrip is 20 octets or 40 hexadecimal digits"):
                agent.read_key(grip)
        with pytest.raises(ValueError, match="a sha256 digest is 32 octets, not 20"):
            agent.sign(b"\x01" * 20, bytes(20))
    server.close()


@pytest.mark.parametrize("greet, answer, error, message", [
    (False, None, TimeoutError, "gpg-agent did not answer within 0.3 s"),
    (True, lambda line, conn, lines: None, TimeoutError, "did not answer"),
    (True, lambda line, conn, lines: False, ConnectionError, "closed the connection"),
    (True, lambda line, conn, lines: conn.sendall(b"D " + b"x" * 1000), ConnectionError,
     "a line longer than 1000 octets"),
    (True, lambda line, conn, lines: conn.sendall(b"HELLO\n"), ConnectionError, "does not know"),
])
def test_assuan_faults(tmp_path, greet, answer, error, message):
    server = Server(str(tmp_path / "S"), answer, greet=greet)
    with pytest.raises(error, match=message):
        with Agent(server.path, timeout=0.3) as agent:
            agent.keys()
    server.close()


def test_no_agent(tmp_path):
    with pytest.raises(FileNotFoundError, match="no gpg-agent answers at .*gpgconf --launch"):
        Agent(tmp_path / "absent")
    dead = socket.socket(socket.AF_UNIX)
    dead.bind(str(tmp_path / "dead"))
    dead.close()  # the socket's file stays, no one listens
    with pytest.raises(ConnectionRefusedError, match="no gpg-agent answers"):
        Agent(str(tmp_path / "dead"))
