"""GnuPG's private key files: the `*.key` files of `private-keys-v1.d`.

GnuPG keeps each key in a file named after its keygrip, in one of two forms.
The older (GnuPG 2.2 with `disable-extended-key-format`, and before 2.2.22)
is one S-expression, canonical as GnuPG writes it. The extended key format
(GnuPG 2.1.12 and later, the default since 2.2.22) is a list of `Name: value`
lines as in mail headers, one of them `Key:`, whose value is the key in the
advanced representation, wrapped over several lines.

Both carry octets 0x80-0xFF raw inside quoted strings where libgcrypt's
printer puts them, which RFC 9804 does not allow; this module reads them,
while `parvex.parse` keeps refusing them.
"""

from __future__ import annotations

import bisect
import os
import re
from collections.abc import Iterator
from typing import Any, BinaryIO

from .._parvex import Atom, ParseError, Parser, to_advanced, to_canonical
from .._types import SexpLike, Value
from ._keys import KINDS, bare

# The reader of keys: RFC 9804's defaults, and the raw octets GnuPG writes.
_KEY_READER = Parser(_allow_8bit_in_quoted=True)  # type: ignore[call-arg]

# MARK: the Name: value layer

# A name starts with a letter and holds ASCII letters, digits and hyphens;
# GnuPG compares names without regard to case.
_ENTRY = re.compile(rb"([A-Za-z][A-Za-z0-9-]*):[ \t]*")
_NAME = re.compile(r"[A-Za-z][A-Za-z0-9-]*\Z")
# GnuPG drops the whitespace at the end of every line, CR included, and reads
# a blank line inside an entry as a line feed in its value.
_TRAILING = b" \t\r"
_KEY = "key"
# GnuPG wraps its lines at about this width; nothing requires it.
_WIDTH = 72


class _Entry:
    """A stretch of the file: one `Name: value` entry with its continuation
    lines (and the blank lines among them), or a run of comment and blank
    lines (`name` None). `raw` is its octets in the file, None while it is
    to be written afresh; `value` the value, its lines joined; `spans` the
    (offset in `value`, offset in the file) at which each line's part begins."""

    __slots__ = ("name", "raw", "value", "spans")

    def __init__(self, name: str | None, raw: bytes | None, value: bytes = b"",
                 spans: list[tuple[int, int]] | None = None) -> None:
        self.name = name
        self.raw = raw
        self.value = value
        self.spans = spans or []

    def named(self, folded: str) -> bool:
        return self.name is not None and self.name.lower() == folded


def _entries(data: bytes) -> list[_Entry]:
    """The file's entries. Each one's octets and value are joined once it is
    complete, so that reading takes time in proportion to the file."""
    entries: list[_Entry] = []
    starts: list[int] = []            # where each entry begins in the file
    pieces: list[bytes] = []          # the parts of the value of `current`
    current: _Entry | None = None  # what a continuation line continues
    blank: list[int] = []             # the starts of the blank lines not placed yet
    offset = start = 0                # the length of current's value; the line's start

    def loose(at: int) -> None:       # a run of comment and blank lines from `at`
        if not entries or entries[-1].name is not None:
            entries.append(_Entry(None, None))
            starts.append(at)

    for number, line in enumerate(data.split(b"\n"), start=1):
        if start >= len(data):
            break
        content = line.rstrip(_TRAILING)
        if not content:
            # GnuPG continues an entry across blank lines, not comments.
            blank.append(start)
        elif content[:1] in (b" ", b"\t"):
            if current is None:
                raise ValueError(f"line {number}: a continuation line with no entry to continue")
            # Each blank line inside a value is a line feed in it, as GnuPG
            # reads it: between tokens it is whitespace, inside one it splits it.
            for at in blank:
                current.spans.append((offset, at))
                pieces.append(b"\n")
                offset += 1
            blank.clear()
            current.spans.append((offset, start + 1))
            pieces.append(content[1:])
            offset += len(content) - 1
        else:
            match = _ENTRY.match(content) if content[:1] != b"#" else None
            if match is None and content[:1] != b"#":
                raise ValueError(f"line {number}: expected a name (a letter, then letters, "
                                 "digits or '-') followed by ':'")
            if current is not None:
                current.value = b"".join(pieces)
                current = None
            if blank:
                loose(blank[0])
                blank.clear()
            if match is None:
                loose(start)
            else:
                current = _Entry(match[1].decode("ascii"), None, spans=[(0, start + match.end())])
                entries.append(current)
                starts.append(start)
                pieces = [content[match.end():]]
                offset = len(pieces[0])
        start += len(line) + 1
    if current is not None:
        current.value = b"".join(pieces)
    if blank:
        loose(blank[0])
    for entry, begin, end in zip(entries, starts, starts[1:] + [len(data)]):
        entry.raw = data[begin:end]
    return entries


