"""The distributed replay's driver: plan the parts, merge the shards' reports, plan, merge.

The driver never reads an event. The workers read the input themselves, in
parts: every shard reads every part in units of lines, decodes its own lines
once and keeps their events; per unit it reports a few figures of its own
lines. The driver merges the reports of a unit into its summary, places the
unit's checkpoints (``global_plan``) and sends the cuts back with the next
request; the shards apply their kept events up to each cut, answer "alerts"
there, and read on. Requests are kept in flight, so the shards read the next
unit while the driver plans one. The driver's work is per unit and per
checkpoint, never per event: it merges the shards' replies per checkpoint.
With crossings watched, each shard also answers the crossings of the events
it applied; the driver counts their events from the unit's summary and puts
them in input order among the checkpoints and bad lines.
"""

from __future__ import annotations

import bisect
from collections import deque
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol

from fenmor_radar._native import describe_spec
from fenmor_radar.distributed.cluster import DaskPartsWorkers, DaskReaders, run_client
from fenmor_radar.distributed.exchange import ExchangeWorkers
from fenmor_radar.distributed.global_plan import Cut, GlobalPlanner, PlanItem, PlannedCheckpoint
from fenmor_radar.distributed.merge import merge_replies
from fenmor_radar.distributed.parts import DEFAULT_PART_BYTES, Part, plan_parts
from fenmor_radar.distributed.probe import check_recordings
from fenmor_radar.distributed.shard import ShardCrossing, ShardEnd, ShardJob, Snapshot
from fenmor_radar.distributed.spec_split import SpecGroups
from fenmor_radar.distributed.summary import (
    PartSummary,
    ShardsDisagree,
    UnitReport,
    unit_summary,
)
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import CheckpointReplies, RecordingDamaged
from fenmor_radar.replay.items import BadLine, Crossing, ReplayStats
from fenmor_radar.replay.recording import STDIN_NAME, DamagedInput

if TYPE_CHECKING:
    from distributed import Client

# Lines of a unit: a reader's packets of one unit (about 33 MB at 32 bytes an
# event), and few enough units that the driver's and Dask's cost per unit
# (S + 1 requests, S packets) stays small against the events': half as many
# units as at 524,288 lines cost the cluster about 4 % less CPU at S = 8.
UNIT_LINES = 1 << 20
SPLITS = ("symbols", "specs")  # what the shards share out: the symbols, or the specs
REQUESTS_IN_FLIGHT = 3  # the shards read ahead while the driver plans, and ride out a slow shard

Answer = tuple[list[Snapshot], UnitReport | None, list[ShardCrossing]]


@dataclass(frozen=True, slots=True)
class MergedCheckpoint(CheckpointReplies):
    """The shards' replies merged: what the single replay yields at the same checkpoint."""

    @property
    def reply(self) -> str:
        return self.replies[0]


@dataclass(frozen=True, slots=True)
class BadEventLine:
    """A line the radar rejected (or that could not be read), by file and line number.

    ``message`` is the radar's, ``field`` the member at fault when known; the
    command line shows them as the single replay does (``replay.bad_lines``).
    """

    source: str
    number: int
    message: str
    field: str | None = None

    def bad_line(self) -> BadLine:
        return BadLine(self.number, self.message, self.field)


class InputChanged(Exception):
    """An input changed while the workers read it; ``source`` names it."""

    def __init__(self, source: str, detail: str) -> None:
        super().__init__(
            f"{source} changed while the replay read it (the workers found different contents: "
            f"{detail}); replay a file that is no longer written to, or a copy of it"
        )
        self.source = source


class InputFileDamaged(RecordingDamaged):
    """An input broke off; ``source`` names it, ``lines`` are its lines read before the
    fault (told as the single replay tells its ``RecordingDamaged``)."""

    def __init__(self, source: str, error: DamagedInput, lines: int = 0) -> None:
        super().__init__(source, lines, error)


Item = MergedCheckpoint | BadEventLine | Crossing


