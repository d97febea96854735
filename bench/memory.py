"""Peak memory of one parse, relative to the size of what it returns.

Each measurement runs in a subprocess of its own, which reads the input
from a file, so that nothing else the suite made is in its memory, and so
that a high-water mark cannot carry over from one measurement to the next.
Two methods, each in its own subprocess:

- rss: the growth of the process's peak resident set over the call: the
  peak (VmHWM) is reset to the current resident set just before the call
  (by writing 5 to /proc/self/clear_refs) and read after it. It sees every
  allocation, Python's and the C++ core's (`operator new`, which
  tracemalloc does not see), at page granularity. (`ru_maxrss` will not
  do: a child's starts from its parent's resident set, inherited through
  fork and exec, so it hides anything smaller);
- traced: tracemalloc's peak over the call. It sees only allocations made
  through Python's allocators, byte for byte, and misses the core's.

The size of the result is the sum of `sys.getsizeof` over every object in
it, counted once each, plus the data and hint octets that an `Atom` holds
outside its object. Run as a script, this file is the subprocess.
"""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys

# Rows measured, and the workload file each reads.
LOADERS = {
    "copy": "canonical",
    "parse_canonical": "canonical",
    "parse (advanced)": "advanced",
    "marshal.loads": "marshal",
    "pickle.loads": "pickle",
    "json.loads": "json",
    "orjson.loads": "json",
}
METHODS = ("rss", "traced")


def result_size(obj) -> int:
    import parvex
    total = 0
    seen: set[int] = set()
    stack = [obj]
    while stack:
        o = stack.pop()
        if id(o) in seen:
            continue
        seen.add(id(o))
        total += sys.getsizeof(o)
        if isinstance(o, (list, tuple)):
            stack.extend(o)
        elif isinstance(o, parvex.Atom):
            total += len(o.data) + (0 if o.hint is None else len(o.hint))
    return total


def _loader(name: str, max_depth: int):
    if name == "copy":
        return bytearray
    if name in ("parse_canonical", "parse (advanced)"):
        import parvex
        return parvex.Parser(canonical=name == "parse_canonical", max_depth=max_depth).parse
    module, _, function = name.partition(".")
    return getattr(__import__(module), function)


def _status_kib(field: str) -> int:
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def _child(method: str, loader: str, path: str, max_depth: int) -> dict:
    import gc
    data = pathlib.Path(path).read_bytes()
    call = _loader(loader, max_depth)
    gc.collect()
    if method == "rss":
        pathlib.Path("/proc/self/clear_refs").write_text("5")
        before = _status_kib("VmRSS")
        result = call(data)
        peak = (_status_kib("VmHWM") - before) * 1024
    else:
        import tracemalloc
        tracemalloc.start()
        tracemalloc.reset_peak()
        result = call(data)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    return {"peak": peak, "result": result_size(result), "input": len(data)}


def measure(data_dir: pathlib.Path, workload: str, max_depth: int, loader: str, method: str) -> dict:
    """One measurement in a fresh interpreter: the peak in octets, the
    result's size, the input's size; or the error it ended with."""
    path = data_dir / f"{workload}.{LOADERS[loader]}"
    if not path.exists():
        return {"error": "no input (the library could not write it)"}
    return run_child(__file__, method, loader, str(path), str(max_depth))


def run_child(script: str, *args: str) -> dict:
    """What `script` prints as JSON, run with `args` in a fresh interpreter
    that imports the same parvex as this process, wherever that was found;
    or the error it ended with."""
    import parvex
    package_root = str(pathlib.Path(parvex.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, (package_root, os.environ.get("PYTHONPATH")))))
    run = subprocess.run([sys.executable, script, *args], capture_output=True, text=True, env=env)
    if run.returncode != 0:
        lines = run.stderr.strip().splitlines()
        return {"error": lines[-1] if lines else f"exit status {run.returncode}"}
    return json.loads(run.stdout)


def _main(argv: list[str]) -> int:
    from deepstack import run_deep
    method, loader, path, max_depth = argv
    print(json.dumps(run_deep(lambda: _child(method, loader, path, int(max_depth)))))
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
