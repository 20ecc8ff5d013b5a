"""`fenmor-radar tune`: a walk-forward search that finds the planted signal, repeatably,
and resumes a stopped study to the same number of trials."""

import json
import subprocess
import sys

import numpy as np
import optuna
import pytest

from fenmor_radar.planted_sample import PlantedLayout, planted_lines
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.tuning.batch import Objective
from fenmor_radar.tuning.search import local_runner, tune
from fenmor_radar.tuning.space import SpaceError, read_space

KINDS = ("oi_delta", "funding_flip", "book_imbalance", "liq_cluster", "oi_price_divergence")
BASE = {
    "signals": [
        {"kind": "oi_delta", "params": [12, 0.05], "weight": 1.0},
        {"kind": "funding_flip", "params": [0.0005], "weight": 1.0},
        {"kind": "book_imbalance", "params": [0.5], "weight": 1.0},
        {"kind": "liq_cluster", "params": [20, 1000], "weight": 1.0},
        {"kind": "oi_price_divergence", "params": [12, 0.01], "weight": 1.0},
    ],
    "threshold": 0.25,
}
# The weights of the five signals at the base threshold: a signal weighed
# above oi_delta makes its decoys alert as often as the surges do.
SPACE = {"weights": {kind: [0, 2] for kind in KINDS}}


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return str(path)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tune")
    recording = write(folder / "planted.jsonl", "\n".join(planted_lines(PlantedLayout(symbols=16, hours=5.0))) + "\n")
    return recording, write(folder / "base.json", json.dumps(BASE)), write(folder / "space.json", json.dumps(SPACE))


def run_tune(*args):
    return subprocess.run([sys.executable, "-m", "fenmor_radar", "tune", *args],
                          capture_output=True, timeout=300)


def test_the_search_weighs_the_planted_signal_most_and_repeats_itself(files, tmp_path):
    recording, base, space = files
    bests = []
    for run in range(2):
        best = tmp_path / f"best{run}.json"
        done = run_tune("--spec", base, "--space", space, recording, "--trials", "32",
                        "--batch", "16", "--seed", "3", "-o", str(best), "-q")
        assert done.returncode == 0, done.stderr
        bests.append(best.read_text())
    assert bests[0] == bests[1]
    weights = {s["kind"]: s["weight"] for s in json.loads(bests[0])["signals"]}
    assert max(weights, key=weights.get) == "oi_delta"
    table = done.stdout.decode()
    assert "in-sample  out-of-sample" in table and "final spec" in table


def test_a_stopped_study_resumes_to_the_same_number_of_trials(files, tmp_path):
    recording, base, _ = files
    space = read_space(json.dumps({"threshold": [0.1, 0.6]}), json.dumps(BASE))
    objective = Objective(min_onsets=0)
    runner = local_runner([recording], CheckpointPolicy(every_ts=60_000), 2, objective)
    cut = runner([json.dumps(BASE)]).folds

    def trials(study):
        return len(study.get_trials(states=(optuna.trial.TrialState.COMPLETE,)))

    _, [whole] = tune(space, runner, cut, trials=12, batch=4, seed=0, objective=objective)
    path = str(tmp_path / "study.journal")
    tune(space, runner, cut, trials=5, batch=4, seed=0, objective=objective, study_path=path)
    # A run killed between ask and tell leaves a trial running in the journal.
    storage = optuna.storages.JournalStorage(optuna.storages.journal.JournalFileBackend(path))
    optuna.load_study(study_name="fold 1", storage=storage).ask()
    _, [resumed] = tune(space, runner, cut, trials=12, batch=4, seed=0, objective=objective,
                        study_path=path)
    assert trials(whole) == trials(resumed) == 12
    assert len(resumed.get_trials(states=(optuna.trial.TrialState.FAIL,))) == 1


class TestSpace:
    @pytest.mark.parametrize(("space", "message"), [
        ({"weights": {"oi_dlta": [0, 2]}}, "weights.oi_dlta: no signal of kind 'oi_dlta'"),
        ({"threshold": [0.6, 0.1]}, "threshold: low 0.6 is above high 0.1"),
        ({"weights": {"oi_delta": [-1, 2]}}, "weights.oi_delta: a weight cannot be negative"),
        ({"params": {"oi_delta": [[1, 2], [0.1, 0.2], [3, 4]]}}, "the signal has 2 parameters"),
        ({"treshold": [0, 1]}, "unknown member 'treshold'"),
        ({}, "names nothing to search"),
    ])
    def test_a_bad_space_is_named(self, space, message):
        with pytest.raises(SpaceError, match="space: .*" + message.replace("[", r"\[").replace(".", r"\.")):
            read_space(json.dumps(space), json.dumps(BASE))

    def test_integer_ranges_search_lookbacks_as_integers(self):
        space = read_space(json.dumps({"params": {"oi_delta": [[4, 36], [0.01, 0.1]]}}), json.dumps(BASE))
        study = optuna.create_study(sampler=optuna.samplers.RandomSampler(seed=0))
        spec = json.loads(space.spec(space.suggest(study.ask())))
        lookback, scale = spec["signals"][0]["params"]
        assert isinstance(lookback, int) and 4 <= lookback <= 36
        assert isinstance(scale, float)


