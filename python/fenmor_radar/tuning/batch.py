"""A batch of trial specs scored in one replay: the recording read once, every trial scored natively.

Each spec gets its objective figure and its onsets per symbol and day in
every window asked for (the folds' in-sample and out-of-sample spans). This
runs where the recording is: in the search's process, or on a Dask worker
that reads the files itself.

The replay (sweep_pass.py) gives each trial's crossings as arrays. What
does not depend on the trial, the price table and the checkpoints, is set
up once per batch; per trial only its onsets (cooled) and, per window, the
moments measured. The figures are those of the scorecard's "all" row
(scorecard.py) for the same onsets: the same moments in the same order,
measured by the same functions; the search needs no permutations or
resamples, so none are drawn.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import open_recording
from fenmor_radar.scoring.onsets import cooled_positions
from fenmor_radar.scoring.outcomes import PriceTable, outcomes, price_table
from fenmor_radar.scoring.prices import Floats, Int64s
from fenmor_radar.scoring.statistics import Moments, compare, hits
from fenmor_radar.tuning.folds import Fold, folds
from fenmor_radar.tuning.sweep_pass import SweepRecord, TrialCrossings, sweep_replay

DAY_MS = 86_400_000
FIGURES = ("lift", "median_lift", "hit_rate", "mean_abs")


@dataclass(frozen=True, slots=True)
class Objective:
    """What a trial is worth: a scorecard figure at one horizon, under an alert budget."""

    figure: str = "lift"
    horizon: int = 300_000
    max_onsets_per_day: float | None = None  # per symbol
    cooldown: int = 0
    # A figure from a handful of onsets is noise that a search happily
    # overfits: fewer scored onsets than this make a trial infeasible.
    min_onsets: int = 20

    def __post_init__(self) -> None:
        if self.figure not in FIGURES:
            raise ValueError(f"unknown objective {self.figure!r} (one of {', '.join(FIGURES)})")


@dataclass(frozen=True, slots=True)
class WindowScore:
    value: float  # the figure; 0.0 where it cannot be formed (no onsets scored)
    onsets: int  # onsets scored
    onsets_per_day: float  # per symbol with prices

    def over_budget(self, objective: Objective) -> float:
        """By how much the alert budget is exceeded (<= 0: within it)."""
        if objective.max_onsets_per_day is None:
            return 0.0
        return self.onsets_per_day - objective.max_onsets_per_day

    def too_few(self, objective: Objective) -> float:
        """How many onsets short of the minimum the trial is (<= 0: enough)."""
        return float(objective.min_onsets - self.onsets)


@dataclass(frozen=True, slots=True)
class BatchResult:
    folds: list[Fold]
    # Per spec: (in-sample, out-of-sample) scores per fold, in fold order.
    scores: list[list[tuple[WindowScore, WindowScore]]]


@dataclass(frozen=True, slots=True)
class _Window:
    """A window's baseline grid: every priced symbol at every checkpoint, measured once."""

    span: tuple[int, int]
    inside: npt.NDArray[np.bool_]  # per checkpoint: within the window
    scored: npt.NDArray[np.bool_]  # (symbols, checkpoints): measured, not censored


@dataclass(frozen=True, slots=True)
class _Shared:
    """What every trial of a search is scored against, the same in every batch: the
    prices, the checkpoints, the folds, and the outcome of every baseline moment."""

    place: dict[str, int]  # a priced symbol's place in the table (name order)
    table: PriceTable
    checkpoint_ts: Int64s
    checkpoint_events: npt.NDArray[np.uint64]
    end: int
    folds: list[Fold]
    absolute: Floats  # (symbols, checkpoints): |return| over the horizon
    windows: dict[tuple[int, int], _Window]

    @classmethod
    def of(cls, record: SweepRecord, fold_count: int, horizon: int) -> _Shared:
        starts = [int(series.ts[0]) for series in record.prices.values() if len(series.ts)]
        if not starts or record.end is None:
            raise ValueError("the recording has no prices to measure outcomes by")
        end = record.end
        cuts = folds(min(starts), end, fold_count)
        named = sorted(record.prices)
        table = price_table([record.prices[s] for s in named], horizon, end)
        checkpoints = len(record.checkpoint_ts)
        group = np.repeat(np.arange(len(named), dtype=np.intp), checkpoints)
        moments = np.tile(record.checkpoint_ts, len(named))
        shape = (len(named), checkpoints)
        full = outcomes(table, group, moments, horizon, end)
        windows: dict[tuple[int, int], _Window] = {}
        for span in [w for fold in cuts for w in (fold.in_sample, fold.out_of_sample)]:
            # Only censoring depends on the window's end (as outcomes() censors).
            censored = moments + horizon > min(end, span[1])
            inside = (record.checkpoint_ts >= span[0]) & (record.checkpoint_ts < span[1])
            windows[span] = _Window(span, inside, (full.scored & ~censored).reshape(shape))
        absolute = full.absolute.reshape(shape)
        return cls({s: g for g, s in enumerate(named)}, table, record.checkpoint_ts,
                   record.checkpoint_events, end, cuts, absolute, windows)

    @property
    def symbols(self) -> int:
        """Symbols with prices, at least 1: the budget counts onsets per symbol."""
        return max(1, len(self.place))


