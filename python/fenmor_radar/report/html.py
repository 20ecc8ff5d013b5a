"""One self-contained HTML page from the report data: plotly charts, a table, a search box.

The page loads nothing: plotly's script is written into it, and so is every
number it shows. At thousands of symbols the charts draw only the top ones;
the severities of all the others ride along in one compact block (two bytes
per symbol and checkpoint) that the page's own small script turns into a
trace when the user looks a symbol up.
"""

from __future__ import annotations

import base64
import datetime
import html
import json
import math
import sys
from array import array
from typing import Any

from fenmor_radar import optional
from fenmor_radar.report.collect import ReportData, SpecRun, SymbolSeries
from fenmor_radar.utc import is_epoch_ms, utc_label
from fenmor_radar.whole_file import write_whole_file

TOP_TIMELINE = 20  # symbols drawn in the timeline when the page opens
TOP_STACKED = 6  # symbols with a stacked view of their factors
TOP_TABLE = 100  # table rows shown before any search
STRONGEST = 3  # factors named per alert in the table
SEVERITY_SCALE = 65534  # severities in the compact block: 0..65534, 65535 = no alert
ABSENT = 65535
INSTALL_HINT = optional.install_command("report")


class PlotlyMissing(RuntimeError):
    """plotly is not installed; the message names the extra that brings it."""


def require_plotly() -> None:
    """Fail early, before a long replay, when the report extra is not installed."""
    try:
        optional.require("plotly", "the HTML report", "report")
    except optional.MissingExtra as err:
        raise PlotlyMissing(str(err)) from err


