"""GnuPG's private key files (parvex.gnupg): the `Name: value` layer, the
key's wrapping, keygrips, and the files real GnuPG writes and reads back."""

import base64
import subprocess
import sys
from types import SimpleNamespace

import parvex
import pytest
from gnupg_support import Keyring, gnupg_env, gnupg_version
from parvex import extract, find, parse, to_canonical, to_int
from parvex.gnupg import keygrip, read_key_file
from support import child_env, doc_script

KEY = [b"private-key", [b"rsa", [b"n", b"\x00\xc3"], [b"e", b"\x03"]]]


# MARK: the Name: value layer

@pytest.mark.parametrize("data, key, fields", [
    # One leading space marks a continuation and is dropped; a second stays.
    (b"Key: (private-key (rsa (n #00\n c3#)(e\n  #03#)))\n", KEY, {}),
    (b"Key: (a b\n c)\n", [b"a", b"bc"], {}),
    (b"Key: (a b\n  c)\n", [b"a", b"b", b"c"], {}),
    (b"Key: (a b\n\t c)", [b"a", b"b", b"c"], {}),
    # CR LF, and whitespace at the ends of lines, which GnuPG drops.
    (b"Created: 1 \r\nKey: (a \r\n \"b \r\n c\")\r\n", [b"a", b"bc"], {"created": ["1"]}),
    # Comments between entries; blank lines inside one; names in any case.
    (b"# a\n\nX: 1\n#\nkEY: (a\n\n \t\n  b)\n\n# b\nx: 2\nY-2:\n", [b"a", b"b"],
     {"X": ["1", "2"], "y-2": [""]}),
    (b'Key: (a "caf\xc3\xa9")\nN: caf\xc3\xa9\n', [b"a", "café".encode()], {"n": ["café"]}),
    (b"(private-key (rsa (n #00c3#) (e #03#)))", KEY, {}),
    (b"(11:private-key(3:rsa(1:n2:\x00\xc3)(1:e1:\x03)))", KEY, {}),
    (parvex.to_transport(KEY).encode(), KEY, {}),  # which GnuPG would not read
    (b'(a "\xff")', [b"a", b"\xff"], {}),
    # A blank line inside an entry is a line feed in its value, as GnuPG reads it.
    (b"Key: (a b\n\n c\n \t\n d)\n", [b"a", b"b", b"c", b"d"], {}),
    (b"Key: (a #b\r\n\r\n\r\n c#)\nX: 1\n\n 2\n", [b"a", b"\xbc"], {"x": ["1\n2"]}),
])
def test_reads_and_gives_back(data, key, fields):
    kf = read_key_file(data)
    assert kf.key == key
    assert {name: kf.get_all(name) for name in fields} == fields
    assert kf.get("absent") is None and kf.to_bytes() == data


@pytest.mark.parametrize("data, message", [
    (b"X: 1\n", "no 'Key:' entry"),
    (b"Key: (a)\n#\nkey: (b)\n", "line 3: a second 'Key:' entry"),
    (b" Key: (a)\n", "line 1: a continuation line with no entry to continue"),
    (b"Key: (a\n# c\n b)\n", "line 3: a continuation line"),
    (b"Key: (a)\nX y\n", "line 2: expected a name"),
    (b"Key: (a)\n1x: y\n", "line 2: expected a name"),
    (b"Key: (a)\nx_y: 1\n", "line 2: expected a name"),
    (b"Key: (a)\nX :1\n", "line 2: expected a name"),
])
def test_malformed_layer(data, message):
    with pytest.raises(ValueError, match=message) as info:
        read_key_file(data)
    assert not isinstance(info.value, parvex.ParseError)


@pytest.mark.parametrize("data, kind, offset", [
    (b"Key: (a\n  #zz#)\n", "invalid_hex_digit", 11),
    #           ^
    (b"Key: (a\n b\n", "unexpected_end", 10),
    (b"Key: (a)\n )\n", "trailing_octets", 10),
    (b"X: 1\nKey: (a\n \xff)\n", "unexpected_octet", 14),
    (b"Key:\n", "unexpected_end", 4),
    (b"(a \xff)", "unexpected_octet", 3),
    # gpg-agent refuses a token split by a blank line: "b", a line feed, "1c";
    # it reads a quoted string so split with a line feed in it, which RFC 9804 does not allow.
    (b"Key: (a b\n\n 1c)\n", "unexpected_octet", 13),
    (b'Key: (a "b\n\n c")\n', "unexpected_octet", 11),
])
def test_key_errors_count_from_the_file(data, kind, offset, parse_error):
    parse_error(read_key_file, data, kind, offset)


