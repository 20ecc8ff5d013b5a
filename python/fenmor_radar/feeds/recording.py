"""Writing a recording: one ``{"symbol": ..., "event": ...}`` JSON line per event.

A name ending in ``.gz`` gives a gzip file. The file is complete (for gzip:
with its trailer) once ``close`` has run; a process killed before that
leaves a file that ``replay`` reads up to where it breaks off and then
reports as damaged.
"""

from __future__ import annotations

import gzip
from typing import TextIO, final


@final
class RecordingWriter:
    def __init__(self, path: str) -> None:
        self.path = path
        self.events = 0
        if path.endswith(".gz"):
            self._file: TextIO = gzip.open(path, "wt", encoding="utf-8", compresslevel=6)  # noqa: SIM115
        else:
            self._file = open(path, "w", encoding="utf-8")  # noqa: SIM115 - closed by close()

    def write(self, line: str) -> None:
        self._file.write(line + "\n")
        self.events += 1

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> RecordingWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
