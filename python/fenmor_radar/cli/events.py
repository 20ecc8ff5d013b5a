"""Reading recorded event files: JSON lines, plain or gzip-compressed.

Each line of a recording holds one ``{"symbol": ..., "event": ...}`` object.
This module only splits a file into numbered lines; judging a line is the
radar's job (see ``event_line``), so a line's text is handed on unchanged.
"""

from __future__ import annotations

import gzip
import io
import os
import stat
import sys
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO

GZIP_MAGIC = b"\x1f\x8b"
STDIN_NAME = "-"


@dataclass(slots=True)
class EventLine:
    """One non-blank line of a recording.

    ``number`` counts every line of the (decompressed) input from 1, blank ones
    included, so it matches what an editor shows. ``text`` is the line without
    its line break; ``problem`` is set instead when the bytes are not UTF-8.
    """

    number: int
    text: str
    problem: str | None = None


class DamagedInput(Exception):
    """The input broke off while being read (a truncated or corrupt gzip file, a read error)."""


class EventSource:
    """An open recording: its lines, and how far into the input reading is.

    A gzip file is recognised by its first bytes, not by its name, so a
    renamed or piped compressed recording still reads. Progress is reported
    in bytes of the file as stored (compressed bytes for gzip), which is what
    the file size measures.
    """

    def __init__(self, path: str, stdin: BinaryIO | None = None) -> None:
        self.name = "<stdin>" if path == STDIN_NAME else path
        if path == STDIN_NAME:
            self._raw: BinaryIO = stdin if stdin is not None else sys.stdin.buffer
            self.size: int | None = None
        else:
            self._raw = open(path, "rb")  # noqa: SIM115 - closed by close()
            self.size = _regular_file_size(self._raw)
        self._stream = self._open_stream()

    def _open_stream(self) -> BinaryIO:
        raw = self._raw
        peek = getattr(raw, "peek", None)
        head = peek(2)[:2] if peek is not None else b""
        if head == GZIP_MAGIC:
            # BufferedReader over GzipFile: line iteration on a bare GzipFile is
            # several times slower.
            return io.BufferedReader(gzip.GzipFile(fileobj=raw, mode="rb"), 1 << 16)
        return raw

    def position(self) -> int | None:
        """Bytes of the stored file consumed so far, when that can be known."""
        if self.size is None:
            return None
        try:
            return self._raw.tell()
        except (OSError, ValueError):
            return None

    def lines(self) -> Iterator[EventLine]:
        """The non-blank lines in file order; a final line needs no line break.

        Raises ``DamagedInput`` when the input cannot be read to its end.
        """
        try:
            yield from self._lines()
        except (OSError, EOFError, zlib.error) as err:
            raise DamagedInput(str(err)) from err

    def _lines(self) -> Iterator[EventLine]:
        for number, raw in enumerate(self._stream, 1):
            if raw.endswith(b"\n"):
                raw = raw[:-1]
            if not raw or (raw.isspace() and not raw.strip(b" \t\r")):
                continue
            try:
                yield EventLine(number, raw.decode("utf-8"))
            except UnicodeDecodeError as err:
                yield EventLine(
                    number,
                    raw.decode("utf-8", "replace"),
                    f"not valid UTF-8 (byte {err.start + 1} of the line)",
                )

    def close(self) -> None:
        if self._stream is not self._raw:
            self._stream.close()
        if self.name != "<stdin>":
            self._raw.close()

    def __enter__(self) -> EventSource:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _regular_file_size(raw: BinaryIO) -> int | None:
    try:
        info = os.fstat(raw.fileno())
    except (OSError, ValueError):
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def read_events(path: str) -> Iterator[EventLine]:
    """Every non-blank line of the recording at ``path`` ("-" reads standard input).

    A gzip-compressed file is decompressed on the fly. Raises ``OSError`` when
    the file cannot be opened and ``DamagedInput`` when it breaks off.
    """
    with EventSource(path) as source:
        yield from source.lines()
