"""Fixtures shared by the parvex tests."""

import shutil

import pytest

from support import MESSAGES


@pytest.fixture
def messages():
    return MESSAGES


@pytest.fixture
def parse_error():
    """check(call, data, kind, offset): `call(data)` raises exactly that ParseError."""
    import parvex

    def check(call, data, kind, offset):
        with pytest.raises(parvex.ParseError) as info:
            call(data)
        e = info.value
        assert type(e) is parvex.ParseError
        assert (e.kind, e.offset) == (kind, offset), data
        assert type(e.kind) is str and type(e.offset) is int
        message = f"{MESSAGES[kind]} at offset {offset}"
        assert e.args == (message,)
        assert str(e) == message
        return e

    return check


@pytest.fixture(scope="session")
def keyring():
    """A GnuPG home with a key of every kind (gnupg_support.make_keyring)."""
    if shutil.which("gpg") is None or shutil.which("gpg-agent") is None:
        pytest.skip("GnuPG (gpg, gpg-agent) is not installed")
    from gnupg_support import make_keyring

    ring = make_keyring()
    yield ring
    ring.stop_agent()
    shutil.rmtree(ring.home, ignore_errors=True)