def check_specs(specs: str | Sequence[str]) -> tuple[tuple[str, ...], tuple[int | None, ...]]:
    """The spec texts and their limits; ``ValueError`` with the radar's message for a bad one."""
    texts = (specs,) if isinstance(specs, str) else tuple(specs)
    if not texts:
        raise ValueError("at least one spec is required")
    limits = []
    for number, text in enumerate(texts, 1):
        try:
            limits.append(describe_spec(text)["limit"])
        except ValueError as err:
            if len(texts) == 1:
                raise
            raise ValueError(f"spec {number}: {err}") from err
    return texts, tuple(limits)


def check_cluster_arguments(
    client: Client | None, scheduler: str | None, workers: int | None, shards: int | None
) -> None:
    if client is not None and scheduler is not None:
        raise ValueError("give a client or a scheduler address, not both")
    if workers is not None and (client is not None or scheduler is not None or workers <= 0):
        raise ValueError("workers is the size of a local cluster started for the call, at least 1")
    if shards is not None and shards <= 0:
        raise ValueError(f"shards must be greater than zero, got {shards}")


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
    part_bytes: int | None = None,
    crossings: bool = False,
    peaks: bool = False,
    split: str = "symbols",
) -> Iterator[Item]:
    """Replay recordings (JSON lines, plain or gzip, and Parquet files or folders of them)
    through one or more specs on Dask.

    The files are read as one input, in the order given. Each checkpoint's
    replies are byte for byte those of one radar per spec fed the same lines
    in the same order, whatever the number of shards. The cluster is the
    caller's ``client``, the one at ``scheduler``, or a local cluster of
    ``workers`` processes started for the call; ``shards`` defaults to one
    per worker. Specs and files are checked before any cluster work: a bad
    spec raises ``ValueError`` with the radar's message, a missing file
    ``OSError``. A worker lost mid-run raises ``WorkerLost``.

    The workers read the files themselves: the paths may be any fsspec URL
    they can read (not standard input). Plain files are cut into parts of
    about ``part_bytes`` that workers scan in parallel, Parquet files at their
    row groups; a gzip file is one part, so many files (or plain or Parquet
    ones) spread a large replay best.

    With ``crossings``, each shard watches its symbols as the single replay
    does, and the ``Crossing`` items come in input order among the others,
    as ``replay_files(..., crossings=True)`` yields them; with ``peaks``, each
    checkpoint's ``peaks`` merges the shards' as the single replay gives them.

    ``split="specs"`` shares the specs among the shards instead of the
    symbols: each shard reads the whole input and feeds its specs' radars
    (``shards`` then counts groups of specs, at most one per spec).
    """
    names = [paths] if isinstance(paths, str) else list(paths)
    spec_texts, limits = check_specs(specs)
    check_cluster_arguments(client, scheduler, workers, shards)
    if split not in SPLITS:
        raise ValueError(f"split is one of {', '.join(SPLITS)}, got {split!r}")
    if STDIN_NAME in names:
        raise ValueError(
            "a replay by parts is read by the workers: give files (or URLs), not standard input"
        )
    parts = plan_parts(names, DEFAULT_PART_BYTES if part_bytes is None else part_bytes)
    check_recordings(parts, spec_texts)
    counts = stats if stats is not None else ReplayStats()
    places = policy or CheckpointPolicy()

    # The checks above run at the call; the cluster work runs when iterated.
    def run() -> Iterator[Item]:
        with run_client(client, scheduler, workers) as dask_client:
            on_dask = DaskPartsWorkers(dask_client, shards)
            readers = DaskReaders(dask_client)
            by: PartsWorkers = (ExchangeWorkers(readers, on_dask) if split == "symbols"
                                else SpecGroups(on_dask))
            try:
                yield from replay_parts_on(by, parts, spec_texts, limits, places, strict,
                                           counts, crossings=crossings, peaks=peaks)
            finally:
                on_dask.close()
                readers.close()

    return run()


