"""A client of gpg-agent: the keys it holds, and signing and decrypting with
them, over the agent's Assuan socket."""

from __future__ import annotations

import hashlib
import os
import re
import shutil
import subprocess
from types import TracebackType

from .._parvex import Parser, to_canonical
from .._types import SexpLike, Value
from ._assuan import AssuanError, Connection, unescape

_READER = Parser(_allow_8bit_in_quoted=True)  # type: ignore[call-arg]
_HEX40 = re.compile(r"[0-9A-Fa-f]{40}\Z")
_HASH_NAME = re.compile(r"[A-Za-z0-9-]+\Z")
_PEER = "gpg-agent"
# The inquiry by which the agent tells that a pinentry is up: from then on the
# command waits for a person, whom no timeout should hurry.
_PINENTRY = frozenset({"PINENTRY_LAUNCHED"})
# The environment a pinentry needs to show itself where the caller is.
_SESSION = (("GPG_TTY", "ttyname"), ("TERM", "ttytype"), ("DISPLAY", "display"))


class AgentError(Exception):
    """gpg-agent refused a request: `code` is GnuPG's error code (as in
    libgpg-error: 11 a bad passphrase, 17 no secret key, 99 cancelled, ...),
    `source` the component that raised it, `value` both as the agent sent
    them, and `text` GnuPG's description."""

    def __init__(self, value: int, text: str, command: str) -> None:
        self.value = value
        self.code = value & 0xFFFF
        self.source = (value >> 24) & 0x7F
        self.text = text
        super().__init__(f"gpg-agent refused {command}: {text} (error code {self.code})")


def _keygrip(keygrip: bytes | str) -> str:
    if isinstance(keygrip, (bytes, bytearray)) and len(keygrip) == 20:
        return bytes(keygrip).hex().upper()
    if isinstance(keygrip, str) and _HEX40.match(keygrip):
        return keygrip.upper()
    what = type(keygrip).__name__
    if isinstance(keygrip, (bytes, bytearray, str)):
        what += f" of length {len(keygrip)}"
    raise ValueError(f"a keygrip is 20 octets or 40 hexadecimal digits, not {what}")


def _socket_path() -> str:
    gpgconf = shutil.which("gpgconf")
    if gpgconf is None:
        raise FileNotFoundError("gpgconf, which tells where gpg-agent listens, is not "
                                "installed: give Agent(socket=PATH)")
    done = subprocess.run([gpgconf, "--list-dirs", "agent-socket"], capture_output=True,
                          timeout=30, check=False)
    path = unescape(done.stdout.strip()).decode()
    if done.returncode != 0 or not path:
        raise OSError(f"gpgconf --list-dirs agent-socket failed: {done.stderr.decode().strip()}")
    return path


