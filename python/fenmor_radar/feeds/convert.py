"""Vendor CSV files into one time-ordered recording.

The files are read side by side and their rows merged by timestamp (a k-way
merge that holds one pending row per file, never a whole file), ties kept in
the order the files were given. Each file is taken in its own row order, as
the vendor writes it (time order). The merged rows become events in that
order, which matters for derivatives: their state (``DerivativesState``) must
see the rows of one symbol in time order even when they come from several
files, for instance two consecutive days.
"""

from __future__ import annotations

import gzip
import heapq
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import BinaryIO

from fenmor_radar.feeds.book import DEFAULT_DEPTH, check_depth
from fenmor_radar.feeds.derivatives import DerivativesState
from fenmor_radar.feeds.events import (
    derivatives_line,
    liquidation_line,
    orderbook_line,
    symbol_json,
)
from fenmor_radar.feeds.symbols import keep_symbol, normalise_symbol
from fenmor_radar.feeds.tardis import (
    BOOK_SNAPSHOT,
    DERIVATIVE_TICKER,
    LIQUIDATIONS,
    QUOTES,
    BadRow,
    Layout,
    Row,
    read_rows,
)

BLOCK_BYTES = 1 << 16


@dataclass(slots=True)
class ConvertStats:
    rows: int = 0
    events: int = 0
    bad_rows: int = 0
    symbols: set[str] = field(default_factory=set)


def _ignore(_: BadRow) -> None:
    pass


class TardisConverter:
    """The recording lines of a set of vendor CSV files, in time order.

    ``depth`` is the number of book levels summed per side; ``normalise``
    rewrites symbols with ``normalise_symbol``; ``on_bad`` hears of every bad
    row (file, line, message) before it is skipped.
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
        self._on_bad = on_bad
        self._name = normalise_symbol if normalise else keep_symbol
        self._symbol_text: dict[str, str] = {}
        self._derivatives = DerivativesState()
        # Open every file first: a missing or unrecognised file fails before
        # anything is written.
        self.layouts: list[Layout] = []
        self._rows: list[Iterator[Row]] = []
        for index, path in enumerate(paths):
            layout, rows = read_rows(path, index, self.depth, self._bad)
            self.layouts.append(layout)
            self._rows.append(rows)

    def _bad(self, bad: BadRow) -> None:
        self.stats.bad_rows += 1
        self._on_bad(bad)

    def _symbol(self, raw: str) -> str:
        text = self._symbol_text.get(raw)
        if text is None:
            name = self._name(raw)
            self.stats.symbols.add(name)
            text = self._symbol_text[raw] = symbol_json(name)
        return text

    def lines(self) -> Iterator[str]:
        """The recording's lines, without line breaks, in time order."""
        if not self._rows:
            return
        kinds = [layout.kind for layout in self.layouts]
        merged: Iterable[Row] = (
            heapq.merge(*self._rows) if len(self._rows) > 1 else iter(self._rows[0])
        )
        stats = self.stats
        symbol = self._symbol
        update = self._derivatives.update
        for ts, index, _, values in merged:
            stats.rows += 1
            kind = kinds[index]
            if kind == BOOK_SNAPSHOT or kind == QUOTES:
                raw, best_bid, bid_volume, best_ask, ask_volume = values
                if best_bid is None or best_ask is None:
                    continue  # an empty side: no best price to report
                line = orderbook_line(
                    symbol(raw), ts, bid_volume, ask_volume, best_bid, best_ask  # type: ignore[arg-type]
                )
            elif kind == DERIVATIVE_TICKER:
                raw, oi, rate, mark = values
                event = update(raw, oi, rate, mark)  # type: ignore[arg-type]
                if event is None:
                    continue
                line = derivatives_line(symbol(raw), ts, *event)  # type: ignore[arg-type]
            else:
                assert kind == LIQUIDATIONS
                raw, side, qty, price = values
                line = liquidation_line(symbol(raw), ts, side, qty, price)  # type: ignore[arg-type]
            stats.events += 1
            yield line

    def blocks(self, block_bytes: int = BLOCK_BYTES) -> Iterator[bytes]:
        """The recording as UTF-8 blocks of whole JSON lines, each about ``block_bytes`` long.

        Every block ends with a line break; no line is split between blocks.
        """
        pending: list[str] = []
        size = 0
        for line in self.lines():
            pending.append(line)
            size += len(line) + 1
            if size >= block_bytes:
                pending.append("")
                yield "\n".join(pending).encode("utf-8")
                pending.clear()
                size = 0
        if pending:
            pending.append("")
            yield "\n".join(pending).encode("utf-8")


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