class PartsWorkers(Protocol):
    """What the driver needs of the workers: ``cluster.DaskPartsWorkers`` on a cluster, or
    the shard readers called in one process (the tests)."""

    @property
    def count(self) -> int:
        """The number of shards."""
        ...

    @property
    def reporters(self) -> int:
        """How many answers to a read carry the unit's report: every shard's when each
        reads every line, one when one reader reads it."""
        ...

    def start(self, jobs: Sequence[ShardJob]) -> None: ...

    def step(self, cuts: Sequence[Cut], through: int | None, read: bool) -> Any:
        """Send every shard one request (``NativeShardReader.step``); ``collect`` waits for it."""
        ...

    def collect(self, pending: Any) -> list[Answer]:
        """Per shard, its snapshots at the cuts and its report of the unit read."""
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
    unit_lines: int = UNIT_LINES,
    crossings: bool = False,
    peaks: bool = False,
) -> Iterator[Item]:
    shards = workers.count
    workers.start([ShardJob(tuple(parts), shard, shards, specs, policy.every_ts, unit_lines,
                            crossings, peaks)
                   for shard in range(shards)])
    planner = GlobalPlanner(policy, strict)
    output = _Output(parts, limits, stats)
    in_flight: deque[tuple[list[PlanItem], Any]] = deque(
        ([], workers.step([], None, read=True)) for _ in range(REQUESTS_IN_FLIGHT)
    )
    reading = True
    damage: tuple[Part, str] | None = None
    while in_flight:
        items, pending = in_flight.popleft()
        answers = workers.collect(pending)
        yield from output.items(items, answers)
        reports = [report for _, report, _ in answers if report is not None]
        if not reading or not reports:
            reading = False
            continue
        if len(reports) != workers.reporters:
            raise InputChanged(parts[reports[0].part].source, "some shards found it ended")
        unit = planner.parts
        try:
            summary = unit_summary(reports)
        except ShardsDisagree as err:
            raise InputChanged(parts[err.part].source, str(err)) from err
        source = parts[reports[0].part]
        output.unit_read(source, summary, planner.events)
        items = planner.add(summary)
        # Lines read, blank ones included, as the single replay counts them.
        stats.lines += summary.lines if planner.stopped_at is None else planner.stopped_at.line
        if planner.stopped_at is None and summary.damage is not None:
            damage = (source, summary.damage)
        reading = not planner.stopped
        cuts = _cuts(items)
        stop = planner.stop
        if crossings and planner.stopped_at is not None and stop is not None and (
            not cuts or cuts[-1] < stop
        ):
            # The events before a strict stop are fed, and cross, after the last checkpoint
            # (none follows it, so no peaks are taken from it).
            cuts.append(stop)
        in_flight.append((items, workers.step(cuts, unit if reading else None, read=reading)))
    final = planner.finish()
    if final:
        answers = workers.collect(workers.step(_cuts(final), None, read=False))
        yield from output.items(final, answers)
    if planner.stopped_at is not None:
        stats.stopped_at = stats.first_bad
    ends = workers.finish(planner.end())
    for end in ends:
        stats.symbols.update(end.symbols)
    stats.backwards = sum(end.backwards for end in ends)
    firsts = [end.first_backwards for end in ends if end.first_backwards is not None]
    if firsts:
        stats.first_backwards = output.place(*min(firsts))
    clocks = [end.clock for end in ends if end.clock is not None]
    stats.ts = max(clocks) if clocks else None
    stats.events = planner.events
    if damage is not None:
        part, message = damage
        raise InputFileDamaged(part.source, DamagedInput(message), output.file_lines[part.file])


def _cuts(items: Sequence[PlanItem]) -> list[Cut]:
    """One cut per checkpoint, in order: two checkpoints at one count (an N- and a
    T-checkpoint) are two cuts, as each starts its own interval of peaks."""
    return [item.cut for item in items if isinstance(item, PlannedCheckpoint)]


