"""What the first pass learns of one part: small, whatever the part's size.

A part's summary is all the driver needs to place the checkpoints of the
whole input exactly where the single replay places them (see
``global_plan``), without looking at any event.
"""

from __future__ import annotations

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
    """One part, scanned.

    ``lines``: lines of the part, blank ones included (up to the fault when
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
