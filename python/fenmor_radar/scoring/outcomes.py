"""What followed a moment, from a symbol's own prices: the forward return over a horizon.

The price at a moment is the last one at or before it; the price at the
horizon is the last one at or before the moment plus the horizon. The
largest move either way is the price within the horizon furthest from the
starting price, as a signed return. A horizon that runs past the end of the
recording is censored: nothing after the end is known, so it is not scored.

Every symbol's moments are measured at once: the symbols' price series are
laid end to end, each ts shifted by the symbol's number times a stride
longer than any series plus any horizon, so one search finds every moment's
place in its own symbol's series.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from fenmor_radar.scoring.prices import Floats, Int64s, PriceSeries

Bools = npt.NDArray[np.bool_]
Ints = npt.NDArray[np.intp]


@dataclass(frozen=True, slots=True)
class Outcomes:
    """The outcomes of moments over one horizon, in the moments' order.

    ``scored`` is False where the moment has no price yet or its horizon is
    censored; the measures there are NaN.
    """

    scored: Bools
    censored: Bools
    ret: Floats
    extreme: Floats

    @property
    def absolute(self) -> Floats:
        return np.abs(self.ret)


@dataclass(frozen=True, slots=True)
class PriceTable:
    """Several symbols' series end to end (symbol g's keys: g * stride + ts - origin)."""

    keys: Int64s
    price: Floats
    origin: int
    stride: int
    series_starts: Ints  # where each symbol's series starts (an empty one: where the next starts)


def price_table(series: Sequence[PriceSeries], longest_horizon: int, end: int) -> PriceTable:
    """The table of the series, in order (their numbers are their places); ``end`` is the
    recording's last ts, the latest a moment can be."""
    firsts = [int(s.ts[0]) for s in series if len(s.ts)]
    lasts = [int(s.ts[-1]) for s in series if len(s.ts)] + [end]
    origin = min(firsts) if firsts else 0
    # A moment lies at or before the end; a horizon reaches past it by its length.
    stride = max(lasts) - origin + 2 * longest_horizon + 2
    if stride * max(len(series), 1) >= 2**62:
        raise OverflowError("the recording's ts span too wide a range to measure at once")
    keys = [s.ts - origin + g * stride for g, s in enumerate(series)]
    sizes = np.array([len(s.ts) for s in series], dtype=np.intp)
    return PriceTable(
        np.concatenate(keys) if keys else np.zeros(0, dtype=np.int64),
        np.concatenate([s.price for s in series]) if series else np.zeros(0),
        origin,
        stride,
        np.cumsum(sizes) - sizes,
    )


def outcomes(
    table: PriceTable, groups: Ints, moments: Int64s, horizon: int, end: int, *, extremes: bool = True
) -> Outcomes:
    """The outcomes of symbol ``groups[i]`` at ``moments[i]`` over ``horizon`` (ms), the
    recording ending at ``end``. Without ``extremes`` the largest moves are NaN (a
    search measures returns only)."""
    base_key = groups.astype(np.int64) * table.stride - table.origin
    # Searched in key order, each search starts near the one before and the
    # table stays in the cache: three times faster than in the moments' order.
    # Moments already in ts order (a search's onsets) come to key order by
    # their symbols alone, which numpy sorts by radix where they fit 16 bits.
    if len(moments) and groups.max() < 2**15 and not np.any(moments[1:] < moments[:-1]):
        by_key = np.argsort(groups.astype(np.int16), kind="stable")
    else:
        by_key = np.argsort(base_key + moments, kind="stable")
    start = np.empty(len(moments), dtype=np.intp)
    stop = np.empty(len(moments), dtype=np.intp)
    start[by_key] = np.searchsorted(table.keys, (base_key + moments)[by_key], side="right") - 1
    stop[by_key] = np.searchsorted(table.keys, (base_key + moments + horizon)[by_key], side="right") - 1
    group_first = table.series_starts[groups]
    censored = moments + horizon > end
    scored = (start >= group_first) & ~censored
    price = table.price
    base = price[np.maximum(start, 0)] if len(price) else np.full(len(moments), np.nan)
    ret = np.full(len(moments), np.nan)
    extreme = np.full(len(moments), np.nan)
    if len(price) and len(moments):
        ret = np.where(scored, price[np.maximum(stop, 0)] / base - 1.0, np.nan)
    if len(price) and len(moments) and extremes:
        # Highest and lowest price over (start, stop], every window at once:
        # reduceat over the pairs (start + 1, stop + 1) of a padded copy. It
        # also reduces from each window's end to the next one's start, so the
        # windows go in table order (key order: their starts ascend), so those
        # spans are gaps, not detours.
        padded = np.append(price, price[-1])
        order = by_key
        bounds = np.empty(2 * len(moments), dtype=np.intp)
        bounds[0::2] = np.maximum(start[order], 0) + 1
        bounds[1::2] = np.maximum(stop[order], 0) + 1
        high = np.empty(len(moments))
        low = np.empty(len(moments))
        high[order] = np.maximum.reduceat(padded, bounds)[0::2]
        low[order] = np.minimum.reduceat(padded, bounds)[0::2]
        high = high / base - 1.0
        low = low / base - 1.0
        widest = np.where(np.abs(high) >= np.abs(low), high, low)
        extreme = np.where(scored, np.where(stop > start, widest, 0.0), np.nan)
    return Outcomes(scored, censored, ret, extreme)
