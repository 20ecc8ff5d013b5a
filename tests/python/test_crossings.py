"""Threshold crossings and peaks: the same from every route, and what the command line makes
of them (output, notices, the report)."""

import dataclasses
import json
import os
import pathlib
import random
import subprocess
import sys

import pytest

from fenmor_radar import Crossing, Screener
from fenmor_radar.replay import CheckpointPolicy, CheckpointReplies, replay_files
from webhook_server import WebhookServer

SPEC = (
    '{"signals":[{"kind":"funding_flip","params":[0.0001]},'
    '{"kind":"oi_delta","params":[3,0.02],"weight":2}],"threshold":0.4,"limit":1}'
)
OTHER_SPEC = '{"signals":[{"kind":"liq_cluster","params":[4,5]}],"threshold":0.5}'


def recording(seed=3, events=3000, symbols=6):
    rng = random.Random(seed)
    oi = {}
    lines = []
    for i in range(events):
        symbol = f"S{rng.randrange(symbols)}"
        ts = 1000 + 10 * i
        if rng.random() < 0.3:
            lines.append(f'{{"symbol":"{symbol}","event":["liquidation",{ts},"sell",{rng.randrange(4)},100]}}')
            continue
        value = oi[symbol] = oi.get(symbol, 1000.0) * (1 + rng.randrange(-4, 5) / 100)
        rate = rng.choice([0.0003, -0.0002])
        lines.append(f'{{"symbol":"{symbol}","event":["derivatives",{ts},{value!r},{rate},5]}}')
    return lines


def key(crossing):
    return (crossing.direction, crossing.events, crossing.symbol, crossing.ts, crossing.alert)


def test_replay_and_screener_give_the_same_crossings(tmp_path):
    lines = recording()
    path = tmp_path / "events.jsonl"
    path.write_text("".join(line + "\n" for line in lines))
    items = list(replay_files(str(path), [SPEC, OTHER_SPEC], CheckpointPolicy(every=500), crossings=True))
    replayed = [item for item in items if isinstance(item, Crossing)]
    assert {item.spec_index for item in replayed} == {0, 1}
    assert sum(isinstance(item, CheckpointReplies) for item in items) == 6
    # Each crossing comes right after its event: before the checkpoint that counts it.
    events = 0
    for item in items:
        assert item.events >= events
        events = item.events

    for index, spec in enumerate([SPEC, OTHER_SPEC]):
        screener = Screener(spec, crossings=True)
        fed = [screener.feed(*json.loads(line).values()) for line in lines]
        by_feed = [crossing for crossing in fed if crossing is not None]
        assert [key(c) for c in by_feed] == [key(c) for c in replayed if c.spec_index == index]
        assert len(by_feed) > 20
    up = next(c for c in replayed if c.up)
    assert up.severity >= 0.4 and up.factors["severity"] == up.severity
    assert up.line == up.events  # no blank or bad lines here


def test_a_screener_forgets_its_crossings_with_its_states():
    screener = Screener('{"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":0.5}', crossings=True)
    assert screener.feed("BTC", ("derivatives", 1, 1.0, 0.0003, 1.0)) is None
    crossing = screener.feed("BTC", ("derivatives", 2, 1.0, -0.0002, 1.0))
    assert (crossing.direction, crossing.symbol, crossing.ts, crossing.severity) == ("up", "BTC", 2, 1.0)
    assert json.loads(crossing.json_line())["crossing"] == "up"
    screener.reset()
    assert screener.feed("BTC", ("derivatives", 3, 1.0, -0.0002, 1.0)) is None  # no flip yet
    # A symbol that crosses at its first event under a threshold of 0.
    screener.set_spec('{"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":0}')
    assert screener.feed("ETH", ("derivatives", 4, 1.0, 0.0003, 1.0)).direction == "up"
    # A batch or a raw command moves states unwatched; the next feed compares with where
    # they left it, every signal evaluated again.
    screener = Screener('{"signals":[{"kind":"funding_flip","params":[0.001]},'
                        '{"kind":"liq_cluster","params":[2,1]}],"threshold":0.5}', crossings=True)
    screener.feed("SOL", ("derivatives", 0, 1.0, 0.0003, 1.0))
    assert screener.feed("SOL", ("derivatives", 1, 1.0, 0.0003, 1.0)) is None  # 0.15
    screener.feed_batch("SOL", [("liquidation", 2, "buy", 0.8, 1.0)])  # 0.55, unwatched
    assert screener.feed("SOL", ("liquidation", 3, "buy", 0.0, 1.0)) is None  # still 0.55
    screener.radar.command('{"cmd":"feed","symbol":"SOL","event":["liquidation",4,"buy",0,1]}')
    assert screener.feed("SOL", ("derivatives", 5, 1.0, 0.0003, 1.0)).direction == "down"  # 0.15
    # Without crossings, feed returns None as it always did.
    assert Screener('{"signals":[{"kind":"funding_flip","params":[0.0001]}]}').feed(
        "BTC", ("derivatives", 1, 1.0, 0.0003, 1.0)) is None


