"""The type stubs: mypy --strict accepts typical uses, refuses wrong ones, and
the stubs agree with the compiled module (stubtest)."""

import subprocess
import sys
from pathlib import Path

import parvex
import pytest
from support import child_env

pytest.importorskip("mypy")
HERE = Path(__file__).parent
ROOT = Path(parvex.__file__).parent.parent


def mypy_env():
    # From a source tree, mypy finds the package through MYPYPATH; installed,
    # through site-packages (where MYPYPATH must not point).
    installed = ROOT.name in ("site-packages", "dist-packages")
    return child_env(**({} if installed else {"MYPYPATH": str(ROOT)}))


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*args):
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--cache-dir", str(cache), *args],
            capture_output=True, text=True, env=mypy_env(), cwd=HERE, timeout=600)
    return run


def test_typed_usage_passes_strict(mypy):
    done = mypy("--strict", str(HERE / "typed_usage.py"))
    assert done.returncode == 0, done.stdout + done.stderr


WRONG = [
    ("x: int = parvex.parse(b'a')", "Incompatible types in assignment"),
    ("parvex.parse(5)", 'Argument 1 to "parse" has incompatible type "int"'),
    ("parvex.Parser(max_depth='3')", 'Argument "max_depth" to "Parser"'),
    ("parvex.Parser(True)", 'Too many positional arguments for "Parser"'),
    ("parvex.Atom(b'a').data = b'b'", 'Property "data" defined in "Atom" is read-only'),
    ("s: str = parvex.to_canonical([])", "Incompatible types in assignment"),
    ("parvex.to_advanced([1, 2])", 'List item 0 has incompatible type "int"'),
    ("h: bytes = parvex.Atom(b'a').hint", "Incompatible types in assignment"),
    ("parvex.iter_parse('text')", 'Argument 1 to "iter_parse" has incompatible type "str"'),
    ("parvex.Atom(b'a') < parvex.Atom(b'b')", 'Unsupported left operand type for <'),
    ("parvex.dump([], open('x', 'wb'), to='json')", 'Argument "to" to "dump" has incompatible type'),
    ("text: str = parvex.dumps([], to='advanced')", "Incompatible types in assignment"),
    ("v: list[parvex.Value] = parvex.parse_files([], errors='return')", "Incompatible types in assignment"),
    ("parvex.from_int('3')", 'Argument 1 to "from_int" has incompatible type "str"'),
    ("d: str = parvex.digest(b'a')", "Incompatible types in assignment"),
    ("parvex.gnupg.read_key_file(b'').key = 5", 'Incompatible types in assignment'),
    ("parvex.dask.read_sexp('x', max_dept=3)", 'Unexpected keyword argument "max_dept"'),
    ("p: list[str] = parvex.dask.to_sexp(parvex.dask.read_sexp('x'), 'y', compute=False)",
     "Incompatible types in assignment"),
]


@pytest.mark.needs("dask")  # mypy follows parvex.dask into dask
def test_wrong_uses_are_refused(mypy, tmp_path):
    # One file, one error a line: each line must be reported for its own fault.
    path = tmp_path / "wrong.py"
    head = "import parvex\nimport parvex.dask\nimport parvex.gnupg\n"
    path.write_text(head + "".join(f"{code}\n" for code, _ in WRONG))
    done = mypy("--strict", "--show-error-codes", str(path))
    lines = done.stdout.splitlines()
    for number, (code, message) in enumerate(WRONG, start=head.count("\n") + 1):
        found = [ln for ln in lines if f"wrong.py:{number}:" in ln]
        assert any(message in ln for ln in found), (code, found)


@pytest.mark.needs("dask")
@pytest.mark.needs("crypto")  # and parvex.gnupg into cryptography
def test_stubs_match_the_module(tmp_path):
    # Run elsewhere: stubtest keeps its cache in the working directory.
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "parvex"],
                          capture_output=True, text=True, env=mypy_env(), cwd=tmp_path,
                          timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
