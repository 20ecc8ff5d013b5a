"""The benchmarks' pure-Python radar is a fair yardstick only while it does
the radar's work: on the benchmarks' own generated data it must raise the same
alerts with the same values, and the generated data must be accepted whole."""

import sys
from pathlib import Path

import pytest

orjson = pytest.importorskip("orjson")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))

import workload  # noqa: E402
from baseline_radar import BaselineRadar, quantise  # noqa: E402

from fenmor_radar import Radar  # noqa: E402

OK = '{"ok":true}'
ALERTS = '{"cmd":"alerts"}'


@pytest.mark.parametrize("threshold, limit", [(0.0, None), (0.3, None), (0.0, 7), (2.0, None)])
def test_stored_alerts_agree(threshold, limit):
    spec = workload.spec_text(threshold, limit)
    radar, baseline = Radar(spec), BaselineRadar(spec)
    for text in workload.full_history_batches(150, seed=3) + workload.feed_texts(600, seed=4,
                                                                                symbol_count=40):
        assert radar.command(text) == OK
        assert baseline.command(text) == OK
    reply = radar.command(ALERTS)
    assert orjson.loads(reply) == orjson.loads(baseline.command(ALERTS))
    assert orjson.loads(reply)["scanned"] == 190


def test_scan_agrees_with_the_baseline_and_with_feeding():
    events = workload.symbol_events(60, 40, seed=5)
    spec = workload.spec_text(0.0)
    radar, fed, baseline = Radar(spec), Radar(spec), BaselineRadar(spec)
    reply = radar.command(workload.scan_text(events))
    assert orjson.loads(reply) == orjson.loads(baseline.command(workload.scan_text(events)))
    for text in workload.batch_texts(events):
        assert fed.command(text) == OK
    assert fed.command(ALERTS) == reply


def test_generated_data_is_seeded_and_realistic():
    assert workload.feed_texts(50, seed=9) == workload.feed_texts(50, seed=9)
    texts = workload.feed_texts(2000, seed=9)
    assert 120 <= sum(map(len, texts)) / len(texts) <= 180  # about 150 bytes a command
    kinds = [orjson.loads(t)["event"]["kind"] for t in texts]
    assert {kind: kinds.count(kind) > 100 for kind in set(kinds)} == {
        "derivatives": True, "orderbook": True, "liquidation": True}


@pytest.mark.parametrize("x, expected", [(0.5e-8, 1e-8), (-0.5e-8, -1e-8), (0.49999999e-8, 0.0),
                                         (0.123456785, 0.12345679), (1.0, 1.0)])
def test_baseline_quantise_rounds_halves_away_from_zero(x, expected):
    assert quantise(x) == pytest.approx(expected, abs=1e-17)
