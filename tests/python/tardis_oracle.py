"""The pure-Python vendor CSV converter, kept as the oracle of the native one.

This is the converter the package used before the per-row work moved to C++
(``fenmor_radar._native``): the standard library's csv reader, a
heapq merge and the object-form line writers below. The differential tests hold
the native converter to its output and its bad-row reports. One change: book
sizes are summed with a plain loop rather than ``sum()``, whose float
summation became compensated in Python 3.12; the converter's rule is the
plain left-to-right sum.
"""

from __future__ import annotations

import csv
import gzip
import heapq
import io
import math
import os
import zlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from operator import itemgetter
from typing import TYPE_CHECKING, TextIO

from fenmor_radar.feeds.book import DEFAULT_DEPTH, check_depth
from fenmor_radar.feeds.convert import ConvertStats
from fenmor_radar.feeds.derivatives import DerivativesState
from fenmor_radar.feeds.events import SIDES, symbol_json
from fenmor_radar.feeds.symbols import keep_symbol, normalise_symbol

if TYPE_CHECKING:
    import _csv

GZIP_MAGIC = b"\x1f\x8b"
DERIVATIVE_TICKER = "derivative_ticker"
LIQUIDATIONS = "liquidations"
BOOK_SNAPSHOT = "book_snapshot"
QUOTES = "quotes"


# The recording lines as the converter writes them: the object form, numbers
# in Python's shortest round-trip form.


def _check(**values: float) -> None:
    for field, value in values.items():
        if not math.isfinite(value):
            raise ValueError(f"{field} is not a finite number: {value!r}")


def derivatives_line(
    symbol_text: str, ts: int, open_interest: float, funding_rate: float, mark_price: float
) -> str:
    """A derivatives event line; ``symbol_text`` is the symbol's JSON text."""
    if not math.isfinite(open_interest + funding_rate + mark_price):
        _check(open_interest=open_interest, funding_rate=funding_rate, mark_price=mark_price)
    return (
        f'{{"symbol":{symbol_text},"event":{{"kind":"derivatives","ts":{int(ts)},'
        f'"open_interest":{float(open_interest)!r},"funding_rate":{float(funding_rate)!r},'
        f'"mark_price":{float(mark_price)!r}}}}}'
    )


def orderbook_line(
    symbol_text: str,
    ts: int,
    bid_volume: float,
    ask_volume: float,
    best_bid: float,
    best_ask: float,
) -> str:
    """An order-book event line; ``symbol_text`` is the symbol's JSON text."""
    if not math.isfinite(bid_volume + ask_volume + best_bid + best_ask):
        _check(bid_volume=bid_volume, ask_volume=ask_volume, best_bid=best_bid, best_ask=best_ask)
    return (
        f'{{"symbol":{symbol_text},"event":{{"kind":"orderbook","ts":{int(ts)},'
        f'"bid_volume":{float(bid_volume)!r},"ask_volume":{float(ask_volume)!r},'
        f'"best_bid":{float(best_bid)!r},"best_ask":{float(best_ask)!r}}}}}'
    )


def liquidation_line(symbol_text: str, ts: int, side: str, qty: float, price: float) -> str:
    """A liquidation event line, side as reported ("buy" or "sell")."""
    if side not in SIDES:
        raise ValueError(f'side must be "buy" or "sell", got {side!r}')
    if not math.isfinite(qty + price):
        _check(qty=qty, price=price)
    return (
        f'{{"symbol":{symbol_text},"event":{{"kind":"liquidation","ts":{int(ts)},'
        f'"side":"{side}","qty":{float(qty)!r},"price":{float(price)!r}}}}}'
    )

# A parsed row waiting for the merge: (ts in ms, file index, line, values).
Row = tuple[int, int, int, tuple[object, ...]]


class UnknownLayout(ValueError):
    """A file whose header cannot be read or is none of the supported kinds."""


@dataclass(frozen=True, slots=True)
class BadRow:
    path: str
    line: int
    message: str


