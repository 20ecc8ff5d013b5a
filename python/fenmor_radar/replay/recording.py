"""Reading recordings: JSON lines, plain or gzip-compressed, in big blocks.

Each line of a recording holds one ``{"symbol": ..., "event": ...}`` object.
This module only delivers the (decompressed) bytes, in blocks of a few
megabytes whatever the length of the recording, so a replay's memory does
not grow with its input. Judging a line is the radar's job. Gzip is read
by ``fenmor_radar.gzip_reader``.
"""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO, Protocol

from fenmor_radar.gzip_reader import GZIP_MAGIC, BrokenGzip, GzipReader

STDIN_NAME = "-"
# Big enough that the feeder can read a block's lines on several threads
# while it feeds them (waking a thread is costly), small enough that a block
# stays a few megabytes in memory. What one block yields is held at once:
# with a checkpoint every few events and long replies that is the larger part.
BLOCK_SIZE = 4 << 20
BOM = b"\xef\xbb\xbf"


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


class RecordingSource(Protocol):
    """What a replay reads a recording from: a file (``Recording``) or a conversion."""

    name: str
    size: int | None

    def position(self) -> int | None: ...

    def blocks(self) -> Iterator[bytes]: ...

    def close(self) -> None: ...


class Recording:
    """An open recording: its bytes in blocks, and how far into the input reading is.

    A gzip file is recognised by its first bytes, not by its name, so a
    renamed or piped compressed recording still reads, even when the producer
    writes its first byte alone. Progress is reported in bytes of the file as
    stored (compressed bytes for gzip), which is what the file size measures.

    A regular file is opened here, so that one that cannot be read fails at
    once, but then closed until its blocks are read and closed again after
    them: a replay of many files holds one open at a time, however many it is
    given. A pipe or a device stays open, as it cannot be opened twice.
    """

    def __init__(self, path: str, stdin: BinaryIO | None = None, block_size: int = BLOCK_SIZE) -> None:
        self.name = "<stdin>" if path == STDIN_NAME else path
        self.block_size = block_size
        self._path = path
        self._read_whole = False
        if path == STDIN_NAME:
            self._raw: BinaryIO | None = stdin if stdin is not None else sys.stdin.buffer
            self.size: int | None = None
            return
        self._raw = open(path, "rb")  # noqa: SIM115 - closed by close()
        self.size = _regular_file_size(self._raw)
        if self.size is not None:
            self._raw.close()
            self._raw = None

    def position(self) -> int | None:
        """Bytes of the stored file consumed so far, when that can be known."""
        if self.size is None:
            return None
        if self._raw is None:
            return self.size if self._read_whole else 0
        try:
            return self._raw.tell()
        except (OSError, ValueError):
            return None

    def _read(self) -> bytes:
        return self._read_raw(self.block_size)

    def _read_raw(self, size: int) -> bytes:
        if self._raw is None:
            self._raw = open(self._path, "rb")  # noqa: SIM115 - closed by close()
        read1 = getattr(self._raw, "read1", None)
        return bytes(read1(size) if read1 is not None else self._raw.read(size))

    def blocks(self) -> Iterator[bytes]:
        """The decompressed bytes in order, in blocks of at most ``block_size``.

        Raises ``DamagedInput`` when the input cannot be read to its end.
        """
        try:
            yield from self._blocks()
        except (OSError, BrokenGzip) as err:
            raise DamagedInput(str(err)) from err
        if self.size is not None:  # reopened for reading: nothing more to read
            self._read_whole = True
            self.close()

    def _blocks(self) -> Iterator[bytes]:
        head = b""
        while len(head) < len(GZIP_MAGIC):
            data = self._read()
            if not data:
                break
            head += data
        if not head.startswith(GZIP_MAGIC):
            if head:
                yield head
            while data := self._read():
                yield data
            return
        gzip = GzipReader(self._read_raw, head, self.block_size)
        while data := gzip.read(self.block_size):
            yield data

    def whole_lines(self) -> Iterator[tuple[bytes, int]]:
        """The bytes cut after line breaks (a leading BOM left out), each piece with
        the number of its first line; the last piece may lack its line break."""
        carry = b""
        number = 1
        first = True
        for block in self.blocks():
            data = carry + block
            if first:
                if len(data) < len(BOM) and BOM.startswith(data):
                    carry = data
                    continue
                first = False
                data = data.removeprefix(BOM)
            end = data.rfind(b"\n") + 1
            carry = data[end:]
            if end:
                yield data[:end], number
                number += data.count(b"\n", 0, end)
        if carry:
            yield carry, number

    def lines(self) -> Iterator[EventLine]:
        """The non-blank lines in file order, one by one; a final line needs no line break.

        For reading a file of JSON lines in Python (a saved replay output, a
        script's look at a recording); a replay hands whole blocks to the
        native feeder instead. Raises ``DamagedInput`` when the input cannot
        be read to its end.
        """
        for piece, number in self.whole_lines():
            raws = piece.split(b"\n")
            if piece.endswith(b"\n"):
                raws.pop()
            for offset, raw in enumerate(raws):
                line = _line(number + offset, raw)
                if line is not None:
                    yield line

    def close(self) -> None:
        if self.name != "<stdin>" and self._raw is not None:
            self._raw.close()
            self._raw = None

    def __enter__(self) -> Recording:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _line(number: int, raw: bytes) -> EventLine | None:
    if not raw.strip(b" \t\r"):
        return None
    try:
        return EventLine(number, raw.decode("utf-8"))
    except UnicodeDecodeError as err:
        return EventLine(
            number,
            raw.decode("utf-8", "replace"),
            f"not valid UTF-8 (byte {err.start + 1} of the line)",
        )


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
    with Recording(path) as source:
        yield from source.lines()
