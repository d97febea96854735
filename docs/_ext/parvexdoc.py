"""What the documentation takes from the code rather than retyping it: the
signatures of the extension module from its type stubs, the docs of the type
aliases from their comments, the table of `Parser`'s options, the table of
`ParseError` kinds, and the command line's help. At the end of a build, every
public name must have been documented."""

from __future__ import annotations

import ast
import contextlib
import inspect
import os
import re
import typing
from functools import cache
from pathlib import Path

import parvex
from docutils import nodes
from docutils.statemachine import StringList
from parvex import _parvex, _types
from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)

ROOT = Path(__file__).resolve().parents[2]
# The stubs name the package's public aliases privately, to keep the
# extension module's namespace to its ten names.
STUB_ALIASES = {"_Octets": "OctetsLike", "_Value": "Value", "_Sexp": "SexpLike"}
# Modules whose `__all__` the reference must cover.
PUBLIC_MODULES = ("parvex", "parvex.gnupg", "parvex.dask")


@cache
def stub_signatures() -> dict[str, tuple[str, str | None]]:
    """(arguments, return annotation) of each function and method of the
    stubs of `parvex._parvex`, by qualified name; a class by its `__new__`."""
    tree = ast.parse(Path(parvex.__file__).with_name("_parvex.pyi").read_text())
    found = {name for node in ast.walk(tree) for name in
             [getattr(node, "id", None), getattr(node, "name", None)] if name}
    missing = set(STUB_ALIASES) - found
    if missing:
        raise RuntimeError(f"aliases no longer in the stubs: {sorted(missing)}")

    def shown(node: ast.AST) -> str:
        text = ast.unparse(node)
        return re.sub(r"\b_[A-Z]\w*", lambda m: STUB_ALIASES.get(m[0], m[0]), text)

    signatures = {}

    def add(prefix: str, defs: list[ast.stmt]) -> None:
        for node in defs:
            if isinstance(node, ast.ClassDef):
                add(prefix + node.name + ".", node.body)
                continue
            if not isinstance(node, ast.FunctionDef):
                continue
            decorators = {ast.unparse(d) for d in node.decorator_list}
            if "property" in decorators:
                continue
            args = node.args
            if prefix and "staticmethod" not in decorators:  # no self or cls
                first = args.posonlyargs or args.args
                args = ast.arguments(
                    posonlyargs=args.posonlyargs[1:], args=args.args[first is args.args:],
                    vararg=args.vararg, kwonlyargs=args.kwonlyargs,
                    kw_defaults=args.kw_defaults, kwarg=args.kwarg, defaults=args.defaults)
            if node.name == "__new__":
                signatures[prefix[:-1]] = (f"({shown(args)})", None)
            else:
                returns = None if node.returns is None else shown(node.returns)
                signatures[prefix + node.name] = (f"({shown(args)})", returns)

    add("", tree.body)
    return signatures


def on_signature(app: Sphinx, what: str, name: str, obj: object, options: object,
                 signature: str | None, return_annotation: str | None):
    """The stubs' signature for a name of the extension module."""
    short = name.removeprefix("parvex.")
    if short.split(".")[0] in _parvex.__all__ and short in stub_signatures():
        return stub_signatures()[short]
    # autodoc_type_aliases leaves this where an alias is nested in a type.
    def unwrap(text: str | None) -> str | None:
        return text and re.sub(r"TypeAliasForwardRef\('([\w.]+)'\)", r"\1", text)
    return unwrap(signature), unwrap(return_annotation)


def on_docstring(app: Sphinx, what: str, name: str, obj: object, options: object,
                 lines: list[str]) -> None:
    """The doc comment (`#:`) of a type alias that the package re-exports from
    `parvex._types`, which autodoc would look for in `parvex` itself; no
    docstring for a constant, whose class's docstring is not its own."""
    if what != "data":
        return
    short = name.removeprefix("parvex.")
    if short in alias_comments() and getattr(parvex, short, None) is getattr(_types, short):
        lines[:] = alias_comments()[short]
    elif getattr(obj, "__doc__", None) == type(obj).__doc__:
        lines[:] = []


