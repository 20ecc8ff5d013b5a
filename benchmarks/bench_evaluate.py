"""The scorecard and the search against a plain replay of the same recording, in one run.

Run after `pip install '.[tune]'`:

    python3 benchmarks/bench_evaluate.py
    python3 benchmarks/bench_evaluate.py --events 200000 --rounds 1   # a quick look
    python3 benchmarks/bench_evaluate.py --only tune                  # the replay and tune

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
from fenmor_radar.scoring import evaluate  # noqa: E402
from fenmor_radar.tuning.batch import Objective  # noqa: E402
from fenmor_radar.tuning.search import local_runner, tune  # noqa: E402
from fenmor_radar.tuning.space import read_space  # noqa: E402

EVERY_TS = 1_000
HORIZONS = (5_000, 15_000, 60_000)
SPACE = {
    "threshold": [0.1, 0.6],
    "weights": {s["kind"]: [0, 2] for s in workload.SIGNALS},
}


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=2_000_000)
    parser.add_argument("--symbols", type=int, default=2_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", choices=("evaluate", "tune"),
                        help="time the replay and only this one of the two")
    args = parser.parse_args(argv)
    paths = [str(p) for p in bench_distributed.recording(args.events, args.symbols, 1)]
    spec = workload.spec_text(0.3)
    policy = CheckpointPolicy(every_ts=EVERY_TS)
    space = read_space(json.dumps(SPACE), spec)

    def plain() -> str:
        count = sum(1 for _ in replay_files(paths, spec, policy))
        return f"{count:,} checkpoints"

    def scored() -> str:
        card = evaluate(paths, spec, policy, horizons=HORIZONS)
        row = card.row("spec", HORIZONS[0])
        return f"{row.onsets:,} onsets at 5s, lift {row.lift:.2f}, p {row.p_value:.3f}"

    def searched() -> str:
        objective = Objective(horizon=HORIZONS[0], min_onsets=20)
        runner = local_runner(paths, policy, 2, objective)
        folds = runner([spec]).folds
        result, _ = tune(space, runner, folds, trials=64, batch=16, seed=0, objective=objective)
        return f"final out-of-sample lift {result.final.out_of_sample:.2f}"

    runs = {"replay": plain, "evaluate": scored, "tune 64/16": searched}
    if args.only is not None:
        runs = {name: run for name, run in runs.items() if name == "replay" or name.startswith(args.only)}
    best: dict[str, float] = {}
    notes: dict[str, str] = {}
    for _ in range(args.rounds):
        for name, run in runs.items():
            started = time.perf_counter()
            notes[name] = run()
            seconds = time.perf_counter() - started
            best[name] = min(best.get(name, seconds), seconds)
            print(f"  {name}: {seconds:.2f} s", file=sys.stderr, flush=True)
    print(f"{args.events:,} events over {args.symbols:,} symbols, a checkpoint every {EVERY_TS} ms, "
          f"fastest of {args.rounds} round(s), load average {os.getloadavg()[0]:.1f}")
    print(f"{'run':<12} {'wall s':>7} {'x replay':>9}  what it gave")
    for name in runs:
        print(f"{name:<12} {best[name]:7.2f} {best[name] / best['replay']:8.2f}x  {notes[name]}")


if __name__ == "__main__":
    main(sys.argv[1:])
