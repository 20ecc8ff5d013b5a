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
from fenmor_radar.scoring.outcomes import outcomes
from fenmor_radar.scoring.prices import PriceSeries
from fenmor_radar.scoring.replay_pass import ReplayRecord
from fenmor_radar.scoring.statistics import Comparison, Moments, compare, hits

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


def _alerting_masks(record: ReplayRecord, spec: int, symbols: Collection[str]) -> dict[str, npt.NDArray[np.bool_]]:
    checkpoints = record.checkpoints[spec]
    return {
        symbol: np.fromiter((symbol in c.alerting for c in checkpoints), dtype=bool, count=len(checkpoints))
        for symbol in symbols
    }


def _spec_rows(
    name: str,
    record: ReplayRecord,
    spec: int,
    onsets: Sequence[Onset],
    settings: Settings,
    rows: _Columns,
    outcome_rows: _Columns,
) -> None:
    prices = record.prices
    end = record.end if record.end is not None else 0
    checkpoint_ts = np.array([c.ts for c in record.checkpoints[spec]], dtype=np.int64)
    inside = np.ones(len(checkpoint_ts), dtype=bool)
    if settings.window is not None:
        start, stop = settings.window
        end = min(end, stop)
        inside = (checkpoint_ts >= start) & (checkpoint_ts < stop)
        onsets = [o for o in onsets if start <= o.ts < stop]
    symbols = sorted({o.symbol for o in onsets if o.symbol in prices})
    by_symbol: dict[str, list[Onset]] = {symbol: [] for symbol in symbols}
    for onset in onsets:
        if onset.symbol in by_symbol:
            by_symbol[onset.symbol].append(onset)
    alerting = _alerting_masks(record, spec, symbols)
    factors = sorted({o.factor for o in onsets}) if settings.factors else []
    for horizon in settings.horizons:
        absolute: list[npt.NDArray[np.float64]] = []
        group: list[npt.NDArray[np.intp]] = []
        is_onset: list[npt.NDArray[np.bool_]] = []
        onset_factor: list[npt.NDArray[Any]] = []
        censored = 0
        for number, symbol in enumerate(symbols):
            own = by_symbol[symbol]
            series: PriceSeries = prices[symbol]
            base_ts = checkpoint_ts[~alerting[symbol] & inside]
            moments = np.concatenate([np.array([o.ts for o in own], dtype=np.int64), base_ts])
            result = outcomes(series, moments, horizon, end)
            for index, onset in enumerate(own):
                outcome_rows.add(
                    spec=name, symbol=symbol, ts=onset.ts, severity=onset.severity, factor=onset.factor,
                    horizon=horizon, censored=bool(result.censored[index]),
                    ret=float(result.ret[index]), abs_ret=float(abs(result.ret[index])),
                    extreme=float(result.extreme[index]),
                )
            censored += int(result.censored[: len(own)].sum())
            scored = result.scored
            absolute.append(result.absolute[scored])
            group.append(np.full(int(scored.sum()), number, dtype=np.intp))
            flags = np.zeros(len(moments), dtype=bool)
            flags[: len(own)] = True
            is_onset.append(flags[scored])
            labels = np.array([o.factor for o in own] + [""] * len(base_ts), dtype=object)
            onset_factor.append(labels[scored])
        all_abs = np.concatenate(absolute) if absolute else np.zeros(0)
        all_group = np.concatenate(group) if group else np.zeros(0, dtype=np.intp)
        all_onset = np.concatenate(is_onset) if is_onset else np.zeros(0, dtype=bool)
        all_factor = np.concatenate(onset_factor) if onset_factor else np.zeros(0, dtype=object)
        moments_all = Moments(all_abs, all_group, all_onset, hits(all_abs, all_group))
        for factor in [ALL_FACTORS, *factors]:
            if factor == ALL_FACTORS:
                chosen = moments_all
                factor_censored = censored
            else:
                keep = ~all_onset | (all_factor == factor)
                chosen = Moments(all_abs[keep], all_group[keep], all_onset[keep], moments_all.hit[keep])
                factor_censored = sum(
                    1 for o in onsets if o.factor == factor and o.symbol in by_symbol and o.ts + horizon > end
                )
            comparison: Comparison = compare(
                chosen, settings.seed, settings.permutations, settings.resamples
            )
            rows.add(spec=name, factor=factor, horizon=horizon, censored=factor_censored,
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
    outcome_rows = _Columns.of(OUTCOME_FIELDS)
    for spec, name in enumerate(names):
        chosen = [o for o in onsets[spec] if symbols is None or o.symbol in symbols]
        _spec_rows(name, record, spec, chosen, settings, rows, outcome_rows)
    starts = [int(s.ts[0]) for s in record.prices.values() if len(s.ts)]
    return Scorecard(
        specs=tuple(names),
        settings=settings,
        columns=rows.arrays(),
        outcome_columns=outcome_rows.arrays(),
        start=min(starts) if starts else None,
        end=record.end,
    )