@dataclass(frozen=True, slots=True)
class Layout:
    """A recognised file: its kind and where its columns are."""

    kind: str
    symbol: int
    timestamp: int
    columns: tuple[int, ...]  # kind-specific, see ``recognise``
    width: int  # columns a row must have to hold all of the above
    header_width: int

    def fields(self, row: Sequence[str]) -> tuple[str, ...]:
        """The kind-specific columns of a row, in the order of ``columns``."""
        return itemgetter(*self.columns)(row)  # type: ignore[no-any-return]

    @property
    def levels(self) -> int:
        return len(self.columns) // 4 if self.kind == BOOK_SNAPSHOT else 1


def recognise(header: Sequence[str], path: str, depth: int) -> Layout:
    """The layout of a file from its header (and, for liquidations, its name)."""
    index = {name.strip(): i for i, name in enumerate(header)}

    def layout(kind: str, names: Sequence[str]) -> Layout:
        columns = tuple(index[name] for name in names)
        wanted = (index["symbol"], index["timestamp"], *columns)
        return Layout(
            kind, index["symbol"], index["timestamp"], columns, max(wanted) + 1, len(header)
        )

    def has(*names: str) -> bool:
        return all(name in index for name in ("symbol", "timestamp", *names))

    if has("funding_rate", "open_interest", "mark_price"):
        return layout(DERIVATIVE_TICKER, ("open_interest", "funding_rate", "mark_price"))
    if has("asks[0].price", "asks[0].amount", "bids[0].price", "bids[0].amount"):
        names: list[str] = []
        level = 0
        while level < depth and all(
            f"{side}[{level}].{field}" in index
            for side in ("bids", "asks")
            for field in ("price", "amount")
        ):
            for side in ("bids", "asks"):
                names += (f"{side}[{level}].price", f"{side}[{level}].amount")
            level += 1
        return layout(BOOK_SNAPSHOT, names)
    if has("bid_price", "bid_amount", "ask_price", "ask_amount"):
        return layout(QUOTES, ("bid_price", "bid_amount", "ask_price", "ask_amount"))
    if has("side", "price", "amount"):
        if LIQUIDATIONS not in os.path.basename(path).lower():
            raise UnknownLayout(
                f"{path}: the header of a liquidations file is also that of a trades file; "
                f'only a file with "liquidations" in its name is read as liquidations '
                "(trades are not a radar event)"
            )
        return layout(LIQUIDATIONS, ("side", "amount", "price"))
    shown = ",".join(header)[:200]
    raise UnknownLayout(
        f"{path}: not a derivative_ticker, liquidations, book_snapshot or quotes file "
        f"(header: {shown})"
    )


def open_text(path: str) -> TextIO:
    """A CSV file as text, gzip recognised by its first bytes."""
    raw = open(path, "rb")  # noqa: SIM115 - owned by the returned stream
    try:
        head = raw.peek(2)[:2]
        binary: io.BufferedReader = raw
        if head == GZIP_MAGIC:
            binary = io.BufferedReader(gzip.GzipFile(fileobj=raw, mode="rb"), 1 << 16)
        return io.TextIOWrapper(binary, encoding="utf-8", newline="")
    except BaseException:
        raw.close()
        raise


def _finite(text: str, name: str) -> float:
    value = float(text)  # ValueError for a non-number
    if not math.isfinite(value):
        raise ValueError(f"{name} is not a finite number: {text!r}")
    return value


def _optional(text: str, name: str) -> float | None:
    return None if text == "" else _finite(text, name)


def _ticker_values(row: list[str], layout: Layout) -> tuple[object, ...]:
    oi, rate, mark = layout.columns
    return (
        _optional(row[oi], "open_interest"),
        _optional(row[rate], "funding_rate"),
        _optional(row[mark], "mark_price"),
    )


def _liquidation_values(row: list[str], layout: Layout) -> tuple[object, ...]:
    side_at, amount, price = layout.columns
    side = row[side_at]
    if side not in ("buy", "sell"):
        raise ValueError(f'side must be "buy" or "sell", got {side!r}')
    return side, _finite(row[amount], "amount"), _finite(row[price], "price")


def _plain_sum(values: Iterator[float]) -> float:
    total = 0.0
    for value in values:
        total += value
    return total