class Agent:
    """A connection to gpg-agent, by default the one `gpgconf --list-dirs
    agent-socket` names (which follows GNUPGHOME). `timeout` (seconds, None
    for none) bounds every wait for the agent, except while a pinentry it
    started waits for a person.

    An agent that does not run raises `OSError` (the connection is not
    started for you: `gpgconf --launch gpg-agent` does), one that stops
    answering `TimeoutError`; a request the agent refuses raises
    `AgentError`. Keygrips are 20 octets or 40 hexadecimal digits.
    Passphrases are asked by the agent's pinentry as it is configured, or,
    given as `passphrase`, handed to it through loopback pinentry (which
    gpg-agent allows by default, `allow-loopback-pinentry`).

    Use it as a context manager, or call `close()`.
    """

    def __init__(self, socket: str | os.PathLike[str] | None = None, *,
                 timeout: float | None = 10.0) -> None:
        path = os.fspath(socket) if socket is not None else _socket_path()
        self.socket = path
        try:
            self._conn = Connection(path, timeout, _PEER)
        except OSError as e:
            if isinstance(e, TimeoutError) or e.errno is None:
                raise
            raise type(e)(e.errno, f"no gpg-agent answers at {path}: {e.strerror or e} "
                          "(start one with: gpgconf --launch gpg-agent)") from None
        self._command("OPTION allow-pinentry-notify")
        for variable, option in _SESSION:
            value = os.environ.get(variable)
            if value and "\n" not in value:
                self._command(f"OPTION {option}={value}")

    def __enter__(self) -> Agent:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        self._conn.close()

    def __repr__(self) -> str:
        return f"<parvex.gnupg.Agent at {self.socket!r}>"

    def _command(self, line: str, passphrase: str | None = None,
                 data: bytes | None = None) -> bytes:
        """Runs one command; a passphrase answers INQUIRE PASSPHRASE once
        (asked again, the agent is told CAN), `data` another inquiry."""
        given = [passphrase]

        def inquire(keyword: str, args: str) -> bytes | None:
            if keyword == "PASSPHRASE":
                answer, given[0] = given[0], None
                return None if answer is None else answer.encode("utf-8")
            if keyword in _PINENTRY:
                return b""
            return data

        try:
            return self._conn.command(line, inquire, _PINENTRY)[0]
        except AssuanError as e:
            raise AgentError(e.value, e.text, line.split(" ", 1)[0]) from None

    def _pinentry(self, passphrase: str | None) -> None:
        if passphrase is not None and not isinstance(passphrase, str):
            raise TypeError(f"a passphrase is a str, not {type(passphrase).__name__}")
        mode = "default" if passphrase is None else "loopback"
        self._command(f"OPTION pinentry-mode={mode}")

    def keys(self) -> list[bytes]:
        """The keygrips of the keys the agent holds (`KEYINFO --list`)."""
        grips = []
        for line in self._conn.command("KEYINFO --list")[1]:
            fields = line.split()
            if len(fields) > 1 and fields[0] == "KEYINFO" and _HEX40.match(fields[1]):
                grips.append(bytes.fromhex(fields[1]))
        return grips

    def read_key(self, keygrip: bytes | str) -> Value:
        """The public key of the agent's key `keygrip` (`READKEY`), parsed."""
        return _READER.parse(self._command(f"READKEY {_keygrip(keygrip)}"))

    def sign(self, keygrip: bytes | str, digest: bytes, *, hash: str = "sha256",
             passphrase: str | None = None) -> Value:
        """Signs `digest`, made with the hash function `hash` (a name the agent
        knows: sha1, sha224, sha256, sha384, sha512, md5, rmd160), with the key
        `keygrip` (`SIGKEY`, `SETHASH`, `PKSIGN`); returns the parsed
        `(sig-val (ALGORITHM ...))`. RSA signs in PKCS #1 v1.5 with the hash's
        DigestInfo, DSA and ECDSA the digest, EdDSA takes it as its message."""
        grip = _keygrip(keygrip)
        digest = bytes(digest)
        if not isinstance(hash, str) or not _HASH_NAME.match(hash):
            raise ValueError(f"not a hash function's name: {hash!r}")
        try:
            size = hashlib.new(hash).digest_size
        except (ValueError, TypeError):
            size = None
        if size is not None and len(digest) != size:
            raise ValueError(f"a {hash} digest is {size} octets, not {len(digest)}")
        self._pinentry(passphrase)
        self._command(f"SIGKEY {grip}")
        self._command(f"SETHASH --hash={hash.lower()} {digest.hex().upper()}")
        return _READER.parse(self._command("PKSIGN", passphrase))

    def decrypt(self, keygrip: bytes | str, ciphertext: SexpLike, *,
                passphrase: str | None = None) -> bytes:
        """Decrypts `ciphertext`, an `(enc-val (ALGORITHM ...))` value, with the
        key `keygrip` (`SETKEY`, `PKDECRYPT`): the octets of the agent's
        `(value ...)`. With `(enc-val (flags pkcs1) (rsa (a ...)))` the agent
        removes the padding; for ECDH, `(enc-val (ecdh (s ...) (e POINT)))`,
        the value is the shared point."""
        grip = _keygrip(keygrip)
        data = to_canonical(ciphertext)
        self._pinentry(passphrase)
        self._command(f"SETKEY {grip}")
        reply = self._command("PKDECRYPT", passphrase, data)
        try:  # gpg-agent may end the S-expression with a NUL octet
            value = _READER.parse(reply[:-1] if reply.endswith(b")\0") else reply)
        except ValueError:
            return reply
        if (isinstance(value, list) and len(value) == 2 and value[0] == b"value"
                and isinstance(value[1], bytes)):
            return value[1]
        return reply
