"""A batch of trial specs scored in one replay: the recording read once, every trial scored natively.

Each spec gets its objective figure and its onsets per symbol and day in
every window asked for (the folds' in-sample and out-of-sample spans). This
runs where the recording is: in the search's process, or on a Dask worker
that reads the files itself.

The replay (sweep_pass.py) gives each trial's crossings as arrays. What
does not depend on the trial, the price table and the checkpoints, is set
up once per batch; per trial only its onsets (cooled) and, per window, the
moments measured. When the search keeps the events, an event's outcome is
measured once, the first time an onset falls on it, and looked up after.
The figures are those of the scorecard's "all" row (scorecard.py) for the
same onsets: the same moments in the same order, measured by the same
functions; the search needs no permutations or resamples, so none are drawn.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from fenmor_radar._native import LineFeeder
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import open_recording
from fenmor_radar.scoring.onsets import cooled_positions
from fenmor_radar.scoring.outcomes import PriceTable, outcomes, price_table
from fenmor_radar.scoring.prices import Floats, Int64s
from fenmor_radar.scoring.statistics import Moments, compare, hits
from fenmor_radar.tuning.folds import Fold, folds
from fenmor_radar.tuning.sweep_pass import (
    SweepRecord,
    TrialCrossings,
    rejected,
    sweep_replay,
    trial_crossings,
)

DAY_MS = 86_400_000
# A search keeps up to this many events in memory (about 52 bytes each natively
# and 27 for measuring each one's outcome once: 320 MB) so that batches after
# the first do not read the recording again.
KEEP_EVENTS = 4_000_000
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
    by_event: _EventOutcomes | None  # when the events are kept

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
        full = outcomes(table, group, moments, horizon, end, extremes=False)
        windows: dict[tuple[int, int], _Window] = {}
        for span in [w for fold in cuts for w in (fold.in_sample, fold.out_of_sample)]:
            # Only censoring depends on the window's end (as outcomes() censors).
            censored = moments + horizon > min(end, span[1])
            inside = (record.checkpoint_ts >= span[0]) & (record.checkpoint_ts < span[1])
            windows[span] = _Window(span, inside, (full.scored & ~censored).reshape(shape))
        absolute = full.absolute.reshape(shape)
        place = {s: g for g, s in enumerate(named)}
        by_event = None if record.kept is None else _EventOutcomes.of(record, place, table, horizon, end)
        return cls(place, table, record.checkpoint_ts, record.checkpoint_events, end, cuts, absolute,
                   windows, by_event)

    @property
    def symbols(self) -> int:
        """Symbols with prices, at least 1: the budget counts onsets per symbol."""
        return max(1, len(self.place))


class _EventOutcomes:
    """The outcome of a moment at kept events, as a crossing there carries it: measured
    for an event when an onset first falls on it. Trials share most of their onsets,
    so each is measured once in a search."""

    def __init__(self, group: npt.NDArray[np.intp], moments: Int64s, table: PriceTable, horizon: int,
                 end: int) -> None:
        self.group, self.moments = group, moments  # per kept event: its place (-1: none), ts
        self.table, self.horizon, self.end = table, horizon, end
        self.absolute = np.full(len(moments), np.nan)  # |return| over the horizon
        self.scored = np.zeros(len(moments), dtype=bool)
        self.measured = np.zeros(len(moments), dtype=bool)

    @classmethod
    def of(cls, record: SweepRecord, place: dict[str, int], table: PriceTable, horizon: int,
           end: int) -> _EventOutcomes:
        assert record.kept is not None
        numbers, moments = (np.frombuffer(column, dtype=dtype) for column, dtype in
                            zip(record.kept.kept_moments(), (np.uint32, np.int64), strict=True))
        group = np.array([place.get(name, -1) for name in record.names], dtype=np.intp)[numbers]
        return cls(group, moments, table, horizon, end)

    def measure(self, trials: Sequence[TrialCrossings]) -> None:
        """Measures every event an onset of ``trials`` falls on, if not yet measured."""
        wanted = np.zeros(len(self.moments), dtype=bool)
        for crossings in trials:
            wanted[crossings.events.astype(np.intp) - 1] = True
        at = np.flatnonzero(wanted & ~self.measured & (self.group >= 0))  # in event order
        result = outcomes(self.table, self.group[at], self.moments[at], self.horizon, self.end,
                          extremes=False)
        self.absolute[at], self.scored[at] = result.absolute, result.scored
        self.measured |= wanted


@dataclass(frozen=True, slots=True)
class _Trial:
    """One trial's onsets (cooled, in ts order) measured once, and whether each priced
    symbol alerts at each checkpoint."""

    group: npt.NDArray[np.intp]  # the onset symbol's place in the price table (-1: none)
    ts: Int64s
    absolute: Floats  # per onset of a priced symbol: |return| over the horizon
    scored: npt.NDArray[np.bool_]  # ... measured up to the recording's end
    alerting: npt.NDArray[np.bool_]  # (symbols, checkpoints)

    @classmethod
    def of(cls, crossings: TrialCrossings, group_of: npt.NDArray[np.intp], shared: _Shared,
           horizon: int, cooldown: int) -> _Trial:
        kept = cooled_positions(crossings.symbol, crossings.ts, cooldown)
        onset_group, onset_ts = group_of[crossings.symbol[kept]], crossings.ts[kept]
        priced = onset_group >= 0
        # Censoring is the only part of an outcome a window's end changes.
        if shared.by_event is not None:
            at = crossings.events[kept][priced].astype(np.intp) - 1
            absolute, scored = shared.by_event.absolute[at], shared.by_event.scored[at]
        else:
            result = outcomes(shared.table, onset_group[priced], onset_ts[priced], horizon, shared.end,
                              extremes=False)
            absolute, scored = result.absolute, result.scored
        # The sweep's table is by symbol number; the scorecard's by place.
        alerting = np.zeros((len(shared.place), len(shared.checkpoint_events)), dtype=bool)
        has_place = group_of >= 0
        alerting[group_of[has_place]] = crossings.alerting[has_place]
        return cls(onset_group, onset_ts, absolute, scored, alerting)


def _window_score(trial: _Trial, shared: _Shared, window: _Window, objective: Objective) -> WindowScore:
    """The objective over one window, as build_scorecard's "all" row gives it for the
    trial's onsets: the same moments (onsets, then each onset symbol's checkpoints
    while not alerting), in the same order, measured by the same functions."""
    start, stop = window.span
    inside_onsets = (trial.ts >= start) & (trial.ts < stop)
    priced = trial.group >= 0
    chosen = inside_onsets[priced]
    onset_group = trial.group[priced][chosen]
    scored = trial.scored[chosen] & (trial.ts[priced][chosen] + objective.horizon <= min(shared.end, stop))
    groups = np.flatnonzero(np.bincount(onset_group, minlength=len(shared.place)))  # np.unique's, in O(n)
    base = ~trial.alerting[groups] & window.inside & window.scored[groups]
    absolute = np.concatenate([trial.absolute[chosen][scored], shared.absolute[groups][base]])
    group = np.concatenate([onset_group[scored], np.broadcast_to(groups[:, None], base.shape)[base]])
    is_onset = np.zeros(len(absolute), dtype=bool)
    is_onset[: int(np.count_nonzero(scored))] = True
    # Only the hit rate reads which moments are hits.
    hit = hits(absolute, group) if objective.figure == "hit_rate" else np.zeros(len(absolute), dtype=bool)
    comparison = compare(Moments(absolute, group, is_onset, hit), 0, 0, 0,
                         medians=objective.figure == "median_lift")
    value = float(getattr(comparison, objective.figure))
    days = max(stop - start, 1) / DAY_MS
    in_window = int(np.count_nonzero(inside_onsets))
    return WindowScore(0.0 if math.isnan(value) else value, comparison.onsets,
                       in_window / shared.symbols / days)


class BatchScorer:
    """Scores the batches of one search over one recording.

    The prices, the folds and the baseline's outcomes do not depend on the
    trials: they come from the first batch's replay and serve every later
    one. That replay also keeps the accepted events in memory (up to
    ``KEEP_EVENTS``, about 80 bytes each with each event's outcome):
    later batches are scored from them without reading the recording
    again, or, past that many, from a replay that keeps no prices. A
    search reads one recording that does not change while it runs.
    """

    def __init__(self, paths: Sequence[str], policy: CheckpointPolicy, fold_count: int,
                 objective: Objective, *, keep_events: int = KEEP_EVENTS) -> None:
        self.paths = list(paths)
        self.keep_events = keep_events
        self.policy = policy
        self.fold_count = fold_count
        self.objective = objective
        self._shared: _Shared | None = None
        self._kept: LineFeeder | None = None
        self._names: tuple[str, ...] = ()

    def _crossings(self, specs: Sequence[str]) -> tuple[tuple[str, ...], list[TrialCrossings]]:
        if self._kept is not None:
            with rejected(specs):
                taken = self._kept.sweep_kept(list(specs))
            return self._names, [trial_crossings(parts, len(self._names)) for parts in taken]
        first = self._shared is None
        opened = [open_recording(path) for path in self.paths]  # JSON lines or Parquet
        try:
            record = sweep_replay(opened, specs, self.policy, prices=first,
                                  keep_events=self.keep_events if first else 0)
        finally:
            for recording in opened:
                recording.close()
        if first:
            self._shared = _Shared.of(record, self.fold_count, self.objective.horizon)
            self._kept, self._names = record.kept, record.names
        return record.names, record.trials

    def __call__(self, specs: Sequence[str]) -> BatchResult:
        """Score every spec over the recording in every fold's windows."""
        names, trials = self._crossings(specs)
        shared = self._shared
        assert shared is not None  # set by the first replay
        group_of = np.array([shared.place.get(name, -1) for name in names], dtype=np.intp)
        if shared.by_event is not None:
            shared.by_event.measure(trials)

        def score(crossings: TrialCrossings) -> list[tuple[WindowScore, WindowScore]]:
            trial = _Trial.of(crossings, group_of, shared, self.objective.horizon, self.objective.cooldown)
            return [
                (_window_score(trial, shared, shared.windows[fold.in_sample], self.objective),
                 _window_score(trial, shared, shared.windows[fold.out_of_sample], self.objective))
                for fold in shared.folds
            ]

        # Nearly all of a trial's scoring is numpy's sorts and searches over
        # whole arrays, which let go of the interpreter: trials scored on
        # every processor take a fraction of the time.
        with ThreadPoolExecutor(max_workers=_scoring_threads()) as pool:
            scores = list(pool.map(score, trials))
        return BatchResult(shared.folds, scores)


def _scoring_threads() -> int:
    """As many as the engine's worker pool has: FENMOR_RADAR_WORKERS when set (1 to 1024),
    else one per processor this process may run on."""
    text = os.environ.get("FENMOR_RADAR_WORKERS", "")
    if text.isdigit() and 1 <= int(text) <= 1024:
        return int(text)
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def score_batch(
    paths: Sequence[str],
    specs: Sequence[str],
    policy: CheckpointPolicy,
    fold_count: int,
    objective: Objective,
) -> BatchResult:
    """Replay ``paths`` once through every spec and score each in every fold's windows
    (one batch on its own: nothing kept for another)."""
    return BatchScorer(paths, policy, fold_count, objective, keep_events=0)(specs)
