"""The vector paths parvex takes are those the processor offers (as Linux
reports them), all of them, in every build: a build whose detection finds
nothing runs correctly but at the portable paths' speed, which no other
test would notice."""

import platform
import subprocess
import sys

import parvex
import pytest
from support import child_env

# What each path needs, in /proc/cpuinfo's names.
NEEDS = {"avx2": {"avx2"}, "avx512": {"avx512f", "avx512bw", "avx512vl", "bmi2"},
         "avx512vbmi": {"avx512f", "avx512bw", "avx512vl", "bmi2", "avx512vbmi"}}


def _cpu_flags():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                return set(line.partition(":")[2].split())
    return set()


@pytest.mark.skipif(platform.machine() != "x86_64" or sys.platform != "linux",
                    reason="the vector paths are x86-64's; the flags are read from /proc/cpuinfo")
@pytest.mark.parametrize("portable", ["", "1"])
def test_paths_are_those_the_processor_offers(portable):
    code = "import parvex._parvex as p; print(' '.join(p._vector_paths()))"
    env = child_env(PARVEX_PORTABLE=portable)
    got = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout.split()
    flags = _cpu_flags()
    want = [] if portable else ["sse2"] + [path for path, needs in NEEDS.items() if needs <= flags]
    assert got == want
    assert parvex.parse(b"|" + b"QUJD" * 64 + b"|") == b"ABC" * 64  # whichever path reads it
