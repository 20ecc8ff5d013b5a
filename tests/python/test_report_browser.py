"""The report as a person sees it: rendered in headless Chromium.

One report (two specs, more symbols than the charts draw) is opened twice at
the same width: once to dump the DOM, with a probe script added that records
where each chart sits, how many traces it drew, what the search box does and
which resources the page loaded; once for a screenshot, whose pixels must
show drawings inside each chart's box. Chromium runs with its proxy set to a
dead port on 127.0.0.1 and a network log: a request made by the page fails
there instead of leaving the machine, and is caught in the log. A control page
with one remote image proves that the log check does catch a request.
The screenshot is kept in build/test-artifacts/ (or $FENMOR_TEST_ARTIFACTS).
"""

import html
import json
import os
import re
import shutil
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from png_pixels import read_png

pytest.importorskip("plotly")
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = [
    pytest.mark.skipif(
        CHROMIUM is None, reason="chromium is not installed (tests/run.sh installs it)"
    ),
    # The page is what is checked here, not the engine: no use running a browser under ASan.
    pytest.mark.skipif(bool(os.environ.get("FENMOR_SANITIZED")), reason="sanitized run"),
]
WIDTH = 1280
ARTIFACTS = Path(
    os.environ.get("FENMOR_TEST_ARTIFACTS", Path(__file__).resolve().parents[2] / "build" / "test-artifacts")
)
KEYS = ["book_imbalance(1)", "funding_flip(0.0001)"]
SPEC = {"signals": [{"kind": "funding_flip", "params": [0.0001], "weight": 2},
                    {"kind": "book_imbalance", "params": [1.0]}], "threshold": 0.3}
# Symbols are any text: markup must show as text, and "__proto__" is a name like any other.
MARKUP = '<a href="https://example.com/">A</a><b>B</b>'
SYMBOLS = ["S00USDT", MARKUP] + [f"S{i:02d}USDT" for i in range(2, 29)] + ["__proto__"]

PROBE = """
<script>
window.addEventListener('load', function(){ setTimeout(function(){
  var input = document.querySelector('input.search[data-section="0"]');
  input.value = '__proto__';
  input.dispatchEvent(new Event('input'));
  input.dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter'}));
  var charts = [].map.call(document.querySelectorAll('.chart'), function(div){
    var box = div.getBoundingClientRect();
    return {id: div.id, x: box.left + scrollX, y: box.top + scrollY, w: box.width,
            h: box.height, traces: (div.data || []).map(function(t){ return t.name; }),
            points: (div.data || []).map(function(t){
              return [].filter.call(t.y || [], function(v){ return isFinite(v) && v !== null; })
                .length; }),
            legend: [].map.call(div.querySelectorAll('.legendtext, .annotation-text'),
                                function(t){ return t.textContent; }),
            links: div.querySelectorAll('svg a').length,
            paths: div.querySelectorAll('path.js-line, path.js-fill').length};
  });
  var rows = [].filter.call(document.querySelectorAll('#spec-0 table.alerts tbody tr'),
                            function(row){ return !row.hidden; });
  var probe = document.createElement('pre');
  probe.id = 'probe';
  probe.textContent = JSON.stringify({
    charts: charts, height: document.documentElement.scrollHeight,
    shown_rows: rows.map(function(row){ return row.dataset.symbol; }),
    resources: performance.getEntriesByType('resource').map(function(e){ return e.name; })});
  document.body.appendChild(probe);
}, 200); });
</script>
"""


def dead_port():
    with socket.socket() as sock:  # a port nobody listens on once this closes
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def chromium(tmp_path, page, *mode, height=1200):
    net_log = tmp_path / f"net-{len(list(tmp_path.glob('net-*')))}.json"
    result = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--no-default-browser-check", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--disable-extensions",
         "--hide-scrollbars", f"--user-data-dir={tmp_path / 'profile'}",
         f"--proxy-server=127.0.0.1:{dead_port()}", "--proxy-bypass-list=<-loopback>",
         f"--log-net-log={net_log}", f"--window-size={WIDTH},{height}",
         "--virtual-time-budget=15000", *mode, page.as_uri()],
        capture_output=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr.decode()[-2000:]
    return result.stdout.decode("utf-8"), page_requests(net_log)


