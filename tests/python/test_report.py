"""The HTML report: what the page holds, from a replay and from saved output."""

import json
import re
import subprocess
import sys

import pytest

from fenmor_radar import Radar
from fenmor_radar.report.spec_info import spec_info

pytest.importorskip("plotly")

SPEC = {
    "signals": [
        {"kind": "funding_flip", "params": [0.0001], "weight": 3},
        {"kind": "book_imbalance", "params": [1.0]},
    ],
    "threshold": 0.2,
}
FACTORS = ["book_imbalance(1)", "funding_flip(0.0001)"]


def run_cli(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "fenmor_radar", *args], input=stdin, capture_output=True,
        timeout=120,
    )


def checkpoint(events, ts, alerts, spec=None):
    head = {"spec": spec} if spec else {}
    items = [
        {"symbol": s, "severity": v, "factors": {FACTORS[0]: b, FACTORS[1]: f, "severity": v},
         "ts": ts}
        for s, v, b, f in alerts
    ]
    return json.dumps(head | {"events": events, "ts": ts, "alerts": items, "scanned": 3})


def page_data(page):
    """The JSON block the page's script draws from."""
    block = re.search(r'<script type="application/json" id="report-data">(.*?)</script>', page, re.S)
    return json.loads(block.group(1))


def test_signal_keys_match_the_factor_names_of_the_radar():
    spec = {"signals": [
        {"kind": "book_imbalance", "params": [3e-8]},
        {"kind": "oi_delta", "params": [12, 0.123456789]},
        {"kind": "liq_cluster", "params": [1e22, -0.0]},
        {"kind": "funding_flip", "params": [0.000000015]},
    ], "threshold": 0}
    radar = Radar(json.dumps(spec))
    event = {"kind": "orderbook", "ts": 1, "bid_volume": 1, "ask_volume": 2, "best_bid": 1,
             "best_ask": 2}
    radar.command(json.dumps({"cmd": "feed", "symbol": "S", "event": event}))
    factors = json.loads(radar.command('{"cmd":"alerts"}'))["alerts"][0]["factors"]
    keys = {signal.key for signal in spec_info(json.dumps(spec), "s").signals}
    assert keys == set(factors) - {"severity"}
    positional = [[], [], [["funding_flip", [0.0001], 2.0]], 0.5]
    info = spec_info(json.dumps(positional), "p")
    assert (info.signals[0].key, info.signals[0].weight, info.threshold) == (
        "funding_flip(0.0001)", 2.0, 0.5,
    )


def test_saved_output_of_several_specs(tmp_path):
    (tmp_path / "a.json").write_text(json.dumps(SPEC))
    lines = [
        checkpoint(10, 100, [("BTCUSDT", 0.8, 0.2, 1.0), ("ETHUSDT", 0.35, 0.4, 0.3)], "a.json"),
        checkpoint(10, 100, [], "sweep/b.json"),
        checkpoint(20, 200, [("ETHUSDT", 0.9, 0.6, 1.0)], "a.json"),
        checkpoint(20, 200, [("SOLUSDT", 0.5, 0.5, 0.5)], "sweep/b.json"),
    ]
    saved = tmp_path / "out.jsonl"
    saved.write_text("\n".join(lines) + "\n")
    page_path = tmp_path / "r.html"
    result = run_cli("report", str(saved), "--spec", str(tmp_path / "a.json"), "-o", str(page_path))
    assert result.returncode == 0, result.stderr.decode()
    page = page_path.read_text()
    assert "<h2>Alerts per spec</h2>" in page
    counts = re.search(r"<table class='counts'>.*?</table>", page, re.S).group(0)
    assert re.findall(r"<tr><td>([^<]*)</td><td>(\d+)</td><td>(\d+)</td>", counts) == [
        ("a.json", "2", "3"), ("sweep/b.json", "1", "1"),
    ]
    # The spec given matches a.json by its file name; b.json's spec is unknown.
    assert "Spec unknown (pass it with --spec)" in page
    assert "<td>funding_flip(0.0001)</td><td>3</td><td>75.0%</td>" in page
    first, second = page_data(page)
    assert first["symbols"] == ["ETHUSDT", "BTCUSDT"]  # by peak severity
    assert first["timeline"]["layout"]["shapes"][0]["y0"] == 0.2  # the threshold line
    assert second["timeline"]["layout"].get("shapes") is None
    # ETHUSDT at its peak: funding 1.0 × 3/4 = 0.75 of the severity, book 0.6 × 1/4 = 0.15.
    row = re.search(r'<tr data-symbol="ETHUSDT">.*?</tr>', page).group(0)
    assert "<td>0.9</td>" in row and "funding_flip(0.0001) 0.750, book_imbalance(1) 0.150" in row
    assert "lines read</dt><dd>unknown" in page and "skipped lines</dt><dd>unknown" in page


