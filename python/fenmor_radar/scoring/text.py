"""The scorecard for people (a terminal table) and for programs (a JSON document)."""

from __future__ import annotations

import json
import math
from typing import Any

from fenmor_radar.scoring.durations import duration_text
from fenmor_radar.scoring.scorecard import ALL_FACTORS, ROW_FIELDS, Scorecard, ScoreRow
from fenmor_radar.scoring.statistics import STOP_AFTER

_HEADER = (
    "horizon", "spec", "onsets", "cens", "mean|ret|", "baseline", "lift", "95% interval",
    "med lift", "hit", "base hit", "p",
)


def _number(value: float, form: str) -> str:
    return "-" if math.isnan(value) else format(value, form)


def _percent(value: float) -> str:
    return "-" if math.isnan(value) else f"{100 * value:.2f}%"


def _cells(row: ScoreRow, label: str) -> list[str]:
    interval = (
        "-" if math.isnan(row.lift_low)
        else f"{_number(row.lift_low, '.2f')}..{_number(row.lift_high, '.2f')}"
    )
    return [
        duration_text(row.horizon), label, f"{row.onsets:,}", f"{row.censored:,}",
        _percent(row.mean_abs), _percent(row.base_mean_abs), _number(row.lift, ".2f"), interval,
        _number(row.median_lift, ".2f"), _percent(row.hit_rate), _percent(row.base_hit_rate),
        _number(row.p_value, ".3f"),
    ]


def scorecard_table(card: Scorecard, *, factors: bool = True) -> str:
    """Per horizon, each spec's line (specs side by side), then a line per strongest factor."""
    rows = card.rows
    table: list[list[str]] = [list(_HEADER)]
    several = len(card.specs) > 1
    for horizon in card.settings.horizons:
        for spec in card.specs:
            own = [r for r in rows if r.horizon == horizon and r.spec == spec]
            for row in own:
                if row.factor == ALL_FACTORS:
                    table.append(_cells(row, spec if several else "all onsets"))
            if factors:
                for row in own:
                    if row.factor != ALL_FACTORS:
                        table.append(_cells(row, f"  {row.factor}"))
    widths = [max(len(line[i]) for line in table) for i in range(len(_HEADER))]
    lines = []
    for line in table:
        cells = [
            cell.ljust(width) if i in (0, 1) else cell.rjust(width)
            for i, (cell, width) in enumerate(zip(line, widths, strict=True))
        ]
        lines.append("  ".join(cells).rstrip())
    settings = card.settings
    notes = [
        f"onsets from {settings.onsets}"
        + (f", cooldown {duration_text(settings.cooldown)}" if settings.cooldown else "")
        + "; baseline: every checkpoint of the same symbols while not alerting",
        "lift: mean |return| after onsets / baseline's; hit: |return| at or above the symbol's "
        f"90th percentile; p: up to {settings.permutations:,} permutations of onset times within "
        f"each symbol, stopped once {STOP_AFTER} lift as much (seed {settings.seed}); "
        "cens: onsets whose horizon runs past the end",
    ]
    return "\n".join(lines + notes)


def _plain(value: Any) -> Any:
    if isinstance(value, float) and math.isnan(value):
        return None
    return value


def scorecard_document(card: Scorecard) -> dict[str, Any]:
    """The scorecard as a JSON-ready value: settings, then one object per row (NaN as null)."""
    settings = card.settings
    return {
        "scorecard": {
            "specs": list(card.specs),
            "start": card.start,
            "end": card.end,
            "onsets": settings.onsets,
            "cooldown": settings.cooldown,
            "horizons": list(settings.horizons),
            "seed": settings.seed,
            "permutations": settings.permutations,
            "resamples": settings.resamples,
            "rows": [
                {name: _plain(getattr(row, name)) for name in ROW_FIELDS} for row in card.rows
            ],
        }
    }


def scorecard_json(card: Scorecard) -> str:
    return json.dumps(scorecard_document(card), allow_nan=False)
