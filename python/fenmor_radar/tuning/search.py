"""The walk-forward search: one Optuna study per fold, its trials asked in batches.

For fold k the study searches on the folds before it; each batch of trials
is scored in one replay (``batch.score_batch``), locally or spread over Dask
workers. A trial over the alert budget is infeasible (an Optuna constraint,
not a penalty). Each trial keeps its out-of-sample score as a user attribute;
the search never looks at it, the report shows it beside the in-sample one.

With a study file, the studies live in Optuna's journal storage: a run that
was stopped resumes where it stopped and ends with the asked number of
trials. Trials left running by a stopped run are marked failed and do not
count.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from fenmor_radar import Radar
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.tuning.batch import BatchResult, BatchScorer, Objective
from fenmor_radar.tuning.folds import Fold
from fenmor_radar.tuning.space import Space

# The constraints: onsets per symbol and day above the budget, onsets short
# of the minimum; the user attribute holds the larger.
INFEASIBLE = "over budget"
TOO_FEW = "too few onsets"


@dataclass(frozen=True, slots=True)
class FoldResult:
    fold: Fold
    study: str
    trials: int
    best_spec: str | None  # None: no feasible trial
    in_sample: float
    out_of_sample: float
    out_of_sample_onsets: int


@dataclass(frozen=True, slots=True)
class TuneResult:
    folds: list[FoldResult]

    @property
    def final(self) -> FoldResult:
        """The last fold's: its spec searched on all but the last fold, scored on the last."""
        return self.folds[-1]


Runner = Callable[[Sequence[str]], BatchResult]


def local_runner(paths: Sequence[str], policy: CheckpointPolicy, fold_count: int, objective: Objective) -> Runner:
    return BatchScorer(paths, policy, fold_count, objective)


def _storage(path: str | None) -> Any:
    if path is None:
        return None
    import optuna
    from optuna.storages.journal import JournalFileBackend

    return optuna.storages.JournalStorage(JournalFileBackend(path))


def _infeasible(trial: Any, over_budget: float, too_few: float) -> None:
    """Marks how far from feasible the trial is (<= 0: feasible), for the sampler and for us."""
    trial.set_constraint(INFEASIBLE, over_budget)
    trial.set_constraint(TOO_FEW, too_few)
    trial.set_user_attr(INFEASIBLE, max(over_budget, too_few))


def _valid(spec: str) -> bool:
    try:
        Radar(spec)
    except ValueError:
        return False
    return True


def _best(study: Any) -> Any | None:
    import optuna

    feasible = [
        t for t in study.get_trials(deepcopy=False, states=(optuna.trial.TrialState.COMPLETE,))
        if t.user_attrs.get(INFEASIBLE, 0.0) <= 0.0 and t.value is not None
    ]
    # Ties go to the earliest trial, so that the same seed picks the same one.
    return max(feasible, key=lambda t: (t.value, -t.number), default=None)


def search_fold(
    fold: int,
    space: Space,
    runner: Runner,
    *,
    trials: int,
    batch: int,
    seed: int,
    objective: Objective,
    storage: Any,
    on_batch: Callable[[int, int], None] | None = None,
) -> Any:
    """Run (or resume) fold ``fold``'s study until it holds ``trials`` complete trials."""
    import optuna

    sampler = optuna.samplers.TPESampler(seed=seed + fold)
    study = optuna.create_study(
        study_name=f"fold {fold}", storage=storage, direction="maximize", sampler=sampler,
        load_if_exists=True,
    )
    for stale in study.get_trials(deepcopy=False, states=(optuna.trial.TrialState.RUNNING,)):
        study.tell(stale.number, state=optuna.trial.TrialState.FAIL)
    while True:
        done = len(study.get_trials(deepcopy=False, states=(optuna.trial.TrialState.COMPLETE,)))
        if done >= trials:
            return study
        asked = [study.ask() for _ in range(min(batch, trials - done))]
        specs = [space.spec(space.suggest(trial)) for trial in asked]
        valid = [i for i, spec in enumerate(specs) if _valid(spec)]
        result = runner([specs[i] for i in valid]) if valid else None
        for i, trial in enumerate(asked):
            trial.set_user_attr("spec", specs[i])
            if i not in valid or result is None:
                _infeasible(trial, math.inf, math.inf)  # a spec the radar refuses
                study.tell(trial, 0.0)
                continue
            inside, outside = result.scores[valid.index(i)][fold - 1]
            _infeasible(trial, inside.over_budget(objective), inside.too_few(objective))
            trial.set_user_attr("onsets", inside.onsets)
            trial.set_user_attr("onsets_per_day", inside.onsets_per_day)
            trial.set_user_attr("out_of_sample", outside.value)
            trial.set_user_attr("out_of_sample_onsets", outside.onsets)
            study.tell(trial, inside.value)
        if on_batch is not None:
            on_batch(fold, done + len(asked))


def tune(
    space: Space,
    runner: Runner,
    folds: list[Fold],
    *,
    trials: int,
    batch: int,
    seed: int,
    objective: Objective,
    study_path: str | None = None,
    on_batch: Callable[[int, int], None] | None = None,
) -> tuple[TuneResult, list[Any]]:
    """Every fold's search; the result and the Optuna studies (for the study page)."""
    import optuna

    storage = _storage(study_path)
    results: list[FoldResult] = []
    studies: list[Any] = []
    for fold in folds:
        study = search_fold(
            fold.number, space, runner, trials=trials, batch=batch, seed=seed,
            objective=objective, storage=storage, on_batch=on_batch,
        )
        studies.append(study)
        best = _best(study)
        results.append(
            FoldResult(
                fold=fold,
                study=study.study_name,
                trials=len(study.get_trials(deepcopy=False, states=(optuna.trial.TrialState.COMPLETE,))),
                best_spec=None if best is None else best.user_attrs["spec"],
                in_sample=math.nan if best is None else float(best.value),
                out_of_sample=math.nan if best is None else float(best.user_attrs["out_of_sample"]),
                out_of_sample_onsets=0 if best is None else int(best.user_attrs["out_of_sample_onsets"]),
            )
        )
    return TuneResult(results), studies