def page_requests(net_log):
    """URLs the page asked the network for (the browser's own housekeeping left out)."""
    log = json.loads(net_log.read_text())
    start = log["constants"]["logEventTypes"]["URL_REQUEST_START_JOB"]
    urls = []
    for event in log["events"]:
        params = event.get("params", {})
        if event["type"] == start and "url" in params and (
            "file://" in params.get("network_isolation_key", "")
            or params.get("initiator") != "not an origin"
        ):
            urls.append(params["url"])
    return urls


def checkpoint(number, spec):
    alerts = []
    for rank, symbol in enumerate(SYMBOLS):
        funding = ((number * 7 + rank * 13) % 10) / 10
        book = ((number + rank) % 5) / 5
        severity = round((2 * funding + book) / 3, 8)
        if severity >= SPEC["threshold"]:
            factors = {KEYS[0]: book, KEYS[1]: funding, "severity": severity}
            alerts.append({"symbol": symbol, "severity": severity, "factors": factors,
                           "ts": number})
    alerts.sort(key=lambda alert: -alert["severity"])
    return json.dumps({"spec": spec, "events": number * 100, "ts": number * 60_000,
                       "alerts": alerts, "scanned": len(SYMBOLS)})


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    folder = tmp_path_factory.mktemp("browser")
    (folder / "a.json").write_text(json.dumps(SPEC))
    saved = folder / "out.jsonl"
    lines = [checkpoint(n, spec) for n in range(1, 41) for spec in ("a.json", "b.json")]
    saved.write_text("\n".join(lines) + "\n")
    page = folder / "report.html"
    result = subprocess.run(
        [sys.executable, "-m", "fenmor_radar", "report", str(saved), "--spec",
         str(folder / "a.json"), "-o", str(page)], capture_output=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr.decode()
    probed = folder / "probed.html"
    probed.write_text(page.read_text().replace("</body>", PROBE + "</body>"))
    return folder, probed


def test_report_draws_finds_and_stays_offline(report):
    folder, page = report
    dom, requests = chromium(folder, page, "--dump-dom")
    assert requests == []
    probe = json.loads(html.unescape(re.search(r'<pre id="probe">(.*?)</pre>', dom, re.S).group(1)))
    assert probe["resources"] == []
    charts = {chart["id"]: chart for chart in probe["charts"]}
    assert sorted(charts) == ["counts", "stacked-0", "stacked-1", "timeline-0", "timeline-1"]
    # The top 20 by peak, then the symbol found by the search box, with its points.
    timeline = charts["timeline-0"]["traces"]
    assert len(timeline) == 21 and timeline[-1] == "__proto__"
    assert charts["timeline-0"]["points"][-1] > 0
    assert probe["shown_rows"] == ["__proto__"]
    for symbol in SYMBOLS:
        assert symbol == MARKUP or f'data-symbol="{symbol}"' in dom
    # Markup in a symbol is shown as the text it is, in legends and titles alike.
    assert all(chart["links"] == 0 for chart in probe["charts"])
    assert MARKUP in charts["timeline-0"]["legend"] and MARKUP in charts["stacked-0"]["legend"]
    assert all(chart["paths"] > 0 for chart in probe["charts"] if chart["id"] != "counts")

    screenshot, requests = chromium(
        folder, page, f"--screenshot={folder / 'report.png'}", height=probe["height"]
    )
    assert requests == []
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    kept = ARTIFACTS / "report-screenshot.png"
    shutil.copyfile(folder / "report.png", kept)
    print(f"screenshot kept at {kept}")
    width, height, rows = read_png(folder / "report.png")
    assert width == WIDTH
    for chart in probe["charts"]:
        colours, drawn, total = set(), 0, 0
        for y in range(int(chart["y"]), min(height, int(chart["y"] + chart["h"]))):
            row = rows[y]
            for x in range(int(chart["x"]), min(width, int(chart["x"] + chart["w"])), 2):
                r, g, b = row[3 * x : 3 * x + 3]
                total += 1
                if min(r, g, b) < 230:
                    drawn += 1
                if max(r, g, b) - min(r, g, b) > 60:  # a coloured trace, not grey axes
                    colours.add((r // 32, g // 32, b // 32))
        assert drawn > total * 0.01, f"{chart['id']} looks blank"
        assert len(colours) >= 2, f"{chart['id']} has no coloured traces"


def test_the_request_check_catches_a_request(tmp_path):
    page = tmp_path / "control.html"
    page.write_text('<!DOCTYPE html><img src="http://192.0.2.1/pixel.png"><p>control</p>')
    _, requests = chromium(tmp_path, page, "--dump-dom")
    assert requests == ["http://192.0.2.1/pixel.png"]