class _Output:
    """Plan items made into output: checkpoints merged from the shards' snapshots, bad lines
    named by file and line."""

    def __init__(self, parts: Sequence[Part], limits: tuple[int | None, ...],
                 stats: ReplayStats) -> None:
        self.limits = limits
        self.stats = stats
        self.several = len({part.file for part in parts}) > 1
        self.units: list[tuple[Part, int]] = []  # per unit read: its part, lines of its file before it
        self.file_lines: dict[int, int] = {}
        # Per unit read: accepted events before it, and its lines that are no event (sorted).
        self.counts: list[tuple[int, list[int]]] = []

    def unit_read(self, part: Part, summary: PartSummary, events_before: int) -> None:
        before = self.file_lines.get(part.file, 0)
        self.units.append((part, before))
        self.file_lines[part.file] = before + summary.lines
        others = sorted([*summary.blank, *(bad.line for bad in summary.bad)])
        self.counts.append((events_before, others))

    def items(self, items: Sequence[PlanItem], answers: list[Answer]) -> Iterator[Item]:
        """``answers``: per shard, one snapshot per cut of the items (in cut order) and the
        crossings of the events applied; each crossing comes before the first item past it."""
        slot = 0  # the snapshots answer the checkpoints in turn
        crossings = sorted(
            (crossing for _, _, shard_crossings in answers for crossing in shard_crossings),
            key=lambda crossing: (crossing.unit, crossing.line, crossing.spec),
        )
        at = 0
        for item in items:
            if isinstance(item, PlannedCheckpoint):
                # A checkpoint shows its cut's line applied; a bad line is no event.
                place = (item.cut.part, item.cut.line + 1)
            else:
                place = (item.part, item.report.line)
            while at < len(crossings) and (crossings[at].unit, crossings[at].line) < place:
                yield self._crossing(crossings[at])
                at += 1
            if isinstance(item, PlannedCheckpoint):
                yield self._checkpoint(item, [snapshots[slot] for snapshots, _, _ in answers])
                slot += 1
            else:
                yield self._bad_line(item)
        for crossing in crossings[at:]:
            yield self._crossing(crossing)

    def _crossing(self, crossing: ShardCrossing) -> Crossing:
        events_before, others = self.counts[crossing.unit]
        events = events_before + crossing.line - bisect.bisect_right(others, crossing.line)
        _, before = self.units[crossing.unit]
        return Crossing(crossing.direction, events, crossing.symbol, crossing.ts, crossing.severity,
                        crossing.alert, crossing.spec, None, before + crossing.line)

    def place(self, unit: int, line: int) -> tuple[int, str | None]:
        """A line of a unit as the single replay names it: its file's line, and
        the file's name when there are several."""
        part, before = self.units[unit]
        return before + line, part.source if self.several else None

    def _checkpoint(self, item: PlannedCheckpoint, snapshots: list[Snapshot]) -> MergedCheckpoint:
        clocks = [snap.clock for snap in snapshots if snap.clock is not None]
        replies = tuple(
            merge_replies([snap.replies[spec] for snap in snapshots], limit)
            for spec, limit in enumerate(self.limits)
        )
        self.stats.checkpoints += 1
        peaks = None
        if snapshots and snapshots[0].peaks is not None:
            peaks = tuple(
                _merged_peaks([entry for snap in snapshots if snap.peaks is not None
                               for entry in snap.peaks[spec]])
                for spec in range(len(self.limits))
            )
        return MergedCheckpoint(item.events, max(clocks) if clocks else None, replies, peaks)

    def _bad_line(self, item: PlanItem) -> BadEventLine:
        assert not isinstance(item, PlannedCheckpoint)
        part, before = self.units[item.part]
        report = item.report
        bad = BadEventLine(part.source, before + report.line, report.message, report.field)
        stats = self.stats
        stats.bad_lines += 1
        # Named by its file when there are several, as the single replay names it.
        line = BadLine(bad.number, bad.message, bad.field, part.source if self.several else None)
        if stats.first_bad is None:
            stats.first_bad = line
        return bad


def _merged_peaks(entries: list[tuple[float, str, str]]) -> str:
    """The shards' peaks of one spec as one peaks array: highest severity first, then
    symbol (code point order is UTF-8 byte order), each entry's text the engine's."""
    entries.sort(key=lambda entry: (-entry[0], entry[1]))
    return "[" + ",".join(text for _, _, text in entries) + "]"