@dataclass(frozen=True, slots=True)
class _Trial:
    """One trial's onsets (cooled, in ts order) and where each symbol's crossings lie."""

    group: npt.NDArray[np.intp]  # the onset symbol's place in the price table (-1: none)
    ts: Int64s
    crossing_key: Int64s  # (group, events) of every crossing of a priced symbol, ascending
    crossing_up: npt.NDArray[np.bool_]  # in crossing_key's order
    stride: int

    @classmethod
    def of(cls, crossings: TrialCrossings, group_of: npt.NDArray[np.intp], shared: _Shared,
           cooldown: int) -> _Trial:
        up = np.flatnonzero(crossings.up)
        kept = up[cooled_positions(crossings.symbol[up], crossings.ts[up], cooldown)]
        group = group_of[crossings.symbol]
        priced = group >= 0
        # Whether a symbol alerts at a checkpoint: its last crossing up to then.
        stride = max(int(shared.checkpoint_events.max(initial=0)), int(crossings.events.max(initial=0))) + 2
        if stride * (len(shared.place) + 1) >= 2**62:
            raise OverflowError("too many events and symbols to place crossings at once")
        key = group[priced].astype(np.int64) * stride + crossings.events[priced].astype(np.int64)
        order = np.argsort(key, kind="stable")
        return cls(group[kept], crossings.ts[kept], key[order], crossings.up[priced][order], stride)

    def alerting(self, groups: npt.NDArray[np.intp], shared: _Shared) -> npt.NDArray[np.bool_]:
        """Whether each of ``groups`` alerts at each checkpoint (rows: groups)."""
        events = shared.checkpoint_events.astype(np.int64)
        wanted = groups.astype(np.int64)[:, None] * self.stride + events[None, :]
        last = np.searchsorted(self.crossing_key, wanted, side="right") - 1
        safe = np.maximum(last, 0)
        same = (last >= 0) & (self.crossing_key[safe] // self.stride == groups[:, None])
        return np.asarray(same & self.crossing_up[safe], dtype=bool)


def _window_score(trial: _Trial, shared: _Shared, window: _Window, objective: Objective) -> WindowScore:
    """The objective over one window, as build_scorecard's "all" row gives it for the
    trial's onsets: the same moments (onsets, then each onset symbol's checkpoints
    while not alerting), in the same order, measured by the same functions."""
    start, stop = window.span
    inside_onsets = (trial.ts >= start) & (trial.ts < stop)
    chosen = inside_onsets & (trial.group >= 0)
    onset_group = trial.group[chosen]
    result = outcomes(shared.table, onset_group, trial.ts[chosen], objective.horizon, min(shared.end, stop))
    groups = np.unique(onset_group)
    base = ~trial.alerting(groups, shared) & window.inside & window.scored[groups]
    scored = result.scored
    absolute = np.concatenate([result.absolute[scored], shared.absolute[groups][base]])
    group = np.concatenate([onset_group[scored], np.broadcast_to(groups[:, None], base.shape)[base]])
    is_onset = np.zeros(len(absolute), dtype=bool)
    is_onset[: int(np.count_nonzero(scored))] = True
    comparison = compare(Moments(absolute, group, is_onset, hits(absolute, group)), 0, 0, 0)
    value = float(getattr(comparison, objective.figure))
    days = max(stop - start, 1) / DAY_MS
    in_window = int(np.count_nonzero(inside_onsets))
    return WindowScore(0.0 if math.isnan(value) else value, comparison.onsets,
                       in_window / shared.symbols / days)


class BatchScorer:
    """Scores the batches of one search over one recording.

    The prices, the folds and the baseline's outcomes do not depend on the
    trials: they come from the first batch's replay and serve every later
    one, whose replay then keeps no prices. A search reads one recording
    that does not change while it runs.
    """

    def __init__(self, paths: Sequence[str], policy: CheckpointPolicy, fold_count: int,
                 objective: Objective) -> None:
        self.paths = list(paths)
        self.policy = policy
        self.fold_count = fold_count
        self.objective = objective
        self._shared: _Shared | None = None

    def __call__(self, specs: Sequence[str]) -> BatchResult:
        """Replay the recording once, scoring every spec, and score each in every fold's windows."""
        opened = [open_recording(path) for path in self.paths]  # JSON lines or Parquet
        try:
            record = sweep_replay(opened, specs, self.policy, prices=self._shared is None)
        finally:
            for recording in opened:
                recording.close()
        if self._shared is None:
            self._shared = _Shared.of(record, self.fold_count, self.objective.horizon)
        shared = self._shared
        group_of = np.array([shared.place.get(name, -1) for name in record.names], dtype=np.intp)
        scores: list[list[tuple[WindowScore, WindowScore]]] = []
        for crossings in record.trials:
            trial = _Trial.of(crossings, group_of, shared, self.objective.cooldown)
            scores.append([
                (_window_score(trial, shared, shared.windows[fold.in_sample], self.objective),
                 _window_score(trial, shared, shared.windows[fold.out_of_sample], self.objective))
                for fold in shared.folds
            ])
        return BatchResult(shared.folds, scores)


def score_batch(
    paths: Sequence[str],
    specs: Sequence[str],
    policy: CheckpointPolicy,
    fold_count: int,
    objective: Objective,
) -> BatchResult:
    """Replay ``paths`` once through every spec and score each in every fold's windows."""
    return BatchScorer(paths, policy, fold_count, objective)(specs)
