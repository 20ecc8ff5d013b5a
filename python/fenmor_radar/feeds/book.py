"""Order-book events: the volume near the top of the book, and the best prices.

The radar's order-book event carries one volume per side. It is the sum of
the sizes of the best ``depth`` price levels on that side (default 5: the
depth most venues stream cheaply and that the vendor's smallest snapshot
holds); a side with fewer levels sums what it has. The best bid and ask are
the prices of the first level of each side. A book with an empty side gives
no event: there is no best price to report.
"""

from __future__ import annotations

from collections.abc import Iterable
from itertools import islice

DEFAULT_DEPTH = 5

Level = tuple[float, float]  # (price, size)


def check_depth(depth: int) -> int:
    if depth <= 0:
        raise ValueError(f"book depth must be at least 1, got {depth}")
    return depth


def side_summary(levels: Iterable[Level], depth: int) -> tuple[float, float] | None:
    """(best price, summed size) over the first ``depth`` levels, best first; None if empty."""
    best: float | None = None
    volume = 0.0
    for price, size in islice(levels, depth):
        if best is None:
            best = price
        volume += size
    return None if best is None else (best, volume)
