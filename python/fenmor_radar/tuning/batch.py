"""A batch of trial specs scored in one replay: one radar per spec, the recording read once.

Each spec gets its objective figure and its onsets per symbol and day in
every window asked for (the folds' in-sample and out-of-sample spans). This
runs where the recording is: in the search's process, or on a Dask worker
that reads the files itself.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import open_recording
from fenmor_radar.scoring.onsets import Onset, cooled
from fenmor_radar.scoring.prices import Int64s
from fenmor_radar.scoring.replay_pass import ReplayRecord, record_replay
from fenmor_radar.scoring.scorecard import ALL_FACTORS, ROW_FIELDS, Settings, build_scorecard
from fenmor_radar.tuning.folds import Fold, folds

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


def _window_score(
    record: ReplayRecord, spec: int, onsets: Sequence[Onset], ts: Int64s,
    window: tuple[int, int], objective: Objective,
) -> WindowScore:
    """The objective over one window, from the spec's onsets (already cooled) and their ts."""
    settings = Settings((objective.horizon,), objective.cooldown, "crossings", 0, 0, 0, window, False)
    card = build_scorecard(_only(record, spec), [str(spec)], [onsets], settings)
    row = dict(zip(ROW_FIELDS, (card.columns[name][0] for name in ROW_FIELDS), strict=True))
    assert row["factor"] == ALL_FACTORS
    value = float(row[objective.figure])
    symbols = max(1, len(record.prices))
    days = max(window[1] - window[0], 1) / DAY_MS
    in_window = int(np.count_nonzero((ts >= window[0]) & (ts < window[1])))
    return WindowScore(0.0 if math.isnan(value) else value, int(row["onsets"]), in_window / symbols / days)


def _only(record: ReplayRecord, spec: int) -> ReplayRecord:
    crossings = None if record.crossings is None else [record.crossings[spec]]
    return ReplayRecord([record.checkpoints[spec]], record.prices, record.end, record.stats,
                        crossings=crossings)


def score_batch(
    paths: Sequence[str],
    specs: Sequence[str],
    policy: CheckpointPolicy,
    fold_count: int,
    objective: Objective,
) -> BatchResult:
    """Replay ``paths`` once through every spec and score each in every fold's windows."""
    opened = [open_recording(path) for path in paths]  # JSON lines or Parquet
    try:
        record = record_replay(opened, specs, policy, crossings=True, factors=False)
    finally:
        for recording in opened:
            recording.close()
    starts = [int(series.ts[0]) for series in record.prices.values() if len(series.ts)]
    if not starts or record.end is None:
        raise ValueError("the recording has no prices to measure outcomes by")
    cuts = folds(min(starts), record.end, fold_count)
    scores: list[list[tuple[WindowScore, WindowScore]]] = []
    for spec in range(len(specs)):
        crossings = record.crossings[spec] if record.crossings is not None else []
        onsets = cooled(crossings, objective.cooldown)
        ts = np.fromiter((o.ts for o in onsets), dtype=np.int64, count=len(onsets))
        scores.append([
            (_window_score(record, spec, onsets, ts, fold.in_sample, objective),
             _window_score(record, spec, onsets, ts, fold.out_of_sample, objective))
            for fold in cuts
        ])
    return BatchResult(cuts, scores)
