"""Splitting by symbol with an exchange: each part read and decoded once, by one reader.

A reader (one per worker) reads the parts given to it, one unit at a time,
with the native shard reader as the only shard of one, so it decodes every
line once and reports the whole unit. It packs the unit's events per shard
as it reads them (``ShardReader.pack_units``: compact binary, with each
event's line) and holds the packets until every shard has taken its own. The driver sees
only the reports: it plans the unit from that one report and tells each
shard which unit to take from which reader; the shard fetches its packet
from the reader itself (worker to worker), keeps it as the unit
(``add_unit_events``), and applies it as if it had read the unit.

Units are handed out in input order. The reader of the part being consumed
reads its next unit as soon as one is taken, and the next parts' first
units are read meanwhile on the other readers, at most ``parts_ahead``
parts at a time: a reader holds at most a few units' packets, whatever the
input's size.
"""

from __future__ import annotations

import dataclasses
from collections import deque
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Protocol

from fenmor_radar.distributed.global_plan import Cut
from fenmor_radar.distributed.parts import Part
from fenmor_radar.distributed.shard import NativeShardReader, ShardEnd, ShardJob
from fenmor_radar.distributed.summary import UnitReport

if TYPE_CHECKING:
    from fenmor_radar.distributed.driver import Answer

# (report, number of the unit in its part, whether it was the part's last)
UnitRead = tuple[UnitReport, int, bool]
# Where a shard takes a unit's packet: (reader, part, unit number in the part)
Fetch = tuple[Any, int, int]


class ReaderStateLost(RuntimeError):
    """A reader was asked for a unit it does not hold: it was rebuilt, its state is gone."""


class PartReader:
    """The parts one worker reads, and the packets of their units until taken."""

    def __init__(self, job: ShardJob) -> None:
        # The job's specs build the reader's radars, which are never fed.
        self.job = dataclasses.replace(job, parts=(), shard=0, shards=1, crossings=False,
                                       peaks=False)
        self.shards = job.shards
        self.readers: dict[int, NativeShardReader] = {}
        # Native readers whose part has ended, kept for the next part: their memory (a
        # unit's events, the packets) is reused instead of faulted in afresh.
        self.idle: list[NativeShardReader] = []
        self.started_at: dict[int, int] = {}  # per part: its reader's bytes read before it
        self.units: dict[int, int] = {}  # per part: units read so far
        self.packets: dict[tuple[int, int], list[bytes | None]] = {}
        self.bytes_read = 0  # of the parts whose reading has ended

    def next_unit(self, index: int, part: Part, number: int) -> UnitRead:
        """Unit ``number`` (from 0) of part ``index``: read, packed and held; its report."""
        if self.units.get(index, 0) != number:
            raise ReaderStateLost(
                f"the reader of part {index} was asked for unit {number}, having read "
                f"{self.units.get(index, 0)}: it was rebuilt and has lost its place"
            )
        reader = self.readers.get(index)
        if reader is None:
            reader = self.readers[index] = self._reader_for(part)
            self.started_at[index] = reader.bytes_read
        report = reader.next_unit()
        if report is None:  # never: a part's last unit says so
            raise ReaderStateLost(f"part {index} has no unit {number}")
        self.packets[(index, number)] = list(reader.native.take_unit_events())
        self.units[index] = number + 1
        ended = reader.ended
        if ended:
            done = self.readers.pop(index)
            self.bytes_read += done.bytes_read - self.started_at.pop(index)
            self.idle.append(done)
        return dataclasses.replace(report, part=index), number, ended

    def _reader_for(self, part: Part) -> NativeShardReader:
        """A native reader whose next part is ``part``: an idle one going on to it, or a new one.

        An idle reader's running maximum of ts goes on from the parts it read before,
        which all come before ``part`` in input order (parts are given out in order): its
        records still hold every rise of the global period."""
        if not self.idle:
            reader = NativeShardReader(dataclasses.replace(self.job, parts=(part,)))
            reader.native.pack_units(self.shards)
            return reader
        reader = self.idle.pop()
        reader.job = dataclasses.replace(reader.job, parts=(*reader.job.parts, part))
        return reader

    def take(self, index: int, number: int, shard: int) -> bytes:
        """Shard ``shard``'s packet of unit ``number`` of part ``index``, once."""
        packets = self.packets.get((index, number))
        packet = None if packets is None else packets[shard]
        if packets is None or packet is None:
            raise ReaderStateLost(
                f"the reader of part {index} does not hold unit {number} for shard {shard}: "
                "it was rebuilt and has lost the packets"
            )
        packets[shard] = None
        if all(left is None for left in packets):
            del self.packets[(index, number)]
        return packet


