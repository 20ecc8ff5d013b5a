"""The scorecard: outcomes measured from the replay's own prices, onsets against baseline,
and no look-ahead."""

import json
import random
import subprocess
import sys

import numpy as np
import pytest

from fenmor_radar import evaluate
from fenmor_radar.planted_sample import PlantedLayout, planted_lines
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.recording import Recording
from fenmor_radar.scoring.onsets import checkpoint_onsets, cooled
from fenmor_radar.scoring.replay_pass import record_replay

OI_SPEC = json.dumps(
    {"signals": [{"kind": "oi_delta", "params": [12, 0.05]}], "threshold": 0.5, "limit": 3}
)
MINUTE = 60_000
LAYOUT = PlantedLayout(symbols=16, hours=5.0)


def write(path, lines):
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return str(path)


@pytest.fixture(scope="module")
def planted(tmp_path_factory):
    path = tmp_path_factory.mktemp("planted") / "planted.jsonl"
    return write(path, planted_lines(LAYOUT))


def derivatives(symbol, ts, price, oi=100.0):
    return json.dumps({"symbol": symbol, "event": {
        "kind": "derivatives", "ts": ts, "open_interest": oi, "funding_rate": 0.0001,
        "mark_price": price}})


def book(symbol, ts, bid, ask):
    return json.dumps({"symbol": symbol, "event": {
        "kind": "orderbook", "ts": ts, "bid_volume": 1.0, "ask_volume": 1.0, "best_bid": bid,
        "best_ask": ask}})


class TestPlantedRecording:
    def test_onsets_on_planted_symbols_lead_moves_and_on_controls_do_not(self, planted):
        planted_names, controls = LAYOUT.names()
        spec = OI_SPEC
        on_planted = evaluate(planted, spec, symbols=planted_names, horizons=[5 * MINUTE, 15 * MINUTE])
        on_controls = evaluate(planted, spec, symbols=controls, horizons=[5 * MINUTE, 15 * MINUTE])
        for horizon in (5 * MINUTE, 15 * MINUTE):
            row = on_planted.row("spec", horizon)
            assert row.onsets >= 20
            assert row.lift > 2 and row.p_value < 0.01
            assert row.lift_low > 1 and row.hit_rate > 2 * row.base_hit_rate
            control = on_controls.row("spec", horizon)
            assert control.onsets >= 20
            assert control.p_value > 0.05

    def test_the_same_seed_gives_the_same_scorecard(self, planted):
        first = evaluate(planted, OI_SPEC, horizons=[5 * MINUTE], seed=7, permutations=200)
        second = evaluate(planted, OI_SPEC, horizons=[5 * MINUTE], seed=7, permutations=200)
        assert first.rows == second.rows


class TestNoLookAhead:
    def test_a_cut_recording_gives_the_same_checkpoints_and_onsets_before_the_cut(self, planted, tmp_path):
        # Alerts are those of the replay; a cut anywhere must leave every
        # checkpoint (and so every onset and baseline moment) before it as
        # it was in the whole recording.
        with open(planted, encoding="utf-8") as file:
            lines = file.read().splitlines()
        policy = CheckpointPolicy(every_ts=MINUTE)
        specs = [OI_SPEC, json.dumps({"signals": [{"kind": "book_imbalance", "params": [0.1]}],
                                      "threshold": 0.5})]

        def replay(path):
            recording = Recording(path)
            try:
                return record_replay([recording], specs, policy, crossings=True)
            finally:
                recording.close()

        full = replay(planted)
        # The planted recording is in ts order: the first line left out has the cut's ts.
        cut_ts = [json.loads(line)["event"][1] for line in lines]
        cuts = random.Random(24).sample(range(1, len(lines)), 20)
        for cut in cuts:
            record = replay(write(tmp_path / "cut.jsonl", lines[:cut]))
            for spec, checkpoints in enumerate(record.checkpoints):
                before = checkpoints[:-1]  # the last is the cut's own end
                assert before == full.checkpoints[spec][: len(before)], cut
                assert len(before) >= len(full.checkpoints[spec]) * cut // len(lines) - 2
                onsets = checkpoint_onsets(before)
                assert onsets == checkpoint_onsets(full.checkpoints[spec])[: len(onsets)]
                # Every upward crossing happens at an event: all of the cut's are the whole's.
                crossings = record.crossings[spec]
                assert crossings == full.crossings[spec][: len(crossings)]
                assert len(crossings) >= sum(1 for c in full.crossings[spec] if c.ts < cut_ts[cut])


