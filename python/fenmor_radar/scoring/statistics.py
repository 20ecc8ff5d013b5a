"""The scorecard's statistics: lift, hit rate, its bootstrap interval and permutation p-value.

Onsets and baseline are compared by their absolute returns over one horizon.
The lift is the onsets' mean (or median) absolute return over the baseline's.
A hit is an absolute return at or above the symbol's own 90th percentile over
that horizon (among every moment of the symbol that was scored).

The 95 % interval of the lift resamples onsets and baseline independently
(``scipy.stats.bootstrap`` of each side's mean) and takes the percentiles of
the ratio. The p-value asks how often
onsets placed at random among the symbol's own scored moments would have
lifted as much: onset labels are shuffled within each symbol, so a symbol
that merely moves a lot, and alerts a lot, does not count as foresight. A
shuffle within groups is not what ``scipy.stats.permutation_test`` does, so
numpy's ``Generator.permuted`` shuffles each symbol's labels; the p-value
counts the observed arrangement among the permutations, (1 + k) / (1 + n),
and stops early once enough permutations lifted as much (``permutation_p``).
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
# The resamples of one bootstrap at a time hold at most about this many
# values: batches that stay in cache resample two to three times faster
# than larger ones, and give the same resamples.
_BOOTSTRAP_VALUES = 250_000
BOOTSTRAP_BASELINE = 20_000
# Permutations stop once this many lifted at least as much as the onsets did.
STOP_AFTER = 10
# Permutations are drawn in rounds: 16, 16, 32, ... up to 256 (fewer
# where the shuffled places would pass about _SHUFFLED_VALUES at once).
FIRST_ROUND = 16
LAST_ROUND = 256
_SHUFFLED_VALUES = 4_000_000


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
    """Whether each absolute return reaches its group's 90th percentile (linear
    interpolation between the two nearest values, as numpy's and pandas' quantiles)."""
    if not len(absolute):
        return np.zeros(0, dtype=bool)
    # By group, then value (np.lexsort's order): two stable sorts, the second
    # by numpy's radix sort where the groups fit 16 bits (twice as fast).
    order = np.argsort(absolute, kind="stable")
    keys = group[order]
    if int(keys.max()) < 2**15 and int(keys.min()) >= 0:
        keys = keys.astype(np.int16)
    order = order[np.argsort(keys, kind="stable")]
    ordered = absolute[order]
    ordered_group = group[order]
    first = np.empty(len(order), dtype=bool)
    first[0] = True
    np.not_equal(ordered_group[1:], ordered_group[:-1], out=first[1:])
    starts = np.flatnonzero(first)
    sizes = np.diff(np.append(starts, len(order)))
    position = HIT_QUANTILE * (sizes - 1)
    below = np.floor(position).astype(np.intp)
    above = np.minimum(below + 1, sizes - 1)
    low, high = ordered[starts + below], ordered[starts + above]
    thresholds = low + (high - low) * (position - below)
    index = np.empty(len(order), dtype=np.intp)
    index[order] = np.cumsum(first) - 1  # each moment's group among those present
    return np.asarray(absolute >= thresholds[index], dtype=bool)


def mean_resamples(values: Floats, seed: int, resamples: int) -> Floats | None:
    """Bootstrap means of ``values`` (``scipy.stats.bootstrap``); None without resamples.

    A baseline larger than ``BOOTSTRAP_BASELINE`` is first cut to a seeded
    random subset of that size: its mean is then still known far more
    precisely than the onsets', and the interval only widens a little.
    """
    if len(values) < 2 or resamples == 0:
        return None
    rng = np.random.default_rng(seed)
    if len(values) > BOOTSTRAP_BASELINE:
        values = rng.choice(values, BOOTSTRAP_BASELINE, replace=False)
    result = stats.bootstrap(
        (values,),
        np.mean,
        n_resamples=resamples,
        confidence_level=CONFIDENCE,
        method="percentile",
        vectorized=True,
        batch=max(1, _BOOTSTRAP_VALUES // len(values)),
        random_state=rng,
    )
    return np.asarray(result.bootstrap_distribution, dtype=np.float64)


def lift_interval(onset_means: Floats | None, base_means: Floats | None) -> tuple[float, float]:
    """The 95 % percentile interval of the lift from independent resamples of both sides."""
    if onset_means is None or base_means is None:
        return (np.nan, np.nan)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratios = onset_means / base_means
    tail = 100 * (1 - CONFIDENCE) / 2
    low, high = np.percentile(ratios, [tail, 100 - tail])
    return (float(low), float(high))


def _dense_subsets(sizes: Ints, counts: Ints, rows: int, rng: np.random.Generator) -> Ints:
    """Each group's places shuffled (``Generator.permuted``, linear), its first ``counts[g]``
    taken. Groups of one size are shuffled together, one row of places per group."""
    slot_group = np.repeat(np.arange(len(sizes)), counts)
    first = np.concatenate([[0], np.cumsum(counts)[:-1]])
    position = np.arange(len(slot_group)) - first[slot_group]  # the slot's place in the order
    place = np.empty((rows, len(slot_group)), dtype=np.int64)
    for size in np.unique(sizes):
        members = np.flatnonzero(sizes == size)
        order = np.broadcast_to(np.arange(size, dtype=np.int32), (rows, len(members), size))
        order = rng.permuted(order, axis=2)
        row_of = np.full(len(sizes), -1)
        row_of[members] = np.arange(len(members))
        slots = np.flatnonzero(row_of[slot_group] >= 0)
        place[:, slots] = order[:, row_of[slot_group[slots]], position[slots]]
    return place


def _sparse_subsets(sizes: Ints, counts: Ints, rows: int, rng: np.random.Generator) -> Ints:
    """Places drawn with replacement, then every repeat within a draw drawn again."""
    slot_group = np.repeat(np.arange(len(sizes)), counts)
    n = sizes[slot_group]
    place = (rng.random((rows, len(slot_group))) * n).astype(np.int64)
    # Repeats are only possible within a group: tell groups apart in the key.
    offset = np.concatenate([[0], np.cumsum(sizes)[:-1]])[slot_group]
    row_base = np.arange(rows, dtype=np.int64)[:, None] * int(sizes.sum())
    while True:
        keys = (row_base + offset + place).ravel()
        order = np.argsort(keys, kind="stable")
        repeated = order[1:][keys[order][1:] == keys[order][:-1]]
        if not len(repeated):
            return place
        row, column = np.divmod(repeated, len(slot_group))
        place[row, column] = (rng.random(len(repeated)) * n[column]).astype(np.int64)


def _random_subsets(sizes: Ints, counts: Ints, rows: int, rng: np.random.Generator) -> Ints:
    """``rows`` draws, each of ``counts[g]`` distinct places among ``sizes[g]`` per group g.

    Columns are the groups' slots in group order; values are places within
    the group. Both ways of drawing treat every place alike, so every set of
    places is equally likely: a uniform draw without replacement. Groups
    where few places are drawn are drawn with replacement and their repeats
    drawn again (a cost of the places drawn, and repeats are rare); the
    others take the first places of a random order of all their places.
    """
    dense = counts * 8 > sizes
    place = np.empty((rows, int(counts.sum())), dtype=np.int64)
    slot_dense = np.repeat(dense, counts)
    if dense.any():
        place[:, slot_dense] = _dense_subsets(sizes[dense], counts[dense], rows, rng)
    if (~dense).any():
        place[:, ~slot_dense] = _sparse_subsets(sizes[~dense], counts[~dense], rows, rng)
    return place


def permutation_p(moments: Moments, seed: int, permutations: int) -> float:
    """How often labels shuffled within each symbol lift the mean as much.

    Permutations are drawn in rounds (of sizes fixed by the moments, so a
    seed gives one answer) and stop once ``STOP_AFTER`` of them have
    lifted at least as much: the p-value is then ``STOP_AFTER / L`` after L
    permutations (Besag and Clifford's sequential Monte Carlo p-value, as
    valid as the full count). Otherwise it is (1 + k) / (1 + n) over all n.
    A lift that is no foresight is told apart after a few dozen shuffles;
    only a small p-value costs the full count.

    NaN without permutations (a search that only needs the lift skips them).
    """
    onset_count = int(moments.onset.sum())
    base_count = len(moments.onset) - onset_count
    if onset_count == 0 or base_count == 0 or permutations == 0:
        return np.nan
    rng = np.random.default_rng(seed)
    order = np.argsort(moments.group, kind="stable")
    values = moments.absolute[order]
    labels = moments.onset[order]
    _, starts, sizes = np.unique(moments.group[order], return_index=True, return_counts=True)
    onsets = np.add.reduceat(labels.astype(np.int64), starts)
    totals = np.add.reduceat(values, starts)
    # A shuffle places a symbol's onsets on a random subset of its moments.
    # Where onsets are the majority, the baseline's places are drawn instead
    # (the onsets then hold the rest): fewer places, and few repeats.
    flipped = onsets > sizes - onsets
    drawn = np.where(flipped, sizes - onsets, onsets)
    slot_group = np.repeat(np.arange(len(sizes)), drawn)
    sign = np.where(flipped[slot_group], -1.0, 1.0)
    slot_start = starts[slot_group]
    fixed = float(totals[flipped].sum())
    observed = float(values[labels].sum())
    total = float(values.sum())
    # The lift orders arrangements exactly as the onsets' sum does: the counts are fixed.
    observed_lift = (observed / onset_count) / ((total - observed) / base_count)
    exceed = done = 0
    size = FIRST_ROUND
    widest = max(1, _SHUFFLED_VALUES // int(sizes.sum()))
    while done < permutations:
        rows = min(size, widest, permutations - done)
        size = min(2 * size if done else size, LAST_ROUND)
        places = _random_subsets(sizes, drawn, rows, rng)
        onset_sums = values[slot_start + places] @ sign + fixed
        lifts = (onset_sums / onset_count) / ((total - onset_sums) / base_count)
        running = exceed + np.cumsum(lifts >= observed_lift * (1 - 1e-12))
        if running[-1] >= STOP_AFTER:
            return STOP_AFTER / (done + 1 + int(np.argmax(running >= STOP_AFTER)))
        exceed, done = int(running[-1]), done + rows
    return (1 + exceed) / (1 + done)


def compare(
    moments: Moments,
    seed: int,
    permutations: int,
    resamples: int,
    base_means: Floats | None = None,
    *,
    medians: bool = True,
) -> Comparison:
    """The scorecard's figures for one set of onsets against their baseline.

    ``base_means`` are the baseline's bootstrap means when the caller has
    them (rows that share a baseline resample it once). Without ``medians``
    the median figures are NaN (a search for another figure skips them).
    """
    onset = moments.absolute[moments.onset]
    base = moments.absolute[~moments.onset]

    def mean(values: Floats) -> float:
        return float(np.mean(values)) if len(values) else np.nan

    def median(values: Floats) -> float:
        return float(np.median(values)) if len(values) and medians else np.nan

    def divide(a: float, b: float) -> float:
        return a / b if b > 0 and not np.isnan(a) else np.nan

    if base_means is None:
        base_means = mean_resamples(base, seed + 1, resamples)
    low, high = lift_interval(mean_resamples(onset, seed, resamples), base_means)
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
