"""``fenmor-radar tune --spec BASE.json --space SPACE.json RECORDING... --trials N``.

The search is ``fenmor_radar.tuning``; this module wires it to options and
output: per fold, the best trial's in-sample score beside the same spec's
out-of-sample score, and the final spec (searched on all but the last fold)
with its out-of-sample score.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
from collections.abc import Iterator
from typing import Any

from fenmor_radar import optional
from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.durations import non_negative_duration, positive_duration
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.evaluate_command import DEFAULT_EVERY_TS
from fenmor_radar.cli.shared import horizons_argument, need_plotly, positive_int
from fenmor_radar.cli.spec_file import radar_from_text, read_spec_text
from fenmor_radar.replay.checkpoints import CheckpointPolicy


def _non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"must be greater than zero: {text}")
    return value


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "tune",
        help="search weights, threshold and parameters for the spec whose alerts are worth most",
        description=(
            "Search the SPACE around a BASE spec with Optuna, walk-forward: the recording's "
            "time is cut into --folds consecutive folds; for each fold after the first the "
            "search runs on the folds before it and its best spec is scored on that fold. "
            "Each batch of trials is scored in one replay. Needs the tune extra."
        ),
    )
    parser.add_argument("--spec", required=True, metavar="BASE.json", help="the base spec")
    parser.add_argument("--space", required=True, metavar="SPACE.json",
                        help="the ranges to search (see docs/evaluate.md)")
    parser.add_argument("events", nargs="+", metavar="EVENTS.jsonl[.gz]",
                        help="the recordings, replayed in order as one")
    parser.add_argument("--trials", type=positive_int, default=64, metavar="N",
                        help="trials per fold (default 64); a resumed study runs up to N in all")
    parser.add_argument("--batch", type=positive_int, default=16, metavar="B",
                        help="trials scored together in one replay (default 16)")
    parser.add_argument("--folds", type=positive_int, default=2, metavar="K",
                        help="walk-forward folds, at least 2 (default 2)")
    parser.add_argument("--objective", default="lift",
                        choices=("lift", "median_lift", "hit_rate", "mean_abs"),
                        help="the scorecard figure maximised, at the first horizon (default lift)")
    # --horizons as evaluate spells it; one horizon, since one figure is maximised.
    parser.add_argument("--horizon", "--horizons", dest="horizons", type=horizons_argument,
                        default="5m", metavar="H",
                        help="the horizon of the objective, one duration (default 5m)")
    parser.add_argument("--max-onsets-per-day", type=_positive_float, metavar="X",
                        help="alert budget: a trial with more onsets per symbol and day is infeasible")
    parser.add_argument("--min-onsets", type=_non_negative_int, default=20, metavar="N",
                        help="a trial with fewer onsets scored in-sample is infeasible (default 20)")
    parser.add_argument("--cooldown", type=non_negative_duration, default=0, metavar="C",
                        help="an onset within C (5m, or ms) of the symbol's previous one is not "
                        "a new one")
    parser.add_argument("--every-ts", type=positive_duration, default=DEFAULT_EVERY_TS, metavar="T",
                        help="checkpoints every T ms of ts: the onsets' and baseline's grid "
                        "(default 60000)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the sampler (default 0)")
    parser.add_argument("--study", metavar="FILE",
                        help="keep the studies in this Optuna journal file; a stopped run resumes")
    parser.add_argument("-o", "--output", metavar="BEST.json", help="write the final spec here")
    parser.add_argument("--html", metavar="STUDY.html", help="write an offline page of the study")
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument("--workers", type=positive_int, metavar="N",
                         help="score batches on a local Dask cluster of N workers")
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="score batches on the Dask cluster at ADDRESS")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress on standard error")
    parser.set_defaults(run=run)


def _value(value: float) -> str:
    return "-" if math.isnan(value) else f"{value:.3f}"


def summary_lines(result: Any, base: Any, objective: Any) -> list[str]:
    from fenmor_radar.scoring.durations import duration_text

    figure = f"{objective.figure} at {duration_text(objective.horizon)}"
    lines = [f"objective: {figure}" + (
        f", at most {objective.max_onsets_per_day:g} onsets per symbol and day"
        if objective.max_onsets_per_day is not None else ""
    ), "", "fold  trials  in-sample  out-of-sample  oos onsets  base in  base out"]
    for fold, (inside, outside) in zip(result.folds, base.scores[0], strict=True):
        lines.append(
            f"{fold.fold.number:>4}  {fold.trials:>6}  {_value(fold.in_sample):>9}  "
            f"{_value(fold.out_of_sample):>13}  {fold.out_of_sample_onsets:>10}  "
            f"{_value(inside.value):>7}  {_value(outside.value):>8}"
        )
    final = result.final
    lines.append("")
    lines.append(
        f"final spec (searched on folds before {final.fold.number}): out-of-sample "
        f"{figure} {_value(final.out_of_sample)} on fold {final.fold.number}"
        if final.best_spec is not None else "no feasible trial: no final spec"
    )
    return lines


@contextlib.contextmanager
def _client(args: argparse.Namespace) -> Iterator[Any]:
    if args.workers is None and args.scheduler is None:
        yield None
        return
    from fenmor_radar.distributed.cluster import run_client

    try:
        with run_client(scheduler=args.scheduler, workers=args.workers) as client:
            yield client
    except ImportError as err:
        raise CliError(str(err)) from err


def run(args: argparse.Namespace) -> int:
    try:
        import optuna

        from fenmor_radar.tuning.batch import Objective
        from fenmor_radar.tuning.search import local_runner, tune
        from fenmor_radar.tuning.space import SpaceError, read_space
    except ImportError as err:
        raise CliError(optional.missing_message("tune", "tune", err)) from err
    # Optuna's logging is the process's: the command owns its process, a caller
    # of tune() from Python keeps its own setting.
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    if args.html:
        need_plotly()
    if args.folds < 2:
        raise CliError("--folds must be at least 2: every reported score is out-of-sample",
                       errors.USAGE)
    if len(args.horizons) > 1:
        raise CliError("--horizon takes one duration, the objective's (for several, score the "
                       "best spec with fenmor-radar evaluate --horizons)", errors.USAGE)
    base = read_spec_text(args.spec)
    radar_from_text(base, args.spec)
    try:
        with open(args.space, encoding="utf-8") as file:
            space = read_space(file.read(), base, args.space)
    except OSError as err:
        raise CliError(f"cannot read {args.space}: {err.strerror or err}") from err
    except SpaceError as err:
        raise CliError(str(err)) from err
    objective = Objective(
        args.objective, args.horizons[0], args.max_onsets_per_day, args.cooldown, args.min_onsets
    )
    policy = CheckpointPolicy(every_ts=args.every_ts)
    with _client(args) as client:
        if client is None:
            runner = local_runner(args.events, policy, args.folds, objective)
        else:
            from fenmor_radar.tuning.cluster_runner import dask_runner

            runner = dask_runner(client, args.events, policy, args.folds, objective)
        try:
            base_result = runner([base])  # the folds' bounds, and the base spec's own score
        except (OSError, ValueError) as err:
            raise CliError(f"cannot replay {', '.join(args.events)}: {err}") from err

        def progress(fold: int, done: int) -> None:
            if not args.quiet:
                terminal.message(f"fold {fold}: {done:,} of {args.trials:,} trials")

        result, studies = tune(
            space, runner, base_result.folds, trials=args.trials, batch=args.batch,
            seed=args.seed, objective=objective, study_path=args.study, on_batch=progress,
        )
    lines = summary_lines(result, base_result, objective)
    out = terminal.standard_output()
    out.write("\n".join(lines) + "\n")
    final = result.final.best_spec
    if final is not None:
        out.write(json.dumps(json.loads(final)) + "\n")
    out.flush()
    if args.output and final is not None:
        with open(args.output, "w", encoding="utf-8") as file:
            file.write(json.dumps(json.loads(final), indent=2) + "\n")
    if args.html:
        from fenmor_radar.tuning.study_page import study_page

        with open(args.html, "w", encoding="utf-8") as file:
            file.write(study_page(result, studies, ", ".join(args.events), "\n".join(lines)))
    return errors.OK if final is not None else errors.FAILED
