"""What the workers do in a replay by parts, as types: the part scanner and the shard feeder.

Two passes. First every part is scanned on its own (``PartScanner``), in
parallel, giving a ``PartSummary``; the driver turns the summaries into the
global plan. Then every shard (``ShardFeeder``) reads all the parts itself,
in input order, feeds the lines of its own symbols to one radar per spec and
answers "alerts" at the cuts the plan names. ``part_scan`` and
``shard_feed`` are the native ones.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Protocol

from fenmor_radar.distributed.global_plan import Cut
from fenmor_radar.distributed.parts import Part
from fenmor_radar.distributed.summary import PartSummary


class PartScanner(Protocol):
    def __call__(self, part: Part, every_ts: int | None) -> PartSummary:
        """Read every line of the part and judge it as the single replay does.

        A line is accepted or rejected whatever the spec, so no spec is
        needed. ``every_ts`` (T) decides the summary's records. A part that
        breaks off gives the summary of its lines before the fault, with
        ``damage`` set; any other failure raises.
        """
        ...


@dataclass(frozen=True, slots=True)
class ShardJob:
    """What one shard replays: all the parts, its share of the symbols, the specs.

    A line belongs to shard ``symbol_hash(symbol) % shards`` (the native module's),
    its symbol being the one a radar reads from it; a line naming no symbol
    is rejected by every radar and may be skipped by every shard.
    """

    parts: tuple[Part, ...]
    shard: int
    shards: int
    specs: tuple[str, ...]


@dataclass(frozen=True, slots=True)
class Snapshot:
    """A shard's state at a cut: its clock (largest ts fed) and one alerts reply per spec."""

    clock: int | None
    replies: tuple[str, ...]


@dataclass(frozen=True, slots=True)
class ShardEnd:
    """A shard's totals once it has fed everything up to the end cut."""

    clock: int | None
    symbols: frozenset[str]


class ShardFeeder(Protocol):
    """One shard's radars, fed from the parts in input order; built on the thread that uses it.

    Lines are fed exactly as the single replay feeds them (rejected lines
    leave the radars as they were). Cuts are given in ascending order over
    all calls (two calls may name the same cut: the state is answered
    again), and reading never goes back.
    """

    def take(self, cuts: Sequence[Cut]) -> list[Snapshot]:
        """Feed up to each cut in turn and answer "alerts" on every radar there.

        Each reply is the radar's own: its top ``limit`` alerts, all of them
        without a limit.
        """
        ...

    def finish(self, end: Cut) -> ShardEnd:
        """Feed up to ``end`` (no alerts), then close the parts and drop the radars."""
        ...


class ShardFeederFactory(Protocol):
    def __call__(self, job: ShardJob) -> ShardFeeder: ...
