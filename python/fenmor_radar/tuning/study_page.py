"""An offline HTML page of a search: each fold's optimisation history and parameter
importances (Optuna's plotly figures), and in-sample against out-of-sample per fold.
plotly's script is written into the page: it opens without a network.
"""

from __future__ import annotations

import html
from collections.abc import Sequence
from typing import Any

from fenmor_radar.tuning.search import TuneResult


def _fold_figure(result: TuneResult) -> Any:
    import plotly.graph_objects as go  # type: ignore[import-untyped]

    labels = [f"fold {r.fold.number}" for r in result.folds]
    figure = go.Figure()
    figure.add_bar(name="in-sample (best trial)", x=labels, y=[r.in_sample for r in result.folds])
    figure.add_bar(name="out-of-sample (same spec)", x=labels, y=[r.out_of_sample for r in result.folds])
    figure.update_layout(title="In-sample against out-of-sample, per fold", barmode="group",
                         yaxis_title="objective")
    return figure


def _study_figures(study: Any) -> list[tuple[str, Any]]:
    import optuna

    figures = [("optimisation history", optuna.visualization.plot_optimization_history(study))]
    try:
        figures.append(("parameter importances", optuna.visualization.plot_param_importances(study)))
    except (ValueError, RuntimeError, ImportError, ZeroDivisionError) as err:
        # Too few complete trials, or every value the same: nothing to rank.
        figures.append((f"parameter importances: not available ({err})", None))
    return figures


def study_page(result: TuneResult, studies: Sequence[Any], title: str, summary: str) -> str:
    from plotly.offline import get_plotlyjs  # type: ignore[import-untyped]

    parts = [f"<pre>{html.escape(summary)}</pre>", _div(_fold_figure(result))]
    for study in studies:
        parts.append(f"<h2>{html.escape(study.study_name)}</h2>")
        for name, figure in _study_figures(study):
            parts.append(f"<h3>{html.escape(name)}</h3>" + ("" if figure is None else _div(figure)))
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'unsafe-inline' 'unsafe-eval'; style-src 'unsafe-inline'; img-src data: blob:; font-src data:">
<title>fenmor-radar tune: {html.escape(title)}</title>
<style>body{{font-family:system-ui,sans-serif;margin:1.5em}}pre{{background:#f6f6f6;padding:1em}}</style>
<script>{get_plotlyjs()}</script>
</head><body><h1>fenmor-radar tune</h1><p>{html.escape(title)}</p>
{"".join(parts)}
</body></html>
"""


def _div(figure: Any) -> str:
    return str(figure.to_html(full_html=False, include_plotlyjs=False))
