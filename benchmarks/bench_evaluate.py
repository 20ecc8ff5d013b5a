"""The scorecard and the search against a plain replay of the same recording, in one run.

Run after `pip install '.[tune]'`:

    python3 benchmarks/bench_evaluate.py
    python3 benchmarks/bench_evaluate.py --events 200000 --rounds 1   # a quick look

The recording is bench_distributed.py's (seeded events from workload.py over
2,000 symbols in ts order, 4 plain files, cached under benchmarks/.cache).
Its symbols step 1 to 400 ms per event, so 2,000,000 events span a few
minutes of market time: checkpoints fall every second and the horizons are
5s,15s,1m, the same number of moments per symbol a day-long recording has
at a minute and 5m,15m,1h.

Timed, in interleaved rounds (the fastest of each shown, a burst of other
work on the shared machine then spoils one round, not one kind of run):

1. a plain replay, `replay_files` with the bundled spec's five signals;
2. `evaluate` of the same spec: the replay keeping prices, then the
   scorecard with up to 1,000 permutations (stopped once 10 lift as much)
   and 1,000 bootstrap resamples per row;
3. `tune`: 64 trials in batches of 16 over two walk-forward folds, the base
   spec's own pass included (5 replays, four of them with 16 radars).

Beside them, a lower bound for the scorecard that no implementation of it
goes below: the bootstrap's draws alone (for every row of the evaluate run,
1,000 resamples of its onsets' values: random indices, a gather and a
mean, in numpy's C loops), timed after the rounds in the same run.

Ratios are printed, never asserted. Targets: evaluate <= 1.5 x the replay,
tune <= 8 x.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_distributed  # noqa: E402
import workload  # noqa: E402

from fenmor_radar.replay import CheckpointPolicy, replay_files  # noqa: E402
from fenmor_radar.scoring import Scorecard, evaluate  # noqa: E402
from fenmor_radar.tuning.batch import Objective  # noqa: E402
from fenmor_radar.tuning.search import local_runner, tune  # noqa: E402
from fenmor_radar.tuning.space import read_space  # noqa: E402

EVERY_TS = 1_000
HORIZONS = (5_000, 15_000, 60_000)
SPACE = {
    "threshold": [0.1, 0.6],
    "weights": {s["kind"]: [0, 2] for s in workload.SIGNALS},
}


def bootstrap_floor(card: Scorecard, resamples: int = 1_000) -> float:
    """Seconds to draw the onsets' bootstrap means of every row of ``card``, and nothing else."""
    import numpy as np

    rng = np.random.default_rng(0)
    started = time.perf_counter()
    for onsets in card.columns["onsets"].tolist():
        values = rng.random(onsets)
        rows = max(1, 250_000 // max(onsets, 1))
        for done in range(0, resamples, rows):
            picks = rng.integers(0, onsets, size=(min(rows, resamples - done), onsets))
            values[picks].mean(axis=1)
    return time.perf_counter() - started


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=2_000_000)
    parser.add_argument("--symbols", type=int, default=2_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", default="replay,evaluate,tune",
                        help="the runs to time, of replay,evaluate,tune (replay is always timed)")
    args = parser.parse_args(argv)
    paths = [str(p) for p in bench_distributed.recording(args.events, args.symbols, 1)]
    spec = workload.spec_text(0.3)
    policy = CheckpointPolicy(every_ts=EVERY_TS)
    space = read_space(json.dumps(SPACE), spec)

    def plain() -> str:
        count = sum(1 for _ in replay_files(paths, spec, policy))
        return f"{count:,} checkpoints"

    cards: list[Scorecard] = []

    def scored() -> str:
        card = evaluate(paths, spec, policy, horizons=HORIZONS)
        cards[:] = [card]
        row = card.row("spec", HORIZONS[0])
        return f"{row.onsets:,} onsets at 5s, lift {row.lift:.2f}, p {row.p_value:.3f}"

    def searched() -> str:
        objective = Objective(horizon=HORIZONS[0], min_onsets=20)
        runner = local_runner(paths, policy, 2, objective)
        folds = runner([spec]).folds
        result, _ = tune(space, runner, folds, trials=64, batch=16, seed=0, objective=objective)
        return f"final out-of-sample lift {result.final.out_of_sample:.2f}"

    wanted = set(args.only.split(",")) | {"replay"}
    runs = {name: run for name, run in
            (("replay", plain), ("evaluate", scored), ("tune 64/16", searched))
            if name.split()[0] in wanted}
    best: dict[str, float] = {}
    notes: dict[str, str] = {}
    for _ in range(args.rounds):
        for name, run in runs.items():
            started = time.perf_counter()
            notes[name] = run()
            seconds = time.perf_counter() - started
            best[name] = min(best.get(name, seconds), seconds)
            print(f"  {name}: {seconds:.2f} s", file=sys.stderr, flush=True)
    floor = bootstrap_floor(cards[0]) if cards else None
    print(f"{args.events:,} events over {args.symbols:,} symbols, a checkpoint every {EVERY_TS} ms, "
          f"fastest of {args.rounds} round(s), load average {os.getloadavg()[0]:.1f}")
    print(f"{'run':<12} {'wall s':>7} {'x replay':>9}  what it gave")
    for name in runs:
        print(f"{name:<12} {best[name]:7.2f} {best[name] / best['replay']:8.2f}x  {notes[name]}")
    if floor is not None:
        rows = len(cards[0].columns["onsets"])
        print(f"{'draws only':<12} {floor:7.2f} {floor / best['replay']:8.2f}x  "
              f"the evaluate run's bootstrap draws alone ({rows} rows), a floor under evaluate")


if __name__ == "__main__":
    main(sys.argv[1:])