@pytest.mark.parametrize(
    ("line", "message"),
    [
        ('{"events":1,"ts":1,"change":"new","rank":1,"alert":{}}', "out.jsonl:2: an alert change"),
        ("{not json", "out.jsonl:2: not JSON"),
        ('{"ts":1,"alerts":[]}', "out.jsonl:2: no checkpoint here"),
        ('{"events":1,"ts":1,"alerts":[{"severity":1}]}', "out.jsonl:2: malformed alert"),
        # Claims no radar makes: numbers no double or int64 holds, absurd nesting, bad text.
        ('{"events":1,"ts":1,"alerts":[{"symbol":"A","severity":1' + "0" * 400
         + ',"factors":{},"ts":1}]}', "out.jsonl:2: a number beyond any the radar writes: 1000"),
        ('{"events":1,"ts":1,"alerts":[{"symbol":"A","severity":1,"factors":{"f(1)":-1'
         + "0" * 400 + '},"ts":1}]}', "out.jsonl:2: a number beyond any the radar writes: -1000"),
        ('{"events":1,"ts":18446744073709551616,"alerts":[]}', "out.jsonl:2: ts beyond 64 bits"),
        ('{"events":1' + "0" * 5000 + ',"ts":1,"alerts":[]}', "out.jsonl:2: not a checkpoint"),
        ("[" * 100_000 + "]" * 100_000, "out.jsonl:2: nested too deeply to be a checkpoint"),
        ('{"events":1,"ts":1,"alerts":[{"symbol":"\\ud800","severity":1,"factors":{},"ts":1}]}',
         "out.jsonl:2: text that is not Unicode"),
    ],
    # Named: an id holding a line of 200,000 brackets would go into the
    # environment of every process the test starts (PYTEST_CURRENT_TEST),
    # beyond what exec accepts.
    ids=["change", "not-json", "no-checkpoint", "malformed", "huge-severity", "huge-factor",
         "ts-beyond-64-bits", "long-number", "deep-nesting", "lone-surrogate"],
)
def test_saved_output_faults_name_the_line(tmp_path, line, message):
    saved = tmp_path / "out.jsonl"
    saved.write_text(checkpoint(1, 1, []) + "\n" + line + "\n")
    result = run_cli("report", str(saved), "-o", str(tmp_path / "r.html"))
    assert result.returncode == 1
    assert message in result.stderr.decode()
    assert "Traceback" not in result.stderr.decode()
    assert not (tmp_path / "r.html").exists()


def test_replay_report_is_self_contained_and_escapes_symbols(tmp_path):
    spec = tmp_path / "spec.json"
    spec.write_text(json.dumps(SPEC))
    hostile = "</script><img src=x onerror=alert(1)>"
    events = []
    for ts, symbol in enumerate(["BTCUSDT", hostile, "BTCUSDT"], 1):
        event = {"kind": "orderbook", "ts": ts, "bid_volume": 9, "ask_volume": 1,
                 "best_bid": 1, "best_ask": 2}
        events.append(json.dumps({"symbol": symbol, "event": event}))
    events.append("not a line")
    recording = tmp_path / "events.jsonl"
    recording.write_text("\n".join(events) + "\n")
    page_path = tmp_path / "r.html"
    result = run_cli("replay", "--spec", str(spec), str(recording), "--every", "1", "--new-only",
                     "--report", str(page_path))
    assert result.returncode == 3, result.stderr.decode()  # the bad line was skipped
    assert f"wrote {page_path} (" in result.stderr.decode()
    page = page_path.read_text()
    assert "<img src=x" not in page and "&lt;/script&gt;&lt;img src=x" in page
    assert re.search(r"<(script|link|img|iframe)[^>]*\s(src|href)=", page) is None
    assert "skipped lines</dt><dd>1<" in page and "events fed</dt><dd>3<" in page
    (data,) = page_data(page)
    # Every checkpoint is in the report, though --new-only printed only the news.
    assert len(data["x"]) == 3 and sorted(data["symbols"]) == sorted(["BTCUSDT", hostile])