def test_checkpoints_known_from_crossings_list_the_symbols_the_replies_list(planted):
    # With crossings watched, which symbols alert at a checkpoint is known
    # from the crossings so far, not read from the replies: both must agree.
    specs = [OI_SPEC, json.dumps({"signals": [{"kind": "book_imbalance", "params": [0.1]},
                                              {"kind": "oi_delta", "params": [6, 0.02]}],
                                  "threshold": 0.4})]

    def alerting(crossings):
        recording = Recording(planted)
        try:
            record = record_replay([recording], specs, CheckpointPolicy(every=500), crossings=crossings)
        finally:
            recording.close()
        return [[(c.ts, sorted(c.alerting)) for c in spec] for spec in record.checkpoints]

    from_replies = alerting(False)
    assert sum(len(symbols) for spec in from_replies for _, symbols in spec) > 100
    assert alerting(True) == from_replies


def test_crossings_read_from_their_lines_are_those_of_crossing_objects(planted):
    # The record reads the crossings the feeder writes as lines; the replay's
    # own items (one Crossing each) must give the same onsets and factors.
    from fenmor_radar.replay.feeder_loop import FeederReplay, new_feeder
    from fenmor_radar.replay.items import ReplayStats
    from fenmor_radar.scoring.replay_pass import AlertRecorder

    specs = [OI_SPEC, json.dumps({"signals": [{"kind": "book_imbalance", "params": [0.1]},
                                              {"kind": "oi_delta", "params": [6, 0.02]}],
                                  "threshold": 0.4})]
    policy = CheckpointPolicy(every_ts=MINUTE)
    recording = Recording(planted)
    try:
        record = record_replay([recording], specs, policy, crossings=True)
    finally:
        recording.close()
    feeder = new_feeder(specs, policy, False, prices=True, crossings=True)
    recorder = AlertRecorder(feeder, specs, ReplayStats(), crossings=True, unlimited=True)
    recording = Recording(planted)
    try:
        for item in FeederReplay(feeder, on_block=lambda _: recorder.block()).run([recording]):
            recorder.item(item)
    finally:
        recording.close()
    objects = recorder.finish()
    assert record.crossings == objects.crossings and record.checkpoints == objects.checkpoints
    assert {o.factor for o in record.crossings[1]} == {"book_imbalance(0.1)", "oi_delta(6,0.02)"}


