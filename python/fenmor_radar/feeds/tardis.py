"""The vendor's downloadable CSV datasets, read row by row.

The vendor publishes one CSV file (usually gzip-compressed) per exchange,
data type and day. All timestamps are integer microseconds since the epoch;
every file starts with a header, and a file is recognised by its header, not
its name (columns may come in any order and extra columns are ignored):

- ``derivative_ticker``: ``symbol``, ``timestamp``, ``funding_rate``,
  ``open_interest``, ``mark_price`` (among others). An empty field means the
  value did not change; rows feed ``DerivativesState``.
- ``liquidations``: ``symbol``, ``timestamp``, ``side``, ``price``, ``amount``.
  Its header is the same as that of the trades files, so a file with this
  header must also have "liquidations" in its name, which the vendor's file
  names do; a trades file is never taken for liquidations.
- ``book_snapshot_5`` / ``book_snapshot_25``: ``symbol``, ``timestamp`` and
  ``asks[i].price``, ``asks[i].amount``, ``bids[i].price``, ``bids[i].amount``
  for levels i = 0.. best first. An empty level is absent (a thin book).
- ``quotes``: ``symbol``, ``timestamp``, ``bid_price``, ``bid_amount``,
  ``ask_price``, ``ask_amount``: a book of depth one.

The event's ``ts`` is the ``timestamp`` column (the exchange's time; the
vendor already falls back to its arrival time when the exchange gives none),
converted to milliseconds. A row with a missing column, a timestamp that is
not an integer (or beyond 64 bits), a number that is not a finite number or
an unknown side is a bad row: it is reported with its file and line and
skipped. Numbers are read as Python's ``int()`` and ``float()`` read ASCII
text (surrounding spaces, a sign, underscores between digits). Files are
UTF-8; the CSV dialect is RFC 4180 as Python's csv module reads it.

The rows are read, merged and written in C++ (``fenmor_radar._native``);
this module opens the files and names the errors.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import BinaryIO, Protocol

from fenmor_radar.gzip_reader import GZIP_MAGIC, GzipReader

COMPRESSED_READ_BYTES = 1 << 16
DERIVATIVE_TICKER = "derivative_ticker"
LIQUIDATIONS = "liquidations"
BOOK_SNAPSHOT = "book_snapshot"
QUOTES = "quotes"


class UnknownLayout(ValueError):
    """A file whose header cannot be read or is none of the supported kinds."""


@dataclass(frozen=True, slots=True)
class BadRow:
    path: str
    line: int
    message: str


class ByteSource(Protocol):
    """Where a file's bytes come from, block by block; b"" at its end."""

    def read(self, size: int, /) -> bytes: ...

    def close(self) -> None: ...


class GzipSource:
    """A gzip file's bytes (``fenmor_radar.gzip_reader``): never a silently short file."""

    def __init__(self, raw: BinaryIO) -> None:
        self._raw = raw
        self._gzip = GzipReader(raw.read, raw_bytes=COMPRESSED_READ_BYTES)

    def read(self, size: int, /) -> bytes:
        return self._gzip.read(size)

    def close(self) -> None:
        self._raw.close()


def open_binary(path: str) -> ByteSource:
    """A CSV file's bytes, decompressed when its first bytes are gzip's."""
    raw = open(path, "rb")  # noqa: SIM115 - owned by the returned source
    try:
        if raw.peek(2)[:2] == GZIP_MAGIC:
            return GzipSource(raw)
    except BaseException:
        raw.close()
        raise
    return raw