def test_without_plotly_the_message_says_how_to_install(tmp_path):
    saved = tmp_path / "out.jsonl"
    saved.write_text(checkpoint(1, 1, []) + "\n")
    hide = (
        "import sys; sys.modules['plotly'] = None\n"
        "from fenmor_radar.cli import main\n"
        f"sys.exit(main(['report', {str(saved)!r}, '-o', {str(tmp_path / 'r.html')!r}]))"
    )
    result = subprocess.run([sys.executable, "-c", hide], capture_output=True, timeout=60)
    assert result.returncode == 1
    assert "pip install 'fenmor-radar[report]'" in result.stderr.decode()


def test_the_same_spec_twice_gives_two_runs_apart(tmp_path):
    spec = tmp_path / "a.json"
    spec.write_text(json.dumps(SPEC))
    event = {"kind": "orderbook", "ts": 1709298535194, "bid_volume": 9, "ask_volume": 1,
             "best_bid": 1, "best_ask": 2}
    recording = tmp_path / "events.jsonl"
    recording.write_text(json.dumps({"symbol": "BTCUSDT", "event": event}) + "\n")
    page_path = tmp_path / "r.html"
    result = run_cli("replay", "--spec", str(spec), "--spec", str(spec), str(recording),
                     "--report", str(page_path))
    assert result.returncode == 0, result.stderr.decode()
    names = [json.loads(line)["spec"] for line in result.stdout.decode().splitlines()]
    assert names == [str(spec), f"{spec} #2"]
    page = page_path.read_text()
    assert [len(section["x"]) for section in page_data(page)] == [1, 1]
    assert "<td>2024-03-01 13:08:55 UTC</td>" in page  # the table's times, for people


def limited_file_size(limit):
    """For a child process: writes past ``limit`` bytes fail with EFBIG, like a full disk."""
    import resource
    import signal

    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    return apply


@pytest.mark.parametrize(
    ("command", "limit"),
    [
        (["report", "{saved}", "-o", "{target}"], 200_000),
        (["sample", "-o", "{target}"], 200_000),
        (["sample", "--spec-out", "{target}"], 100),
    ],
)
def test_a_failed_write_leaves_no_file_that_looks_like_a_result(tmp_path, command, limit):
    saved = tmp_path / "out.jsonl"
    saved.write_text(checkpoint(1, 1, [("BTCUSDT", 0.8, 0.2, 1.0)]) + "\n")
    target = tmp_path / "result"
    args = [part.format(saved=saved, target=target) for part in command]
    result = subprocess.run(
        [sys.executable, "-m", "fenmor_radar", *args], capture_output=True, timeout=120,
        preexec_fn=limited_file_size(limit),
    )
    assert result.returncode == 1
    assert f"cannot write {target}: File too large" in result.stderr.decode()
    assert sorted(path.name for path in tmp_path.iterdir()) == ["out.jsonl"]


def test_a_page_written_over_a_link_keeps_the_link_and_the_permissions(tmp_path):
    saved = tmp_path / "out.jsonl"
    saved.write_text(checkpoint(1, 1, [("BTCUSDT", 0.8, 0.2, 1.0)]) + "\n")
    target = tmp_path / "pages" / "r.html"
    target.parent.mkdir()
    target.write_text("old page")
    target.chmod(0o640)
    link = tmp_path / "latest.html"
    link.symlink_to(target)
    result = run_cli("report", str(saved), "-o", str(link))
    assert result.returncode == 0, result.stderr.decode()
    assert link.is_symlink() and "<!DOCTYPE html>" in target.read_text()
    assert target.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in target.parent.iterdir()) == ["r.html"]