def test_sources(tmp_path):
    data = b"Created: 1\nKey: (private-key (rsa (n #00c3#) (d #5EC2E7#)))\n"
    (tmp_path / "k.key").write_bytes(data)
    with open(tmp_path / "k.key", "rb") as f:
        for source in (data, bytearray(data), str(tmp_path / "k.key"), tmp_path / "k.key", f):
            kf = read_key_file(source)
            assert kf.to_bytes() == data
    assert repr(kf) == "<KeyFile (extended form): private-key rsa>"  # no secret octets
    with open(tmp_path / "k.key") as text, pytest.raises(TypeError, match="returned str"):
        read_key_file(text)
    for wrong in (3, None, [data]):
        with pytest.raises(TypeError, match=f"not {type(wrong).__name__}"):
            read_key_file(wrong)


def test_large_file():
    # Each line of a long value costs the same (it took 20 s when it did not).
    lines = 100_000
    data = b"Key: (a\n" + b" #0102#\n" * lines + b" )\n# end\n" + b"#\n" * lines
    kf = read_key_file(data)
    assert kf.key == [b"a"] + [b"\x01\x02"] * lines and kf.to_bytes() == data


def test_rewriting():
    data = b"# keep me\nCreated: 1\nKey: (a)\nToken: x\nToken: y"
    kf = read_key_file(data)
    kf.key = [b"private-key", [b"rsa", [b"n", bytes(range(256))], [b"c", b"say \x07 \"hi\""]]]
    out = kf.to_bytes()
    assert out.startswith(b"# keep me\nCreated: 1\nKey: (private-key (rsa (n #000102")
    assert out.endswith(b"\nToken: x\nToken: y") and b"\\a" not in out  # libgcrypt lacks \a
    # Lines are wrapped before a space or inside hexadecimal, never after a space.
    assert all(len(ln) <= 72 and ln == ln.rstrip() for ln in out.split(b"\n"))
    assert read_key_file(out).key == kf.key
    kf.key[1][1][1] = b"\x01"  # changed in place
    assert read_key_file(kf.to_bytes()).key == kf.key
    kf.set("token", "z")
    kf.set("Label", "my key", "second")
    kf.set("created")
    assert kf.to_bytes().split(b"\n")[-4:] == [b"token: z", b"Label: my key", b"Label: second", b""]
    with pytest.raises(ValueError, match="KeyFile.key"):
        kf.get("KEY")
    for bad in ["a\nb", " a", "a\t"]:
        with pytest.raises(ValueError, match="one line"):
            kf.set("X", bad)
    with pytest.raises(ValueError, match="a key is a list"):
        kf.key = b"x"
    # The one-S-expression form: canonical once changed, extended once given fields.
    old = read_key_file(b"(a (b c))")
    old.key = [b"a"]
    assert old.to_bytes() == b"(1:a)"
    old.set("Created", "2")
    assert old.to_bytes() == b"Key: (a)\nCreated: 2\n"


# MARK: real GnuPG

needs_gpg = pytest.mark.needs("gnupg")
USERS = {"Alice <alice@example.org>": "", "Bob <bob@example.org>": "secret"}


@pytest.fixture(scope="module", params=["extended", "one S-expression"])
def gnupg(request, tmp_path_factory):
    """A GNUPGHOME with an RSA key with an RSA subkey and an
    Ed25519 key with a Cv25519 subkey, one protected by a passphrase; for
    each key file, its keygrip's (fingerprint, passphrase, usage)."""
    home = tmp_path_factory.mktemp("gpg")  # short: the agent's socket goes here
    conf = "allow-loopback-pinentry\n"
    if request.param != "extended":  # GnuPG >= 2.2.22 writes the extended form by default
        if gnupg_version() >= (2, 3):
            pytest.skip("GnuPG 2.3 and later write key files in the extended form only")
        conf += "disable-extended-key-format\n"
    (home / "gpg-agent.conf").write_text(conf)
    home.chmod(0o700)
    ring = Keyring(str(home), gnupg_env(home))
    gpg = ring.gpg
    request.addfinalizer(ring.stop_agent)

    alice, bob = USERS
    # RSA named: gpg's default is Ed25519 from GnuPG 2.3 on.
    for user, (sign, encrypt), passphrase in ((alice, ("rsa3072", "rsa3072"), ""),
                                              (bob, ("ed25519", "cv25519"), "secret")):
        gpg("--quick-gen-key", user, sign, "sign", "never", passphrase=passphrase)
        fpr = gpg("--with-colons", "-K", user).split(b"fpr:::::::::")[1][:40].decode()
        gpg("--quick-add-key", fpr, encrypt, "encr", "never", passphrase=passphrase)
    keys = {}
    for user, passphrase in USERS.items():
        listing = gpg("--with-colons", "--with-keygrip", "-K", user).decode()
        for fields in (line.split(":") for line in listing.splitlines()):
            if fields[0] in ("sec", "ssb"):
                usage = fields[11]
            elif fields[0] == "fpr":
                fpr = fields[9]
            elif fields[0] == "grp":
                keys[fields[9]] = (fpr, passphrase, usage)
    return SimpleNamespace(form=request.param, home=home, gpg=gpg, stop_agent=ring.stop_agent,
                           keys=keys)


