"""The command line, run as a user runs it: in a process of its own."""

import hashlib
import select
import shlex
import shutil
import subprocess
import sys

import pytest
from support import PARVEX, SANITIZED, child_env, run_cli as run

ENV = child_env()


CERT = b'(cert (issuer "CA 1") (key [k]#0102#) (tags a b c))'

CONVERSIONS = [
    # arguments, standard input, standard output
    ([], b"(4:text[1:t]2:hi)", b"(text [t]hi)\n"),
    (["-"], b" (a  b) \n", b"(a b)\n"),
    (["--to", "canonical"], b'(a "b c" #ff00#)', b"(1:a3:b c2:\xff\x00)"),
    (["--to", "transport"], b'(a "b c")', b"{KDE6YTM6YiBjKQ==}\n"),
    (["--to", "advanced"], b"{KDE6YTM6YiBjKQ==}", b'(a "b c")\n'),
    (["--indent", "2", "--width", "20"], CERT,
     b'(cert\n  (issuer "CA 1")\n  (key [k]#0102#)\n  (tags a b c))\n'),
    (["--indent", "2"], CERT, CERT + b"\n"),  # fits in 80 columns
    (["--stream"], b"a (b)\n\n[t]c ", b"a\n(b)\n[t]c\n"),
    (["--stream", "--to", "canonical"], b"a (b) [t]c", b"1:a(1:b)[1:t]1:c"),
    (["--stream", "--canonical", "--to", "transport"], b"1:a(1:b)", b"{MTph}\n{KDE6Yik=}\n"),
    (["--stream"], b"", b""),
    (["--check"], CERT, b""),
    (["--check", "--stream"], b"a b c", b""),
    (["--canonical"], b"(1:a)", b"(a)\n"),
    (["--max-depth", "2", "--max-atom-len", "1", "--max-input-len", "7"], b"((a) b)", b"((a) b)\n"),
]


@pytest.mark.parametrize("args, stdin, stdout", CONVERSIONS)
def test_conversions(args, stdin, stdout):
    done = run(*args, stdin=stdin)
    assert (done.returncode, done.stdout, done.stderr) == (0, stdout, b"")


# Each Parser option as a flag: (arguments, input it refuses, kind). Without
# the arguments the same input is read.
RESTRICTIONS = [
    (["--canonical"], b"(a)", "advanced_not_allowed"),
    (["--max-depth", "1"], b"((a))", "too_deep"),
    (["--max-atom-len", "2"], b"abc", "atom_too_long"),
    (["--max-input-len", "4"], b"(a b)", "input_too_long"),
    (["--no-advanced"], b"(1:a 1:b)", "unexpected_octet"),
    (["--no-transport"], b"{MTph}", "transport_not_allowed"),
    (["--no-display-hints"], b"[t]a", "hint_not_allowed"),
    (["--no-empty-atoms"], b'""', "empty_atom_not_allowed"),
    (["--no-empty-lists"], b"()", "empty_list_not_allowed"),
    (["--no-list-as-first-element"], b"((a) b)", "list_as_first_element_not_allowed"),
    (["--no-hexadecimal"], b"#61#", "hexadecimal_not_allowed"),
    (["--no-base64"], b"|YQ==|", "base64_not_allowed"),
    (["--no-lengths"], b'1"a"', "length_not_allowed"),
]


@pytest.mark.parametrize("args, data, kind", RESTRICTIONS)
def test_every_parser_option_is_a_flag(args, data, kind):
    assert run(stdin=data).returncode == 0
    for mode in ([], ["--stream"]):
        done = run(*args, *mode, stdin=data)
        assert done.returncode == 1 and done.stdout == b""
        assert f"({kind})" in done.stderr.decode()


