"""The scorecard's statistics: lift, hit rate, its bootstrap interval and permutation p-value.

Onsets and baseline are compared by their absolute returns over one horizon.
The lift is the onsets' mean (or median) absolute return over the baseline's.
A hit is an absolute return at or above the symbol's own 90th percentile over
that horizon (among every moment of the symbol that was scored).

The 95 % interval of the lift resamples onsets and baseline independently
(``scipy.stats.bootstrap``, percentile method). The p-value asks how often
onsets placed at random among the symbol's own scored moments would have
lifted as much: onset labels are shuffled within each symbol, so a symbol
that merely moves a lot, and alerts a lot, does not count as foresight. A
shuffle within groups is not what ``scipy.stats.permutation_test`` does, so
numpy's ``Generator.permuted`` shuffles each symbol's labels; the p-value
counts the observed arrangement among the permutations, (1 + k) / (1 + n).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from scipy import stats  # type: ignore[import-untyped]

from fenmor_radar.scoring.prices import Floats

Ints = npt.NDArray[np.intp]
Bools = npt.NDArray[np.bool_]

HIT_QUANTILE = 0.9
CONFIDENCE = 0.95
# The resamples of one bootstrap at a time hold at most about this many values.
_BOOTSTRAP_VALUES = 4_000_000


@dataclass(frozen=True, slots=True)
class Comparison:
    """Onsets against baseline over one horizon; NaN where a figure cannot be formed."""

    onsets: int
    baseline: int
    mean_abs: float
    base_mean_abs: float
    lift: float
    lift_low: float
    lift_high: float
    median_abs: float
    base_median_abs: float
    median_lift: float
    hit_rate: float
    base_hit_rate: float
    p_value: float


@dataclass(frozen=True, slots=True)
class Moments:
    """Every scored moment of the compared symbols over one horizon.

    ``group`` numbers the symbol (from 0), ``onset`` marks onsets (the rest
    is baseline), ``hit`` is whether the absolute return reached the
    symbol's own 90th percentile.
    """

    absolute: Floats
    group: Ints
    onset: Bools
    hit: Bools


def hits(absolute: Floats, group: Ints) -> Bools:
    """Whether each absolute return reaches its group's 90th percentile."""
    hit = np.zeros(len(absolute), dtype=bool)
    if not len(absolute):
        return hit
    order = np.argsort(group, kind="stable")
    starts = np.flatnonzero(np.r_[True, np.diff(group[order]) != 0])
    for members in np.split(order, starts[1:]):
        values = absolute[members]
        hit[members] = values >= np.quantile(values, HIT_QUANTILE)
    return hit


def _ratio(a: Floats, b: Floats, axis: int = -1) -> Floats:
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.asarray(np.mean(a, axis=axis) / np.mean(b, axis=axis))


def lift_interval(onsets: Floats, baseline: Floats, seed: int, resamples: int) -> tuple[float, float]:
    """The 95 % percentile bootstrap interval of mean(onsets) / mean(baseline) (NaN without resamples)."""
    if len(onsets) < 2 or len(baseline) < 2 or resamples == 0:
        return (np.nan, np.nan)
    batch = max(1, _BOOTSTRAP_VALUES // (len(onsets) + len(baseline)))
    result = stats.bootstrap(
        (onsets, baseline),
        _ratio,
        n_resamples=resamples,
        confidence_level=CONFIDENCE,
        method="percentile",
        vectorized=True,
        batch=batch,
        random_state=np.random.default_rng(seed),
    )
    interval = result.confidence_interval
    return (float(interval.low), float(interval.high))


def permutation_p(moments: Moments, seed: int, permutations: int) -> float:
    """How often labels shuffled within each symbol lift the mean as much: (1 + k) / (1 + n).

    NaN without permutations (a search that only needs the lift skips them).
    """
    onset_count = int(moments.onset.sum())
    base_count = len(moments.onset) - onset_count
    if onset_count == 0 or base_count == 0 or permutations == 0:
        return np.nan
    rng = np.random.default_rng(seed)
    total = float(moments.absolute.sum())
    observed = float(moments.absolute[moments.onset].sum())
    onset_sums = np.zeros(permutations)
    order = np.argsort(moments.group, kind="stable")
    starts = np.flatnonzero(np.r_[True, np.diff(moments.group[order]) != 0])
    for members in np.split(order, starts[1:]):
        labels = moments.onset[members]
        values = moments.absolute[members]
        if labels.all() or not labels.any():
            # All of one kind: every shuffle is the same arrangement.
            onset_sums += float(values[labels].sum())
            continue
        # Rows of the symbol's labels, each shuffled on its own, a few
        # million labels at a time.
        rows = max(1, 4_000_000 // len(labels))
        for first in range(0, permutations, rows):
            count = min(rows, permutations - first)
            shuffled = rng.permuted(np.broadcast_to(labels, (count, len(labels))), axis=1)
            onset_sums[first : first + count] += shuffled @ values
    # The lift orders permutations exactly as the onsets' sum does: the counts are fixed.
    observed_lift = (observed / onset_count) / ((total - observed) / base_count)
    lifts = (onset_sums / onset_count) / ((total - onset_sums) / base_count)
    exceed = int(np.count_nonzero(lifts >= observed_lift * (1 - 1e-12)))
    return (1 + exceed) / (1 + permutations)


def compare(moments: Moments, seed: int, permutations: int, resamples: int) -> Comparison:
    """The scorecard's figures for one set of onsets against their baseline."""
    onset = moments.absolute[moments.onset]
    base = moments.absolute[~moments.onset]

    def mean(values: Floats) -> float:
        return float(np.mean(values)) if len(values) else np.nan

    def median(values: Floats) -> float:
        return float(np.median(values)) if len(values) else np.nan

    def divide(a: float, b: float) -> float:
        return a / b if b > 0 and not np.isnan(a) else np.nan

    low, high = lift_interval(onset, base, seed, resamples)
    return Comparison(
        onsets=len(onset),
        baseline=len(base),
        mean_abs=mean(onset),
        base_mean_abs=mean(base),
        lift=divide(mean(onset), mean(base)),
        lift_low=low,
        lift_high=high,
        median_abs=median(onset),
        base_median_abs=median(base),
        median_lift=divide(median(onset), median(base)),
        hit_rate=mean(moments.hit[moments.onset].astype(float)),
        base_hit_rate=mean(moments.hit[~moments.onset].astype(float)),
        p_value=permutation_p(moments, seed, permutations),
    )
