"""Helpers shared by the parvex tests, and the `needs` mark."""

import ctypes.util
import functools
import importlib.metadata
import os
import pathlib
import shutil
import tomllib

import pytest
from packaging.requirements import Requirement

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


def pytest_runtest_setup(item):
    for mark in item.iter_markers("needs"):
        what = mark.args[0]
        why = lacking(what)
        if why is None:
            continue
        if what in REQUIRED:
            pytest.fail(f"{why}, though PARVEX_REQUIRE names {what}", pytrace=False)
        pytest.skip(why)

# kind -> message, in the order of the error kinds (0 to 23).
MESSAGES = {
    "unexpected_end": "the input ended in the middle of an S-expression",
    "unexpected_octet": "an octet that cannot appear here",
    "trailing_octets": "octets after a complete S-expression",
    "unmatched_parenthesis": "a closing parenthesis with no list open",
    "length_leading_zero": "a length with a leading zero",
    "length_overflow": "a length too large to represent",
    "length_mismatch": "a length that disagrees with the octets it counts",
    "invalid_escape": "an escape that is not defined",
    "invalid_hex_digit": "an octet that is not a hexadecimal digit",
    "odd_hex_digits": "an odd number of hexadecimal digits",
    "invalid_base64": "an octet that does not belong in a base-64 encoding",
    "hint_on_list": "a display hint before a list",
    "too_deep": "lists nested deeper than allowed",
    "atom_too_long": "an octet string longer than allowed",
    "input_too_long": "input longer than allowed",
    "hint_not_allowed": "a display hint, which is not allowed",
    "empty_atom_not_allowed": "a zero-length octet string, which is not allowed",
    "empty_list_not_allowed": "an empty list, which is not allowed",
    "list_as_first_element_not_allowed":
        "a list as the first element of a list, which is not allowed",
    "advanced_not_allowed": "the advanced representation, which is not allowed",
    "transport_not_allowed":
        "the basic transport representation, which is not allowed",
    "hexadecimal_not_allowed": "a hexadecimal octet string, which is not allowed",
    "base64_not_allowed": "a base-64 octet string, which is not allowed",
    "length_not_allowed": "a length before an octet string, which is not allowed",
}


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
