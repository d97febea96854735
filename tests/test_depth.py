"""Nesting depth and long inputs: no recursion in reading, converting or releasing."""

import subprocess
import sys

import parvex
import pytest
from parvex import Parser
from support import nested, same, transport


def parens(depth):
    return b"(" * depth + b")" * depth


def test_five_million_levels_in_a_subprocess():
    # A crash while reading, converting or releasing ends only the child.
    code = """if True:
        import parvex
        n = 5_000_000
        data = b"(" * n + b")" * n
        value = parvex.Parser(max_depth=10**7).parse(data)
        depth, node = 1, value
        while node:
            if type(node) is not list or len(node) != 1:
                raise SystemExit(f"bad node at depth {depth}")
            node = node[0]
            depth += 1
        del node, value
        try:
            parvex.Parser(max_depth=n - 1).parse(data)
        except parvex.ParseError as e:
            print(e.kind, e.offset)
        print(depth)
    """
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=900)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.split() == ["too_deep", "4999999", "5000000"]


@pytest.mark.parametrize("read", [parvex.parse, parvex.parse_canonical, Parser().parse,
                                  Parser(max_depth=parvex.DEFAULT_MAX_DEPTH).parse])
def test_default_depth_limit(read, parse_error):
    assert same(read(parens(1024)), nested(1024))
    parse_error(read, parens(1025), "too_deep", 1024)
    parse_error(read, b"(" * 1025, "too_deep", 1024)       # refused before the end
    parse_error(read, b"(" * 1024 + b"[", "unexpected_end", 1025)


def test_depth_limit_above_the_default(parse_error):
    assert same(Parser(max_depth=1025).parse(parens(1025)), nested(1025))
    parse_error(Parser(max_depth=1025).parse, parens(1026), "too_deep", 1025)


def test_depth_counts_open_lists_only():
    siblings = b"(" + b"(())" * 3000 + b")"
    assert Parser(max_depth=3).parse(siblings) == [[[]]] * 3000


def test_deep_transport_block(parse_error):
    def block(content):
        return b"  " + transport(content)

    assert same(parvex.parse(block(parens(1024))), nested(1024))
    parse_error(parvex.parse, block(parens(1025)), "too_deep", 2)
    assert same(Parser(max_depth=3000).parse(block(parens(3000))), nested(3000))


def test_long_flat_lists_and_atoms():
    count = 1_000_000
    atoms = parvex.parse(b"(" + b"a " * count + b")")
    assert type(atoms) is list and len(atoms) == count
    assert {type(x) for x in atoms} == {bytes} and set(atoms) == {b"a"}
    empties = parvex.parse(b"(" + b"()" * count + b")")
    assert len(empties) == count and all(type(x) is list and not x for x in empties)
    hinted = parvex.parse(b"(" + b"[t]x" * count + b")")
    assert len(hinted) == count and hinted[-1] == parvex.Atom(b"x", hint=b"t")
    big = b"x" * 10**7
    assert parvex.parse_canonical(b"%d:" % len(big) + big) == big
    assert parvex.parse(b"#" + big.hex().encode() + b"#") == big
