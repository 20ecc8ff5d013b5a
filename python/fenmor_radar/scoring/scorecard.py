"""The scorecard: per spec, per horizon, and per strongest factor, onsets against baseline.

Outcomes are read from the replay's prices only after the replay is over:
the onsets and the baseline moments are fixed by the alerts alone.

The baseline of a spec is every checkpoint of the symbols it scores (those
with at least one onset) at which the symbol is not alerting. Each row of the
scorecard compares onsets with that baseline (statistics.py); a row per
strongest factor keeps only the onsets led by that factor.
"""

from __future__ import annotations

from collections.abc import Collection, Sequence
from dataclasses import dataclass, fields
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from fenmor_radar.scoring.onsets import Onset
from fenmor_radar.scoring.outcomes import outcomes, price_table
from fenmor_radar.scoring.replay_pass import ReplayRecord
from fenmor_radar.scoring.statistics import Comparison, Moments, compare, hits, mean_resamples

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped]

ALL_FACTORS = "all"


@dataclass(frozen=True, slots=True)
class ScoreRow:
    """One line of the scorecard: a spec's onsets (all, or those one factor led) over a horizon."""

    spec: str
    factor: str
    horizon: int  # ms
    censored: int  # onsets whose horizon runs past the recording's end
    onsets: int  # onsets scored
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


ROW_FIELDS = tuple(f.name for f in fields(ScoreRow))
OUTCOME_FIELDS = (
    "spec", "symbol", "ts", "severity", "factor", "horizon", "censored", "ret", "abs_ret", "extreme",
)


@dataclass(frozen=True, slots=True)
class Settings:
    """How a scorecard was made, reported with it."""

    horizons: tuple[int, ...]
    cooldown: int
    onsets: str  # "checkpoints" or "crossings"
    seed: int
    permutations: int
    resamples: int
    # Only onsets and baseline moments in [start, stop) count, and nothing
    # after stop is looked at (a fold of a walk-forward search).
    window: tuple[int, int] | None = None
    factors: bool = True  # rows per strongest factor too


@dataclass(frozen=True)
class Scorecard:
    """The scorecard as columns (one array per ``ScoreRow`` field), and every onset's outcomes.

    ``to_frame()`` and ``outcomes_frame()`` hand the columns to pandas as
    they are; ``rows`` reads them back as ``ScoreRow`` values.
    """

    specs: tuple[str, ...]
    settings: Settings
    columns: dict[str, npt.NDArray[Any]]
    outcome_columns: dict[str, npt.NDArray[Any]]
    start: int | None  # the first and last price's ts: the span measured
    end: int | None

    @property
    def rows(self) -> list[ScoreRow]:
        lists = [self.columns[name].tolist() for name in ROW_FIELDS]
        return [ScoreRow(*values) for values in zip(*lists, strict=True)]

    def to_frame(self) -> pandas.DataFrame:
        import pandas

        return pandas.DataFrame(self.columns, copy=False)

    def outcomes_frame(self) -> pandas.DataFrame:
        import pandas

        return pandas.DataFrame(self.outcome_columns, copy=False)

    def row(self, spec: str, horizon: int, factor: str = ALL_FACTORS) -> ScoreRow:
        for row in self.rows:
            if (row.spec, row.horizon, row.factor) == (spec, horizon, factor):
                return row
        raise KeyError((spec, horizon, factor))


@dataclass(slots=True)
class _Columns:
    values: dict[str, list[Any]]

    @classmethod
    def of(cls, names: Sequence[str]) -> _Columns:
        return cls({name: [] for name in names})

    def add(self, **values: Any) -> None:
        for name, column in self.values.items():
            column.append(values[name])

    def arrays(self) -> dict[str, npt.NDArray[Any]]:
        out: dict[str, npt.NDArray[Any]] = {}
        for name, column in self.values.items():
            array = np.asarray(column)
            if array.dtype.kind == "U":  # text columns as objects, as pandas keeps them
                array = np.asarray(column, dtype=object)
            if not column:
                array = np.asarray([], dtype=object if name in ("spec", "symbol", "factor") else float)
            out[name] = array
        return out


