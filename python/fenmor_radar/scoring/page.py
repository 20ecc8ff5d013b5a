"""The scorecard as an offline HTML page: forward returns after onsets against the baseline,
the lift with its interval per horizon, and for the top symbols their price, open interest
and funding around each onset, on UTC date axes. plotly's script is written into the page.
"""

from __future__ import annotations

import html
from typing import Any

import numpy as np

from fenmor_radar.scoring.durations import duration_text
from fenmor_radar.scoring.prices import PriceSeries
from fenmor_radar.scoring.replay_pass import ReplayRecord
from fenmor_radar.scoring.scorecard import ALL_FACTORS, Scorecard
from fenmor_radar.scoring.text import scorecard_table

TOP_SYMBOLS = 6  # symbols drawn around their onsets
MAX_POINTS = 3000  # points per drawn series; longer ones are thinned evenly

_STYLE = """
body{font-family:system-ui,sans-serif;margin:1.5em;color:#222}
pre{background:#f6f6f6;padding:1em;overflow-x:auto;font-size:12px}
.chart{height:420px}
"""


def _dates(ts: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    return np.asarray(ts, dtype="datetime64[ms]")


def _thinned(series: PriceSeries) -> tuple[np.ndarray[Any, Any], ...]:
    step = max(1, len(series.ts) // MAX_POINTS)
    return (
        _dates(series.ts[::step]), series.price[::step], series.open_interest[::step],
        series.funding_rate[::step],
    )


def _returns_figure(card: Scorecard) -> Any:
    import plotly.graph_objects as go  # type: ignore[import-untyped]

    figure = go.Figure()
    labels = [duration_text(h) for h in card.settings.horizons]
    for spec in card.specs:
        rows = [card.row(spec, h) for h in card.settings.horizons]
        prefix = f"{spec}: " if len(card.specs) > 1 else ""
        figure.add_bar(name=f"{prefix}after onsets", x=labels, y=[100 * r.mean_abs for r in rows])
        figure.add_bar(name=f"{prefix}baseline", x=labels, y=[100 * r.base_mean_abs for r in rows])
    figure.update_layout(
        title="Mean absolute return after onsets and at baseline checkpoints",
        barmode="group", yaxis_title="mean |return| (%)", xaxis_title="horizon",
    )
    return figure


def _lift_figure(card: Scorecard) -> Any:
    import plotly.graph_objects as go

    figure = go.Figure()
    labels = [duration_text(h) for h in card.settings.horizons]
    for spec in card.specs:
        rows = [card.row(spec, h) for h in card.settings.horizons]
        figure.add_scatter(
            name=spec, x=labels, y=[r.lift for r in rows], mode="markers+lines",
            error_y={
                "type": "data", "symmetric": False,
                "array": [r.lift_high - r.lift for r in rows],
                "arrayminus": [r.lift - r.lift_low for r in rows],
            },
        )
    figure.add_hline(y=1.0, line_dash="dot", annotation_text="no lift")
    figure.update_layout(title="Lift with its 95 % bootstrap interval", yaxis_title="lift",
                         xaxis_title="horizon")
    return figure


def _symbol_figure(symbol: str, series: PriceSeries, onset_ts: list[int]) -> Any:
    from plotly.subplots import make_subplots  # type: ignore[import-untyped]

    dates, price, interest, funding = _thinned(series)
    figure = make_subplots(rows=2, cols=1, shared_xaxes=True, row_heights=[0.7, 0.3],
                           specs=[[{"secondary_y": True}], [{}]])
    figure.add_scatter(x=dates, y=price, name=f"{series.source} price", row=1, col=1)
    if series.source == "mark":
        figure.add_scatter(x=dates, y=interest, name="open interest", line={"dash": "dot"},
                           row=1, col=1, secondary_y=True)
        figure.add_scatter(x=dates, y=funding, name="funding rate", row=2, col=1)
    at = np.searchsorted(series.ts, np.asarray(onset_ts, dtype=np.int64), side="right") - 1
    known = at >= 0
    figure.add_scatter(
        x=_dates(np.asarray(onset_ts)[known]), y=series.price[at[known]], mode="markers",
        name="onsets", marker={"symbol": "triangle-up", "size": 11, "color": "crimson"},
        row=1, col=1,
    )
    figure.update_layout(title=f"{symbol}: price, open interest and funding around its onsets",
                         height=520)
    figure.update_xaxes(title_text="time (UTC)", row=2, col=1)
    return figure


def scorecard_section(card: Scorecard, record: ReplayRecord) -> str:
    """The scorecard's part of a page: a table and charts (plotly's script not included)."""
    figures = [_returns_figure(card), _lift_figure(card)]
    outcomes = card.outcome_columns
    first = card.settings.horizons[0]
    drawn: list[str] = []
    if len(outcomes["symbol"]):
        chosen = (outcomes["spec"] == card.specs[0]) & (outcomes["horizon"] == first)
        symbols, counts = np.unique(outcomes["symbol"][chosen].astype(str), return_counts=True)
        for symbol in [str(s) for s in symbols[np.argsort(-counts, kind="stable")][:TOP_SYMBOLS]]:
            own = chosen & (outcomes["symbol"] == symbol)
            onset_ts = [int(t) for t in outcomes["ts"][own]]
            figures.append(_symbol_figure(symbol, record.prices[symbol], onset_ts))
            drawn.append(symbol)
    charts = "".join(
        f'<div class="figure">{f.to_html(full_html=False, include_plotlyjs=False)}</div>'
        for f in figures
    )
    factor_note = "" if all(r.factor == ALL_FACTORS for r in card.rows) else (
        "<p>Indented lines keep only the onsets led by that factor.</p>"
    )
    return (
        "<section><h2>Scorecard</h2>"
        f"<pre>{html.escape(scorecard_table(card))}</pre>{factor_note}{charts}</section>"
    )


def scorecard_page(card: Scorecard, record: ReplayRecord, title: str) -> str:
    from plotly.offline import get_plotlyjs  # type: ignore[import-untyped]

    plotly_js = get_plotlyjs()
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'unsafe-inline' 'unsafe-eval'; style-src 'unsafe-inline'; img-src data: blob:; font-src data:">
<title>fenmor-radar scorecard: {html.escape(title)}</title>
<style>{_STYLE}</style>
<script>{plotly_js}</script>
</head><body>
<h1>fenmor-radar scorecard</h1>
<p>{html.escape(title)}</p>
{scorecard_section(card, record)}
</body></html>
"""


def write_scorecard_page(path: str, card: Scorecard, record: ReplayRecord, title: str = "") -> int:
    """Write the page; its size in bytes."""
    text = scorecard_page(card, record, title or ", ".join(card.specs)).encode("utf-8")
    with open(path, "wb") as file:
        file.write(text)
    return len(text)
