"""The driver of a distributed replay: reading, routing, placing checkpoints, merging.

The input is cut into chunks. In each round every shard feeds its share of
the chunk judged in the round before, taking the alerts at the checkpoints
placed since, and judges its share of the next chunk; meanwhile the driver
reads the chunk after that. So the driver reads each line once and looks
only at its start (for the symbol), and the shards do the rest.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol

from fenmor_radar import Radar
from fenmor_radar.distributed.chunks import (
    DEFAULT_CHUNK_LINES,
    Chunk,
    InputDamaged,
    PilePayload,
    ShardPile,
    read_chunks,
)
from fenmor_radar.distributed.cluster import ShardSet, run_client
from fenmor_radar.distributed.merge import merge_replies, spec_limit
from fenmor_radar.distributed.plan import CheckpointPlanner, ChunkPlan, CutMark
from fenmor_radar.distributed.routing import ShardRouter
from fenmor_radar.distributed.shard import FeedPlan, RoundResult
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.items import BadLine, Checkpoint, ReplayStats
from fenmor_radar.replay.recording import DamagedInput, EventLine, EventSource

if TYPE_CHECKING:
    from distributed import Client

# How the work is shared. "rounds": the driver reads every line and sends it
# to its shard. "parts": the workers read the input themselves (two passes,
# see parts_driver); the driver never reads an event. The environment
# variable chooses when the caller does not (benchmarks, the command line).
ROUNDS = "rounds"
PARTS = "parts"
DEFAULT_DESIGN = ROUNDS
DESIGN_VARIABLE = "FENMOR_DISTRIBUTED_DESIGN"


def chosen_design(design: str | None = None) -> str:
    chosen = design or os.environ.get(DESIGN_VARIABLE) or DEFAULT_DESIGN
    if chosen not in (ROUNDS, PARTS):
        raise ValueError(f"unknown distributed design {chosen!r}: use {ROUNDS!r} or {PARTS!r}")
    return chosen


@dataclass(frozen=True, slots=True)
class MergedCheckpoint:
    """The alerts after ``events`` accepted events: one reply per spec, in the specs' order.

    ``ts`` is the replay clock, the largest ``ts`` accepted so far.
    """

    events: int
    ts: int | None
    replies: tuple[str, ...]

    @property
    def reply(self) -> str:
        return self.replies[0]

    def checkpoint(self, spec: int = 0) -> Checkpoint:
        """The checkpoint of one spec, as the single replay yields it."""
        return Checkpoint(self.events, self.ts, self.replies[spec])


@dataclass(frozen=True, slots=True)
class BadEventLine:
    """A line the radar rejected (or that could not be read), by file and line number."""

    source: str
    number: int
    message: str

    def bad_line(self) -> BadLine:
        return BadLine(self.number, self.message)


def bad_line_message(message: str, field: str | None) -> str:
    """The message shown for a rejected line, from the reader's message and the faulty member.

    The single replay's message, which does not name the member.
    """
    return message


class InputFileDamaged(DamagedInput):
    """An input broke off; ``source`` names it."""

    def __init__(self, source: str, error: DamagedInput) -> None:
        super().__init__(str(error))
        self.source = source


def check_specs(specs: str | Sequence[str]) -> tuple[tuple[str, ...], tuple[int | None, ...]]:
    """The spec texts and their limits; ``ValueError`` with the radar's message for a bad one."""
    texts = (specs,) if isinstance(specs, str) else tuple(specs)
    if not texts:
        raise ValueError("at least one spec is required")
    for number, text in enumerate(texts, 1):
        try:
            Radar(text)
        except ValueError as err:
            if len(texts) == 1:
                raise
            raise ValueError(f"spec {number}: {err}") from err
    return texts, tuple(spec_limit(text) for text in texts)


def check_cluster_arguments(
    client: Client | None, scheduler: str | None, workers: int | None, shards: int | None
) -> None:
    if client is not None and scheduler is not None:
        raise ValueError("give a client or a scheduler address, not both")
    if workers is not None and (client is not None or scheduler is not None or workers <= 0):
        raise ValueError("workers is the size of a local cluster started for the call, at least 1")
    if shards is not None and shards <= 0:
        raise ValueError(f"shards must be greater than zero, got {shards}")


