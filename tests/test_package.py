"""The package as `import parvex` gives it."""

import importlib.metadata

import parvex
import pytest
from parvex import _parvex

MODULE_NAMES = ["Atom", "Parser", "ParseError", "DEFAULT_HINT", "DEFAULT_MAX_DEPTH",
                "parse", "parse_canonical", "to_canonical", "to_transport", "to_advanced",
                "Decoder", "StreamReader"]


def test_reexports_the_module_names_as_the_same_objects():
    assert _parvex.__all__ == MODULE_NAMES
    assert parvex.__all__[:len(MODULE_NAMES)] == MODULE_NAMES
    for name in MODULE_NAMES:
        assert getattr(parvex, name) is getattr(_parvex, name), name


def test_star_import_gives_exactly_all():
    scope = {}
    exec("from parvex import *", scope)
    del scope["__builtins__"]
    assert sorted(scope) == sorted(parvex.__all__)
    assert len(set(parvex.__all__)) == len(parvex.__all__)


def test_the_module_keeps_only_its_own_names():
    # Everything the package adds, the pickling of Atom included, lives
    # outside the extension module, which adds to its public names only the
    # private one that tests and benchmarks ask which vector paths run.
    public = {n for n in vars(_parvex) if not n.startswith("__")}
    assert public == set(MODULE_NAMES) | {"_vector_paths"}
    assert "__reduce__" not in vars(parvex.Atom)


def test_version_comes_from_the_metadata():
    try:
        expected = importlib.metadata.version("parvex")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("parvex is imported from a source tree, not installed")
    assert parvex.__version__ == expected


def test_packaged_with_its_types():
    from pathlib import Path
    here = Path(parvex.__file__).parent
    assert (here / "py.typed").is_file() and (here / "_parvex.pyi").is_file()
