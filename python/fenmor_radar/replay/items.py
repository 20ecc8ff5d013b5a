"""What a replay yields (checkpoints, crossings and rejected lines) and what it counts."""

from __future__ import annotations

import json
from dataclasses import dataclass, field

from fenmor_radar.crossing import Crossing

__all__ = ["ALERTS_COMMAND", "BadLine", "Checkpoint", "Crossing", "ReplayStats"]

ALERTS_COMMAND = '{"cmd":"alerts"}'


@dataclass(frozen=True, slots=True)
class Checkpoint:
    """The alerts after ``events`` fed events, the clock (largest ``ts``) at ``ts``.

    ``spec`` names the spec of the reply when a replay runs several.
    """

    events: int
    ts: int | None
    reply: str
    spec: str | None = None
    # With peaks watched: the JSON array of the symbols that alerted since the
    # previous checkpoint, each at its highest severity and the ts it had then.
    peaks: str | None = None

    def head(self) -> str:
        """The opening of the checkpoint's JSON object: ``spec``, ``events`` and ``ts``."""
        ts = "null" if self.ts is None else str(self.ts)
        # ASCII escapes: a file name need not be valid UTF-8 (it may hold lone surrogates).
        spec = "" if self.spec is None else f'"spec":{json.dumps(self.spec)},'
        return f'{{{spec}"events":{self.events},"ts":{ts}'

    def json_line(self) -> str:
        """The checkpoint as one JSON object: the reply with ``events`` and ``ts`` in front
        (and ``peaks`` behind, when watched)."""
        body = self.reply[1:]
        if self.peaks is not None:
            body = f'{body[:-1]},"peaks":{self.peaks}}}'
        return f"{self.head()},{body}"


@dataclass(frozen=True, slots=True)
class BadLine:
    """A line the radar rejected (or that could not be read), with the reason."""

    number: int
    message: str
    field: str | None = None  # the member of the line the fault is in, when known
    source: str | None = None  # the recording's name, when the replay read several


@dataclass(slots=True)
class ReplayStats:
    """Counts of one replay, complete once the loop has finished."""

    lines: int = 0
    events: int = 0
    bad_lines: int = 0
    checkpoints: int = 0
    first_bad: BadLine | None = None
    stopped_at: BadLine | None = None
    symbols: set[str] = field(default_factory=set)
    ts: int | None = None
    distinct_symbols: int = 0  # when only the count is known (the native feeder)
    # Accepted events whose ts is below an earlier one of their symbol (the
    # radar takes them in input order), and where the first was: its line
    # and, when the replay read several, its recording's name.
    backwards: int = 0
    first_backwards: tuple[int, str | None] | None = None

    @property
    def symbol_count(self) -> int:
        return max(len(self.symbols), self.distinct_symbols)


