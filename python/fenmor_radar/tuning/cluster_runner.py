"""Batches of trials on a Dask cluster: each worker replays its share of a batch itself.

No event crosses the network: a worker is sent the recordings' paths and its
specs, reads the files, and sends back only the scores. So the paths must
name the same files on every worker (a shared disk, or a local cluster).
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.tuning.batch import BatchResult, Objective, score_batch
from fenmor_radar.tuning.search import Runner


def _shares(specs: Sequence[str], count: int) -> list[list[str]]:
    size = -(-len(specs) // count)
    return [list(specs[i : i + size]) for i in range(0, len(specs), size)]


def dask_runner(
    client: Any, paths: Sequence[str], policy: CheckpointPolicy, fold_count: int, objective: Objective
) -> Runner:
    absolute = [os.path.abspath(path) for path in paths]

    def run(specs: Sequence[str]) -> BatchResult:
        workers = max(1, len(client.scheduler_info()["workers"]))
        shares = _shares(specs, workers)
        futures = [
            client.submit(score_batch, absolute, share, policy, fold_count, objective, pure=False)
            for share in shares
        ]
        results: list[BatchResult] = client.gather(futures)
        scores = [score for result in results for score in result.scores]
        return BatchResult(results[0].folds, scores)

    return run