class TestOutcomes:
    @pytest.mark.parametrize(("onsets", "seen"), [("crossings", 2 * MINUTE + 1), ("checkpoints", 2 * MINUTE + 2)])
    def test_returns_extremes_and_censoring_from_marks_or_mids(self, tmp_path, onsets, seen):
        spec = json.dumps({"signals": [{"kind": "oi_delta", "params": [1, 0.1]}], "threshold": 0.5})
        lines = []
        # AAA: marks, an onset at the 2nd minute (oi jumps), the price dips then rises.
        prices = [100.0, 100.0, 100.0, 92.0, 110.0, 104.0, 100.0, 100.0, 100.0, 100.0]
        for i, price in enumerate(prices):
            lines.append(derivatives("AAA", i * MINUTE + 1, price, oi=200.0 if i >= 2 else 100.0))
            # BBB has only books: its mid is measured; it alerts never.
            lines.append(book("BBB", i * MINUTE + 2, 9.0, 11.0))
        card = evaluate(write(tmp_path / "r.jsonl", lines), spec,
                        CheckpointPolicy(every_ts=MINUTE), horizons=[3 * MINUTE, 8 * MINUTE],
                        permutations=10, resamples=10, onsets=onsets)
        frame = card.outcomes_frame()
        assert list(frame["symbol"]) == ["AAA", "AAA"]
        short = frame[frame["horizon"] == 3 * MINUTE].iloc[0]
        # A crossing is seen at the event that made it (2 min + 1 ms); a
        # checkpoint entry at the checkpoint before the events of minute 3,
        # the clock then standing at 2 min + 2 ms. Either way the price is 100.
        assert short["ts"] == seen
        assert short["ret"] == pytest.approx(0.04)
        assert short["extreme"] == pytest.approx(0.10)  # 110 beats 92 by size
        assert not short["censored"]
        assert frame[frame["horizon"] == 8 * MINUTE].iloc[0]["censored"]
        assert card.row("spec", 8 * MINUTE).censored == 1
        assert card.row("spec", 8 * MINUTE).onsets == 0

    def test_cooldown_drops_onsets_too_close_to_the_symbol_previous_one(self):
        from fenmor_radar.scoring.onsets import Onset

        onsets = [Onset("A", 0, 1.0, "f"), Onset("B", 5, 1.0, "f"), Onset("A", 9, 1.0, "f"),
                  Onset("A", 10, 1.0, "f")]
        assert [(o.symbol, o.ts) for o in cooled(onsets, 10)] == [("A", 0), ("B", 5), ("A", 10)]


def test_symbols_alerting_are_read_exactly_without_parsing_the_factors():
    # Baseline moments need only which symbols alert; they are read from the
    # reply's text, which must survive quotes, backslashes and look-alikes.
    from fenmor_radar import Radar
    from fenmor_radar.scoring.replay_pass import _alerts, _symbols_alerting

    radar = Radar(json.dumps({"signals": [{"kind": "book_imbalance", "params": [0.1]}], "threshold": 0}))
    for symbol in ['A"B', "C\\D", "E\u00e9\n\u2028", 'X{"symbol":"Y', "Z"]:
        event = {"kind": "orderbook", "ts": 1, "bid_volume": 5.0, "ask_volume": 1.0,
                 "best_bid": 1.0, "best_ask": 2.0}
        radar.command(json.dumps({"cmd": "feed", "symbol": symbol, "event": event}))
    reply = radar.command('{"cmd":"alerts"}')
    read = {symbol: alert.severity for symbol, alert in _symbols_alerting(reply).items()}
    assert read == {value["symbol"]: value["severity"] for value in _alerts(reply)}
    assert len(read) == 5
    with pytest.raises(ValueError):
        _symbols_alerting('{"error":"bad"}')


def test_shuffled_places_are_distinct_and_uniform_within_each_symbol():
    # Symbols of equal size are shuffled together and a few are drawn with
    # repeats redrawn: each symbol's draw must stay its own, without repeats,
    # and give every place the same chance.
    from fenmor_radar.scoring.statistics import _random_subsets

    sizes = np.array([5, 8, 5, 12, 40, 8])
    counts = np.array([2, 3, 1, 6, 2, 8])  # the 40 and its 2 are drawn with repeats redrawn
    places = _random_subsets(sizes, counts, 6000, np.random.default_rng(3))
    slot_group = np.repeat(np.arange(len(sizes)), counts)
    for group, size in enumerate(sizes):
        drawn = places[:, slot_group == group]
        assert ((drawn >= 0) & (drawn < size)).all()
        assert all(len(set(row)) == counts[group] for row in drawn[:500].tolist())
        share = np.bincount(drawn.ravel(), minlength=size) / len(drawn)
        assert np.allclose(share, counts[group] / size, atol=0.03), group