@pytest.mark.parametrize("args, data, report", [
    ([], b"(a b)\n(c d)\n", "<stdin>:2:1: octets after a complete S-expression at offset 6 "
                           "(trailing_octets)\n    (c d)\n    ^\n"),
    ([], b"(a\n  b ]c)", "<stdin>:2:5: an octet that cannot appear here at offset 7 "
                        "(unexpected_octet)\n      b ]c)\n        ^\n"),
    # The caret keeps a tab as a tab, so that it lines up on a terminal.
    ([], b"(a\tb ]", "<stdin>:1:6: an octet that cannot appear here at offset 5 "
                    "(unexpected_octet)\n    (a\tb ]\n      \t  ^\n"),
    # Octets that are not printable take one column each, shown as dots;
    # the error's notes follow.
    ([], b'(\xff\x00 "x\x01")\r\n', "<stdin>:1:2: an octet that cannot appear here at "
                                   "offset 1 (unexpected_octet)\n    (.. \"x.\")\n     ^\n"
                                   "    note: octet 0xff (above 0x7F, as in UTF-8 text) cannot stand in "
                                   "a token or a quoted string: an atom that holds it is written verbatim "
                                   "(n:...), in hexadecimal (#...#) or in base 64 (|...|), as to_advanced "
                                   "writes it\n"),
    (["--stream"], b"(size 1024)", "<stdin>:1:11: an octet that cannot appear here at offset 10 "
                                   "(unexpected_octet)\n    (size 1024)\n              ^\n"
                                   "    note: a token cannot start with a digit: 1024 is written as a "
                                   "quoted string (\"1024\") or with its length (4:1024)\n"),
    ([], b"(a b", "<stdin>:1:5: the input ended in the middle of an S-expression at "
                 "offset 4 (unexpected_end)\n    (a b\n        ^\n"),
    (["--stream"], b"a\nb\n(c ]\nd", "<stdin>:3:4: an octet that cannot appear here at "
                                    "offset 7 (unexpected_octet)\n    (c ]\n       ^\n"),
    # Long lines are cut around the offset.
    ([], b"(" + b"a " * 100 + b"]" + b" b" * 100 + b")",
     "<stdin>:1:202: an octet that cannot appear here at offset 201 (unexpected_octet)\n"
     "    ..." + "a " * 20 + "]" + " b" * 19 + " ...\n    " + " " * 43 + "^\n"),
])
def test_error_report(args, data, report):
    done = run(*args, stdin=data)
    assert done.returncode == 1
    assert done.stderr.decode() == report


def test_error_far_into_a_stream(tmp_path):
    # Lines before the error are counted though the reader has let them go.
    path = tmp_path / "log.sx"
    path.write_bytes(b"(a b)\n" * 50000 + b"(c ]\n(d)\n")
    done = run("--stream", str(path))
    assert done.returncode == 1
    assert done.stdout == b"(a b)\n" * 50000
    assert done.stderr.decode() == (
        f"{path}:50001:4: an octet that cannot appear here at offset 300003 "
        "(unexpected_octet)\n    (c ]\n       ^\n")


def test_error_far_along_one_line(tmp_path):
    # A canonical stream has no line feeds: the start of the line has long
    # been let go, and only the octets near the error are shown.
    path = tmp_path / "one.csx"
    path.write_bytes(b"(1:a)" * 100000 + b"(1:b]")
    done = run("--stream", "--canonical", "--check", str(path))
    assert done.returncode == 1
    assert done.stderr.decode() == (
        f"{path}:1:500005: an octet that cannot appear here at offset 500004 "
        "(unexpected_octet)\n    ...)" + "(1:a)" * 7 + "(1:b]\n    " + " " * 43 + "^\n")