def _book_values(row: list[str], layout: Layout) -> tuple[object, ...]:
    """(best bid, bid volume, best ask, ask volume), levels read best first.

    Only the numbers the event uses are judged: the sizes summed and the two
    best prices. The fast path takes a row with every level present.
    """
    columns = layout.columns
    fields = layout.fields(row)
    if "" not in fields:
        bid_volume = _plain_sum(map(float, fields[1::4]))
        ask_volume = _plain_sum(map(float, fields[3::4]))
        best_bid, best_ask = float(fields[0]), float(fields[2])
        if math.isfinite(bid_volume + ask_volume + best_bid + best_ask):
            return best_bid, bid_volume, best_ask, ask_volume
    sums = [0.0, 0.0]
    best: list[float | None] = [None, None]
    for start in range(0, len(columns), 4):
        for side in (0, 1):
            at = start + 2 * side
            price_text = fields[at]
            if price_text == "":
                continue  # no order at this level
            price = _finite(price_text, "price")
            sums[side] += _finite(fields[at + 1], "amount")
            if best[side] is None:
                best[side] = price
    if not math.isfinite(sums[0] + sums[1]):
        raise ValueError("the summed book volume is not a finite number")
    return best[0], sums[0], best[1], sums[1]


VALUES: dict[str, Callable[[list[str], Layout], tuple[object, ...]]] = {
    DERIVATIVE_TICKER: _ticker_values,
    LIQUIDATIONS: _liquidation_values,
    BOOK_SNAPSHOT: _book_values,
    QUOTES: _book_values,
}


def read_rows(
    path: str, file_index: int, depth: int, on_bad: Callable[[BadRow], None]
) -> tuple[Layout, Iterator[Row]]:
    """The layout of the file at ``path`` and its good rows, in file order.

    Raises ``OSError`` when the file cannot be opened, ``UnknownLayout`` when
    its header is not one of the supported kinds. The rows are read lazily:
    a file is never held in memory whole.
    """
    stream = open_text(path)
    try:
        reader = csv.reader(stream)
        try:
            header = next(reader, None)
        except (EOFError, zlib.error, gzip.BadGzipFile, UnicodeDecodeError, csv.Error) as err:
            raise UnknownLayout(f"{path}: cannot read the header: {err}") from err
        if header is None:
            raise UnknownLayout(f"{path}: empty file (no header)")
        layout = recognise(header, path, depth)
    except BaseException:
        stream.close()
        raise
    return layout, _rows(stream, reader, layout, path, file_index, on_bad)


def _rows(
    stream: TextIO,
    reader: _csv.Reader,
    layout: Layout,
    path: str,
    file_index: int,
    on_bad: Callable[[BadRow], None],
) -> Iterator[Row]:
    values = VALUES[layout.kind]
    width, ts_at = layout.width, layout.timestamp
    with stream:
        while True:
            try:
                row = next(reader)
            except StopIteration:
                break
            except csv.Error as err:  # a malformed quote, an overlong field
                on_bad(BadRow(path, reader.line_num, f"not CSV: {err}"))
                continue
            if len(row) < width:
                if not row:
                    continue  # a blank line
                message = f"missing columns: {len(row)} fields, the header has {layout.header_width}"
                on_bad(BadRow(path, reader.line_num, message))
                continue
            try:
                ts = int(row[ts_at]) // 1000
                yield ts, file_index, reader.line_num, (row[layout.symbol], *values(row, layout))
            except ValueError as err:
                on_bad(BadRow(path, reader.line_num, _value_message(err, row[ts_at])))


def _value_message(err: ValueError, ts_text: str) -> str:
    try:
        int(ts_text)
    except ValueError:
        return f"timestamp is not an integer: {ts_text!r}"
    text = str(err)
    if text.startswith("could not convert string to float: "):
        return "not a number: " + text.removeprefix("could not convert string to float: ")
    return text


def _ignore(_: BadRow) -> None:
    pass


class OracleConverter:
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
            if kind in (BOOK_SNAPSHOT, QUOTES):
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

