"""One shard of a replay by parts: what it is given, what it answers, and how it reads.

Every shard reads every part, in input order, in units of ``unit_lines``
lines (the last unit of a part is shorter), the same units on every shard.
The native shard reader decodes only the shard's own lines (the others are
skipped by their symbol alone) and keeps their events; per unit it reports
a ``UnitReport`` of its own lines. The driver merges the shards' reports of
a unit into the unit's summary, plans the unit's checkpoints from it and
sends the cuts back; the shard applies its kept events up to each cut and
answers "alerts" there. Python only hands the reader blocks, passes the
reports on and asks for the alerts at the cuts.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from fenmor_radar._native import MappedFile, ShardReader
from fenmor_radar.distributed.columnar_parts import file_batches, part_bytes_read
from fenmor_radar.distributed.global_plan import Cut
from fenmor_radar.distributed.parts import (
    BLOCK_BYTES,
    Part,
    local_path,
    mapped_spans,
    part_blocks,
    part_spans,
)
from fenmor_radar.distributed.summary import BadLineReport, UnitReport
from fenmor_radar.replay.recording import DamagedInput


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
    peaks: bool = False  # and their peaks between checkpoints


@dataclass(frozen=True, slots=True)
class Snapshot:
    """A shard's state at a cut: its clock (largest ts applied) and one alerts reply per spec;
    with peaks watched, per spec its symbols' peaks since the previous cut as (severity,
    symbol, peaks entry JSON)."""

    clock: int | None
    replies: tuple[str, ...]
    peaks: tuple[list[tuple[float, str, str]], ...] | None = None


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


class NativeShardReader:
    """One shard's radars, fed from the parts in input order, on the native shard reader;
    built on the thread that uses it.

    Lines are fed exactly as the single replay feeds them (rejected lines
    leave the radars as they were). Cuts name units (``Cut.part``) and lines
    in them; they are given in ascending order over all calls (two may be
    the same: the state is answered again), and applying never goes back.
    """

    def __init__(self, job: ShardJob) -> None:
        self.job = job
        self.native = ShardReader(job.specs, shard=job.shard, shards=job.shards,
                                  every_ts=job.every_ts, unit_lines=job.unit_lines)
        if job.crossings:
            self.native.watch_crossings()
        if job.peaks:
            self.native.watch_peaks()
        self.part = -1  # the part being read
        self.buffer: bytearray | None = None  # plain remote parts are read into it, block after block
        self.blocks: Iterator[tuple[bytes | bytearray | MappedFile, int, int]] = iter(())
        # A part of a Parquet recording: its record batches, the one being taken and its
        # next row.
        self.batches: Iterator[Any] | None = None
        self.batch: Any = None
        self.row = 0
        self.read_all = True  # the part's bytes have all been given
        self.ended = True  # and its last unit taken
        self.resume = False  # a full unit may have left bytes held back
        self.damage: str | None = None
        self.bytes_read = 0  # of the parts, as given to the native reader

    def step(
        self, cuts: Sequence[Cut], through: int | None, read: bool
    ) -> tuple[list[Snapshot], UnitReport | None, list[ShardCrossing]]:
        """Apply up to each cut in turn and answer "alerts" on every radar there (each
        reply the radar's own: its top ``limit`` alerts); then apply everything of the
        units up to ``through``; then, with ``read``, read the next unit and report it
        (None once the input has ended). Last, the crossings of the events applied
        (none unless the job watches them), in input order."""
        native = self.native
        snapshots = []
        for cut in cuts:
            native.apply(cut.part, cut.line)
            peaks = native.take_peaks() if self.job.peaks else None
            snapshots.append(Snapshot(native.clock, native.alerts(), peaks))
        if through is not None:
            native.apply(through + 1, 0)
        crossings = [ShardCrossing(*values) for values in native.take_crossings()]
        return snapshots, self.next_unit() if read else None, crossings

    def next_unit(self) -> UnitReport | None:
        """Read the next unit and report it (None once the input has ended); ``ended`` then
        tells whether it was its part's last."""
        return self._next_unit()

    def add_units(self, packets: Sequence[bytes]) -> None:
        """Keep units this shard did not read: its packets of them, in input order (see
        ``exchange``)."""
        for packet in packets:
            self.native.add_unit_events(packet)

    def finish(self, end: Cut) -> ShardEnd:
        """Apply up to ``end`` (no alerts), then close the parts and drop the radars."""
        self.native.apply(end.part, end.line)
        native = self.native
        answer = ShardEnd(native.clock, frozenset(native.symbols()), native.backwards,
                          native.first_backwards)
        self.blocks = iter(())
        self.batches = self.batch = None
        return answer

    def _next_unit(self) -> UnitReport | None:
        native = self.native
        while True:
            if self.ended:
                if self.part + 1 >= len(self.job.parts):
                    return None
                self._start(self.part + 1)
            if self.batches is not None and not self.read_all:
                self.resume = False
                if self._read_rows():
                    return self._take()
            elif self.resume:
                self.resume = False
                if native.read(b""):
                    return self._take()
            elif self.read_all:
                if not native.end_part(complete=self.damage is None):
                    self.ended = True
                    return self._take(self.damage)
                return self._take()
            else:
                try:
                    span = next(self.blocks, None)
                except DamagedInput as err:
                    self.damage = str(err)
                    span = None
                if span is None:
                    self.read_all = True
                    continue
                self.bytes_read += span[2] - span[1]
                if native.read(*span):
                    return self._take()

    def _read_rows(self) -> bool:
        """Rows of the batch being taken, then of the next ones, until the unit is full
        (True) or the part has ended (``read_all``)."""
        assert self.batches is not None
        while True:
            if self.batch is None:
                try:
                    self.batch = next(self.batches, None)
                except DamagedInput as err:
                    self.damage = str(err)
                if self.batch is None:
                    self.read_all = True
                    return False
                self.row = 0
            self.row, full = self.native.read_rows(self.batch, self.row)
            if self.row >= self.batch.num_rows:
                self.batch = None
            if full:
                return True

    def _start(self, part: int) -> None:
        source = self.job.parts[part]
        self.part = part
        self.native.start_part(starts_file=source.start == 0)
        self.batches = self.batch = None
        if source.columnar is not None:
            self.bytes_read += part_bytes_read(source.columnar, source.row_groups)
            self.batches = file_batches(source.columnar, source.row_groups)
        elif source.compressed:
            self.blocks = ((block, 0, len(block)) for block in part_blocks(source))
        elif (path := local_path(source.source)) is not None:
            self.blocks = mapped_spans(source, path)
        else:
            if self.buffer is None:
                self.buffer = bytearray(BLOCK_BYTES)
            buffer = self.buffer
            self.blocks = ((buffer, start, stop) for start, stop in part_spans(source, buffer))
        self.read_all = self.ended = self.resume = False
        self.damage = None

    def _take(self, damage: str | None = None) -> UnitReport:
        self.resume = not self.ended
        lines, events, blank, bad, records = self.native.take_unit()
        return UnitReport(
            self.part,
            lines,
            events,
            tuple(blank),
            tuple(BadLineReport(line, message, field) for line, message, field in bad),
            tuple(records),
            damage,
        )
