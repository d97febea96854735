"""Shared by the tests of the package's own modules: generated values, an
exact comparison, child interpreters (their environment, and one held
to a memory limit), and the examples of the documentation."""

import json
import os
import pathlib
import re
import resource
import subprocess
import sys
import textwrap

from hypothesis import strategies as st

import parvex
from parvex import Atom

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
