"""What the workers do in a replay by parts, as types: one shard reader per shard.

Every shard reads every part, in input order, in units of ``unit_lines``
lines (the last unit of a part is shorter), the same units on every shard.
It decodes only its own lines and keeps their events; per unit it reports
a ``UnitReport`` of its own lines. The driver merges the shards' reports of
a unit into the unit's summary, plans the unit's checkpoints from it and
sends the cuts back; the shards apply their kept events up to each cut and
answer "alerts" there. ``shard_read`` is the native one.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Protocol

from fenmor_radar.distributed.global_plan import Cut
from fenmor_radar.distributed.parts import Part
from fenmor_radar.distributed.summary import UnitReport


@dataclass(frozen=True, slots=True)
class ShardJob:
    """What one shard replays: all the parts, its share of the symbols, the specs.

    A line belongs to shard ``symbol_hash(symbol) % shards`` (the native
    module's), its symbol being the one a radar reads from it; a line that
    names no symbol is rejected, and reported by the shard of the symbol
    found in its text, or by shard 0 when none is found without reading it
    whole. ``every_ts`` (T) decides the reports' records.
    """

    parts: tuple[Part, ...]
    shard: int
    shards: int
    specs: tuple[str, ...]
    every_ts: int | None
    unit_lines: int
    crossings: bool = False  # whether the shard watches its symbols' crossings


@dataclass(frozen=True, slots=True)
class Snapshot:
    """A shard's state at a cut: its clock (largest ts applied) and one alerts reply per spec."""

    clock: int | None
    replies: tuple[str, ...]


@dataclass(frozen=True, slots=True)
class ShardCrossing:
    """A crossing of one of the shard's symbols at line ``line`` of unit ``unit``, under the
    spec numbered ``spec`` (see ``fenmor_radar.Crossing``); the driver counts its events."""

    unit: int
    line: int
    direction: str
    spec: int
    symbol: str
    ts: int
    severity: float
    alert: str


@dataclass(frozen=True, slots=True)
class ShardEnd:
    """A shard's totals once it has applied everything up to the end cut."""

    clock: int | None
    symbols: frozenset[str]
    # Events whose ts went back for their symbol, and the (unit, line) of the first.
    backwards: int = 0
    first_backwards: tuple[int, int] | None = None


class ShardReader(Protocol):
    """One shard's radars, fed from the parts in input order; built on the thread that uses it.

    Lines are fed exactly as the single replay feeds them (rejected lines
    leave the radars as they were). Cuts name units (``Cut.part``) and lines
    in them; they are given in ascending order over all calls (two may be
    the same: the state is answered again), and applying never goes back.
    """

    def step(
        self, cuts: Sequence[Cut], through: int | None, read: bool
    ) -> tuple[list[Snapshot], UnitReport | None, list[ShardCrossing]]:
        """Apply up to each cut in turn and answer "alerts" on every radar there;
        then apply everything of the units up to ``through``; then, with
        ``read``, read the next unit and report it (None once the input has
        ended). Last, the crossings of the events applied (none unless the
        job watches them), in input order.

        Each reply is the radar's own: its top ``limit`` alerts, all of them
        without a limit.
        """
        ...

    def finish(self, end: Cut) -> ShardEnd:
        """Apply up to ``end`` (no alerts), then close the parts and drop the radars."""
        ...


class ShardReaderFactory(Protocol):
    def __call__(self, job: ShardJob) -> ShardReader: ...