def _spec_rows(
    name: str,
    record: ReplayRecord,
    spec: int,
    onsets: Sequence[Onset],
    settings: Settings,
    rows: _Columns,
    outcome_parts: list[dict[str, npt.NDArray[Any]]],
) -> None:
    prices = record.prices
    end = record.end if record.end is not None else 0
    checkpoints = record.checkpoints[spec]
    checkpoint_ts = np.array([c.ts for c in checkpoints], dtype=np.int64)
    inside = np.ones(len(checkpoint_ts), dtype=bool)
    if settings.window is not None:
        start, stop = settings.window
        end = min(end, stop)
        inside = (checkpoint_ts >= start) & (checkpoint_ts < stop)
        onsets = [o for o in onsets if start <= o.ts < stop]
    onsets = [o for o in onsets if o.symbol in prices]
    symbols = sorted({o.symbol for o in onsets})
    number = {symbol: g for g, symbol in enumerate(symbols)}
    # The moments: every onset, then every baseline checkpoint of each symbol.
    onset_group = np.array([number[o.symbol] for o in onsets], dtype=np.intp)
    onset_ts = np.array([o.ts for o in onsets], dtype=np.int64)
    onset_factor = np.array([o.factor for o in onsets], dtype=object)
    alerting = np.zeros((len(symbols), len(checkpoints)), dtype=bool)
    for column, checkpoint in enumerate(checkpoints):
        for symbol in checkpoint.alerting:
            g = number.get(symbol)
            if g is not None:
                alerting[g, column] = True
    base_group, base_column = np.nonzero(~alerting & inside)
    groups = np.concatenate([onset_group, base_group.astype(np.intp)])
    moments = np.concatenate([onset_ts, checkpoint_ts[base_column]])
    is_onset = np.zeros(len(moments), dtype=bool)
    is_onset[: len(onsets)] = True
    factor_of = np.concatenate([onset_factor, np.full(len(base_group), "", dtype=object)])
    table = price_table([prices[s] for s in symbols], max(settings.horizons), end)
    factors = sorted({o.factor for o in onsets}) if settings.factors else []
    for horizon in settings.horizons:
        result = outcomes(table, groups, moments, horizon, end)
        k = len(onsets)
        outcome_parts.append({
            "spec": np.full(k, name, dtype=object),
            "symbol": np.array([o.symbol for o in onsets], dtype=object),
            "ts": onset_ts,
            "severity": np.array([o.severity for o in onsets], dtype=np.float64),
            "factor": onset_factor,
            "horizon": np.full(k, horizon, dtype=np.int64),
            "censored": result.censored[:k],
            "ret": result.ret[:k],
            "abs_ret": np.abs(result.ret[:k]),
            "extreme": result.extreme[:k],
        })
        scored = result.scored
        absolute = result.absolute[scored]
        group = groups[scored]
        onset = is_onset[scored]
        factor = factor_of[scored]
        moments_all = Moments(absolute, group, onset, hits(absolute, group))
        base_means = mean_resamples(absolute[~onset], settings.seed + 1, settings.resamples)
        onset_censored = result.censored[:k]
        for row_factor in [ALL_FACTORS, *factors]:
            if row_factor == ALL_FACTORS:
                chosen = moments_all
                censored = int(onset_censored.sum())
            else:
                keep = ~onset | (factor == row_factor)
                chosen = Moments(absolute[keep], group[keep], onset[keep], moments_all.hit[keep])
                censored = int((onset_censored & (onset_factor == row_factor)).sum())
            comparison: Comparison = compare(
                chosen, settings.seed, settings.permutations, settings.resamples, base_means
            )
            rows.add(spec=name, factor=row_factor, horizon=horizon, censored=censored,
                     **{f.name: getattr(comparison, f.name) for f in fields(Comparison)})


def build_scorecard(
    record: ReplayRecord,
    names: Sequence[str],
    onsets: Sequence[Sequence[Onset]],
    settings: Settings,
    symbols: Collection[str] | None = None,
) -> Scorecard:
    """The scorecard of each spec's onsets (one list per spec, in the specs' order)."""
    rows = _Columns.of(ROW_FIELDS)
    outcome_parts: list[dict[str, npt.NDArray[Any]]] = []
    for spec, name in enumerate(names):
        chosen = onsets[spec] if symbols is None else [o for o in onsets[spec] if o.symbol in symbols]
        _spec_rows(name, record, spec, chosen, settings, rows, outcome_parts)
    starts = [int(s.ts[0]) for s in record.prices.values() if len(s.ts)]
    return Scorecard(
        specs=tuple(names),
        settings=settings,
        columns=rows.arrays(),
        outcome_columns={
            field: np.concatenate([part[field] for part in outcome_parts])
            if outcome_parts else np.zeros(0, dtype=object)
            for field in OUTCOME_FIELDS
        },
        start=min(starts) if starts else None,
        end=record.end,
    )
