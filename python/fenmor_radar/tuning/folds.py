"""Walk-forward folds: a recording's time cut into K consecutive, equal spans.

For fold k (from 1), the search sees only the folds before it, [t0, t_k), and
its best spec is then scored on fold k alone, [t_k, t_k+1): the in-sample
and out-of-sample windows.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Fold:
    number: int  # from 1: fold 0 is only ever in-sample
    in_sample: tuple[int, int]
    out_of_sample: tuple[int, int]


def folds(start: int, end: int, count: int) -> list[Fold]:
    """The K - 1 walk-forward folds of the span [start, end] (ts of the first and last price)."""
    if count < 2:
        raise ValueError("walk-forward needs at least 2 folds")
    stop = end + 1
    bounds = [start + (stop - start) * i // count for i in range(count + 1)]
    return [Fold(k, (bounds[0], bounds[k]), (bounds[k], bounds[k + 1])) for k in range(1, count)]
