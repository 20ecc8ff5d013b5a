"""The second pass of a replay by parts: one shard fed by the native shard feeder.

The feeder reads the parts itself, in input order, and skips the lines of
other shards by their symbol alone (``symbol_hash`` in the native module);
Python only hands it blocks and asks for the alerts at the cuts.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence

from fenmor_radar._fenmor_replay import ShardFeeder
from fenmor_radar.distributed.global_plan import Cut
from fenmor_radar.distributed.parts import part_blocks
from fenmor_radar.distributed.shard_contract import ShardEnd, ShardJob, Snapshot
from fenmor_radar.replay.recording import DamagedInput

UNTIL_END = (1 << 64) - 1  # a line number no part reaches


class NativeShardFeeder:
    """A ``ShardFeeder`` (see ``shard_contract``) on the native one."""

    def __init__(self, job: ShardJob) -> None:
        self.job = job
        self.native = ShardFeeder(job.specs, shard=job.shard, shards=job.shards)
        self.part = -1  # the part being read
        self.blocks: Iterator[bytes] = iter(())
        self.read_all = True  # the part's bytes have all been given
        self.ended = True  # and all its lines fed
        self.held = False  # the native feeder may hold lines of the last block back
        self.damage: str | None = None

    def take(self, cuts: Sequence[Cut]) -> list[Snapshot]:
        snapshots = []
        for cut in cuts:
            self._feed_to(cut)
            snapshots.append(Snapshot(self.native.clock, self.native.alerts()))
        return snapshots

    def finish(self, end: Cut) -> ShardEnd:
        self._feed_to(end)
        answer = ShardEnd(self.native.clock, frozenset(self.native.symbols()))
        self.blocks = iter(())
        return answer

    def _start(self, part: int) -> None:
        source = self.job.parts[part]
        self.part = part
        self.native.start_part(starts_file=source.start == 0)
        self.blocks = part_blocks(source)
        self.read_all = self.ended = self.held = False

    def _feed_to(self, cut: Cut) -> None:
        native = self.native
        while True:
            if self.part == cut.part and native.lines >= cut.line:
                return
            if self.ended:
                if self.part >= cut.part or self.part + 1 >= len(self.job.parts):
                    raise RuntimeError(f"cannot read on to line {cut.line} of part {cut.part}: "
                                       f"{self.damage or 'the input ends before it'}")
                self._start(self.part + 1)
                continue
            until = cut.line if self.part == cut.part else UNTIL_END
            if self.held:
                self.held = native.feed(b"", until)
            elif self.read_all:
                self.ended = native.end_part(complete=self.damage is None, until=until)
            else:
                try:
                    block = next(self.blocks, None)
                except DamagedInput as err:
                    self.damage = f"{self.job.parts[self.part].source}: {err}"
                    block = None
                if block is None:
                    self.read_all = True
                else:
                    self.held = native.feed(block, until)
