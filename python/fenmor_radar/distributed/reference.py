"""The part scanner and the shard feeder in Python, one ``Radar.command`` per line.

They judge and feed each line exactly as the single replay does
(``prepare_line`` and ``submit``), so they define what the native ones must
give, and stand in for them until those exist. Slow: Python looks at every
line.
"""

from __future__ import annotations

from collections.abc import Generator, Sequence

from fenmor_radar import Radar
from fenmor_radar.cli.event_line import prepare_line, submit
from fenmor_radar.replay.recording import DamagedInput
from fenmor_radar.replay.items import ALERTS_COMMAND
from fenmor_radar.distributed.global_plan import Cut
from fenmor_radar.distributed.parts import Part, part_lines
from fenmor_radar.distributed.routing import ShardRouter
from fenmor_radar.distributed.shard_contract import ShardEnd, ShardJob, Snapshot
from fenmor_radar.distributed.summary import BadLineReport, PartSummary
from fenmor_radar.distributed.verdicts import RESET_COMMAND, SCRATCH_SPEC

BLANKS = b" \t\r"
SCRATCH_RESET_LINES = 1 << 16  # the scratch radar forgets its symbols this often


def line_text(raw: bytes) -> str | BadLineReport | None:
    """A line's text; None for a blank line; a report (line 0) for bytes that are not UTF-8."""
    if not raw.strip(BLANKS):
        return None
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as err:
        return BadLineReport(0, f"not valid UTF-8 (byte {err.start + 1} of the line)")


def scan_part(part: Part, every_ts: int | None) -> PartSummary:
    """The part's summary (see ``PartScanner``), judging each line on a scratch radar."""
    scratch = Radar(SCRATCH_SPEC)
    lines = events = 0
    blank: list[int] = []
    bad: list[BadLineReport] = []
    records: list[tuple[int, int]] = []
    max_ts: int | None = None
    damage = None
    try:
        for lines, raw in enumerate(part_lines(part), 1):
            text = line_text(raw)
            if text is None:
                blank.append(lines)
                continue
            if isinstance(text, BadLineReport):
                bad.append(BadLineReport(lines, text.message))
                continue
            if lines % SCRATCH_RESET_LINES == 0:
                scratch.command(RESET_COMMAND)
            outcome = submit(scratch, prepare_line(text))
            if outcome.error is not None:
                bad.append(BadLineReport(lines, outcome.error))
                continue
            ts = outcome.ts
            if ts is None:  # a radar accepts only events with an integer ts
                raise RuntimeError(f"{part.source}: an accepted line without an integer ts")
            if max_ts is None or ts > max_ts:
                if every_ts is not None and (max_ts is None or ts // every_ts > max_ts // every_ts):
                    records.append((events, ts))
                max_ts = ts
            events += 1
    except DamagedInput as err:
        damage = str(err)
    return PartSummary(lines, events, tuple(blank), tuple(bad), tuple(records), max_ts, damage)


class PythonShardFeeder:
    """A ``ShardFeeder``: reads every line of every part, feeds those of its symbols."""

    def __init__(self, job: ShardJob) -> None:
        self.job = job
        self.radars = [Radar(spec) for spec in job.specs]
        self.router = ShardRouter(job.shards)
        self.clock: int | None = None
        self.symbols: set[str] = set()
        self._lines = self._read(job.parts)
        self._ahead: tuple[Cut, str] | None = None  # a line read, not yet due
        self._read_to = Cut(0, 0)  # the last line read
        self._damage: str | None = None

    def _read(self, parts: Sequence[Part]) -> Generator[tuple[Cut, str], None, None]:
        for index, part in enumerate(parts):
            try:
                for number, raw in enumerate(part_lines(part), 1):
                    self._read_to = Cut(index, number)
                    text = line_text(raw)
                    if isinstance(text, str):
                        yield self._read_to, text
            except DamagedInput as err:
                self._damage = f"{part.source}: {err}"
                return

    def _feed_to(self, cut: Cut) -> None:
        shard = self.job.shard
        while True:
            if self._ahead is None:
                self._ahead = next(self._lines, None)
                if self._ahead is None:
                    if self._damage is not None and self._read_to < cut:
                        raise RuntimeError(f"cannot read on to {cut}: {self._damage}")
                    return
            at, text = self._ahead
            if at > cut:
                return
            self._ahead = None
            if self.router.shard_of_line(text) != shard:
                continue
            prepared = prepare_line(text)
            outcomes = [submit(radar, prepared) for radar in self.radars]
            outcome = outcomes[0]
            if outcome.error is not None:
                continue
            if outcome.symbol is not None:
                self.symbols.add(outcome.symbol)
            if outcome.ts is not None and (self.clock is None or outcome.ts > self.clock):
                self.clock = outcome.ts

    def take(self, cuts: Sequence[Cut]) -> list[Snapshot]:
        snapshots = []
        for cut in cuts:
            self._feed_to(cut)
            replies = tuple(radar.command(ALERTS_COMMAND) for radar in self.radars)
            snapshots.append(Snapshot(self.clock, replies))
        return snapshots

    def finish(self, end: Cut) -> ShardEnd:
        self._feed_to(end)
        self._lines.close()
        self.radars = []
        return ShardEnd(self.clock, frozenset(self.symbols))
