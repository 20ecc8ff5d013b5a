"""Vendor CSV files into one time-ordered recording.

The files are read side by side and their rows merged by timestamp (a k-way
merge that holds one pending row per file, never a whole file), ties kept in
the order the files were given. Each file is taken in its own row order, as
the vendor writes it (time order). The merged rows become events in that
order, which matters for derivatives: their state must see the rows of one
symbol in time order even when they come from several files, for instance two
consecutive days.

The rows are parsed, merged and written by ``fenmor_radar._native``;
this module reads and decompresses the files in blocks and hands them over.
"""

from __future__ import annotations

import gzip
import zlib
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import BinaryIO

from fenmor_radar._native import Converter
from fenmor_radar.feeds.book import DEFAULT_DEPTH, check_depth
from fenmor_radar.feeds.events import symbol_json
from fenmor_radar.feeds.symbols import keep_symbol, normalise_symbol
from fenmor_radar.feeds.tardis import BadRow, ByteSource, UnknownLayout, open_binary

BLOCK_BYTES = 1 << 16
READ_BYTES = 1 << 18  # bytes read from a file at a time
# A header is read in small steps, so that a file whose rows break off
# later fails in the conversion, not as an unreadable header.
HEADER_READ_BYTES = 1 << 13
DONE = -1


@dataclass(slots=True)
class ConvertStats:
    rows: int = 0
    events: int = 0
    bad_rows: int = 0
    symbols: set[str] = field(default_factory=set)


def _ignore(_: BadRow) -> None:
    pass


class TardisConverter:
    """The recording of a set of vendor CSV files, in time order.

    ``depth`` is the number of book levels summed per side; ``normalise``
    rewrites symbols with ``normalise_symbol``; ``on_bad`` hears of every bad
    row (file, line, message) before it is skipped.

    Every file is opened and its header read here: a missing or unrecognised
    file fails (``OSError``, ``UnknownLayout``) before anything is written.
    """

    def __init__(
        self,
        paths: Sequence[str],
        *,
        depth: int = DEFAULT_DEPTH,
        normalise: bool = False,
        on_bad: Callable[[BadRow], None] = _ignore,
    ) -> None:
        self.depth = check_depth(depth)
        self.stats = ConvertStats()
        self.paths = list(paths)
        self.kinds: list[str] = []
        self._on_bad = on_bad
        self._name = normalise_symbol if normalise else keep_symbol
        self._native = Converter(self.depth, self._symbol_json)
        self._streams: list[ByteSource] = []
        try:
            for path in self.paths:
                self._open(path)
        except BaseException:
            self.close()
            raise

    def _open(self, path: str) -> None:
        self._streams.append(open_binary(path))
        index = self._native.add_file(path)
        try:
            while not self._native.read_header(index):
                self._feed(index, HEADER_READ_BYTES)
        except (EOFError, zlib.error, gzip.BadGzipFile, UnicodeDecodeError) as err:
            raise UnknownLayout(f"{path}: cannot read the header: {err}") from err
        except ValueError as err:
            raise UnknownLayout(str(err)) from err
        self.kinds.append(self._native.kind(index))

    def _feed(self, index: int, size: int = READ_BYTES) -> None:
        stream = self._streams[index]
        data = stream.read(size)
        if data:
            self._native.feed(index, data)
        else:
            stream.close()
            self._native.finish(index)

    def _symbol_json(self, raw: str) -> str:
        """Called once per symbol, when its first event is written."""
        name = self._name(raw)
        self.stats.symbols.add(name)
        return symbol_json(name)

    def close(self) -> None:
        for stream in self._streams:
            stream.close()

    def blocks(self, block_bytes: int = BLOCK_BYTES) -> Iterator[bytes]:
        """The recording as UTF-8 blocks of whole JSON lines, each about ``block_bytes`` long.

        Every block ends with a line break; no line is split between blocks.
        """
        native, stats, paths = self._native, self.stats, self.paths
        try:
            while True:
                block, need, bad_rows = native.convert(block_bytes)
                stats.rows, stats.events, _ = native.stats()
                for file, line, message in bad_rows:
                    stats.bad_rows += 1
                    self._on_bad(BadRow(paths[file], line, message))
                if block is not None:
                    yield block
                if need == DONE:
                    return
                if need >= 0:
                    self._feed(need)
        finally:
            self.close()

    def lines(self) -> Iterator[str]:
        """The recording's lines, without line breaks, in time order."""
        for block in self.blocks():
            yield from block.decode("utf-8").split("\n")[:-1]


def tardis_blocks(
    paths: Sequence[str],
    *,
    depth: int = DEFAULT_DEPTH,
    normalise: bool = False,
    on_bad: Callable[[BadRow], None] = _ignore,
    block_bytes: int = BLOCK_BYTES,
) -> Iterator[bytes]:
    """The recording of vendor CSV files as blocks of JSON-lines bytes, converted on the fly.

    This is what a replay reads instead of a recording file. Opening errors
    (``OSError``, ``UnknownLayout``) are raised at the first ``next``.
    """
    converter = TardisConverter(paths, depth=depth, normalise=normalise, on_bad=on_bad)
    yield from converter.blocks(block_bytes)


def open_output(path: str) -> BinaryIO:
    """The output file; gzip-compressed when its name ends in ``.gz``."""
    if path.endswith(".gz"):
        return gzip.open(path, "wb", compresslevel=6)  # type: ignore[return-value]
    return open(path, "wb")