def _key_value(entry: _Entry) -> Value:
    """The key that `entry` holds; a ParseError counts from the file's start."""
    try:
        return _KEY_READER.parse(entry.value)
    except ParseError as e:
        at = e.offset
        # The part of the line that holds the offending octet, or the last
        # octet when the value ended too soon.
        within = at - 1 if at == len(entry.value) and at else at
        i = bisect.bisect_right([v for v, _ in entry.spans], within) - 1
        value_at, file_at = entry.spans[max(i, 0)]
        raise Parser._parse_error(e.kind, file_at + at - value_at) from None


# MARK: writing the key


def _atom_text(atom: Any) -> str:
    text = to_advanced(atom)
    # libgcrypt knows no \a escape: such an atom goes in hexadecimal.
    if "\\a" not in text:
        return text
    a = atom if isinstance(atom, Atom) else Atom(atom)
    data = f"#{a.data.hex()}#"
    return data if a.hint is None else f"[#{a.hint.hex()}#]{data}"


def _pieces(key: SexpLike) -> Iterator[str]:
    """The advanced representation of `key` in pieces: each atom, and each
    parenthesis, with the space that separates it from what comes before."""
    if not isinstance(key, (list, tuple)):
        yield _atom_text(key)
        return
    yield "("
    stack = [iter(key)]
    gaps = [""]  # what goes before the next element of each open list
    while stack:
        for node in stack[-1]:
            gap, gaps[-1] = gaps[-1], " "
            if isinstance(node, (list, tuple)):
                yield gap + "("
                stack.append(iter(node))
                gaps.append("")
                break
            yield gap + _atom_text(node)
        else:
            stack.pop()
            gaps.pop()
            yield ")"


def _key_lines(name: str, key: SexpLike) -> bytes:
    """The entry `Name: key`, wrapped to _WIDTH columns as GnuPG wraps its
    own: a line breaks before a space (which the continuation line then
    carries after its own), next to a parenthesis or inside a hexadecimal
    string, never in a token or a quoted string, so the key reads the same
    whether a reader joins the lines with a line feed or without one."""
    lines: list[str] = []
    line = f"{name}: "
    for piece in _pieces(key):
        if len(line) + len(piece) <= _WIDTH:
            line += piece
            continue
        if piece.lstrip(" ").startswith("#") and _WIDTH - len(line) >= 3:
            room = _WIDTH - len(line)
            while len(piece) > room:
                lines.append(line + piece[:room])
                piece, line, room = piece[room:], " ", _WIDTH - 1
            line += piece
            continue
        lines.append(line)
        line = " " + piece
    lines.append(line)
    return "".join(f"{text}\n" for text in lines).encode("ascii")


# MARK: key files