def test_printed_crossing_lines_are_the_crossings_own(tmp_path):
    # The command line has the feeder write the lines; they must be what each
    # Crossing's json_line gives, spec names (escaped, not ASCII) included.
    path = tmp_path / "events.jsonl"
    path.write_text("".join(line + "\n" for line in recording()))
    names = [tmp_path / 'fünf "a".json', tmp_path / "other\tspec.json"]
    for name, text in zip(names, [SPEC, OTHER_SPEC], strict=True):
        name.write_text(text)
    result = run_cli("replay", "--spec", str(names[0]), "--spec", str(names[1]), str(path),
                     "--crossings", "--format", "json", "-q")
    assert result.returncode == 0, result.stderr.decode()
    items = replay_files(str(path), [SPEC, OTHER_SPEC], crossings=True)
    expected = [item.json_line() + "\n" for item in (
        dataclasses.replace(c, spec=str(names[c.spec_index])) for c in items if isinstance(c, Crossing))]
    assert len(expected) > 40
    assert result.stdout.decode() == "".join(expected)


def run_cli(*args, env=None):
    return subprocess.run([sys.executable, "-m", "fenmor_radar", *args], capture_output=True,
                          timeout=300, env=env)


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    events, spec = folder / "events.jsonl.gz", folder / "spec.json"
    result = run_cli("sample", "-o", str(events), "--spec-out", str(spec))
    assert result.returncode == 0, result.stderr.decode()
    return str(events), str(spec)


def test_crossings_show_the_episode_that_checkpoints_miss(sample, tmp_path):
    events, spec = sample
    result = run_cli("replay", "--spec", spec, events, "--every-ts", "600000", "--crossings",
                     "--peaks", "--format", "json")
    assert result.returncode == 0, result.stderr.decode()
    lines = [json.loads(line) for line in result.stdout.decode().splitlines()]
    crossings = [line for line in lines if "crossing" in line]
    checkpoints = [line for line in lines if "crossing" not in line]
    doge = [c for c in crossings if c["symbol"] == "DOGEUSDT"]
    # 13:20 to 13:30 on 2024-03-01: up, then down again before the next checkpoint.
    assert [c["crossing"] for c in doge] == ["up", "down"]
    assert 1709299200000 <= doge[0]["ts"] < doge[1]["ts"] < 1709299800000
    assert list(doge[0]) == ["crossing", "events", "symbol", "severity", "factors", "ts"]
    at_1329 = next(c for c in checkpoints if c["ts"] // 600000 == 1709299200000 // 600000)
    assert "DOGEUSDT" not in [alert["symbol"] for alert in at_1329["alerts"]]
    peak = next(p for p in at_1329["peaks"] if p["symbol"] == "DOGEUSDT")
    assert peak["severity"] >= doge[0]["severity"] and peak["ts"] >= doge[0]["ts"]

    # Without --every-ts only the crossings print; the table shows one line each.
    table = run_cli("replay", "--spec", spec, events, "--crossings", "--format", "table",
                    env=dict(os.environ, COLUMNS="100"))
    assert table.returncode == 0
    rows = table.stdout.decode().splitlines()
    assert len(rows) == len(crossings)
    assert any(row.startswith("2024-03-01 13:2") and "▲ up" in row and "DOGEUSDT" in row for row in rows)
    # The README shows these very lines.
    readme = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    shown = [line for line in readme.splitlines() if line.startswith("2024-03-01 13:2")]
    assert shown and all(line in rows for line in shown)

    # The report reads the saved output back and marks the crossings.
    pytest.importorskip("plotly")
    saved = tmp_path / "out.jsonl"
    saved.write_bytes(result.stdout)
    page = tmp_path / "report.html"
    report = run_cli("report", str(saved), "--spec", spec, "-o", str(page))
    assert report.returncode == 0, report.stderr.decode()
    assert "crossings up" in page.read_text()


def funding(ts, rate, symbol="BTCUSDT"):
    return f'{{"symbol":"{symbol}","event":["derivatives",{ts},1.0,{rate},1.0]}}'


@pytest.mark.parametrize(("down", "sent"), [(False, ["up 2", "up 20"]), (True, ["up 2", "down 4", "up 20", "down 31"])])
def test_notify_sends_crossings_with_the_cooldown(tmp_path, down, sent):
    spec = tmp_path / "spec.json"
    spec.write_text('{"signals":[{"kind":"funding_flip","params":[0.0001]}],"threshold":0.5}')
    # Flips cross up at 2, 5 (within the cooldown of 10 after 2: not notified, nor is its
    # down at 7) and 20; a flip at 30 keeps it up; down at 4, 7 and 31.
    rates = [(1, 0.0003), (2, -0.0002), (4, -0.00001), (5, 0.0003), (6, -0.0002), (7, -0.00001),
             (20, 0.0003), (30, -0.0002), (31, -0.00001)]
    events = tmp_path / "events.jsonl"
    events.write_text("".join(funding(ts, rate) + "\n" for ts, rate in rates))
    env = dict(os.environ, no_proxy="127.0.0.1,localhost", NO_PROXY="127.0.0.1,localhost")
    with WebhookServer() as server:
        result = run_cli("replay", "--spec", str(spec), str(events), "--crossings", "--cooldown", "10",
                         "--notify", server.url, *(["--notify-down"] if down else []), env=env)
    assert result.returncode == 0, result.stderr.decode()
    assert [f"{body['change']} {body['ts']}" for body in server.bodies] == sent
    assert len(result.stdout.decode().splitlines()) == 6  # every crossing is printed


def test_notify_down_needs_crossings(tmp_path):
    spec = tmp_path / "spec.json"
    spec.write_text('{"signals":[{"kind":"funding_flip","params":[0.0001]}]}')
    result = run_cli("replay", "--spec", str(spec), "-", "--notify-down")
    assert result.returncode == 2
    assert "--notify-down needs --crossings and --notify" in result.stderr.decode()
