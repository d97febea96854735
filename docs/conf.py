"""Sphinx configuration: sphinx-build -W -b html docs docs/_build/html"""

import importlib.util
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

import parvex  # noqa: E402  (the package built and installed, as a user has it)

project = "parvex"
author = "the parvex developers"
copyright = "the parvex developers"
release = parvex.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "parvexdoc",
]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence", "deflist"]

# Docstrings mark names with single backquotes: cross-references where the
# name is documented, code otherwise.
default_role = "py:obj"
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_type_aliases = {name: f"parvex.{name}" for name in ("Value", "OctetsLike", "SexpLike")}
python_use_unqualified_type_names = True
autodoc_default_options = {"exclude-members": "__init__, __new__"}
# parvex.dask is documented whether or not its extra is installed.
autodoc_mock_imports = [m for m in ("dask", "distributed", "fsspec")
                        if importlib.util.find_spec(m) is None]

html_theme = "furo"
html_title = f"parvex {release}"
html_static_path = []
# Option texts such as "{...}" are literal: no typographic quotes or ellipses.
smartquotes = False
