"""The driver of a replay by parts: plan the parts, gather the summaries, plan, dispatch, merge.

The driver never reads an event. The workers scan the parts (first pass)
and the driver turns the summaries, in input order, into the global plan;
the shards read the parts themselves (second pass) and answer at the plan's
cuts; the driver merges their replies per checkpoint. A part's plan is
known as soon as its summary and those before it are in, so the shards
start on the first parts while later ones are still being scanned.
"""

from __future__ import annotations

from collections import deque
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, Protocol

from fenmor_radar.distributed.cluster import run_client
from fenmor_radar.distributed.driver import (
    BadEventLine,
    InputFileDamaged,
    MergedCheckpoint,
    check_cluster_arguments,
)
from fenmor_radar.distributed.global_plan import (
    Cut,
    GlobalPlanner,
    PlanItem,
    PlannedCheckpoint,
)
from fenmor_radar.distributed.merge import merge_replies
from fenmor_radar.distributed.part_scan import scan_part
from fenmor_radar.distributed.parts import DEFAULT_PART_BYTES, Part, plan_parts
from fenmor_radar.distributed.parts_cluster import DaskPartsWorkers
from fenmor_radar.distributed.shard_contract import (
    PartScanner,
    ShardEnd,
    ShardFeederFactory,
    ShardJob,
    Snapshot,
)
from fenmor_radar.distributed.shard_feed import NativeShardFeeder
from fenmor_radar.distributed.summary import PartSummary
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.items import ReplayStats
from fenmor_radar.replay.recording import STDIN_NAME, DamagedInput

if TYPE_CHECKING:
    from distributed import Client

CUTS_PER_CALL = 1024  # checkpoints asked of the shards at once: bounds what a call holds
CALLS_IN_FLIGHT = 2  # the shards work on the next call while the driver merges one


class PartsWorkers(Protocol):
    """What the driver needs of the workers: ``DaskPartsWorkers``, or anything alike."""

    @property
    def count(self) -> int:
        """The number of shards."""
        ...

    def scan(self, parts: Sequence[Part], every_ts: int | None) -> Iterator[PartSummary]:
        """The parts' summaries, in input order (scanned in parallel)."""
        ...

    def start(self, jobs: Sequence[ShardJob]) -> None: ...

    def take(self, cuts: Sequence[Cut]) -> Any:
        """Ask every shard for its snapshots at the cuts; ``collect`` waits for them."""
        ...

    def collect(self, pending: Any) -> list[list[Snapshot]]:
        """Per shard, one snapshot per cut."""
        ...

    def finish(self, end: Cut) -> list[ShardEnd]: ...


def replay_parts_on(
    workers: PartsWorkers,
    parts: Sequence[Part],
    specs: tuple[str, ...],
    limits: tuple[int | None, ...],
    policy: CheckpointPolicy,
    strict: bool,
    stats: ReplayStats,
) -> Iterator[MergedCheckpoint | BadEventLine]:
    shards = workers.count
    summaries = workers.scan(parts, policy.every_ts)
    workers.start([ShardJob(tuple(parts), shard, shards, specs) for shard in range(shards)])
    planner = GlobalPlanner(policy, strict)
    emitter = _Emitter(workers, parts, limits, stats)
    damage: tuple[str, str] | None = None
    for part, summary in zip(parts, summaries, strict=False):
        emitter.part_scanned(summary)
        items = planner.add(summary)
        # Lines read, blank ones included, as the single replay counts them.
        stats.lines += summary.lines if planner.stopped_at is None else planner.stopped_at.line
        yield from emitter.dispatch(items)
        if planner.stopped_at is None and summary.damage is not None:
            damage = (part.source, summary.damage)
        if planner.stopped:
            break
    yield from emitter.dispatch(planner.finish())
    yield from emitter.drain()
    if planner.stopped_at is not None:
        stats.stopped_at = stats.first_bad
    ends = workers.finish(planner.end())
    for end in ends:
        stats.symbols.update(end.symbols)
    clocks = [end.clock for end in ends if end.clock is not None]
    stats.ts = max(clocks) if clocks else None
    stats.events = planner.events
    if damage is not None:
        raise InputFileDamaged(damage[0], DamagedInput(damage[1]))


