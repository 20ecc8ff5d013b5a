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

import contextlib
import gzip
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
    # Rows merged below a timestamp merged before them, and the first as (file, line).
    rows_back: int = 0
    first_back: tuple[str, int] | None = None


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
        # Per file, what was read after its last line break: handed over with
        # the next break, so that a file that breaks off loses only the line
        # it broke off in.
        self._held: list[list[bytes]] = []
        try:
            for path in self.paths:
                self._open(path)
        except BaseException:
            self.close()
            raise

    def _open(self, path: str) -> None:
        self._streams.append(open_binary(path))
        self._held.append([])
        index = self._native.add_file(path)
        try:
            while not self._native.read_header(index):
                self._feed(index, HEADER_READ_BYTES)
        except (EOFError, UnicodeDecodeError) as err:
            raise UnknownLayout(f"{path}: cannot read the header: {err}") from err
        except ValueError as err:
            raise UnknownLayout(str(err)) from err
        self.kinds.append(self._native.kind(index))

    def _feed(self, index: int, size: int = READ_BYTES) -> None:
        stream = self._streams[index]
        held = self._held[index]
        data = stream.read(size)
        if not data:
            stream.close()
            if held:
                self._native.feed(index, b"".join(held))
                held.clear()
            self._native.finish(index)
            return
        # A line may also end in a lone CR, which the CSV reader accepts.
        end = max(data.rfind(b"\n"), data.rfind(b"\r")) + 1
        if end == 0:
            held.append(data)
            return
        self._native.feed(index, b"".join([*held, data[:end]]) if held else data[:end])
        held[:] = [data[end:]] if end < len(data) else []

    def _end_damaged(self, index: int) -> None:
        """A file that broke off ends with its last complete line."""
        self._streams[index].close()
        self._held[index].clear()
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
        A file that breaks off or holds corrupt data (``EOFError``, ``OSError``, its
        message starting with the file's path) is raised after every complete
        row of every file is converted: the row it broke off in is lost.
        """
        native, stats, paths = self._native, self.stats, self.paths
        damage: tuple[int, Exception] | None = None
        try:
            while True:
                block, need, bad_rows = native.convert(block_bytes)
                stats.rows, stats.events, _, stats.rows_back, first = native.stats()
                if first is not None:
                    stats.first_back = (paths[first[0]], first[1])
                for file, line, message in bad_rows:
                    stats.bad_rows += 1
                    self._on_bad(BadRow(paths[file], line, message))
                if block is not None:
                    yield block
                if need == DONE:
                    break
                if need >= 0:
                    try:
                        self._feed(need)
                    except (OSError, EOFError) as err:  # EOFError: a broken gzip stream
                        if damage is None:
                            damage = (need, err)
                        self._end_damaged(need)
        finally:
            self.close()
        if damage is not None:
            index, cause = damage
            raise EOFError(f"{paths[index]}: {cause}") from cause

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


@contextlib.contextmanager
def compressed_if_named(name: str, raw: BinaryIO) -> Iterator[BinaryIO]:
    """Writes to ``raw``, gzip-compressed when ``name`` ends in ``.gz``; ``raw`` stays open."""
    if not name.endswith(".gz"):
        yield raw
        return
    with gzip.GzipFile(filename="", mode="wb", compresslevel=6, fileobj=raw) as file:
        yield file  # type: ignore[misc]
