"""The replay's checkpoints and bad lines over the whole input, from the parts' summaries.

The places are the single replay's (``replay.checkpoints``): after every N-th
accepted event; before the first accepted event whose ts // T exceeds the
clock's (the clock being the largest accepted ts so far, never moved back by
an older one; no boundary before the first event); at the end unless the
last checkpoint already showed the final state (always one when none was
taken). When an N- and a T-checkpoint fall at the same count, both are
given, the N one first. Rejected lines count for nothing; with ``strict`` the
first one ends the replay, without an end checkpoint. An input that breaks
off ends it too, after its lines read before the fault and the end
checkpoint (when due), as the single replay ends.

The summaries are taken in input order, one part at a time, so the plan of
the first parts is known (and the shards can start on it) while later parts
are still being scanned. The work is per summary entry, never per event:
N-checkpoints follow from counting, T-checkpoints can only fall at a part's
records (an event that raises the global clock's period raises its part's
running maximum's period too).
"""

from __future__ import annotations

import heapq
from collections.abc import Iterator
from dataclasses import dataclass

from fenmor_radar.distributed.summary import BadLineReport, PartSummary
from fenmor_radar.replay.checkpoints import CheckpointPolicy


@dataclass(frozen=True, slots=True, order=True)
class Cut:
    """A place in the input: after every line of the parts before ``part``
    and the lines of part ``part`` numbered up to ``line`` (0: none of them)."""

    part: int
    line: int


@dataclass(frozen=True, slots=True)
class PlannedCheckpoint:
    """The alerts after ``events`` accepted events in all, ``offset`` of them in part ``cut.part``."""

    cut: Cut
    offset: int
    events: int


@dataclass(frozen=True, slots=True)
class PlannedBadLine:
    part: int
    report: BadLineReport


PlanItem = PlannedCheckpoint | PlannedBadLine

# Order of what happens at the same count k of a part's accepted events: the
# checkpoint right after event k, then lines rejected after it, then the
# boundary taken when event k + 1 arrives.
_AFTER_EVENT, _BAD_LINE, _BEFORE_NEXT_EVENT = 0, 1, 2


class GlobalPlanner:
    def __init__(self, policy: CheckpointPolicy, strict: bool = False) -> None:
        self.every = policy.every
        self.period = policy.every_ts
        self.strict = strict
        self.parts = 0  # summaries taken
        self.events = 0  # accepted events of those parts (up to a stop)
        self.clock_period: int | None = None
        self.events_at_last_checkpoint: int | None = None
        self.stop: Cut | None = None  # where feeding ends early (strict or damage)
        self.stopped_at: BadLineReport | None = None  # the line a strict replay stopped at
        self.last_cut = Cut(0, 0)  # after the last event so far
        self.last_offset = 0  # events of its part before it

    @property
    def stopped(self) -> bool:
        return self.stop is not None

    def add(self, summary: PartSummary) -> list[PlanItem]:
        """The items of the next part, in output order; nothing once stopped."""
        if self.stopped:
            return []
        part = self.parts
        self.parts += 1
        lines = summary.event_lines()
        items: list[PlanItem] = []
        for k, what, detail in heapq.merge(
            self._every_n(summary.events),
            self._bad_lines(summary),
            self._records(summary),
            key=lambda entry: entry[:2],
        ):
            if what == _AFTER_EVENT:
                items.append(self._checkpoint(part, k, lines.line(k)))
            elif what == _BAD_LINE:
                assert isinstance(detail, BadLineReport)
                items.append(PlannedBadLine(part, detail))
                if self.strict:
                    self.events += k
                    self.stop = Cut(part, detail.line - 1)
                    self.stopped_at = detail
                    return items
            else:
                assert isinstance(detail, int) and self.period is not None
                new = detail // self.period
                if self.clock_period is None:
                    self.clock_period = new  # the first event: no period has ended yet
                elif new > self.clock_period:
                    items.append(self._checkpoint(part, k, lines.line(k)))
                    self.clock_period = new
        self.events += summary.events
        self.last_cut = Cut(part, lines.line(summary.events))
        self.last_offset = summary.events
        if summary.damage is not None:
            self.stop = Cut(part, summary.lines)
        return items

    def finish(self) -> list[PlanItem]:
        """The end checkpoint, when due (never after a strict stop)."""
        if self.stopped_at is not None or self.events_at_last_checkpoint == self.events:
            return []
        self.events_at_last_checkpoint = self.events
        return [PlannedCheckpoint(self.last_cut, self.last_offset, self.events)]

    def end(self) -> Cut:
        """How far the shards feed: through the last event, or up to the stop."""
        return self.stop if self.stop is not None else self.last_cut

    def _checkpoint(self, part: int, k: int, line: int) -> PlannedCheckpoint:
        events = self.events + k
        self.events_at_last_checkpoint = events
        return PlannedCheckpoint(Cut(part, line), k, events)

    def _every_n(self, count: int) -> Iterator[tuple[int, int, None]]:
        every = self.every
        if every is None:
            return
        for k in range(every - self.events % every, count + 1, every):
            yield k, _AFTER_EVENT, None

    @staticmethod
    def _bad_lines(summary: PartSummary) -> Iterator[tuple[int, int, BadLineReport]]:
        blank = summary.blank
        at = 0
        for rejected, report in enumerate(summary.bad):
            while at < len(blank) and blank[at] < report.line:
                at += 1
            yield report.line - 1 - at - rejected, _BAD_LINE, report

    def _records(self, summary: PartSummary) -> Iterator[tuple[int, int, int]]:
        if self.period is None:
            return
        for k, ts in summary.records:
            yield k, _BEFORE_NEXT_EVENT, ts
