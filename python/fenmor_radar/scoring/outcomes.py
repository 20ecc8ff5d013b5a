"""What followed a moment, from a symbol's own prices: the forward return over a horizon.

The price at a moment is the last one at or before it; the price at the
horizon is the last one at or before the moment plus the horizon. The
largest move either way is the price within the horizon furthest from the
starting price, as a signed return. A horizon that runs past the end of the
recording is censored: nothing after the end is known, so it is not scored.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from fenmor_radar.scoring.prices import Floats, Int64s, PriceSeries

Bools = npt.NDArray[np.bool_]


@dataclass(frozen=True, slots=True)
class Outcomes:
    """The outcomes of moments of one symbol over one horizon, in the moments' order.

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


def outcomes(series: PriceSeries, moments: Int64s, horizon: int, end: int) -> Outcomes:
    """The outcomes at ``moments`` over ``horizon`` (both ms) of a recording ending at ``end``."""
    ts, price = series.ts, series.price
    start = np.searchsorted(ts, moments, side="right") - 1
    stop = np.searchsorted(ts, moments + horizon, side="right") - 1
    censored = moments + horizon > end
    scored = (start >= 0) & ~censored
    base = price[np.maximum(start, 0)]
    ret = np.where(scored, price[np.maximum(stop, 0)] / base - 1.0, np.nan)
    extreme = np.full(len(moments), np.nan)
    if len(ts) and len(moments):
        # Highest and lowest price over (start, stop], each window at once:
        # reduceat over the pairs (start + 1, stop + 1) of a padded copy.
        padded = np.append(price, price[-1])
        bounds = np.empty(2 * len(moments), dtype=np.intp)
        bounds[0::2] = np.maximum(start, 0) + 1
        bounds[1::2] = np.maximum(stop, 0) + 1
        high = np.maximum.reduceat(padded, bounds)[0::2] / base - 1.0
        low = np.minimum.reduceat(padded, bounds)[0::2] / base - 1.0
        moved = stop > start
        widest = np.where(np.abs(high) >= np.abs(low), high, low)
        extreme = np.where(scored, np.where(moved, widest, 0.0), np.nan)
    return Outcomes(scored, censored, ret, extreme)