def test_permutations_shuffle_within_each_symbol():
    # A symbol that moves a lot and alerts a lot is no foresight: with labels
    # shuffled across symbols it would look like one.
    from fenmor_radar.scoring.statistics import Moments, compare, hits

    rng = np.random.default_rng(0)
    wild = rng.normal(0, 0.05, 400)
    calm = rng.normal(0, 0.001, 400)
    absolute = np.abs(np.concatenate([wild, calm]))
    group = np.repeat([0, 1], 400)
    onset = np.concatenate([rng.random(400) < 0.5, rng.random(400) < 0.02])
    result = compare(Moments(absolute, group, onset, hits(absolute, group)), 0, 500, 200)
    assert result.lift > 1.5  # pooled, the wild symbol's onsets look strong
    assert result.p_value > 0.05


class TestCommandLine:
    def run(self, *args):
        return subprocess.run([sys.executable, "-m", "fenmor_radar", *args],
                              capture_output=True, timeout=300)

    def test_json_scorecard_of_two_specs(self, planted, tmp_path):
        a = write(tmp_path / "a.json", [OI_SPEC])
        b = write(tmp_path / "b.json", [OI_SPEC.replace("0.05", "0.2")])
        done = self.run("evaluate", "--spec", a, "--spec", b, planted, "--horizons", "5m,15m",
                        "--format", "json", "--permutations", "50", "-q")
        assert done.returncode == 0, done.stderr
        document = json.loads(done.stdout)["scorecard"]
        assert document["specs"] == [a, b] and document["horizons"] == [300000, 900000]
        rows = {(r["spec"], r["horizon"], r["factor"]): r for r in document["rows"]}
        assert rows[(a, 300000, "all")]["onsets"] > rows[(b, 300000, "all")]["onsets"]
        assert (a, 900000, "oi_delta(12,0.05)") in rows

    def test_replay_evaluate_keeps_the_replay_output_and_adds_the_scorecard(self, planted, tmp_path):
        spec = write(tmp_path / "a.json", [OI_SPEC])
        args = ("replay", "--spec", spec, planted, "--every-ts", "600000", "--format", "json")
        plain = self.run(*args)
        page = tmp_path / "report.html"
        scored = self.run(*args, "--evaluate", "--horizons", "5m", "--permutations", "50",
                          "--report", str(page))
        assert plain.returncode == scored.returncode == 0, scored.stderr
        assert scored.stdout == plain.stdout
        assert b"all onsets" in scored.stderr and b"all onsets" not in plain.stderr
        assert "<h2>Scorecard</h2>" in page.read_text(encoding="utf-8")

    @pytest.mark.parametrize(("args", "option"), [
        (("replay", "--seed", "3"), b"--seed"),
        (("replay", "--horizons", "5m"), b"--horizons"),
        (("sample", "--hours", "2"), b"--hours"),
        (("tune", "--space", "SPEC", "--horizons", "5m,15m"), b"--horizon"),
    ])
    def test_an_option_that_would_be_ignored_is_refused(self, planted, tmp_path, args, option):
        spec = write(tmp_path / "a.json", [OI_SPEC])
        args = tuple(spec if a == "SPEC" else a for a in args)
        inputs = () if args[0] == "sample" else ("--spec", spec, planted)
        done = self.run(*args, *inputs)
        assert done.returncode == 2, done.stderr
        assert option in done.stderr.split(b"\n")[-2]

    def test_a_bad_horizon_is_named(self, planted, tmp_path):
        spec = write(tmp_path / "a.json", [OI_SPEC])
        done = self.run("evaluate", "--spec", spec, planted, "--horizons", "5m,soon")
        assert done.returncode == 2
        assert b"not a duration: 'soon'" in done.stderr


def test_hits_are_the_moments_at_or_above_their_symbols_90th_percentile():
    from fenmor_radar.scoring.statistics import hits

    rng = np.random.default_rng(1)
    for _ in range(200):
        n = int(rng.integers(1, 300))
        # Few and many symbols, numbered densely or far apart (past 16 bits), values with ties.
        group = rng.integers(0, int(rng.integers(1, 40)), n) * int(rng.choice([1, 3, 5000]))
        absolute = np.round(rng.random(n), int(rng.integers(1, 4)))
        expected = [absolute[i] >= np.quantile(absolute[group == group[i]], 0.9) for i in range(n)]
        assert hits(absolute, group).tolist() == expected