def replay_lines(
    sources: Iterable[tuple[str, Iterable[EventLine]]],
    specs: str | Sequence[str],
    policy: CheckpointPolicy | None = None,
    *,
    client: Client | None = None,
    scheduler: str | None = None,
    workers: int | None = None,
    shards: int | None = None,
    strict: bool = False,
    stats: ReplayStats | None = None,
    chunk_lines: int = DEFAULT_CHUNK_LINES,
) -> Iterator[MergedCheckpoint | BadEventLine]:
    """Replay named line sources, in order, on a Dask cluster (see ``replay``)."""
    spec_texts, limits = check_specs(specs)
    if chunk_lines <= 0:
        raise ValueError(f"chunk_lines must be greater than zero, got {chunk_lines}")
    check_cluster_arguments(client, scheduler, workers, shards)
    return _replay(
        sources,
        spec_texts,
        limits,
        policy or CheckpointPolicy(),
        client=client,
        scheduler=scheduler,
        workers=workers,
        shards=shards,
        strict=strict,
        stats=stats if stats is not None else ReplayStats(),
        chunk_lines=chunk_lines,
    )


def replay(
    paths: str | Sequence[str],
    specs: str | Sequence[str],
    policy: CheckpointPolicy | None = None,
    *,
    client: Client | None = None,
    scheduler: str | None = None,
    workers: int | None = None,
    shards: int | None = None,
    strict: bool = False,
    stats: ReplayStats | None = None,
    chunk_lines: int = DEFAULT_CHUNK_LINES,
    design: str | None = None,
    part_bytes: int | None = None,
) -> Iterator[MergedCheckpoint | BadEventLine]:
    """Replay recordings (JSON lines, plain or gzip) through one or more specs on Dask.

    The files are read as one input, in the order given. Each checkpoint's
    replies are byte for byte those of one radar per spec fed the same lines
    in the same order, whatever the number of shards. The cluster is the
    caller's ``client``, the one at ``scheduler``, or a local cluster of
    ``workers`` processes started for the call; ``shards`` defaults to one
    per worker. Specs and files are checked before any cluster work: a bad
    spec raises ``ValueError`` with the radar's message, a missing file
    ``OSError``. A worker lost mid-run raises ``WorkerLost``.

    ``design`` chooses how the work is shared (``ROUNDS`` or ``PARTS``, see
    ``chosen_design``); with ``PARTS`` the paths may be any fsspec URL the
    workers can read, plain files are cut into parts of about ``part_bytes``,
    and ``chunk_lines`` is not used.
    """
    names = [paths] if isinstance(paths, str) else list(paths)
    spec_texts, limits = check_specs(specs)
    if chosen_design(design) == PARTS:
        from fenmor_radar.distributed.parts_driver import replay_parts

        return replay_parts(
            names,
            spec_texts,
            limits,
            policy or CheckpointPolicy(),
            client=client,
            scheduler=scheduler,
            workers=workers,
            shards=shards,
            strict=strict,
            stats=stats if stats is not None else ReplayStats(),
            part_bytes=part_bytes,
        )
    for name in names:
        if name != "-":
            with open(name, "rb"):
                pass
    return replay_lines(
        _open_sources(names),
        spec_texts,
        policy,
        client=client,
        scheduler=scheduler,
        workers=workers,
        shards=shards,
        strict=strict,
        stats=stats,
        chunk_lines=chunk_lines,
    )


def _open_sources(names: Sequence[str]) -> Iterator[tuple[str, Iterator[EventLine]]]:
    for name in names:
        with EventSource(name) as source:
            yield source.name, source.lines()


def _replay(
    sources: Iterable[tuple[str, Iterable[EventLine]]],
    specs: tuple[str, ...],
    limits: tuple[int | None, ...],
    policy: CheckpointPolicy,
    *,
    client: Client | None,
    scheduler: str | None,
    workers: int | None,
    shards: int | None,
    strict: bool,
    stats: ReplayStats,
    chunk_lines: int,
) -> Iterator[MergedCheckpoint | BadEventLine]:
    with run_client(client, scheduler, workers) as dask_client:
        shard_set = ShardSet(dask_client, shards, specs, policy.every_ts)
        try:
            yield from replay_on(shard_set, sources, limits, policy, strict, stats, chunk_lines)
        finally:
            shard_set.close()


