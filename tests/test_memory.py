"""Running out of memory raises MemoryError, frees what the call had built
and leaves the module usable; an output longer than any object can be is
refused before anything is written. Each case runs in a child interpreter
whose address space is capped just above what it already uses."""

import json
import subprocess
import sys
import textwrap

import pytest

from support import SANITIZED, child_env

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="AddressSanitizer reserves the address space a cap would bound")

CHILD = """
import json, resource, parvex
MB = 1 << 20

def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

def under_cap(room, call):
    # Runs `call` with `room` octets of address space to spare, three times
    # (what one failure leaked would fail the next); then, still capped,
    # allocates most of the room, which a leak would have taken.
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + room, hard))
    try:
        outcomes = []
        for _ in range(3):
            try:
                call()
                outcomes.append("returned")
            except Exception as e:
                outcomes.append(type(e).__name__)
        bytearray(room * 3 // 4)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    return outcomes
"""

# name: (set-up, call, room in MiB); every call must raise MemoryError.
CASES = {
    # The reader's Python values: 20 million atoms do not fit.
    "parse, many atoms": ("data = b'(' + b'ab ' * 20_000_000 + b')'", "parvex.parse(data)", 300),
    # The room a transport block or a base-64 string decodes into.
    "parse, transport block": ("data = b'{' + b'QUJD' * (50 * MB) + b'}'", "parvex.parse(data)", 100),
    "parse, base-64 string": ("data = b'|' + b'QUJD' * (50 * MB) + b'|'", "parvex.parse(data)", 100),
    "parse, hexadecimal string": ("data = b'#' + b'61' * (100 * MB) + b'#'", "parvex.parse(data)", 50),
    # The copy of an input that could change while it is read.
    "parse, bytearray": ("data = bytearray(200 * MB)", "parvex.parse(data)", 100),
    "Atom, its data": ("data = b'x' * (200 * MB)", "parvex.Atom(data)", 100),
    "iter_parse, a long token": ("data = b'x' * (200 * MB)", "list(parvex.iter_parse(data))", 100),
    "to_advanced": ("value = [b'x' * MB] * 3000", "parvex.to_advanced(value)", 500),
    "to_canonical": ("value = [b'x' * MB] * 3000", "parvex.to_canonical(value)", 500),
    "to_transport": ("value = [b'x' * MB] * 3000", "parvex.to_transport(value)", 500),
    # Shared sub-lists: a value that fits in memory with far longer a text.
    "to_canonical, shared": ("value = [[[b'x' * MB] * 1024] * 1024]", "parvex.to_canonical(value)", 100),
}


def run_child(script, timeout=600):
    done = subprocess.run([sys.executable, "-c", script], capture_output=True,
                          text=True, env=child_env(), timeout=timeout)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.splitlines()[-1])


def test_memory_errors_free_what_was_built():
    script = CHILD + "results = {}\n"
    for name, (setup, call, room) in CASES.items():
        script += (f"{setup}\nresults[{name!r}] = under_cap({room} * MB, lambda: {call})\n"
                   "del " + setup.split()[0] + "\n")
    script += ("assert parvex.parse(b'(a [t]b)') == [b'a', parvex.Atom(b'b', hint=b't')]\n"
               "print(json.dumps(results))\n")
    got = run_child(script)
    assert got == {name: ["MemoryError"] * 3 for name in CASES}


def test_an_output_past_any_object_is_refused_before_it_is_written():
    # One 8 GiB atom (zeros the system has not yet had to provide) shared
    # 2**29 times: 2**62 octets of canonical form, too many for any str to
    # hold their transport text. Sizing stops there and nothing is allocated.
    got = run_child(CHILD + textwrap.dedent("""
        atom = bytes(1 << 33)
        value = [[[atom] * 1024] * 1024] * 512
        print(json.dumps(under_cap(64 * MB, lambda: parvex.to_transport(value))))
    """))
    assert got == ["OverflowError"] * 3
