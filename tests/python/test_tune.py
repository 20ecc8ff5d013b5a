"""`fenmor-radar tune`: a walk-forward search that finds the planted signal, repeatably,
and resumes a stopped study to the same number of trials."""

import json
import subprocess
import sys

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