class Shards(Protocol):
    """What the driver needs of the shards: ``ShardSet`` on Dask, or anything alike."""

    count: int

    def step(
        self, round_number: int, plan: FeedPlan | None, piles: Sequence[PilePayload] | None
    ) -> Any: ...

    def collect(self, calls: Any, round_number: int) -> Sequence[RoundResult]: ...


def replay_on(
    shard_set: Shards,
    sources: Iterable[tuple[str, Iterable[EventLine]]],
    limits: tuple[int | None, ...],
    policy: CheckpointPolicy,
    strict: bool,
    stats: ReplayStats,
    chunk_lines: int,
) -> Iterator[MergedCheckpoint | BadEventLine]:
    planner = CheckpointPlanner(policy, strict)
    reader = read_chunks(sources, ShardRouter(shard_set.count), chunk_lines)
    ahead: Chunk | InputDamaged | None = next(reader, None)
    if ahead is None:  # an empty input still has its checkpoint at the end
        ahead = Chunk("", 0, [ShardPile() for _ in range(shard_set.count)])
    judged: Chunk | None = None
    rejected: list[tuple[int, str]] = []
    rises: list[tuple[int, int]] = []
    round_number = 0
    while True:
        plan = None
        if judged is not None:
            plan = planner.plan(judged.start, judged.end, rejected, rises, last=ahead is None)
        to_judge = ahead if isinstance(ahead, Chunk) and planner.stopped_at is None else None
        if plan is None and to_judge is None:
            break
        feed = FeedPlan(plan.cuts(), plan.until) if plan is not None else None
        piles = None
        if to_judge is not None:
            piles = [pile.payload() for pile in to_judge.piles]
        calls = shard_set.step(round_number, feed, piles)
        following = next(reader, None) if to_judge is not None else None
        results = shard_set.collect(calls, round_number)
        if judged is not None and plan is not None:
            yield from _emit(judged, plan, results, limits, planner, stats)
        if planner.stopped_at is not None or to_judge is None:
            break
        judged = to_judge
        rejected = list(to_judge.unreadable)
        rises = []
        for result in results:
            assert result.judged is not None
            rejected += result.judged.rejected
            rises += result.judged.rises
        ahead = following
        round_number += 1
    if isinstance(ahead, InputDamaged) and planner.stopped_at is None:
        raise InputFileDamaged(ahead.source, ahead.error)


def _emit(
    chunk: Chunk,
    plan: ChunkPlan,
    results: Sequence[RoundResult],
    limits: tuple[int | None, ...],
    planner: CheckpointPlanner,
    stats: ReplayStats,
) -> Iterator[MergedCheckpoint | BadEventLine]:
    cut_slot = {cut: slot for slot, cut in enumerate(plan.cuts())}
    for result in results:
        stats.symbols.update(result.new_symbols)
    if planner.stopped_at is not None:
        stats.lines += planner.stopped_at + 1 - chunk.start
    else:
        stats.lines += chunk.count
    stats.events = planner.events
    clocks = [result.clock for result in results if result.clock is not None]
    stats.ts = max(clocks) if clocks else stats.ts
    for mark in plan.marks:
        if isinstance(mark, CutMark):
            slot = cut_slot[mark.cut]
            snapshots = [result.snapshots[slot] for result in results]
            shard_clocks = [snap.clock for snap in snapshots if snap.clock is not None]
            replies = tuple(
                merge_replies([snap.replies[spec] for snap in snapshots], limit)
                for spec, limit in enumerate(limits)
            )
            stats.checkpoints += 1
            yield MergedCheckpoint(mark.events, max(shard_clocks) if shard_clocks else None, replies)
        else:
            bad = BadEventLine(chunk.source, chunk.number(mark.index), mark.message)
            stats.bad_lines += 1
            if stats.first_bad is None:
                stats.first_bad = bad.bad_line()
            if planner.stopped_at == mark.index:
                stats.stopped_at = bad.bad_line()
            yield bad


