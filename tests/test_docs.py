"""The examples of the README and of the documentation do what they say: the
`>>>` sessions as doctests, and the `$` command lines run by a shell, output
compared."""

import doctest
import re
import shlex
import subprocess
import sys

import pytest
from support import DOCUMENTS, ROOT, child_env, code_blocks


def name(document):
    return str(document.relative_to(ROOT))


SESSIONS = {name(d): [b for b in code_blocks(d, "python") if ">>>" in b] for d in DOCUMENTS}
CONSOLE = {name(d): code_blocks(d, "console") for d in DOCUMENTS}


def test_examples_are_found():
    # The pages that must have examples have them, so that a change in how
    # blocks are found cannot pass for pages with nothing to run.
    for page in ["README.md", "docs/index.md", "docs/tutorial.md"]:
        assert SESSIONS[page], page
    assert CONSOLE["docs/howto/cli.md"]


@pytest.mark.parametrize("page", [page for page, found in SESSIONS.items() if found])
def test_sessions_run_as_doctests(page):
    # One namespace for a page's sessions, top to bottom, as a reader types them.
    globs = {}
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    parser = doctest.DocTestParser()
    for number, body in enumerate(SESSIONS[page]):
        test = parser.get_doctest(body, globs, f"{page} session {number}", page, 0)
        runner.run(test, out=lambda text: pytest.fail(text, pytrace=False), clear_globs=False)
        globs = test.globs  # a DocTest works on a copy
    assert runner.summarize(verbose=False).failed == 0


def commands():
    for page, blocks in CONSOLE.items():
        for body in blocks:
            for chunk in re.split(r"^\$ ", body, flags=re.MULTILINE)[1:]:
                command, _, output = chunk.partition("\n")
                yield pytest.param(command, output, id=f"{page}: {command[:50]}")


@pytest.mark.parametrize("command, output", list(commands()))
def test_command_lines(command, output, tmp_path):
    # `parvex` is this interpreter's parvex, installed or not.
    script = f"parvex() {{ {shlex.quote(sys.executable)} -m parvex \"$@\"; }}\n{{ {command}\n}} 2>&1"
    done = subprocess.run(["bash", "-c", script], capture_output=True, text=True,
                          cwd=tmp_path, env=child_env(), timeout=120)
    assert done.stdout == output
