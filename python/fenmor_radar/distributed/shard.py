"""One shard: the radars (one per spec) for the symbols routed to it.

A shard lives on a Dask worker as an actor. Dask runs all actor calls of a
worker on one thread, and a radar may only be used by the thread that built
it, so the radars are built by the first call and dropped by ``close``, not
in ``__init__`` (which runs on a task thread).

Each call is one round: feed the lines judged in the previous round, taking
the alerts at the checkpoints the driver placed, then judge the next lines.
Rounds are numbered; a shard that missed one (its worker died and Dask built
it again, empty) refuses to go on rather than answer from a partial state.
"""

from __future__ import annotations

from bisect import bisect_left
from dataclasses import dataclass
from itertools import accumulate

from fenmor_radar import Radar, __version__
from fenmor_radar.distributed.chunks import PilePayload
from fenmor_radar.distributed.routing import line_symbol
from fenmor_radar.distributed.verdicts import LineJudge, Verdicts
from fenmor_radar.replay.event_line import OK_REPLY
from fenmor_radar.replay.items import ALERTS_COMMAND


class ShardStateLost(RuntimeError):
    """The shard is not the one that took part in the earlier rounds."""


@dataclass(frozen=True, slots=True)
class FeedPlan:
    """Feed the judged lines before ``until``, taking the alerts at each cut.

    A cut ``c`` is the state after every line with a running index below ``c``.
    """

    cuts: tuple[int, ...]
    until: int


@dataclass(frozen=True, slots=True)
class Snapshot:
    """A shard's alerts replies (one per spec) at a cut, and its clock there."""

    clock: int | None
    replies: tuple[str, ...]


@dataclass(frozen=True, slots=True)
class Judged:
    """What the driver needs to place checkpoints: rejected lines and clock rises."""

    rejected: list[tuple[int, str]]
    rises: list[tuple[int, int]]


@dataclass(frozen=True, slots=True)
class RoundResult:
    round: int
    snapshots: list[Snapshot]
    new_symbols: list[str]
    clock: int | None
    judged: Judged | None


class Shard:
    def __init__(self, specs: tuple[str, ...], every_ts: int | None) -> None:
        self.specs = specs
        self.every_ts = every_ts
        self.rounds = 0
        self.radars: list[Radar] | None = None
        self.judge: LineJudge | None = None
        self.pending: Verdicts | None = None
        self.clock: int | None = None  # largest ts fed to the radars
        self.symbols: set[str] = set()

    def version(self) -> str:
        return __version__

    def step(
        self,
        round_number: int,
        plan: FeedPlan | None,
        pile: PilePayload | None,
    ) -> RoundResult:
        if round_number != self.rounds:
            raise ShardStateLost(
                f"shard expected round {self.rounds}, got round {round_number}: "
                "it was rebuilt and has lost its radars' state"
            )
        if self.radars is None:
            self.radars = [Radar(spec) for spec in self.specs]
            self.judge = LineJudge(self.every_ts)
        snapshots: list[Snapshot] = []
        new_symbols: list[str] = []
        if plan is not None:
            snapshots, new_symbols = self._feed(plan)
        judged = None
        if pile is not None:
            assert self.judge is not None
            self.pending = self.judge.judge(pile.index_list(), pile)
            judged = Judged(self.pending.rejected, self.pending.rises)
        self.rounds += 1
        return RoundResult(round_number, snapshots, new_symbols, self.clock, judged)

    def _feed(self, plan: FeedPlan) -> tuple[list[Snapshot], list[str]]:
        lines = self.pending
        self.pending = None
        if lines is None:
            raise ShardStateLost("shard was asked to feed lines it has not judged")
        radars = self.radars
        assert radars is not None
        indices, commands = lines.indices, lines.commands
        stop = bisect_left(indices, plan.until)
        # The clock at each cut: the largest ts fed before it.
        running = list(accumulate(lines.ts[:stop], max))
        snapshots: list[Snapshot] = []
        start = 0
        for end in [*(bisect_left(indices, cut, 0, stop) for cut in plan.cuts), None]:
            batch = commands[start:stop if end is None else end]
            for radar in radars:
                # One map per radar: no Python code runs between the feeds.
                replies = list(map(radar.command, batch))
                if replies.count(OK_REPLY) != len(replies):  # the scratch radar accepted them all
                    bad = next(reply for reply in replies if reply != OK_REPLY)
                    raise RuntimeError(f"a judged line was rejected on feeding: {bad}")
            if end is None:
                break
            start = end
            clock = running[end - 1] if end else None
            if self.clock is not None:
                clock = self.clock if clock is None else max(clock, self.clock)
            snapshots.append(Snapshot(clock, tuple(radar.command(ALERTS_COMMAND) for radar in radars)))
        if running:
            self.clock = running[-1] if self.clock is None else max(self.clock, running[-1])
        symbols = lines.symbols
        if stop < len(indices):  # stopped early: only the symbols of the lines fed
            symbols = list({symbol for symbol in map(line_symbol, commands[:stop]) if symbol is not None})
        new_symbols = [symbol for symbol in symbols if symbol not in self.symbols]
        self.symbols.update(new_symbols)
        return snapshots, new_symbols

    def close(self) -> None:
        """Drop the radars on the thread that built them."""
        self.radars = None
        self.judge = None
        self.pending = None