def test_batches_split_over_dask_workers_score_as_one_process_does(files, tmp_path):
    recording, base, space = files
    args = ("--spec", base, "--space", space, recording, "--trials", "8", "--batch", "8",
            "--seed", "1", "-q")
    local = run_tune(*args)
    spread = run_tune(*args, "--workers", "2")
    assert local.returncode == spread.returncode == 0, spread.stderr
    assert spread.stdout == local.stdout


def random_recording(rng, events):
    """Every kind of event for a few symbols: some only with book mids, one with no price
    at all (only liquidations); ts mostly rising, now and then a step back."""
    lines, oi, mark = [], {}, {}
    for i in range(events):
        symbol = f"S{rng.integers(7)}"
        ts = 1_000_000 + i * 50 - int(rng.integers(0, 120))
        kind = "liquidation" if symbol == "S6" else ["derivatives", "orderbook", "liquidation"][rng.integers(3)]
        if symbol == "S5" and kind == "derivatives":
            kind = "orderbook"
        if kind == "derivatives":
            oi[symbol] = oi.get(symbol, 1000.0) * (1 + rng.normal(0, 0.03))
            mark[symbol] = mark.get(symbol, 100.0) * (1 + rng.normal(0, 0.004))
            event = ["derivatives", ts, oi[symbol], float(rng.choice([0.0003, -0.0002])), mark[symbol]]
        elif kind == "orderbook":
            bid = 100.0 * (1 + rng.normal(0, 0.003))
            event = ["orderbook", ts, float(rng.integers(1, 30)), float(rng.integers(1, 30)), bid, bid + 0.1]
        else:
            event = ["liquidation", ts, "sell", float(rng.integers(0, 5)), 100.0]
        lines.append(json.dumps({"symbol": symbol, "event": event}))
    return "\n".join(lines) + "\n"


def random_trial(rng):
    kinds = rng.choice(KINDS, size=int(rng.integers(1, 5)), replace=False)
    signals = []
    for kind in kinds:
        params = {"oi_delta": [int(rng.integers(1, 8)), 0.05], "funding_flip": [0.0004],
                  "book_imbalance": [0.5], "liq_cluster": [int(rng.integers(1, 8)), 6],
                  "oi_price_divergence": [int(rng.integers(1, 8)), 0.02]}[kind]
        signals.append({"kind": kind, "params": params, "weight": float(rng.choice([0, 0.5, 1, 2]))})
    return json.dumps({"signals": signals, "threshold": float(rng.choice([-0.1, 0, 0.2, 0.35, 0.5]))})


@pytest.mark.parametrize(("cooldown", "figure"), [(0, "median_lift"), (900, "hit_rate")])
def test_a_batch_scores_each_trial_as_its_scorecard_does(tmp_path, cooldown, figure):
    # The search's lean path against the scorecard: each trial on its own radar,
    # its crossings as onsets, cooled, scored by build_scorecard per window.
    from fenmor_radar.replay.feeder_loop import open_recording
    from fenmor_radar.scoring.onsets import cooled
    from fenmor_radar.scoring.replay_pass import ReplayRecord, record_replay
    from fenmor_radar.scoring.scorecard import ROW_FIELDS, Settings, build_scorecard
    from fenmor_radar.tuning.batch import BatchScorer, WindowScore

    rng = np.random.default_rng(cooldown)
    path = write(tmp_path / "random.jsonl", random_recording(rng, 6000))
    specs = [random_trial(rng) for _ in range(10)]
    policy = CheckpointPolicy(every_ts=2_000)
    objective = Objective(figure=figure, horizon=3_000, cooldown=cooldown)
    scorer = BatchScorer([path], policy, 3, objective)
    result = scorer(specs)
    # Later batches: from the events kept in memory, or read again (too many to keep).
    assert scorer(specs) == result
    rereading = BatchScorer([path], policy, 3, objective, keep_events=100)
    assert rereading(specs[:1]).scores == result.scores[:1]
    assert rereading(specs) == result

    opened = [open_recording(path)]
    record = record_replay(opened, specs, policy, crossings=True, factors=False)
    opened[0].close()
    symbols = len(record.prices)
    for index, spec in enumerate(specs):
        onsets = cooled(record.crossings[index], cooldown)
        for fold, scores in zip(result.folds, result.scores[index], strict=True):
            for window, got in zip((fold.in_sample, fold.out_of_sample), scores, strict=True):
                settings = Settings((objective.horizon,), cooldown, "crossings", 0, 0, 0, window, False)
                own = ReplayRecord([record.checkpoints[index]], record.prices, record.end, record.stats)
                card = build_scorecard(own, [spec], [onsets], settings)
                card_of_one = {name: card.columns[name][0] for name in ROW_FIELDS}
                value = float(card_of_one[figure])
                in_window = sum(1 for o in onsets if window[0] <= o.ts < window[1])
                days = (window[1] - window[0]) / 86_400_000
                assert got == WindowScore(0.0 if np.isnan(value) else value, int(card_of_one["onsets"]),
                                          in_window / symbols / days), (spec, window)
    assert sum(score.onsets for scores in result.scores for pair in scores for score in pair) > 200
