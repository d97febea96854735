"""The rows measured on every workload: parvex's six operations and the
reference libraries on equivalent trees, and which of them each parvex row
is compared with.

Each row is a call with no arguments. A row known not to apply to a
workload carries the reason instead; one whose library raises is reported
with the library's message. Both are printed as n/a.
"""

from __future__ import annotations

import dataclasses
import json
import marshal
import pickle

import parvex

try:
    import orjson
except ImportError:  # pragma: no cover - reported as n/a
    orjson = None
try:
    import sexpdata
except ImportError:  # pragma: no cover - reported as n/a
    sexpdata = None

PARVEX_ROWS = ("parse_canonical", "parse (advanced)", "parse (transport)",
               "to_canonical", "to_advanced", "to_transport")
REFERENCE_ROWS = ("copy", "marshal.loads", "marshal.dumps", "pickle.loads", "pickle.dumps",
                  "json.loads", "json.dumps", "orjson.loads", "orjson.dumps", "sexpdata.loads")
# The reading rows are timed a second time with the collector off, as timeit
# times a call: parvex pauses it while it builds a value, the others do not,
# so a row timed only with it on would credit parvex with their collections.
GC_OFF = " [gc off]"
READING_ROWS = ("parse_canonical", "parse (advanced)", "parse (transport)",
                "marshal.loads", "pickle.loads", "json.loads", "orjson.loads")
GC_OFF_ROWS = tuple(r + GC_OFF for r in READING_ROWS)
ALL_ROWS = PARVEX_ROWS + REFERENCE_ROWS + GC_OFF_ROWS

# parvex row -> the rows its time is divided by, in the order printed.
COMPARED_WITH = {
    "parse_canonical": ("marshal.loads", "pickle.loads", "json.loads", "orjson.loads", "copy"),
    "parse (advanced)": ("orjson.loads", "json.loads", "sexpdata.loads"),
    "parse (transport)": ("parse_canonical", "orjson.loads"),
    "to_canonical": ("orjson.dumps", "marshal.dumps", "pickle.dumps", "json.dumps"),
    "to_advanced": ("orjson.dumps", "json.dumps"),
    "to_transport": ("to_canonical", "orjson.dumps"),
}
COMPARED_WITH.update({
    row + GC_OFF: tuple(ref + GC_OFF for ref in COMPARED_WITH[row] if ref in READING_ROWS)
    for row in PARVEX_ROWS if row in READING_ROWS
})


@dataclasses.dataclass
class Row:
    name: str
    call: object | None      # no-argument callable
    reads: int | None        # octets read, for the rows that read
    why_not: str | None = None
    gc_off: bool = False     # timed with the collector disabled


def _reader(wl, canonical: bool):
    """parvex's reader for the workload: the module functions, or a Parser
    with `max_depth` raised for the workloads nested deeper than 1,024."""
    if wl.max_depth == parvex.DEFAULT_MAX_DEPTH:
        return parvex.parse_canonical if canonical else parvex.parse
    return parvex.Parser(canonical=canonical, max_depth=wl.max_depth).parse


def _sexpdata_why_not(wl) -> str | None:
    if sexpdata is None:
        return "sexpdata is not installed"
    # A Lisp reader knows tokens, quoted strings and lists, not display
    # hints, hexadecimal or base-64 strings.
    for octet in b"[#|{":
        if octet in wl.advanced:
            return "its format has no display hints or hexadecimal strings"
    return None


def _encoded(name, dumps, value):
    """`dumps(value)` made once, ahead of the timing of its loads, or the
    reason it cannot be made."""
    try:
        return dumps(value), None
    except (ValueError, RecursionError, TypeError) as e:
        return None, f"{name} refuses it: {e}"


def rows_for(wl) -> list[Row]:
    parse_canonical = _reader(wl, canonical=True)
    parse_any = _reader(wl, canonical=False)
    rows = [
        Row("parse_canonical", lambda: parse_canonical(wl.canonical), len(wl.canonical)),
        Row("parse (advanced)", lambda: parse_any(wl.advanced), len(wl.advanced)),
        Row("parse (transport)", lambda: parse_any(wl.transport), len(wl.transport)),
    ]
    not_writable = None if wl.writable else "parvex writes lists nested at most 1,024 levels"
    rows += [
        Row("to_canonical", lambda: parvex.to_canonical(wl.value), None, not_writable),
        Row("to_advanced", lambda: parvex.to_advanced(wl.value), None, not_writable),
        Row("to_transport", lambda: parvex.to_transport(wl.value), None, not_writable),
    ]

    rows.append(Row("copy", lambda: bytearray(wl.canonical), len(wl.canonical)))

    marshalled, why = _encoded("marshal", marshal.dumps, wl.plain)
    rows += [
        Row("marshal.loads", lambda: marshal.loads(marshalled), marshalled and len(marshalled), why),
        Row("marshal.dumps", lambda: marshal.dumps(wl.plain), None, why),
    ]
    pickled, why = _encoded("pickle", lambda v: pickle.dumps(v, pickle.HIGHEST_PROTOCOL), wl.plain)
    rows += [
        Row("pickle.loads", lambda: pickle.loads(pickled), pickled and len(pickled), why),
        Row("pickle.dumps", lambda: pickle.dumps(wl.plain, pickle.HIGHEST_PROTOCOL), None, why),
    ]

    rows += [
        Row("json.loads", lambda: json.loads(wl.json), len(wl.json)),
        Row("json.dumps", lambda: json.dumps(wl.text, separators=(",", ":"), ensure_ascii=False), None),
    ]
    if orjson is None:
        rows += [Row(n, None, None, "orjson is not installed") for n in ("orjson.loads", "orjson.dumps")]
    else:
        rows += [
            Row("orjson.loads", lambda: orjson.loads(wl.json), len(wl.json)),
            Row("orjson.dumps", lambda: orjson.dumps(wl.text), None),
        ]

    why = _sexpdata_why_not(wl)
    text = wl.advanced.decode("ascii")
    rows.append(Row("sexpdata.loads", lambda: sexpdata.loads(text), len(wl.advanced), why))
    by_name = {r.name: r for r in rows}
    rows += [dataclasses.replace(by_name[name], name=name + GC_OFF, gc_off=True) for name in READING_ROWS]
    assert tuple(r.name for r in rows) == ALL_ROWS
    return rows