def script_json(value: object) -> str:
    """JSON that cannot end the <script> element it is written into."""
    text = value if isinstance(value, str) else json.dumps(value, allow_nan=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def plot_text(text: str) -> str:
    """Text for plotly to show as it is: plotly reads names and titles as markup.

    A symbol such as ``<a href=...>`` or ``<b>`` would otherwise become a live
    link or bold text in a legend; plotly turns the entities back into the
    characters when it draws.
    """
    return html.escape(text, quote=False)


def _finite(value: float) -> float | None:
    return value if math.isfinite(value) else None


def _looks_like_epoch_ms(values: list[int]) -> bool:
    return bool(values) and all(is_epoch_ms(value) for value in values)


def _x_axis(run: SpecRun) -> tuple[list[int] | list[str], str]:
    """Checkpoints on the ts clock when every one has a ts, else by fed events.

    ts values in the range of epoch milliseconds of this century are shown as
    UTC dates; any other clock as plain numbers.
    """
    place = _x_place(run)
    title = {"date": "ts (epoch milliseconds, UTC)", "ts": "ts", "events": "events fed"}[place]
    x = [_x_of(place, row.ts, row.events) for row in run.checkpoints]
    return x, title  # type: ignore[return-value]


def _x_place(run: SpecRun) -> str:
    """What the x axis shows: "date", "ts" or "events" (crossings always have a ts)."""
    if (run.checkpoints or run.crossings) and all(row.ts is not None for row in run.checkpoints):
        clock = [row.ts or 0 for row in run.checkpoints] + [mark.ts for mark in run.crossings]
        return "date" if _looks_like_epoch_ms(clock) else "ts"
    return "events"


def _x_of(place: str, ts: int | None, events: int) -> int | str:
    if place == "events" or ts is None:
        return events
    return _date(ts) if place == "date" else ts


def _crossing_traces(run: SpecRun) -> list[Any]:
    """The crossings as markers on the timeline: an episode between two checkpoints shows."""
    import plotly.graph_objects as go  # type: ignore[import-untyped, import-not-found, unused-ignore]

    place = _x_place(run)
    traces = []
    for direction, symbol, color in (("up", "triangle-up", "#27ae60"), ("down", "triangle-down", "#7f8c8d")):
        marks = [mark for mark in run.crossings if mark.direction == direction]
        if not marks:
            continue
        traces.append(
            go.Scatter(
                x=[_x_of(place, mark.ts, mark.events) for mark in marks],
                y=[_finite(mark.severity) for mark in marks],
                text=[mark.symbol for mark in marks],
                name=f"crossings {direction}",
                mode="markers",
                marker={"symbol": symbol, "size": 10, "color": color},
                hovertemplate="%{text} crossed " + direction + " at %{x}: %{y}<extra></extra>",
            )
        )
    return traces


def _date(ms: int) -> str:
    moment = datetime.datetime.fromtimestamp(ms / 1000, datetime.timezone.utc)
    return moment.strftime("%Y-%m-%d %H:%M:%S.%f")[:-3]


def _shares(run: SpecRun, series: SymbolSeries, row: int) -> list[tuple[str, float]]:
    """Each factor's part of the severity at one alert, largest first."""
    weights = run.factor_weights()
    count = len(run.factor_names)
    total = sum(weights) if weights is not None else float(count)
    parts = []
    for column, name in enumerate(run.factor_names):
        value = (
            series.factors[column][row] if column < len(series.factors) else math.nan
        )
        weight = weights[column] if weights is not None else 1.0
        if math.isfinite(value) and total > 0:
            parts.append((name, value * weight / total))
    return sorted(parts, key=lambda part: -part[1])


def _full_series(run: SpecRun, series: SymbolSeries) -> list[float | None]:
    values: list[float | None] = [None] * len(run.checkpoints)
    for number, severity in zip(series.checkpoints, series.severity, strict=False):
        values[number] = _finite(severity)
    return values


def _timeline(run: SpecRun, ranked: list[str]) -> dict[str, Any]:
    import plotly.graph_objects as go

    x, x_title = _x_axis(run)
    figure = go.Figure()
    for symbol in ranked[:TOP_TIMELINE]:
        figure.add_trace(
            go.Scatter(
                x=x,
                y=_full_series(run, run.symbols[symbol]),
                name=plot_text(symbol),
                mode="lines+markers",
                marker={"size": 4},
                connectgaps=False,
            )
        )
    for trace in _crossing_traces(run):
        figure.add_trace(trace)
    if run.spec is not None:
        figure.add_hline(
            y=run.spec.threshold,
            line={"dash": "dash", "color": "#c0392b"},
            annotation_text=f"threshold {run.spec.threshold:g}",
        )
    figure.update_layout(
        height=460,
        margin={"l": 60, "r": 20, "t": 30, "b": 50},
        xaxis={
            "title": {"text": x_title},
            "tickformat": "d" if x_title == "ts" else None,
        },
        yaxis_title="severity",
        legend={"title": {"text": f"top {min(TOP_TIMELINE, len(ranked))} by peak"}},
        template="plotly_white",
    )
    return json.loads(figure.to_json())  # type: ignore[no-any-return]


def _stacked(run: SpecRun, ranked: list[str]) -> dict[str, Any] | None:
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots  # type: ignore[import-untyped, import-not-found, unused-ignore]

    top = ranked[:TOP_STACKED]
    if not top or not run.factor_names:
        return None
    x, x_title = _x_axis(run)
    weights = run.factor_weights()
    total = sum(weights) if weights is not None else float(len(run.factor_names))
    figure = make_subplots(
        rows=len(top),
        cols=1,
        shared_xaxes=True,
        vertical_spacing=0.04,
        subplot_titles=[plot_text(symbol) for symbol in top],
    )
    palette = [
        "#1f77b4",
        "#ff7f0e",
        "#2ca02c",
        "#d62728",
        "#9467bd",
        "#8c564b",
        "#e377c2",
    ]
    for row, symbol in enumerate(top, 1):
        series = run.symbols[symbol]
        for column, name in enumerate(run.factor_names):
            weight = weights[column] if weights is not None else 1.0
            y: list[float | None] = [None] * len(run.checkpoints)
            if column < len(series.factors):
                for number, value in zip(series.checkpoints, series.factors[column], strict=False):
                    y[number] = _finite(value * weight / total) if total > 0 else None
            figure.add_trace(
                go.Scatter(
                    x=x,
                    y=y,
                    name=plot_text(name),
                    legendgroup=name,
                    showlegend=row == 1,
                    stackgroup=f"s{row}",
                    mode="lines",
                    line={"width": 0.5, "color": palette[column % len(palette)]},
                ),
                row=row,
                col=1,
            )
    figure.update_layout(
        height=190 * len(top) + 60,
        margin={"l": 60, "r": 20, "t": 40, "b": 40},
        template="plotly_white",
    )
    figure.update_xaxes(title_text=x_title, row=len(top), col=1)
    return json.loads(figure.to_json())  # type: ignore[no-any-return]


def _counts_chart(data: ReportData) -> dict[str, Any]:
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots

    names = [plot_text(name) for name in data.runs]
    runs = list(data.runs.values())
    figure = make_subplots(
        rows=1,
        cols=2,
        subplot_titles=("alerting symbols", "alerts (symbol × checkpoint)"),
    )
    figure.add_trace(
        go.Bar(x=names, y=[len(r.symbols) for r in runs], showlegend=False), 1, 1
    )
    figure.add_trace(
        go.Bar(
            x=names,
            y=[sum(len(s.checkpoints) for s in r.symbols.values()) for r in runs],
            showlegend=False,
        ),
        1,
        2,
    )
    figure.update_layout(
        height=320, margin={"l": 60, "r": 20, "t": 40, "b": 60}, template="plotly_white"
    )
    return json.loads(figure.to_json())  # type: ignore[no-any-return]


def _compact(run: SpecRun, ranked: list[str]) -> str:
    """Every alerting symbol's severity per checkpoint, two bytes each, base64."""
    width = len(run.checkpoints)
    block = array("H", [ABSENT]) * (width * len(ranked))
    for offset, symbol in enumerate(ranked):
        series = run.symbols[symbol]
        base = offset * width
        for number, severity in zip(series.checkpoints, series.severity, strict=False):
            if math.isfinite(severity):
                block[base + number] = round(
                    min(max(severity, 0.0), 1.0) * SEVERITY_SCALE
                )
    if block.itemsize != 2:
        raise RuntimeError("unsigned short is not two bytes here")
    if sys.byteorder != "little":
        block.byteswap()
    return base64.b64encode(block.tobytes()).decode("ascii")


def _ts_text(run: SpecRun, number: int) -> str:
    row = run.checkpoints[number]
    return utc_label(row.ts) if row.ts is not None else f"event {row.events:,}"


def _table(run: SpecRun, ranked: list[str]) -> str:
    e = html.escape
    rows = []
    for place, symbol in enumerate(ranked):
        series = run.symbols[symbol]
        shares = _shares(run, series, series.peak_at)[:STRONGEST]
        strongest = ", ".join(f"{e(name)} {share:.3f}" for name, share in shares)
        hidden = " hidden" if place >= TOP_TABLE else ""
        rows.append(
            f'<tr data-symbol="{e(symbol)}"{hidden}><td>{place + 1}</td><td class="sym">'
            f"{e(symbol)}</td><td>{e(_ts_text(run, series.checkpoints[0]))}</td>"
            f"<td>{series.peak:.8g}</td><td>{e(_ts_text(run, series.checkpoints[series.peak_at]))}"
            f"</td><td>{e(_ts_text(run, series.checkpoints[-1]))}</td>"
            f"<td>{len(series.checkpoints):,}</td><td>{strongest}</td></tr>"
        )
    return (
        '<table class="alerts"><thead><tr><th>#</th><th>symbol</th><th>first seen</th>'
        "<th>peak severity</th><th>peak at</th><th>last seen</th><th>checkpoints alerting</th>"
        "<th>strongest factors at peak (share of severity)</th></tr></thead><tbody>"
        + "".join(rows)
        + "</tbody></table>"
    )


def _known(value: int | None) -> str:
    return "unknown" if value is None else f"{value:,}"


def _header(data: ReportData) -> str:
    e = html.escape
    info = data.info
    items = [
        ("source", info.source),
        ("input", info.input_name if info.input_name is not None else "unknown"),
        ("lines read", _known(info.lines)),
        ("events fed", _known(info.events)),
        ("skipped lines", _known(info.bad_lines)),
        ("symbols fed", _known(info.symbols_fed)),
    ]
    cells = "".join(f"<dt>{e(k)}</dt><dd>{e(v)}</dd>" for k, v in items)
    notes = "".join(f"<p class='note'>{e(note)}</p>" for note in info.notes)
    return f'<dl class="facts">{cells}</dl>{notes}'


def _spec_header(run: SpecRun) -> str:
    e = html.escape
    last = run.checkpoints[-1] if run.checkpoints else None
    facts = [
        ("checkpoints", f"{len(run.checkpoints):,}"),
        ("events at last checkpoint", f"{last.events:,}" if last else "none"),
        ("symbols scanned at last checkpoint", f"{last.scanned:,}" if last else "none"),
        ("alerting symbols", f"{len(run.symbols):,}"),
    ]
    if run.spec is None:
        spec_text = (
            "<p class='note'>Spec unknown (pass it with --spec): no threshold line, and "
            "factor shares assume equal weights.</p>"
        )
    else:
        spec = run.spec
        total = spec.total_weight
        rows = "".join(
            f"<tr><td>{e(s.key)}</td><td>{s.weight:g}</td>"
            f"<td>{(s.weight / total if total > 0 else 0):.1%}</td></tr>"
            for s in spec.signals
        )
        facts[:0] = [
            ("threshold", f"{spec.threshold:g}"),
            ("limit", "none" if spec.limit is None else f"{spec.limit:,}"),
        ]
        spec_text = (
            "<table class='signals'><thead><tr><th>signal</th><th>weight</th>"
            f"<th>share of weight</th></tr></thead><tbody>{rows}</tbody></table>"
        )
        if spec.limit is not None:
            spec_text += (
                f"<p class='note'>Each checkpoint lists at most {spec.limit:,} alerts (the spec's "
                "limit): a symbol below that rank is not seen at that checkpoint.</p>"
            )
    cells = "".join(f"<dt>{e(k)}</dt><dd>{e(v)}</dd>" for k, v in facts)
    return f'<dl class="facts">{cells}</dl>{spec_text}'


def _section(index: int, run: SpecRun) -> tuple[str, dict[str, Any]]:
    e = html.escape
    ranked = run.ranked_symbols()
    timeline = _timeline(run, ranked)
    stacked = _stacked(run, ranked)
    x, _ = _x_axis(run)
    payload = {
        "timeline": timeline,
        "stacked": stacked,
        "x": x,
        "symbols": ranked,
        "labels": [plot_text(symbol) for symbol in ranked],  # the trace names
        "severities": _compact(run, ranked),
        "shown": ranked[:TOP_TIMELINE],
    }
    stacked_html = (
        f'<div class="chart" id="stacked-{index}"></div>'
        if stacked is not None
        else "<p class='note'>No alerts, so no factors to show.</p>"
    )
    body = f"""
<section class="spec" id="spec-{index}">
<h2>Spec {e(run.name)}</h2>
{_spec_header(run)}
<h3>Severity of alerting symbols at each checkpoint</h3>
<p class="hint">Drawn: the {min(TOP_TIMELINE, len(ranked))} highest peaks of {len(ranked):,}
alerting symbols. Search below to draw others (Enter draws the first 10 matches; a click on a
row draws or removes that symbol). Gaps are checkpoints where the symbol did not alert.</p>
<div class="chart" id="timeline-{index}"></div>
<h3>What made the severity: each factor's share (value × weight / total weight)</h3>
{stacked_html}
<h3>Alerts</h3>
<input class="search" type="search" data-section="{index}"
 placeholder="search {len(ranked):,} symbols" aria-label="search symbols">
<span class="found" id="found-{index}"></span>
{_table(run, ranked)}
</section>"""
    return body, payload


STYLE = """
body{font-family:system-ui,sans-serif;margin:1.5em;color:#222}
h1{margin-bottom:.2em}h2{border-bottom:2px solid #ddd;padding-bottom:.2em;margin-top:1.6em}
dl.facts{display:grid;grid-template-columns:max-content auto;gap:.15em 1em}
dt{color:#666}dd{margin:0}.note,.hint{color:#666;font-size:.9em}
table{border-collapse:collapse;font-size:.85em;margin:.5em 0}
td,th{border:1px solid #ddd;padding:.2em .5em;text-align:left}
tr[hidden]{display:none}tr.drawn td.sym{font-weight:bold}
table.alerts tbody tr{cursor:pointer}.chart{width:100%;min-height:200px}
input.search{font-size:1em;padding:.3em;width:20em}
"""

# The page's own behaviour: draw the charts, search the table, add traces.
SCRIPT = """
(function(){
var reports = JSON.parse(document.getElementById('report-data').textContent);
function decode(text){
  var bytes = atob(text), out = new Uint16Array(bytes.length / 2);
  for (var i = 0; i < out.length; i++)
    out[i] = bytes.charCodeAt(2 * i) | (bytes.charCodeAt(2 * i + 1) << 8);
  return out;
}
reports.forEach(function(report, index){
  var timeline = document.getElementById('timeline-' + index);
  Plotly.newPlot(timeline, report.timeline.data, report.timeline.layout, {responsive: true});
  if (report.stacked)
    Plotly.newPlot('stacked-' + index, report.stacked.data, report.stacked.layout,
                   {responsive: true});
  // A Map: a symbol may be any text, "__proto__" too.
  var block = null, width = report.x.length, position = new Map();
  report.symbols.forEach(function(symbol, i){ position.set(symbol, i); });
  var drawn = report.shown.slice();
  var rows = document.querySelectorAll('#spec-' + index + ' table.alerts tbody tr');
  function mark(){
    rows.forEach(function(row){
      row.classList.toggle('drawn', drawn.indexOf(row.dataset.symbol) >= 0);
    });
  }
  function draw(symbol){
    if (drawn.indexOf(symbol) >= 0) return;
    if (block === null) block = decode(report.severities);
    var at = position.get(symbol), base = at * width, y = [];
    for (var i = 0; i < width; i++) {
      var v = block[base + i];
      y.push(v === 65535 ? null : v / 65534);
    }
    Plotly.addTraces(timeline, {x: report.x, y: y, name: report.labels[at], mode: 'lines+markers',
                                marker: {size: 4}, type: 'scatter'});
    drawn.push(symbol);
  }
  function undraw(symbol){
    var at = drawn.indexOf(symbol);
    if (at < 0) return;
    var traces = timeline.data, label = report.labels[position.get(symbol)], i;
    for (i = 0; i < traces.length; i++) if (traces[i].name === label) break;
    if (i < traces.length) Plotly.deleteTraces(timeline, i);
    drawn.splice(at, 1);
  }
  rows.forEach(function(row){
    row.addEventListener('click', function(){
      var symbol = row.dataset.symbol;
      if (drawn.indexOf(symbol) >= 0) undraw(symbol); else draw(symbol);
      mark();
    });
  });
  var input = document.querySelector('input.search[data-section="' + index + '"]');
  var found = document.getElementById('found-' + index);
  function filter(){
    var term = input.value.trim().toLowerCase(), shown = 0, matches = [];
    rows.forEach(function(row, i){
      var hit = term ? row.dataset.symbol.toLowerCase().indexOf(term) >= 0 : i < %(top)d;
      if (hit && term) matches.push(row.dataset.symbol);
      row.hidden = !hit || shown >= %(cap)d;
      if (!row.hidden) shown++;
    });
    found.textContent = term ? matches.length + ' found' : '';
    return matches;
  }
  input.addEventListener('input', filter);
  input.addEventListener('keydown', function(event){
    if (event.key !== 'Enter') return;
    filter().slice(0, 10).forEach(draw);
    mark();
  });
  mark();
});
})();
"""


def render(data: ReportData) -> str:
    """The whole page as text."""
    from plotly.offline import get_plotlyjs  # type: ignore[import-untyped, import-not-found, unused-ignore]

    e = html.escape
    sections = []
    payloads = []
    for index, run in enumerate(data.runs.values()):
        body, payload = _section(index, run)
        sections.append(body)
        payloads.append(payload)
    comparison = ""
    if len(data.runs) > 1:
        counts = "".join(
            f"<tr><td>{e(name)}</td><td>{len(run.symbols):,}</td>"
            f"<td>{sum(len(s.checkpoints) for s in run.symbols.values()):,}</td>"
            f"<td>{len(run.checkpoints):,}</td></tr>"
            for name, run in data.runs.items()
        )
        comparison = (
            "<h2>Alerts per spec</h2><table class='counts'><thead><tr><th>spec</th>"
            "<th>alerting symbols</th><th>alerts (symbol × checkpoint)</th><th>checkpoints</th>"
            f"</tr></thead><tbody>{counts}</tbody></table>"
            '<div class="chart" id="counts"></div>'
        )
        counts_script = (
            "var counts = JSON.parse(document.getElementById('counts-data').textContent);"
            "Plotly.newPlot('counts', counts.data, counts.layout, {responsive: true});"
        )
        counts_data = (
            '<script type="application/json" id="counts-data">'
            f"{script_json(_counts_chart(data))}</script>"
        )
    else:
        counts_script = counts_data = ""
    plotly_js = get_plotlyjs()
    if "</script" in plotly_js.lower():
        raise RuntimeError("plotly's script cannot be embedded as it is")
    script = SCRIPT % {"top": TOP_TABLE, "cap": max(TOP_TABLE, 500)}
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'unsafe-inline' 'unsafe-eval'; style-src 'unsafe-inline'; img-src data: blob:; font-src data:">
<title>fenmor-radar report: {e(data.info.source)}</title>
<style>{STYLE}</style>
<script>{plotly_js}</script>
</head><body>
<h1>fenmor-radar replay report</h1>
{_header(data)}
{comparison}
{"".join(sections)}
{"".join(data.sections)}
<script type="application/json" id="report-data">{script_json(payloads)}</script>
{counts_data}
<script>{script}{counts_script}</script>
</body></html>
"""


def write_report(data: ReportData, path: str) -> int:
    """Write the page to ``path``; returns its size in bytes.

    Written under a temporary name beside it and renamed when complete: a
    write that fails (a full disk) leaves no page that looks finished.
    """
    text = render(data).encode("utf-8")
    write_whole_file(path, text)
    return len(text)
