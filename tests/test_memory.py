"""Running out of memory raises MemoryError, frees what the call had built
and leaves the module usable. Each case runs in one child interpreter, its
address space capped just above what it already uses."""

import json
import subprocess
import sys

import pytest
from support import SANITIZED, child_env

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="AddressSanitizer reserves the address space a cap would bound")

# Runs `call` three times with `room` octets of address space to spare
# (what one failure leaked would fail the next), then, still capped,
# allocates most of the room, which a leak would have taken.
CHILD = """
import json, resource, parvex
MB = 1 << 20

def under_cap(room, call):
    with open("/proc/self/status") as f:
        used = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used + room, hard))
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

# name: (the `data` it needs, the call, room in MiB)
CASES = {
    # The reader's Python values: 20 million atoms do not fit.
    "parse, many atoms": ("b'(' + b'ab ' * 20_000_000 + b')'", "parvex.parse(data)", 300),
    # The room a transport block or a base-64 string decodes into.
    "parse, transport block": ("b'{' + b'QUJD' * (50 * MB) + b'}'", "parvex.parse(data)", 100),
    "parse, base-64 string": ("b'|' + b'QUJD' * (50 * MB) + b'|'", "parvex.parse(data)", 100),
    "parse, hexadecimal string": ("b'#' + b'61' * (100 * MB) + b'#'", "parvex.parse(data)", 50),
    # The copy of an input that could change while it is read.
    "parse, bytearray": ("bytearray(200 * MB)", "parvex.parse(data)", 100),
    "Atom, its data": ("b'x' * (200 * MB)", "parvex.Atom(data)", 100),
    "iter_parse, a long token": ("b'x' * (200 * MB)", "list(parvex.iter_parse(data))", 100),
    "to_advanced": ("[b'x' * MB] * 3000", "parvex.to_advanced(data)", 500),
    # Shared sub-lists: values that fit in memory with far longer texts, up
    # to 2**62 octets (an 8 GiB atom of zeros the system has not yet had to
    # provide, shared 2**29 times).
    "to_canonical, shared": ("[[[b'x' * MB] * 1024] * 1024]", "parvex.to_canonical(data)", 100),
    "to_transport, shared": ("[[[bytes(1 << 33)] * 1024] * 1024] * 512", "parvex.to_transport(data)", 64),
}


def test_memory_errors_free_what_was_built():
    script = CHILD + "results = {}\n"
    for name, (data, call, room) in CASES.items():
        script += f"data = {data}\nresults[{name!r}] = under_cap({room} * MB, lambda: {call})\ndel data\n"
    script += ("assert parvex.parse(b'(a [t]b)') == [b'a', parvex.Atom(b'b', hint=b't')]\n"
               "print(json.dumps(results))\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=child_env(), timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    got = json.loads(done.stdout)
    assert set(got) == set(CASES)
    for name, outcomes in got.items():  # OverflowError: longer than any object could be
        assert outcomes in (["MemoryError"] * 3, ["OverflowError"] * 3), name
