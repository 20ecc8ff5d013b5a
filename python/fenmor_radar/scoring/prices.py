"""Each symbol's prices as the replay saw them, gathered from the native feeder per block.

The feeder keeps the mark price of every derivatives event (with its open
interest and funding rate) and the order book's mid of every orderbook event
while it feeds them (no second reading of the recording); this collects its
pieces and gives one sorted (ts, price) series per symbol: its marks, or its
mids where it has no mark at all.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

Int64s = npt.NDArray[np.int64]
Floats = npt.NDArray[np.float64]
Pieces = list[tuple[str, bytes, bytes, bytes, bytes, bytes, bytes]]


@dataclass(frozen=True, slots=True)
class PriceSeries:
    """One symbol's prices, ascending by ts (stable for equal ts).

    ``open_interest`` and ``funding_rate`` go with marks (NaN for mids).
    """

    ts: Int64s
    price: Floats
    source: str  # "mark" or "mid"
    open_interest: Floats
    funding_rate: Floats


def _joined(pieces: list[bytes], dtype: type[np.generic]) -> npt.NDArray[np.generic]:
    return np.frombuffer(b"".join(pieces), dtype=dtype)


@dataclass(slots=True)
class PriceBook:
    """The pieces of every symbol's prices, in the order the feeder gave them."""

    _marks: dict[str, list[tuple[bytes, bytes, bytes, bytes]]] = field(default_factory=dict)
    _mids: dict[str, list[tuple[bytes, bytes]]] = field(default_factory=dict)

    def add(self, pieces: Pieces) -> None:
        """What ``LineFeeder.take_prices`` returned."""
        for symbol, mark_ts, marks, interest, funding, mid_ts, mids in pieces:
            if mark_ts:
                self._marks.setdefault(symbol, []).append((mark_ts, marks, interest, funding))
            if mid_ts:
                self._mids.setdefault(symbol, []).append((mid_ts, mids))

    def series(self) -> dict[str, PriceSeries]:
        """Every symbol's series: marks where it has any, else book mids."""
        out: dict[str, PriceSeries] = {}
        for symbol in sorted(self._marks.keys() | self._mids.keys()):
            if symbol in self._marks:
                marks = self._marks[symbol]
                ts = _joined([p[0] for p in marks], np.int64)
                columns = [_joined([p[i] for p in marks], np.float64) for i in (1, 2, 3)]
                source = "mark"
            else:
                mids = self._mids[symbol]
                ts = _joined([p[0] for p in mids], np.int64)
                price = _joined([p[1] for p in mids], np.float64)
                columns = [price, np.full(len(ts), np.nan), np.full(len(ts), np.nan)]
                source = "mid"
            # One symbol's events may come out of ts order in a recording;
            # each price is placed by its own ts.
            order = np.argsort(ts, kind="stable")
            price, interest, funding = (np.asarray(c[order], dtype=np.float64) for c in columns)
            out[symbol] = PriceSeries(np.asarray(ts[order], dtype=np.int64), price, source, interest, funding)
        return out