def _ssh_rsa(line):
    """(n, e) of an `ssh-rsa` public key line: length-prefixed name, e, n."""
    data, items = base64.b64decode(line.split()[1]), []
    while data:
        size = int.from_bytes(data[:4], "big")
        items.append(data[4:4 + size])
        data = data[4 + size:]
    assert items[0] == b"ssh-rsa"
    return to_int(items[2], signed=True), to_int(items[1], signed=True)


@needs_gpg
def test_reads_what_gnupg_writes(gnupg):
    form, gpg, keys = gnupg.form, gnupg.gpg, gnupg.keys
    paths = sorted((gnupg.home / "private-keys-v1.d").glob("*.key"))
    assert len(paths) == 4 and sorted(p.stem for p in paths) == sorted(keys)
    for path in paths:
        data = path.read_bytes()
        assert (data[:1] == b"(") == (form != "extended"), path
        kf = read_key_file(data)
        assert keygrip(kf.key).hex().upper() == path.stem
        assert kf.to_bytes() == data
        fpr, passphrase, _ = keys[path.stem]
        assert kf.key[0] == (b"protected-private-key" if passphrase else b"private-key")
        if find(kf.key, "rsa") is not None:
            n_e = extract(kf.key, "n", "e", path=("rsa",), convert=to_int)
            assert n_e == _ssh_rsa(gpg("--export-ssh-key", fpr + "!"))



@needs_gpg
def test_guide_lists_a_home(gnupg, tmp_path):
    # The guide's script as a user runs it, the home in its place as ~/.gnupg.
    (tmp_path / ".gnupg").symlink_to(gnupg.home)
    done = subprocess.run([sys.executable, "-c", doc_script("private-keys-v1.d")],
                          capture_output=True, text=True, env=child_env(HOME=str(tmp_path)),
                          timeout=120)
    assert done.returncode == 0, done.stderr
    rows = [line.split(" ") for line in done.stdout.splitlines()]
    assert {row[0]: row[1] for row in rows} == {
        grip: "protected-private-key" if passphrase else "private-key"
        for grip, (_, passphrase, _) in gnupg.keys.items()}
    # The RSA key has no curve; the others name theirs.
    assert sorted((row[2], row[3]) for row in rows) == [
        ("ecc", "Curve25519"), ("ecc", "Ed25519"), ("rsa", ""), ("rsa", "")]

@needs_gpg
def test_gnupg_uses_the_files_written_back(gnupg, tmp_path):
    gpg = gnupg.gpg
    message = tmp_path / "message"
    message.write_bytes(b"hello")
    for path in (gnupg.home / "private-keys-v1.d").glob("*.key"):
        data = path.read_bytes()
        kf = read_key_file(data)
        kf.key = parse(to_canonical(kf.key))
        written = kf.to_bytes()
        # Written afresh: GnuPG's canonical octets, or parvex's own wrapping.
        assert (written == data) == (gnupg.form != "extended")
        path.write_bytes(written)
    gnupg.stop_agent()
    for grip, (fpr, passphrase, usage) in gnupg.keys.items():
        out = tmp_path / grip
        if "s" in usage:
            gpg("--local-user", fpr + "!", "--output", out, "--sign", message,
                passphrase=passphrase)
            gpg("--verify", out)
        else:
            gpg("--recipient", fpr + "!", "--output", out, "--encrypt", message)
            assert gpg("--decrypt", out, passphrase=passphrase) == b"hello"