def test_files_each_reported(tmp_path):
    (tmp_path / "good.sx").write_bytes(b"(a)")
    (tmp_path / "bad.sx").write_bytes(b"(a")
    done = run("good.sx", "missing.sx", "bad.sx", "good.sx", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stdout == b"(a)\n(a)\n"
    assert done.stderr.decode().splitlines() == [
        "parvex: missing.sx: No such file or directory",
        "bad.sx:1:3: the input ended in the middle of an S-expression at offset 2 "
        "(unexpected_end)", "    (a", "      ^"]


def test_writer_limit_is_a_file_error():
    deep = b"(" * 1100 + b")" * 1100
    done = run("--max-depth", "2000", stdin=deep)
    assert done.returncode == 1
    assert done.stderr == b"<stdin>: cannot write it: lists nested deeper than 1024\n"
    assert run("--max-depth", "2000", "--check", stdin=deep).returncode == 0


@pytest.mark.parametrize("args", [
    ["--indent", "2", "--to", "canonical"],
    ["--to", "json"],
    ["--jobs", "0"],
    ["--max-depth", "-1"],
    ["--max-atom-len", "x"],
    ["--max-input-len", str(2 ** 64)],
    ["--no-such-option"],
    ["-", "-"],
    ["--hash=sha257"],
    ["--hash", "--check"],
    ["--width", "100"],  # only --indent has a width
    ["--hash", "sha1"],  # an algorithm follows "=", a file name a bare --hash
])
def test_usage_errors(args):
    done = run(*args, stdin=b"(a)")
    assert done.returncode == 2 and done.stdout == b""
    assert b"usage: parvex" in done.stderr
    # The usage line shows --hash as it is given.
    assert b"[--hash[=ALG]]" in done.stderr and b"--hash ALG" not in done.stderr


def test_hash(tmp_path):
    def lines(algorithm, *octets):
        return b"".join(hashlib.new(algorithm, o).hexdigest().encode() + b"\n" for o in octets)

    assert run("--hash", stdin=b"(a [t]b)").stdout == lines("sha256", b"(1:a[1:t]1:b)")
    done = run("--hash=sha1", "--stream", "--to", "canonical", stdin=b"a (b) {MTpj}")
    assert done.stdout == lines("sha1", b"1:a", b"(1:b)", b"1:c")
    # The algorithm comes only after "=": a bare --hash leaves a file be.
    (tmp_path / "sha1").write_bytes(b"(a)")
    assert run("--hash", "./sha1", cwd=tmp_path).stdout == lines("sha256", b"(1:a)")
    assert run("--hash", "sha1", cwd=tmp_path).stderr.decode().endswith(
        "the algorithm of --hash follows '=': --hash=sha1 (or --hash ./sha1 to hash a file "
        "of that name)\n")


def test_help_lists_every_option_and_examples():
    done = run("--help")
    assert done.returncode == 0
    text = done.stdout.decode()
    for option in ["--to", "--indent", "--width", "--check", "--stream", "--jobs", "--hash",
                   "--canonical", "--max-depth", "--max-atom-len", "--max-input-len",
                   *(r[0][0] for r in RESTRICTIONS[4:])]:
        assert option in text
    assert "examples:" in text and "NAME:LINE:COLUMN" in text
    assert "  --hash[=ALG]  " in text


def test_closed_output_ends_quietly(tmp_path):
    path = tmp_path / "many.sx"
    path.write_bytes(b"(record a b c)\n" * 200000)
    with subprocess.Popen([*PARVEX, "--stream", str(path)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV) as p:
        assert p.stdout.readline() == b"(record a b c)\n"
        p.stdout.close()
        err = p.stderr.read()
        assert p.wait(timeout=120) == 141  # not 1, which is bad input
    assert err == b""


# (a (a ... (a b)...)), 1,000 lists deep; laid out, line k > 0 holds "(a" after
# 1,000 k blanks, and the last one "b" and the closing parentheses.
DEEP = "{ printf '(a %.0s' {1..1000}; printf b; printf ')%.0s' {1..1000}; }"
INDENTED = 2 + sum(1 + 1000 * k + 2 for k in range(1, 1000)) + 1 + 1000 * 1000 + 1 + 1000 + 1


# Shell command lines, run with `parvex` standing for this interpreter's
# command and the address space held to 200 MiB (the interpreter takes some
# 20): (command, exit status, standard output, standard error).
UNIX = [
    ("parvex <&-", 1, "", "parvex: <stdin>: Bad file descriptor\n"),
    ("printf '(a)' | parvex >&-", 74, None, "parvex: standard output: Bad file descriptor\n"),
    ("printf '(a)' | parvex --check >&-", 0, None, ""),
    ("printf '(a)\\n(b)\\n' | parvex --stream > /dev/full", 74, None,
     "parvex: standard output: No space left on device\n"),
    ("yes '(a b c)' | head -200000 | parvex --stream | head -1; echo ${PIPESTATUS[2]}", 0,
     "(a b c)\n141\n", ""),
    ("printf '(a)' | parvex --max-input-len 9223372036854775807", 0, "(a)\n", ""),
    ("printf '(a)' | parvex --max-input-len 1000000000000", 0, "(a)\n", ""),
    ("printf '(a) (b)' | parvex --stream --max-input-len 1000000000000", 0, "(a)\n(b)\n", ""),
    # 300 MB of whitespace between two S-expressions: none of it is kept.
    ("(printf '(a)'; head -c 300000000 /dev/zero | tr '\\0' ' '; printf '(b)') | "
     "parvex --stream --max-input-len 1000", 0, "(a)\n(b)\n", ""),
    # 4 KB nested 1,000 deep, indented 1,000 columns a level: 500 MB written
    # as it is laid out, as much again on three processes.
    (f"{DEEP} > d.sx; parvex --indent 1000 --width 0 d.sx | wc -c", 0, f"{INDENTED}\n", ""),
    (f"{DEEP} > d.sx; parvex -j 2 --indent 1000 --width 0 d.sx d.sx d.sx | wc -c", 0,
     f"{3 * INDENTED}\n", ""),
    # 20 million atoms: more than memory holds.
    ("(printf '('; head -c 60000000 /dev/zero | tr '\\0' 'a' | fold -w 2 | tr '\\n' ' '; printf ')') | "
     "parvex", 1, "", "parvex: <stdin>: out of memory\n"),
]


@pytest.mark.parametrize("command, status, stdout, stderr", UNIX, ids=[c[0][:60] for c in UNIX])
def test_answers_like_a_unix_tool(command, status, stdout, stderr, tmp_path):
    if SANITIZED:  # AddressSanitizer's shadow takes more address space than that
        pytest.skip("the address space cannot be capped under AddressSanitizer")
    script = (f"ulimit -v {200 << 10}\n"
              f"parvex() {{ {shlex.quote(sys.executable)} -m parvex \"$@\"; }}\n{command}\n")
    done = subprocess.run(["bash", "-c", script], capture_output=True, env=ENV, timeout=300,
                          cwd=tmp_path)
    assert done.returncode == status, done.stderr.decode()[-2000:]
    if stdout is not None:
        assert done.stdout.decode() == stdout
    assert done.stderr.decode() == stderr


@pytest.mark.parametrize("args", [["--indent", "10000000000"], ["--indent", "1001"]])
def test_an_indent_too_wide_is_a_usage_error(args):
    done = run(*args, stdin=b"((a) (b))")
    assert done.returncode == 2 and done.stdout == b""
    assert done.stderr.decode().splitlines()[-1] == "parvex: error: argument --indent: at most 1000"


def test_console_script():
    script = shutil.which("parvex")
    if script is None:
        pytest.skip("the parvex console script is not installed")
    done = run("--to", "canonical", stdin=b"(a [t]b)", command=(script,))
    assert (done.returncode, done.stdout) == (0, b"(1:a[1:t]1:b)")


def test_stream_answers_each_request_before_the_next():
    # Canonical requests with nothing between them: each reply must come out
    # while the command waits for the next request.
    with subprocess.Popen([*PARVEX, "--stream", "--canonical", "--to", "canonical"],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=ENV) as p:
        for request in [b"(1:a)", b"[1:t]1:x", b"(" + b"4:item" * 50000 + b")"]:
            p.stdin.write(request)
            p.stdin.flush()
            reply = b""
            while len(reply) < len(request) and select.select([p.stdout], [], [], 60)[0]:
                reply += p.stdout.read1(len(request) - len(reply))
            assert reply == request
        p.stdin.close()
        assert p.wait(timeout=60) == 0
