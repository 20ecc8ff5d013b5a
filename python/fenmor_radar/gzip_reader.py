"""Reading gzip streams: recordings, the vendor's CSV files and the Dask replay's parts.

A stream is recognised by its first bytes (``GZIP_MAGIC``), never by its
name; the caller reads them and hands them over. Members written one after
another (``cat a.gz b.gz``) are read on as one stream, and zero bytes
between or after members (padding that some tools leave) are skipped. Each
member's CRC and length are checked. A stream that breaks off inside a
member, or holds corrupt data, raises ``BrokenGzip``: never a silently short
input.

Output is capped per call, so a small compressed block of a highly
compressible file cannot become one huge block in memory. Gzip is inflated
by ISA-L (the ``isal`` package, a dependency where it has wheels) when it is
installed: twice as fast as zlib, which is otherwise used, with the same
interface and the same results.
"""

from __future__ import annotations

import zlib
from collections.abc import Callable
from types import ModuleType
from typing import Any

GZIP_MAGIC = b"\x1f\x8b"
GZIP_WINDOW = 16 + zlib.MAX_WBITS  # zlib reads the gzip header and trailer itself
RAW_READ_BYTES = 1 << 16  # compressed bytes read at a time
TRUNCATED = "Compressed file ended before the end-of-stream marker was reached"


class BrokenGzip(EOFError):
    """The gzip stream breaks off inside a member, or holds corrupt data."""


def _inflate() -> ModuleType:
    """ISA-L's zlib interface, else zlib; imported at the first gzip stream."""
    try:
        from isal import isal_zlib
    except ImportError:  # a platform without its wheels: the standard library's
        return zlib
    return isal_zlib


class GzipReader:
    """The decompressed bytes of a gzip stream, pulled ``read(size)`` at a time.

    ``raw_read(n)`` gives up to n more compressed bytes, b"" at the end, and
    is called with ``raw_bytes``; ``head`` holds the bytes the caller has
    already read to recognise the stream.
    """

    def __init__(
        self, raw_read: Callable[[int], bytes], head: bytes = b"", raw_bytes: int = RAW_READ_BYTES
    ) -> None:
        self._raw_read = raw_read
        self._raw_bytes = raw_bytes
        self._pending = head  # compressed bytes not yet given to a member
        self._inflate = _inflate()
        self._member: Any = None  # the member being inflated
        self._more_out = False  # the last call stopped at the cap: output may be waiting

    def read(self, size: int) -> bytes:
        """At most ``size`` decompressed bytes, b"" only at the end of the stream."""
        try:
            return self._read(size)
        except self._inflate.error as err:
            raise BrokenGzip(str(err)) from err

    def _read(self, size: int) -> bytes:
        while True:
            member = self._member
            if member is None or member.eof:
                if member is not None:
                    self._pending = member.unused_data
                    self._member = None
                self._pending = self._pending.lstrip(b"\0")
                if not self._pending:
                    self._pending = self._raw_read(self._raw_bytes)
                    if not self._pending:
                        return b""  # the stream ends between members
                    continue
                member = self._member = self._inflate.decompressobj(GZIP_WINDOW)
                self._more_out = False
            elif not self._pending and not self._more_out:
                self._pending = self._raw_read(self._raw_bytes)
                if not self._pending:
                    raise BrokenGzip(TRUNCATED)
            out = member.decompress(self._pending, size)
            self._pending = member.unconsumed_tail
            self._more_out = len(out) == size
            if out:
                return bytes(out)
