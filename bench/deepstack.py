"""Runs a call on a thread with a large native stack and a raised recursion
limit. CPython's json (reader and writer), pickle's writer and sexpdata
recurse once per level of nesting, on the native stack and against the
recursion limit; so run, they can be measured on the 200,000-level
workload. Every row runs this way, so that all share the conditions."""

from __future__ import annotations

import sys
import threading

STACK_BYTES = 1 << 30  # reserved, not committed: only the pages touched are used
RECURSION_LIMIT = 1_000_000


def run_deep(call):
    """`call()` on the large stack; returns its result or raises its exception."""
    box: dict = {}

    def target():
        try:
            box["value"] = call()
        except BaseException as e:  # handed to the caller's thread
            box["error"] = e

    old_stack = threading.stack_size(STACK_BYTES)
    old_limit = sys.getrecursionlimit()
    sys.setrecursionlimit(RECURSION_LIMIT)
    try:
        thread = threading.Thread(target=target, name="bench")
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old_stack)
        sys.setrecursionlimit(old_limit)
    if "error" in box:
        raise box["error"]
    return box["value"]
