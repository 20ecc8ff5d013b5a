"""Placing a replay's checkpoints on the input once its lines have been judged.

The places are those of the single replay (``replay.checkpoints``): after every
N-th accepted line, before the first accepted line whose ``ts`` enters a
later period of T than the largest ``ts`` accepted so far, and at the end
unless the last checkpoint already showed the final state. Rejected lines
count for nothing; with ``strict`` the first one ends the replay.

The planner needs no per-line work: between the rejected lines and the lines
where some shard's clock rose, every line is an accepted line that cannot
start a period, so its checkpoints follow from counting alone. A line that
raises the overall clock raises its own shard's clock too, so the shards'
rises include every place a period can start.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field

from fenmor_radar.replay.checkpoints import CheckpointPolicy


@dataclass(frozen=True, slots=True)
class CutMark:
    """A checkpoint: the state after all lines before ``cut``, with ``events`` accepted."""

    cut: int
    events: int


@dataclass(frozen=True, slots=True)
class RejectMark:
    index: int
    message: str


@dataclass(slots=True)
class ChunkPlan:
    """What happens within one chunk, in input order, and how far its lines are fed."""

    marks: list[CutMark | RejectMark] = field(default_factory=list)
    until: int = 0

    def cuts(self) -> tuple[int, ...]:
        """The distinct cuts, ascending (two checkpoints may show the same state)."""
        return tuple(sorted({mark.cut for mark in self.marks if isinstance(mark, CutMark)}))


class CheckpointPlanner:
    def __init__(self, policy: CheckpointPolicy, strict: bool = False) -> None:
        self.every = policy.every_events
        self.period = policy.every_ts
        self.strict = strict
        self.events = 0
        self.clock_period: int | None = None  # period of the largest accepted ts so far
        self.events_at_last_checkpoint: int | None = None
        self.stopped_at: int | None = None

    def plan(
        self,
        start: int,
        end: int,
        rejected: Iterable[tuple[int, str]],
        rises: Iterable[tuple[int, int]],
        last: bool,
    ) -> ChunkPlan:
        """The marks of lines ``start`` .. ``end - 1``.

        ``rejected``: (index, message) of every rejected line of the chunk;
        ``rises``: (index, ts) of accepted lines where a shard's clock rose;
        ``last``: whether the input ends with this chunk.
        """
        plan = ChunkPlan(until=end)
        places: list[tuple[int, str | int]] = [*rejected, *rises]
        places.sort(key=lambda place: place[0])  # a line is rejected or rises, never both
        cursor = start
        for index, what in places:
            self._accepted_run(cursor, index, plan)
            if isinstance(what, str):
                plan.marks.append(RejectMark(index, what))
                if self.strict:
                    self.stopped_at = index
                    plan.until = index
                    return plan
            else:
                self._rise(index, what, plan)
                self._accepted_run(index, index + 1, plan)
            cursor = index + 1
        self._accepted_run(cursor, end, plan)
        if last and self.events_at_last_checkpoint != self.events:
            self._checkpoint(end, plan)
        return plan

    def _checkpoint(self, cut: int, plan: ChunkPlan) -> None:
        plan.marks.append(CutMark(cut, self.events))
        self.events_at_last_checkpoint = self.events

    def _rise(self, index: int, ts: int, plan: ChunkPlan) -> None:
        period = self.period
        assert period is not None
        new = ts // period
        if self.clock_period is None:
            self.clock_period = new  # the first ts: no period has ended yet
        elif new > self.clock_period:
            self._checkpoint(index, plan)
            self.clock_period = new

    def _accepted_run(self, start: int, end: int, plan: ChunkPlan) -> None:
        """Count lines ``start`` .. ``end - 1``, all accepted, with their checkpoints."""
        count = end - start
        if count <= 0:
            return
        every = self.every
        if every is not None:
            first = every - self.events % every  # lines until the next multiple
            base = self.events
            for k in range(first, count + 1, every):
                self.events = base + k
                self._checkpoint(start + k, plan)
            self.events = base
        self.events += count
