"""What the shards learn of a piece of the input: small, whatever its size.

A piece's summary is all the driver needs to place the checkpoints of the
whole input exactly where the single replay places them (see
``global_plan``), without looking at any event. The pieces are the units
the shards read (``shard``); each shard reports its own lines of a
unit, and the reports of all shards together make the unit's summary.
"""

from __future__ import annotations

import heapq
from collections.abc import Sequence
from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class BadLineReport:
    """A line of the part that no radar accepts: its number in the part (from 1), and why.

    ``field`` names the member the fault is in, when the reader knows it.
    """

    line: int
    message: str
    field: str | None = None


@dataclass(frozen=True, slots=True)
class PartSummary:
    """One piece of the input (a part, or a unit of one), every line judged.

    ``lines``: lines of the piece, blank ones included (up to the fault when
    ``damage`` is set). ``events``: accepted events. ``blank``: numbers of
    the blank lines; ``bad``: the rejected lines, ascending. ``records``:
    (k, ts) for each accepted event at which the part's own running maximum
    of ts, divided by ``every_ts`` (floor), rises, the part's first accepted
    event included, k being the accepted events of the part before it (empty
    without ``every_ts``). ``max_ts``: the largest accepted ts. ``damage``:
    why the part broke off, when it did (nothing after it is read).
    """

    lines: int
    events: int
    blank: tuple[int, ...] = ()
    bad: tuple[BadLineReport, ...] = ()
    records: tuple[tuple[int, int], ...] = ()
    max_ts: int | None = None
    damage: str | None = None

    def __post_init__(self) -> None:
        if self.lines != self.events + len(self.blank) + len(self.bad):
            raise ValueError(
                f"a part summary must account for every line: {self.lines} lines, "
                f"{self.events} events, {len(self.blank)} blank, {len(self.bad)} bad"
            )

    def event_lines(self) -> EventLineFinder:
        return EventLineFinder(self)


class EventLineFinder:
    """The line number of the part's k-th accepted event, for ascending k.

    Every line is an event, blank or bad, so the k-th event is the k-th line
    that is neither: found by walking the (few) other lines once.
    """

    def __init__(self, summary: PartSummary) -> None:
        others = sorted([*summary.blank, *(bad.line for bad in summary.bad)])
        self._others = others
        self._at = 0  # others[:_at] lie before the line found last
        self._k = 0

    def line(self, k: int) -> int:
        """The line of the k-th event (from 1); 0 for k = 0 (before the part's first line)."""
        if k < self._k:
            raise ValueError("events must be asked for in ascending order")
        self._k = k
        if k == 0:
            return 0
        others = self._others
        line = k + self._at
        while self._at < len(others) and others[self._at] <= line:
            self._at += 1
            line += 1
        return line


@dataclass(frozen=True, slots=True)
class UnitReport:
    """One shard's lines of one unit of part ``part``; line numbers count from 1 in the unit.

    ``lines``: every line of the unit (the same on every shard). ``events``:
    the shard's accepted lines. ``blank``: the blank lines (shard 0 reports
    them). ``bad``: the shard's rejected lines. ``records``: (line, ts) for
    the shard's accepted lines at which its running maximum of ts, over all
    it has read, rises to a new period of T, its first one included.
    ``damage``: why the part broke off in this unit, its last.
    """

    part: int
    lines: int
    events: int
    blank: tuple[int, ...] = ()
    bad: tuple[BadLineReport, ...] = ()
    records: tuple[tuple[int, int], ...] = ()
    damage: str | None = None


def unit_summary(reports: Sequence[UnitReport]) -> PartSummary:
    """The summary of a unit from every shard's report of it.

    A rise of the clock's period over the whole input is a rise of the
    running maximum of the shard that read the event, so the shards' records
    together hold every one; a record's count of events before it is its
    line's number less the blank and rejected lines before it.
    """
    first = reports[0]
    for report in reports[1:]:
        if (report.part, report.lines) != (first.part, first.lines):
            raise ShardsDisagree(
                first.part,
                f"part {first.part}, {first.lines} lines against part {report.part}, "
                f"{report.lines} lines",
            )
    blank = tuple(sorted({line for report in reports for line in report.blank}))
    bad = tuple(heapq.merge(*(report.bad for report in reports), key=lambda bad: bad.line))
    others = list(heapq.merge(blank, (report.line for report in bad)))
    records = []
    at = 0
    for line, ts in heapq.merge(*(report.records for report in reports)):
        while at < len(others) and others[at] < line:
            at += 1
        records.append((line - 1 - at, ts))
    events = sum(report.events for report in reports)
    try:
        return PartSummary(first.lines, events, blank, bad, tuple(records), None, first.damage)
    except ValueError as err:  # a line one shard found blank another read as an event
        raise ShardsDisagree(first.part, str(err)) from err


class ShardsDisagree(RuntimeError):
    """The shards read part ``part`` differently: its file changed while they read it."""

    def __init__(self, part: int, detail: str) -> None:
        super().__init__(f"the shards read the input differently: {detail}")
        self.part = part
