"""The README's examples do what it says: the `>>>` sessions as doctests, and
the `$` command lines run by a shell, output compared."""

import doctest
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from support import child_env

README = (Path(__file__).parent.parent / "README.md").read_text(encoding="utf-8")
BLOCKS = re.findall(r"^```(\w+)\n(.*?)^```$", README, flags=re.MULTILINE | re.DOTALL)
SESSIONS = [body for lang, body in BLOCKS if lang == "python" and ">>>" in body]
CONSOLE = [body for lang, body in BLOCKS if lang == "console"]


def test_sessions_run_as_doctests():
    assert len(SESSIONS) >= 8
    # One namespace for all of them, top to bottom, as a reader types them.
    globs = {}
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    parser = doctest.DocTestParser()
    for number, body in enumerate(SESSIONS):
        test = parser.get_doctest(body, globs, f"README session {number}", "README.md", 0)
        runner.run(test, out=lambda text: pytest.fail(text, pytrace=False), clear_globs=False)
        globs = test.globs  # a DocTest works on a copy
    assert runner.summarize(verbose=False).failed == 0


def commands():
    for body in CONSOLE:
        for chunk in re.split(r"^\$ ", body, flags=re.MULTILINE)[1:]:
            command, _, output = chunk.partition("\n")
            yield pytest.param(command, output, id=command[:50])


@pytest.mark.parametrize("command, output", list(commands()))
def test_command_lines(command, output, tmp_path):
    # `parvex` is this interpreter's parvex, installed or not.
    script = f"parvex() {{ {shlex.quote(sys.executable)} -m parvex \"$@\"; }}\n{{ {command}\n}} 2>&1"
    done = subprocess.run(["bash", "-c", script], capture_output=True, text=True,
                          cwd=tmp_path, env=child_env(), timeout=120)
    assert done.stdout == output
