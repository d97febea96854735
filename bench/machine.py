"""What every benchmark output starts with: the processor, the vector
instructions it offers, the load, and the version of parvex's build and of
each reference library, so that figures from two machines or two runs are
never compared blind."""

from __future__ import annotations

import ctypes
import ctypes.util
import json
import marshal
import os
import pickle
import platform

# The vector extensions that decide which of parvex's paths run, and those of
# the references (orjson checks for AVX-512 and AVX2 itself).
VECTOR_FLAGS = ("sse4_2", "avx", "avx2", "bmi2", "avx512f", "avx512bw", "avx512vl", "avx512vbmi")


def cpu() -> str:
    """Model, family and model numbers, and the vector flags present."""
    fields: dict[str, str] = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if not line.strip():
                    break  # the first processor is enough
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        return f"{platform.processor() or platform.machine()} (no /proc/cpuinfo)"
    flags = set(fields.get("flags", "").split())
    present = [f for f in VECTOR_FLAGS if f in flags]
    return (f"{fields.get('model name', '?')} (family {fields.get('cpu family', '?')} model "
            f"{fields.get('model', '?')}), {os.cpu_count()} cores; vector: {' '.join(present) or 'none'}")


def _module_version(name: str) -> str:
    try:
        return __import__(name).__version__
    except (ImportError, AttributeError):
        return "not installed"


def libgcrypt_version() -> str:
    """The libgcrypt the native harness links, as the library itself says."""
    path = ctypes.util.find_library("gcrypt")
    if path is None:
        return "not installed"
    try:
        lib = ctypes.CDLL(path)
        lib.gcry_check_version.restype = ctypes.c_char_p
        return lib.gcry_check_version(None).decode()
    except (OSError, AttributeError):
        return "not loadable"


def references() -> str:
    return (f"Python {platform.python_version()} (marshal format {marshal.version}, pickle protocol "
            f"{pickle.HIGHEST_PROTOCOL}, json {json.__version__}), orjson {_module_version('orjson')}, "
            f"sexpdata {_module_version('sexpdata')}, libgcrypt {libgcrypt_version()}")


def load() -> str:
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f}, {five:.2f}, {fifteen:.2f} on {os.cpu_count()} cores"


def portable() -> str:
    """The vector paths parvex takes, or that it was told to take none."""
    value = os.environ.get("PARVEX_PORTABLE")
    import parvex._parvex
    taken = " ".join(parvex._parvex._vector_paths()) or "none"
    return f"PARVEX_PORTABLE={value} (portable paths only)" if value else f"vector paths taken: {taken}"


def describe() -> list[str]:
    return [f"CPU: {cpu()}", references(), f"parvex: {portable()}; {load()}"]
