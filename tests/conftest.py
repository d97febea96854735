"""Fixtures shared by the parvex tests, and the `needs` mark."""

import ctypes.util
import functools
import importlib.metadata
import os
import pathlib
import shutil
import tomllib

import pytest
from packaging.requirements import Requirement
from support import MESSAGES

ROOT = pathlib.Path(__file__).resolve().parent.parent
# What this machine is known to have, e.g. "gnupg bench dask" (CI names what
# it installed): a test that needs one of these runs, and fails without it,
# rather than being skipped.
REQUIRED = frozenset(os.environ.get("PARVEX_REQUIRE", "").split())


def _absent(requirement):
    """The distributions `requirement` names, its extras' included, that are
    not installed at a version it allows."""
    req = Requirement(requirement)
    try:
        version = importlib.metadata.version(req.name)
    except importlib.metadata.PackageNotFoundError:
        return [req.name]
    if not req.specifier.contains(version, prereleases=True):
        return [f"{req.name} {version}"]
    subs = [Requirement(r) for r in importlib.metadata.requires(req.name) or ()]
    return [name for extra in req.extras for sub in subs
            if sub.marker is not None and sub.marker.evaluate({"extra": extra})
            for name in _absent(str(sub))]


@functools.cache
def lacking(what):
    """Why a test that needs `what`, an extra of pyproject.toml or "gnupg",
    cannot run here; None if it can."""
    if what == "gnupg":
        if shutil.which("gpg") and shutil.which("gpg-agent") and ctypes.util.find_library("gcrypt"):
            return None
        return "needs GnuPG, gpg-agent and libgcrypt (Debian: apt install gnupg gpg-agent)"
    extras = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    missing = [name for r in extras[what] for name in _absent(r)]
    if not missing:
        return None
    return f"needs the {what} extra, pip install '.[{what}]' ({', '.join(missing)} missing)"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "needs(what): needs an extra of pyproject.toml, or gnupg: skipped without it, "
        "unless PARVEX_REQUIRE names it")


def skip_unless(what):
    """Skips the test that calls it where `what` (as for `needs`) is
    lacking, or fails it where PARVEX_REQUIRE names `what`."""
    why = lacking(what)
    if why is None:
        return
    if what in REQUIRED:
        pytest.fail(f"{why}, though PARVEX_REQUIRE names {what}", pytrace=False)
    pytest.skip(why)


def pytest_runtest_setup(item):
    for mark in item.iter_markers("needs"):
        skip_unless(mark.args[0])



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
    skip_unless("gnupg")
    from gnupg_support import make_keyring

    ring = make_keyring()
    yield ring
    ring.stop_agent()
    shutil.rmtree(ring.home, ignore_errors=True)
