"""Shared by the tests: the error messages, the reader's options, values
generated and built, an exact comparison, child interpreters (their
environment, one held to a memory limit, and the command line), and the
examples of the documentation."""

import base64
import json
import os
import pathlib
import re
import resource
import subprocess
import sys
import textwrap
import typing

import parvex
from hypothesis import strategies as st
from parvex import Atom
from parvex._types import ParserOptions

# kind -> message, in the order of the error kinds (0 to 23): the oracle the
# reader's own table is checked against.
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

# The keywords of Parser and their types, in its order (tests/test_options.py
# checks that they follow the reader's option table): the flags, and the
# limits, whose largest value is U64.
OPTIONS = typing.get_type_hints(ParserOptions)
FLAGS = [keyword for keyword, kind in OPTIONS.items() if kind is bool]
LIMITS = [keyword for keyword, kind in OPTIONS.items() if kind is not bool]
U64 = 2**64 - 1

# Octets that each representation treats specially, to end up in every form
# of the advanced writer (token, quoted, hexadecimal).
SPECIAL = b'\x00\x07\t\n\r "#\'()*+-./:;=[\\]_{|}~\x7f\x80\xff09aZ'
octets = st.one_of(
    st.binary(max_size=12),
    st.lists(st.sampled_from(SPECIAL), max_size=6).map(bytes),
    st.sampled_from([b"", b"a", b"ab", b"1", b"-", b"a1", b"text/plain"]),
)
# What parsing produces: bytes for an atom without a hint, Atom for one with
# a hint, an empty hint included.
atoms = st.builds(Atom, octets, st.just(b"") | octets)
values = st.recursive(octets | atoms, lambda kids: st.lists(kids, max_size=5),
                      max_leaves=25)


def nested(depth, inner=(), kinds=(list,)):
    """`depth` lists, each the one element of the next, the innermost
    holding `inner`; the others made by `kinds` in turn, from the inside."""
    value = list(inner)
    for level in range(depth - 1):
        value = kinds[level % len(kinds)]([value])
    return value


def depth(value):
    """How many lists nest in `value` at the deepest (0 for an atom)."""
    deepest, stack = 0, [(value, 1)]
    while stack:
        node, level = stack.pop()
        if type(node) is list:
            deepest = max(deepest, level)
            stack.extend((element, level + 1) for element in node)
    return deepest


def transport(canonical):
    """The basic transport block that holds `canonical`."""
    return b"{" + base64.b64encode(canonical) + b"}"


def same(got, want):
    """Exactly the same value: the same types throughout, and the same hints,
    where `==` alone would take `Atom(b"x")` for `b"x"`."""
    stack = [(got, want)]
    while stack:
        g, w = stack.pop()
        if type(g) is not type(w):
            return False
        if type(w) is list:
            if len(g) != len(w):
                return False
            stack.extend(zip(g, w))
        elif type(w) is Atom:
            if (g.data, g.hint) != (w.data, w.hint):
                return False
        elif g != w:
            return False
    return True


class Index:
    """An integer only through `__index__`: `value` itself, or what calling
    it returns (or raises)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value() if callable(self.value) else self.value


def child_env(**extra):
    """The environment for a child interpreter that imports the parvex this
    one imported, whether installed or taken from a source tree."""
    env = dict(os.environ, **extra)
    root = os.path.dirname(os.path.dirname(parvex.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [root, env.get("PYTHONPATH")]))
    return env


def write_files(root, contents):
    """Writes each of `contents` (octets) to its own file in `root`, named
    in order; returns `root` and the paths."""
    paths = []
    for i, data in enumerate(contents):
        path = root / f"{i:02}.sx"
        path.write_bytes(data)
        paths.append(str(path))
    return root, paths


PARVEX = (sys.executable, "-m", "parvex")


def run_cli(*args, stdin=b"", cwd=None, command=PARVEX, env=None, timeout=120):
    """Runs the command line (or another `command`) as a user runs it, in a
    process of its own, with `args`; returns the completed process."""
    return subprocess.run([*command, *map(str, args)], input=stdin, capture_output=True,
                          cwd=cwd, env=child_env() if env is None else env, timeout=timeout)


# Under AddressSanitizer the address space is mostly shadow, so a child's
# resident set is bounded instead, with room for the sanitizer's overhead.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def bounded(code, memory_mb, prelude="", timeout=600):
    """Runs `prelude` and then `code` in a child interpreter held to
    `memory_mb` MiB and `timeout` seconds; returns what it printed, as JSON."""
    env = child_env()
    limit = None
    mb = 1 << 20
    if SANITIZED:
        options = [o for o in env.get("ASAN_OPTIONS", "").split(":") if o]
        env["ASAN_OPTIONS"] = ":".join(options + [f"hard_rss_limit_mb={3 * memory_mb}"])
    else:
        def limit():
            resource.setrlimit(resource.RLIMIT_AS, (memory_mb * mb, memory_mb * mb))
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True,
                          text=True, env=env, preexec_fn=limit, timeout=timeout)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout)


ROOT = pathlib.Path(__file__).parent.parent
# The pages whose examples run as tests: the README and the documentation's.
DOCUMENTS = [ROOT / "README.md",
             *sorted(p for p in (ROOT / "docs").rglob("*.md") if "_build" not in p.parts)]


def code_blocks(document, language):
    """The bodies of the fenced blocks of `language` in a Markdown page,
    indented ones (in a list item) included, their indentation removed."""
    text = pathlib.Path(document).read_text(encoding="utf-8")
    found = re.findall(rf"^( *)```{language}\n(.*?)^\1```$", text, flags=re.M | re.S)
    return [textwrap.dedent(body) for _, body in found]


def doc_script(marker):
    """The Python block (not a `>>>` session) of the documentation that holds
    `marker`."""
    return next(b for d in DOCUMENTS for b in code_blocks(d, "python")
                if marker in b and ">>>" not in b)