@cache
def alias_comments() -> dict[str, list[str]]:
    """The `#:` comment lines above each assignment of `parvex._types`."""
    comments: dict[str, list[str]] = {}
    pending: list[str] = []
    for line in Path(_types.__file__).read_text().splitlines():
        if line.startswith("#:"):
            pending.append(line[3:])
            continue
        assigned = re.match(r"(\w+)\s*[:=]", line)
        if assigned and pending:
            comments[assigned[1]] = pending
        pending = []
    return comments


def typing_text(alias: object) -> str:
    if isinstance(alias, type):
        return alias.__name__
    return re.sub(r"\b(typing|collections\.abc|parvex\._parvex)\.", "", str(alias))


def markdown_table(directive: SphinxDirective, head: list[str], rows: list[list[str]]) -> list[nodes.Node]:
    """A table written in the source's own syntax and parsed as if it were
    there, so that its inline markup is the page's."""
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |" for row in rows]
    container = nodes.container()
    directive.state.nested_parse(StringList(lines, source=directive.get_source_info()[0]),
                                 directive.content_offset, container)
    return container.children


class ParserOptionsTable(SphinxDirective):
    """The keywords of `Parser`, in order, from its signature and the
    `ParserOptions` typed dictionary (type and description)."""

    def run(self) -> list[nodes.Node]:
        parameters = inspect.signature(parvex.Parser).parameters
        hints = typing.get_type_hints(_types.ParserOptions, include_extras=True)
        if list(parameters) != list(hints):
            raise self.error(f"Parser's keywords {list(parameters)} and ParserOptions' "
                             f"{list(hints)} differ")
        rows = []
        for name, parameter in parameters.items():
            kind, what = typing.get_args(hints[name])
            given = re.search(r"\s*\(default: ([^)]*)\)$", what)
            if given:
                default, what = given[1], what[:given.start()]
            else:
                default = f"`{parameter.default!r}`"
            shown = typing_text(kind).replace("SupportsIndex", "int")
            rows.append([f"`{name}`", f"`{shown}`", default, what])
        return markdown_table(self, ["Keyword", "Type", "Default", "What it governs"], rows)


class ErrorKindsTable(SphinxDirective):
    """Every `ParseError.kind`, in the order of the reader's table of
    failures, with the message the module gives it."""

    def run(self) -> list[nodes.Node]:
        source = ROOT / "src" / "decode" / "error.hpp"
        table = source.read_text().split("error_table", 1)[1]
        kinds = re.findall(r'\{ErrorKind::\w+,\s*"\w+",\s*"(\w+)"', table)
        if not kinds:
            raise self.error(f"no error kinds found in {source}")
        self.env.note_dependency(str(source))
        rows = []
        for kind in kinds:
            message = str(parvex.Parser._parse_error(kind, 0)).removesuffix(" at offset 0")
            rows.append([f"`{kind}`", message])
        return markdown_table(self, ["`kind`", "Message"], rows)


class CommandHelp(SphinxDirective):
    """`parvex --help`, as the command line prints it at 88 columns."""

    def run(self) -> list[nodes.Node]:
        from parvex.cli import build_parser

        with columns(88):
            text = build_parser().format_help()
        block = nodes.literal_block(text, text, language="text")
        return [block]


@contextlib.contextmanager
def columns(n: int):
    before = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = str(n)
    try:
        yield
    finally:
        if before is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = before


def check_coverage(app: Sphinx, env: object) -> None:
    """Every name a public module lists in `__all__` has an entry."""
    import importlib

    from sphinx.ext.autodoc.mock import mock

    documented = set(app.env.get_domain("py").objects)
    for module in PUBLIC_MODULES:
        with mock(app.config.autodoc_mock_imports):
            names = importlib.import_module(module).__all__
        for name in names:
            if f"{module}.{name}" not in documented:
                logger.warning(f"{module}.{name} is public but not in the API reference")


def setup(app: Sphinx) -> dict[str, object]:
    app.connect("autodoc-process-signature", on_signature)
    app.connect("autodoc-process-docstring", on_docstring)
    app.connect("env-check-consistency", check_coverage)
    app.add_directive("parvex-parser-options", ParserOptionsTable)
    app.add_directive("parvex-error-kinds", ErrorKindsTable)
    app.add_directive("parvex-command-help", CommandHelp)
    return {"parallel_read_safe": True, "env_version": 1}