class KeyFile:
    """A GnuPG private key file, read with `read_key_file`.

    `key` is the key as a parsed value, and may be assigned (or changed in
    place); `get`, `get_all` and `set` are the other fields of the extended
    format, as `str`. `to_bytes()` gives the file back: octet for octet while
    nothing changed, otherwise with the key (canonical in the one-S-expression
    form, wrapped advanced text in the extended form) or the fields written
    afresh, and the rest as it was.
    """

    __slots__ = ("_source", "_entries", "_key_entry", "_key", "_original", "_assigned")

    def __init__(self, data: bytes) -> None:
        data = bytes(data)
        self._source = data
        self._assigned = False
        self._entries: list[_Entry] = []
        self._key_entry: _Entry | None = None  # None in the one-S-expression form
        # GnuPG tells the forms apart by a first "(" (and reads no "{", the
        # transport representation, which no name can start either).
        if data[:1] in (b"(", b"{"):
            self._key: Value = _KEY_READER.parse(data)
        else:
            self._entries = _entries(data)
            keys = [e for e in self._entries if e.named(_KEY)]
            if not keys:
                raise ValueError("no 'Key:' entry")
            if len(keys) > 1:
                before = self._entries[:self._entries.index(keys[1])]
                line = 1 + sum((e.raw or b"").count(b"\n") for e in before)
                raise ValueError(f"line {line}: a second 'Key:' entry")
            self._key_entry = keys[0]
            self._key = _key_value(keys[0])
        self._original = to_canonical(self._key)

    def __repr__(self) -> str:
        # The kind of key and its algorithm, never a parameter: most are secret.
        form = "extended" if self._key_entry is not None else "one S-expression"
        key: Any = self._key
        kind = bare(key[0]) if isinstance(key, list) and key else None
        params = key[1] if kind in KINDS and len(key) > 1 else None
        name = bare(params[0]) if isinstance(params, list) and params else None
        shown = " ".join(n.decode("ascii", "replace") for n in (kind, name) if n)
        return f"<KeyFile ({form} form): {shown or 'not a key'}>"

    @property
    def key(self) -> Value:
        """The key: `(private-key ...)`, `(protected-private-key ...)` and so on."""
        return self._key

    @key.setter
    def key(self, value: Value) -> None:
        if not isinstance(value, (list, tuple)) or not value:
            raise ValueError("a key is a list that is not empty")
        to_canonical(value)  # refuses now what could not be written later
        self._key = value
        self._assigned = True

    def _fields(self, name: str) -> list[_Entry]:
        if not isinstance(name, str) or _NAME.match(name) is None:
            raise ValueError(f"not a field name: {name!r}")
        folded = name.lower()
        if folded == _KEY:
            raise ValueError("the key is KeyFile.key, not a field")
        return [e for e in self._entries if e.named(folded)]

    def get(self, name: str, default: str | None = None) -> str | None:
        """The value of the first field called `name` (in any case), or
        `default`. Octets that are not UTF-8 come back as lone surrogates."""
        found = self._fields(name)
        return found[0].value.decode("utf-8", "surrogateescape") if found else default

    def get_all(self, name: str) -> list[str]:
        """The values of every field called `name`, in the order of the file."""
        return [e.value.decode("utf-8", "surrogateescape") for e in self._fields(name)]

    def set(self, name: str, *values: str) -> None:
        """Makes `values` the values of the field `name`: they take the place
        of its first entry (or go at the end), and its other entries go; no
        values removes the field. A value is one line with no whitespace at
        either end. A file of the one-S-expression form becomes one of the
        extended form."""
        old = self._fields(name)
        new = []
        for value in values:
            if not isinstance(value, str):
                raise TypeError(f"a field's value is a str, not {type(value).__name__}")
            if any(c in value for c in "\n\r\0") or value != value.strip(" \t"):
                raise ValueError("a field's value is one line with no whitespace "
                                 f"at either end: {value!r}")
            octets = value.encode("utf-8", "surrogateescape")
            new.append(_Entry(name, b"%s:%s\n" % (name.encode(), b" " * bool(octets) + octets),
                              octets))
        entries = self._entries
        if self._key_entry is None:
            self._key_entry = _Entry("Key", None)
            entries.append(self._key_entry)
        last = entries[-1]
        if not old and last.raw and not last.raw.endswith(b"\n"):
            last.raw += b"\n"  # the file's last line had no line feed
        at = entries.index(old[0]) if old else len(entries)
        entries[at:at] = new
        for entry in old:
            entries.remove(entry)

    def to_bytes(self) -> bytes:
        """The file, to write back. It is read back before it is returned,
        and `ValueError` is raised if it would not read as this `KeyFile`."""
        unchanged = not self._assigned and to_canonical(self._key) == self._original
        if self._key_entry is None:
            data = self._source if unchanged else to_canonical(self._key)
        else:
            parts = []
            for entry in self._entries:
                if entry is self._key_entry and (entry.raw is None or not unchanged):
                    parts.append(_key_lines(entry.name or "Key", self._key))
                else:
                    parts.append(entry.raw or b"")
            data = b"".join(parts)
        back = KeyFile(data)
        if (back._original != to_canonical(self._key)
                or back._field_values() != self._field_values()):
            raise ValueError("the key file would not read back as it is")
        return data

    def _field_values(self) -> list[tuple[str, bytes]]:
        return [(e.name.lower(), e.value) for e in self._entries
                if e.name is not None and e is not self._key_entry]


def read_key_file(source: bytes | bytearray | memoryview | str | os.PathLike[Any] | BinaryIO
                  ) -> KeyFile:
    """Reads a GnuPG private key file, of either form: its octets (`bytes`),
    its path (`str` or `os.PathLike`) or a binary file object, read to its end.

    A malformed `Name: value` layer raises `ValueError` naming the line; a
    key that is not an S-expression raises `ParseError`, its offset counted
    from the start of the file.

    >>> kf = read_key_file(b"Created: 20250101T000000\\nKey: (private-key (rsa (n\\n  #00c3#)))\\n")
    >>> kf.key, kf.get("created")
    ([b'private-key', [b'rsa', [b'n', b'\\x00\\xc3']]], '20250101T000000')
    """
    if isinstance(source, (bytes, bytearray, memoryview)):
        return KeyFile(bytes(source))
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return KeyFile(f.read())
    read = getattr(source, "read", None)
    if read is None:
        raise TypeError("read_key_file() takes the file's octets (bytes), its path (str or "
                        f"os.PathLike) or a binary file object, not {type(source).__name__}")
    data = read()
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError("read_key_file() takes a binary file object; this one's read() "
                        f"returned {type(data).__name__}")
    return KeyFile(bytes(data))
