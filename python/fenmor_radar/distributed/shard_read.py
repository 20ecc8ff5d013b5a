"""One shard of a replay by parts on the native shard reader.

The reader reads the parts itself, in input order, decodes only the lines of
its own symbols (the others are skipped by their symbol alone) and keeps
their events until the driver names the cuts; Python only hands it blocks,
passes the reports on and asks for the alerts at the cuts.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence

from fenmor_radar._native import MappedFile, ShardReader
from fenmor_radar.distributed.global_plan import Cut
from fenmor_radar.distributed.parts import (
    BLOCK_BYTES,
    local_path,
    mapped_spans,
    part_blocks,
    part_spans,
)
from fenmor_radar.distributed.shard_contract import ShardCrossing, ShardEnd, ShardJob, Snapshot
from fenmor_radar.distributed.summary import BadLineReport, UnitReport
from fenmor_radar.replay.recording import DamagedInput


class NativeShardReader:
    """A ``ShardReader`` (see ``shard_contract``) on the native one."""

    def __init__(self, job: ShardJob) -> None:
        self.job = job
        self.native = ShardReader(job.specs, shard=job.shard, shards=job.shards,
                                  every_ts=job.every_ts, unit_lines=job.unit_lines)
        if job.crossings:
            self.native.watch_crossings()
        self.part = -1  # the part being read
        self.buffer: bytearray | None = None  # plain remote parts are read into it, block after block
        self.blocks: Iterator[tuple[bytes | bytearray | MappedFile, int, int]] = iter(())
        self.read_all = True  # the part's bytes have all been given
        self.ended = True  # and its last unit taken
        self.resume = False  # a full unit may have left bytes held back
        self.damage: str | None = None

    def step(
        self, cuts: Sequence[Cut], through: int | None, read: bool
    ) -> tuple[list[Snapshot], UnitReport | None, list[ShardCrossing]]:
        native = self.native
        snapshots = []
        for cut in cuts:
            native.apply(cut.part, cut.line)
            snapshots.append(Snapshot(native.clock, native.alerts()))
        if through is not None:
            native.apply(through + 1, 0)
        crossings = [ShardCrossing(*values) for values in native.take_crossings()]
        return snapshots, self._next_unit() if read else None, crossings

    def finish(self, end: Cut) -> ShardEnd:
        self.native.apply(end.part, end.line)
        native = self.native
        answer = ShardEnd(native.clock, frozenset(native.symbols()), native.backwards,
                          native.first_backwards)
        self.blocks = iter(())
        return answer

    def _next_unit(self) -> UnitReport | None:
        native = self.native
        while True:
            if self.ended:
                if self.part + 1 >= len(self.job.parts):
                    return None
                self._start(self.part + 1)
            if self.resume:
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
                elif native.read(*span):
                    return self._take()

    def _start(self, part: int) -> None:
        source = self.job.parts[part]
        self.part = part
        self.native.start_part(starts_file=source.start == 0)
        if source.compressed:
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
