"""Writing a recording: one ``{"symbol": ..., "event": ...}`` JSON line per event.

A name ending in ``.gz`` gives a gzip file. Lines are kept in memory and
handed to the system in blocks of whole lines (at least every
``FLUSH_BYTES`` or ``FLUSH_SECONDS``); in a gzip file each block is a complete
gzip member (a gzip file may hold any number of them, read as one stream).
So whenever the program stops, even by a signal that lands in the middle of a
write or of ``close``, the file on disk is complete up to its last block: it
holds whole lines, and a gzip file's every member has its trailer. Only a
process killed while the system is writing a block can leave a broken tail,
which ``replay`` reads up to and then reports as damaged.
"""

from __future__ import annotations

import gzip
import os
import time
from typing import final

FLUSH_BYTES = 1 << 20
FLUSH_SECONDS = 5.0
LEVEL = 6


@final
class RecordingWriter:
    def __init__(self, path: str) -> None:
        self.path = path
        self.events = 0
        self._gzip = path.endswith(".gz")
        self._fd: int | None = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        self._pending: list[str] = []
        self._size = 0
        self._flushed_at = time.monotonic()

    def write(self, line: str) -> None:
        self._pending.append(line + "\n")
        self._size += len(line) + 1
        self.events += 1
        if self._size >= FLUSH_BYTES or time.monotonic() - self._flushed_at >= FLUSH_SECONDS:
            self.flush()

    def flush(self) -> None:
        """Hand every line written so far to the system, as one block."""
        if self._fd is None or not self._pending:
            return
        data = "".join(self._pending).encode("utf-8")
        if self._gzip:
            data = gzip.compress(data, compresslevel=LEVEL, mtime=0)
        # Taken off only once encoded: an interruption before this loses nothing.
        self._pending, self._size = [], 0
        self._flushed_at = time.monotonic()
        view = memoryview(data)
        try:
            while view:
                view = view[os.write(self._fd, view) :]
        except OSError as err:  # a full disk, say: the recording is at fault, not standard output
            raise OSError(err.errno, err.strerror, self.path) from err

    def close(self) -> None:
        if self._fd is None:
            return
        try:
            self.flush()
        finally:
            fd, self._fd = self._fd, None
            os.close(fd)

    def __enter__(self) -> RecordingWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