class _Emitter:
    """Turns plan items into output: bad lines at once, checkpoints once their shards answer."""

    def __init__(
        self,
        workers: PartsWorkers,
        parts: Sequence[Part],
        limits: tuple[int | None, ...],
        stats: ReplayStats,
    ) -> None:
        self.workers = workers
        self.parts = parts
        self.limits = limits
        self.stats = stats
        self.first_lines: list[int] = []  # per part scanned: lines of its file before it
        self.file_lines: dict[int, int] = {}
        self.waiting: list[PlanItem] = []  # items behind a checkpoint not yet asked for
        self.in_flight: deque[tuple[list[PlanItem], list[Cut], Any]] = deque()

    def part_scanned(self, summary: PartSummary) -> None:
        file = self.parts[len(self.first_lines)].file
        before = self.file_lines.get(file, 0)
        self.first_lines.append(before)
        self.file_lines[file] = before + summary.lines

    def dispatch(self, items: Sequence[PlanItem]) -> Iterator[MergedCheckpoint | BadEventLine]:
        """Ask the shards for the items' checkpoints (one call per part, or per CUTS_PER_CALL)."""
        for item in items:
            if not self.in_flight and not self.waiting and not isinstance(item, PlannedCheckpoint):
                yield self._bad_line(item)
                continue
            self.waiting.append(item)
            if len(self.waiting) >= CUTS_PER_CALL:
                yield from self._send()
        yield from self._send()

    def drain(self) -> Iterator[MergedCheckpoint | BadEventLine]:
        yield from self._send()
        while self.in_flight:
            yield from self._receive()

    def _send(self) -> Iterator[MergedCheckpoint | BadEventLine]:
        if not self.waiting:
            return
        items, self.waiting = self.waiting, []
        cuts = sorted({item.cut for item in items if isinstance(item, PlannedCheckpoint)})
        pending = self.workers.take(cuts) if cuts else None
        self.in_flight.append((items, cuts, pending))
        while len(self.in_flight) > CALLS_IN_FLIGHT:
            yield from self._receive()

    def _receive(self) -> Iterator[MergedCheckpoint | BadEventLine]:
        items, cuts, pending = self.in_flight.popleft()
        answers = self.workers.collect(pending) if pending is not None else []
        slot = {cut: at for at, cut in enumerate(cuts)}
        for item in items:
            if isinstance(item, PlannedCheckpoint):
                yield self._checkpoint(item, [snapshots[slot[item.cut]] for snapshots in answers])
            else:
                yield self._bad_line(item)

    def _checkpoint(self, item: PlannedCheckpoint, snapshots: list[Snapshot]) -> MergedCheckpoint:
        clocks = [snap.clock for snap in snapshots if snap.clock is not None]
        replies = tuple(
            merge_replies([snap.replies[spec] for snap in snapshots], limit)
            for spec, limit in enumerate(self.limits)
        )
        self.stats.checkpoints += 1
        return MergedCheckpoint(item.events, max(clocks) if clocks else None, replies)

    def _bad_line(self, item: PlanItem) -> BadEventLine:
        assert not isinstance(item, PlannedCheckpoint)
        report = item.report
        bad = BadEventLine(
            self.parts[item.part].source,
            self.first_lines[item.part] + report.line,
            report.message,
            report.field,
        )
        stats = self.stats
        stats.bad_lines += 1
        line = bad.bad_line()
        if stats.first_bad is None:
            stats.first_bad = line
        return bad


def replay_parts(
    paths: Sequence[str],
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
    part_bytes: int | None = None,
    scanner: PartScanner = scan_part,
    feeder: ShardFeederFactory = NativeShardFeeder,
) -> Iterator[MergedCheckpoint | BadEventLine]:
    """``driver.replay`` by parts; the arguments and the files are checked before returning."""
    check_cluster_arguments(client, scheduler, workers, shards)
    if STDIN_NAME in paths:
        raise ValueError(
            "a replay by parts is read by the workers: give files (or URLs), not standard input"
        )
    parts = plan_parts(paths, DEFAULT_PART_BYTES if part_bytes is None else part_bytes)

    # The checks above run at the call; the cluster work runs when iterated.
    def run() -> Iterator[MergedCheckpoint | BadEventLine]:
        with run_client(client, scheduler, workers) as dask_client:
            on_dask = DaskPartsWorkers(dask_client, shards, scanner, feeder)
            try:
                yield from replay_parts_on(on_dask, parts, specs, limits, policy, strict, stats)
            finally:
                on_dask.close()

    return run()