class Readers(Protocol):
    """The readers, on a cluster (``cluster.DaskReaders``) or in this process."""

    @property
    def count(self) -> int: ...

    def start(self, job: ShardJob) -> None: ...

    def next_unit(self, reader: int, index: int, part: Part, number: int) -> Any:
        """Ask reader ``reader`` for the unit; ``result`` waits for it."""
        ...

    def result(self, pending: Any) -> UnitRead: ...

    def handle(self, reader: int) -> Any:
        """What a shard is given to fetch packets from that reader."""
        ...


class Shards(Protocol):
    """The shards, fed by fetching: ``cluster.DaskPartsWorkers`` with fetches, or in-process."""

    @property
    def count(self) -> int: ...

    def start(self, jobs: Sequence[ShardJob]) -> None: ...

    def step(self, cuts: Sequence[Cut], through: int | None, read: bool,
             fetch: Sequence[Fetch] = ()) -> Any: ...

    def collect(self, pending: Any) -> list[Answer]: ...

    def finish(self, end: Cut) -> list[ShardEnd]: ...


class ExchangeWorkers:
    """``driver.PartsWorkers`` for readers and shards: one report per unit, from its reader."""

    reporters = 1

    def __init__(self, readers: Readers, shards: Shards, parts_ahead: int | None = None) -> None:
        self.readers = readers
        self.shards = shards
        self.parts_ahead = parts_ahead
        self.parts: tuple[Part, ...] = ()
        self.next_part = 0
        # Per part being read, in input order: its next unit's number and the pending read.
        self.reading: deque[tuple[int, int, Any]] = deque()
        self.unfetched: list[Fetch] = []  # units reported, not yet sent to the shards

    @property
    def count(self) -> int:
        return self.shards.count

    def start(self, jobs: Sequence[ShardJob]) -> None:
        self.shards.start(jobs)
        self.readers.start(jobs[0])
        self.parts = jobs[0].parts
        if self.parts_ahead is None:
            self.parts_ahead = 2 * self.readers.count
        self._read_ahead()

    def step(self, cuts: Sequence[Cut], through: int | None, read: bool) -> Any:
        fetch, self.unfetched = self.unfetched, []
        return self.shards.step(cuts, through, False, fetch), read

    def collect(self, pending: Any) -> list[Answer]:
        shards_pending, read = pending
        answers = self.shards.collect(shards_pending)
        if read:
            snapshots, _, crossings = answers[0]
            answers[0] = (snapshots, self._next_report(), crossings)
        return answers

    def finish(self, end: Cut) -> list[ShardEnd]:
        return self.shards.finish(end)

    def _reader_of(self, index: int) -> int:
        return index % self.readers.count

    def _read_ahead(self) -> None:
        assert self.parts_ahead is not None
        while len(self.reading) < self.parts_ahead and self.next_part < len(self.parts):
            index = self.next_part
            self.next_part += 1
            self.reading.append((index, 0, self._ask(index, 0)))

    def _ask(self, index: int, number: int) -> Any:
        return self.readers.next_unit(self._reader_of(index), index, self.parts[index], number)

    def _next_report(self) -> UnitReport | None:
        """The next unit in input order, or None once every part has been read."""
        if not self.reading:
            return None
        index, number, pending = self.reading.popleft()
        report, _, ended = self.readers.result(pending)
        if not ended:  # the part's next unit is read while this one is planned
            self.reading.appendleft((index, number + 1, self._ask(index, number + 1)))
        self._read_ahead()
        self.unfetched.append((self.readers.handle(self._reader_of(index)), index, number))
        return report


# In this process: what the tests run the driver on, with the same readers and shard readers.


class InProcessReaders:
    def __init__(self, count: int) -> None:
        self.count = count
        self.readers: list[PartReader] = []

    def start(self, job: ShardJob) -> None:
        self.readers = [PartReader(job) for _ in range(self.count)]

    def next_unit(self, reader: int, index: int, part: Part, number: int) -> Any:
        return self.readers[reader].next_unit(index, part, number)

    def result(self, pending: Any) -> UnitRead:
        result: UnitRead = pending
        return result

    def handle(self, reader: int) -> Any:
        return self.readers[reader]


class InProcessShards:
    def __init__(self, count: int) -> None:
        self.count = count
        self.shards: list[NativeShardReader] = []

    def start(self, jobs: Sequence[ShardJob]) -> None:
        self.shards = [NativeShardReader(job) for job in jobs]

    def step(self, cuts: Sequence[Cut], through: int | None, read: bool,
             fetch: Sequence[Fetch] = ()) -> Any:
        answers = []
        for number, shard in enumerate(self.shards):
            shard.add_units([reader.take(index, unit, number) for reader, index, unit in fetch])
            answers.append(shard.step(cuts, through, read))
        return answers

    def collect(self, pending: Any) -> list[Answer]:
        answers: list[Answer] = pending
        return answers

    def finish(self, end: Cut) -> list[ShardEnd]:
        return [shard.finish(end) for shard in self.shards]
