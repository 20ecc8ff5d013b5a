"""Splitting a replay by spec: each worker runs a share of the specs over the whole input.

With many specs and few symbols (a spec sweep, ``tune`` on a cluster),
splitting by symbol leaves every shard holding every spec's radars and
skipping most lines. Split by spec instead, each group of specs is a shard
of one: it reads and decodes every line itself (no exchange) and feeds only
its own radars. To the driver the groups together are that one shard: they
read the same lines, so their reports of a unit must agree (the one report
is planned), and their answers at a cut are joined in the specs' order.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from fenmor_radar.distributed.global_plan import Cut
from fenmor_radar.distributed.shard import ShardEnd, ShardJob, Snapshot
from fenmor_radar.distributed.summary import ShardsDisagree

if TYPE_CHECKING:
    from fenmor_radar.distributed.driver import Answer, PartsWorkers


def spec_groups(specs: int, groups: int) -> list[range]:
    """The specs' indices cut into at most ``groups`` runs as even as can be, none empty."""
    groups = max(1, min(groups, specs))
    size, extra = divmod(specs, groups)
    runs = []
    start = 0
    for group in range(groups):
        stop = start + size + (1 if group < extra else 0)
        runs.append(range(start, stop))
        start = stop
    return runs


class SpecGroups:
    """``driver.PartsWorkers`` as one shard whose specs are shared among ``workers``' shards.

    ``workers.count`` is the most groups wanted; there are never more
    groups than specs.
    """

    count = 1
    reporters = 1

    def __init__(self, workers: PartsWorkers) -> None:
        self.workers = workers
        self.groups: list[range] = []

    def start(self, jobs: Sequence[ShardJob]) -> None:
        (job,) = jobs
        self.groups = spec_groups(len(job.specs), self.workers.count)
        self.workers.start([
            dataclasses.replace(job, specs=tuple(job.specs[i] for i in group))
            for group in self.groups
        ])

    def step(self, cuts: Sequence[Cut], through: int | None, read: bool) -> Any:
        return self.workers.step(cuts, through, read)

    def collect(self, pending: Any) -> list[Answer]:
        return [joined_answer(self.workers.collect(pending), self.groups)]

    def finish(self, end: Cut) -> list[ShardEnd]:
        # Every group fed the same events: their clocks, symbols and late events agree.
        return self.workers.finish(end)[:1]


def joined_answer(answers: Sequence[Answer], groups: Sequence[range]) -> Answer:
    """The groups' answers to one request as one shard's: each snapshot's replies (and
    peaks) in the specs' order, the crossings with their specs numbered among all."""
    reports = [report for _, report, _ in answers]
    first = reports[0]
    for report in reports[1:]:
        if report != first:
            part = first.part if first is not None else report.part if report is not None else 0
            raise ShardsDisagree(part, "two groups of specs read different lines")
    snapshots = []
    for at, snapshot in enumerate(answers[0][0]):
        shares = [snapshots_of[at] for snapshots_of, _, _ in answers]
        peaks = None
        if snapshot.peaks is not None:
            peaks = tuple(entry for share in shares if share.peaks is not None
                          for entry in share.peaks)
        snapshots.append(Snapshot(snapshot.clock,
                                  tuple(reply for share in shares for reply in share.replies),
                                  peaks))
    crossings = [
        dataclasses.replace(crossing, spec=group.start + crossing.spec)
        for (_, _, group_crossings), group in zip(answers, groups, strict=True)
        for crossing in group_crossings
    ]
    return snapshots, first, crossings
