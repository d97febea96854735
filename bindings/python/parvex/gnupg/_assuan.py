"""The client side of the Assuan protocol, which gpg-agent speaks over its
Unix socket: lines of at most 1,000 octets; a command is answered by status
(`S`), data (`D`) and comment (`#`) lines and ends with `OK` or `ERR CODE
TEXT`; the server may ask the client for data with `INQUIRE KEYWORD`, which
the client answers with `D` lines and `END` (or `CAN` to refuse). `D` lines
escape `%`, CR and LF as `%XX`."""

from __future__ import annotations

import re
import socket
import time
from collections.abc import Callable

# The longest line either side may send, line feed included.
MAX_LINE = 1000
_ESCAPED = re.compile(rb"[%\r\n]")
_UNESCAPE = re.compile(rb"%([0-9A-Fa-f]{2})")

#: What a command's handler of an inquiry gets (its keyword and arguments)
#: and returns: the data to send, or None to refuse with CAN.
Inquire = Callable[[str, str], bytes | None]


class AssuanError(Exception):
    """An `ERR` line: the server refused a command."""

    def __init__(self, value: int, text: str) -> None:
        super().__init__(value, text)
        self.value = value
        self.text = text


def escape(data: bytes) -> bytes:
    return _ESCAPED.sub(lambda m: b"%%%02X" % m[0][0], data)


def unescape(data: bytes) -> bytes:
    return _UNESCAPE.sub(lambda m: bytes([int(m[1], 16)]), data)


class Connection:
    """One connection to an Assuan server. `timeout` bounds each wait for
    the server (None: no bound) and a command while no inquiry lifts it."""

    def __init__(self, path: str, timeout: float | None, peer: str) -> None:
        self._peer = peer
        self._timeout = timeout
        self._buffer = b""
        self._sock: socket.socket | None = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self._sock.settimeout(timeout)
            self._sock.connect(path)
            self._answer(lambda keyword, args: None)  # the greeting
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def _line(self, deadline: float | None) -> bytes:
        sock = self._sock
        if sock is None:
            raise ConnectionError(f"the connection to {self._peer} is closed")
        while True:
            end = self._buffer.find(b"\n")
            if end >= 0:
                line, self._buffer = self._buffer[:end], self._buffer[end + 1:]
                return line
            if len(self._buffer) >= MAX_LINE:
                self.close()
                raise ConnectionError(f"{self._peer} sent a line longer than {MAX_LINE} octets")
            sock.settimeout(None if deadline is None else max(deadline - time.monotonic(), 0.001))
            try:
                chunk = sock.recv(4096)
            except TimeoutError:
                self.close()
                raise TimeoutError(f"{self._peer} did not answer within {self._timeout} s") from None
            except OSError:
                self.close()
                raise
            if not chunk:
                self.close()
                raise ConnectionError(f"{self._peer} closed the connection")
            self._buffer += chunk

    def _send(self, *lines: bytes) -> None:
        if self._sock is None:
            raise ConnectionError(f"the connection to {self._peer} is closed")
        try:
            self._sock.sendall(b"".join(line + b"\n" for line in lines))
        except OSError:
            self.close()
            raise

    def _data(self, data: bytes) -> list[bytes]:
        """`data` as `D` lines, each at most MAX_LINE octets with its line feed."""
        lines, line = [], b"D "
        for i in range(len(data)):
            piece = escape(data[i:i + 1])
            if len(line) + len(piece) >= MAX_LINE:
                lines.append(line)
                line = b"D "
            line += piece
        return lines + [line] if len(line) > 2 else lines

    def _answer(self, inquire: Inquire, lift: frozenset[str] = frozenset()) -> tuple[bytes, list[str]]:
        """Reads up to the command's OK: its data and its status lines."""
        data, status = [], []
        deadline = None if self._timeout is None else time.monotonic() + self._timeout
        while True:
            line = self._line(deadline)
            verb, _, rest = line.partition(b" ")
            if verb == b"D":
                data.append(unescape(rest))
            elif verb == b"S":
                status.append(rest.decode("utf-8", "replace"))
            elif verb == b"OK":
                return b"".join(data), status
            elif verb == b"ERR":
                code, _, text = rest.partition(b" ")
                try:
                    value = int(code)
                except ValueError:
                    self.close()
                    raise ConnectionError(f"{self._peer} sent a malformed ERR line") from None
                raise AssuanError(value, unescape(text).decode("utf-8", "replace"))
            elif verb == b"INQUIRE":
                keyword, _, args = rest.decode("utf-8", "replace").partition(" ")
                if keyword in lift:
                    deadline = None  # a person is at the keyboard now
                reply = inquire(keyword, args)
                self._send(*(self._data(reply) + [b"END"] if reply is not None else [b"CAN"]))
            elif verb != b"#" and line:
                self.close()
                raise ConnectionError(f"{self._peer} sent a line Assuan does not know")

    def command(self, line: str, inquire: Inquire | None = None,
                lift: frozenset[str] = frozenset()) -> tuple[bytes, list[str]]:
        """Sends one command; returns its data and status lines, or raises
        AssuanError. An inquiry goes to `inquire` (none answers with CAN);
        one whose keyword is in `lift` lifts the timeout for the rest of it."""
        encoded = line.encode("utf-8")
        if len(encoded) >= MAX_LINE or "\n" in line or "\r" in line:
            raise ValueError(f"an Assuan command is one line of less than {MAX_LINE} octets")
        self._send(encoded)
        return self._answer(inquire or (lambda keyword, args: None), lift)
