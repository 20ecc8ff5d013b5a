"""The replay on the native line feeder: blocks of recorded bytes in, checkpoints out
(and crossings, when watched).

Python reads blocks of a few megabytes and hands them over; the feeder
splits the lines, feeds one radar per spec and stops at the checkpoints. So
this loop runs per block and per checkpoint, never per line. Several files
are replayed in order as one input whose line numbers restart in each file.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import cast

from fenmor_radar._native import LineFeeder
from fenmor_radar.columnar.arrow import is_parquet
from fenmor_radar.columnar.selection import Selection
from fenmor_radar.columnar.source import ColumnarSource
from fenmor_radar.printable import printable
from fenmor_radar.replay.bad_lines import quoted_line
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.items import BadLine, Checkpoint, Crossing, ReplayStats
from fenmor_radar.replay.read_ahead import read_ahead
from fenmor_radar.replay.recording import BOM, STDIN_NAME, DamagedInput, Recording, RecordingSource
from fenmor_radar.spec_source import Spec, spec_json

# What a replay reads: JSON lines in blocks, or a columnar file in record batches.
Source = RecordingSource | ColumnarSource

# The feeder's items, as its interface gives them.
CheckpointItem = tuple[str, int, int | None, tuple[str, ...]]
BadItem = tuple[str, int, str, str | None]
PeaksItem = tuple[str, tuple[str, ...]]
CrossingLinesItem = tuple[str, str]
# direction, spec, events, line, symbol, ts, severity, alert
CrossingItem = tuple[str, str, int, int, int, str, int, float, str]

# A file whose first lines are all rejected is not a recording; looking at
# this many is enough to tell, and few enough to hold their reports back.
PROBE_LINES = 100
PROBE_BYTES = 8 << 20  # stop gathering the first lines beyond this


@dataclass(frozen=True, slots=True)
class CheckpointReplies:
    """The alerts after ``events`` accepted events: one reply per spec, in the specs' order.

    ``ts`` is the replay clock, the largest ``ts`` accepted so far.
    """

    events: int
    ts: int | None
    replies: tuple[str, ...]
    # With peaks watched, one JSON array per spec (see ``Checkpoint.peaks``).
    peaks: tuple[str, ...] | None = None

    def checkpoint(self, spec: int = 0, name: str | None = None) -> Checkpoint:
        """The checkpoint of one spec; ``name`` labels it in the output."""
        peaks = None if self.peaks is None else self.peaks[spec]
        return Checkpoint(self.events, self.ts, self.replies[spec], name, peaks)


# What a replay yields, in input order.
ReplayItem = CheckpointReplies | BadLine | Crossing


class NotARecording(ValueError):
    """The first lines of a file were all rejected: it is some other kind of file."""

    def __init__(self, source: str, first_line: bytes, lines: int) -> None:
        self.source = source
        self.first_line = quoted_line(first_line)
        self.lines = lines
        super().__init__(
            f"{printable(source)} does not look like a recording: no event line in its first "
            f"{lines:,} line{'s' if lines != 1 else ''}; it starts with: {self.first_line}"
        )


class RecordingDamaged(DamagedInput):
    """A recording broke off after ``lines`` lines; the replay before it is complete."""

    def __init__(self, source: str, lines: int, error: DamagedInput) -> None:
        super().__init__(str(error))
        self.source = source
        self.lines = lines


class SpecRejected(ValueError):
    """A spec the radar refuses: ``message`` is the radar's, ``index`` the spec's place."""

    def __init__(self, message: str, index: int, count: int) -> None:
        super().__init__(message if count == 1 else f"spec {index + 1}: {message}")
        self.message = message
        self.index = index


def new_feeder(
    specs: Sequence[str],
    policy: CheckpointPolicy,
    strict: bool,
    *,
    crossings: bool = False,
    peaks: bool = False,
    prices: bool = False,
) -> LineFeeder:
    """A feeder with one radar per spec text; ``SpecRejected`` for a bad one.

    With ``prices`` it keeps every event's price for ``take_prices``.
    """
    try:
        return LineFeeder(
            list(specs),
            every_events=policy.every,
            every_ts=policy.every_ts,
            strict=strict,
            crossings=crossings,
            peaks=peaks,
            prices=prices,
        )
    except ValueError as err:
        if len(err.args) > 1 and isinstance(err.args[1], int):
            raise SpecRejected(str(err.args[0]), err.args[1], len(specs)) from None
        raise


class FeederReplay:
    """One replay of recordings in order on a feeder; iterate ``run`` for its items.

    ``stats`` is kept current at every item. ``on_block`` is called after
    each block with the events accepted so far (for a progress bar).
    """

    def __init__(
        self,
        feeder: LineFeeder,
        *,
        stats: ReplayStats | None = None,
        on_block: Callable[[int], None] | None = None,
        probe: bool = True,
        crossing_lines: Callable[[str], None] | None = None,
    ) -> None:
        self.feeder = feeder
        self.stats = stats if stats is not None else ReplayStats()
        self.on_block = on_block
        # Takes the crossings of a feeder told to write them (write_crossings),
        # in their place among the items, instead of a Crossing each.
        self.crossing_lines = crossing_lines
        self.probe = probe
        self._base = 0  # lines of the files before the current one
        self._source: str | None = None
        self._several = False
        self._ends_line = True  # the input so far ends with a line break (or is empty)

    def run(self, recordings: Iterable[Source]) -> Iterator[ReplayItem]:
        """Replay the recordings in order; the end checkpoint follows the last one.

        Raises ``NotARecording`` (before reporting any of its lines) for a
        file whose first lines are all bad, and ``RecordingDamaged`` for one
        that breaks off, after the checkpoints of what was read and the end
        checkpoint.
        """
        recordings = list(recordings)
        self._several = len(recordings) > 1
        for index, recording in enumerate(recordings):
            if index and not self._ends_line:
                yield from self._items(self.feeder.feed(b"\n"))  # a last line without a break ends there
            self._ends_line = True
            self._base = self.feeder.lines
            self._source = recording.name
            try:
                if isinstance(recording, ColumnarSource):
                    yield from self._columns(recording)
                else:
                    yield from self._file(recording, first=index == 0)
            except DamagedInput as err:
                yield from self._items(self.feeder.finish(complete=False))
                raise RecordingDamaged(recording.name, self.feeder.lines - self._base, err) from err
            if self.feeder.stopped:
                break
        yield from self._items(self.feeder.finish())

    def run_blocks(self, blocks: Iterable[bytes]) -> Iterator[ReplayItem]:
        """Feed blocks of whole lines as they come (a live feed), on this thread; then the end.

        No reading ahead and no probing: the blocks are the feed's, each
        handed over as soon as it is there.
        """
        for block in blocks:
            yield from self._block(block)
            if self.feeder.stopped:
                break
        yield from self._items(self.feeder.finish())

    def _file(self, recording: RecordingSource, first: bool) -> Iterator[ReplayItem]:
        blocks = read_ahead(recording.blocks())
        if self.probe and not self.feeder.stopped:
            head = b""
            lines = 0
            whole = True  # the file ended within the head
            try:
                for block in blocks:
                    head += block
                    lines += block.count(b"\n")
                    if lines >= PROBE_LINES or len(head) >= PROBE_BYTES:
                        whole = False
                        break
            except DamagedInput:
                yield from self._block(head)  # what was read still counts
                raise
            if not first:
                head = head.removeprefix(BOM)  # the feeder skips one only at the very start
            if whole and head and not head.endswith(b"\n"):
                head += b"\n"  # the file's last line ends with the file
            yield from self._probed(recording.name, head, whole)
        for block in blocks:
            if self.feeder.stopped:
                return
            yield from self._block(block)

    def _columns(self, recording: ColumnarSource) -> Iterator[ReplayItem]:
        # A columnar file has its columns checked when it is opened: no probe.
        for batch in recording.batches():
            if self.feeder.stopped:
                return
            yield from self._items(self.feeder.feed_columns(batch))
            while self.feeder.pending:
                yield from self._items(self.feeder.resume())
            if self.on_block is not None:
                self.on_block(self.feeder.events)

    def _probed(self, name: str, head: bytes, whole: bool) -> Iterator[ReplayItem]:
        feeder = self.feeder
        events = feeder.events
        bad = feeder.bad_lines
        items = feeder.feed(head)
        # Until an event is accepted, only bad lines come, held together to
        # tell whether this is a recording at all: no more than the head has.
        while feeder.pending and feeder.events == events:
            items += feeder.resume()
        if head:
            self._ends_line = head.endswith(b"\n")
        if feeder.events == events and feeder.bad_lines > bad and not feeder.stopped:
            lines = feeder.lines - self._base
            if lines >= PROBE_LINES or whole:
                first_line = head.removeprefix(BOM).split(b"\n", 1)[0].rstrip(b"\r")
                raise NotARecording(name, first_line, lines)
        yield from self._items(items)
        while feeder.pending:
            yield from self._items(feeder.resume())
        if self.on_block is not None:
            self.on_block(feeder.events)

    def _block(self, block: bytes) -> Iterator[ReplayItem]:
        if block:
            self._ends_line = block.endswith(b"\n")
        # The feeder hands a block's items over a few megabytes at a time:
        # with a checkpoint every event they would outgrow any memory.
        yield from self._items(self.feeder.feed(block))
        while self.feeder.pending:
            yield from self._items(self.feeder.resume())
        if self.on_block is not None:
            self.on_block(self.feeder.events)

    def _items(self, items: Sequence[tuple[object, ...]]) -> Iterator[ReplayItem]:
        # The counts of lines and checkpoints grow item by item, as the
        # caller sees them; the rest is the feeder's after the whole block.
        stats = self.stats
        feeder = self.feeder
        stats.lines = feeder.lines
        stats.events = feeder.events
        stats.distinct_symbols = feeder.symbols
        stats.ts = feeder.ts
        stats.backwards = feeder.backwards
        first_backwards = feeder.first_backwards
        if stats.first_backwards is None and first_backwards is not None:
            # Counted from the start of the input, which is this file's or
            # the one before's, whose end a line break completes.
            source = self._source if self._several else None
            stats.first_backwards = (first_backwards - self._base, source)
        peaks: tuple[str, ...] | None = None
        for item in items:
            if item[0] == "crossing":
                # Crossings come by the thousand: unpacked without cast's call.
                crossing: CrossingItem = item  # type: ignore[assignment]
                _, direction, spec, count, line, symbol, at, severity, alert = crossing
                yield Crossing(direction, count, symbol, at, severity, alert, spec, None,
                               line - self._base)
                continue
            if item[0] == "crossing_lines":
                if self.crossing_lines is None:
                    raise ValueError("crossings written as lines, and nothing to take them")
                self.crossing_lines(cast(CrossingLinesItem, item)[1])
                continue
            if item[0] == "peaks":
                peaks = cast(PeaksItem, item)[1]  # the next checkpoint's
                continue
            if item[0] == "checkpoint":
                _, events, ts, replies = cast(CheckpointItem, item)
                stats.checkpoints += 1
                yield CheckpointReplies(events, ts, replies, peaks)
                peaks = None
                continue
            _, number, message, field = cast(BadItem, item)
            bad = BadLine(number - self._base, message, field, self._source if self._several else None)
            stats.bad_lines += 1
            if stats.first_bad is None:
                stats.first_bad = bad
            if feeder.stopped:
                stats.stopped_at = bad
            yield bad
        stats.bad_lines = feeder.bad_lines
        stats.checkpoints = feeder.checkpoints


def open_recording(path: str, selection: Selection | None = None) -> Source:
    """A recording by its path: Parquet (a ``.parquet`` file or a folder of them), else JSON lines.

    ``selection`` narrows what a Parquet recording reads.
    """
    if path != STDIN_NAME and is_parquet(path):
        from fenmor_radar.columnar.recording import ParquetRecording

        return ParquetRecording(path, selection)
    return Recording(path)


def spec_texts(specs: Spec | Sequence[Spec]) -> list[str]:
    """Each spec's JSON text: one spec, or a list or tuple of them (a spec is never an array)."""
    if isinstance(specs, list | tuple):
        return [spec_json(spec) for spec in specs]
    return [spec_json(cast(Spec, specs))]


def replay_recordings(
    recordings: Iterable[Source],
    specs: Spec | Sequence[Spec],
    policy: CheckpointPolicy | None = None,
    *,
    strict: bool = False,
    stats: ReplayStats | None = None,
    crossings: bool = False,
    peaks: bool = False,
) -> Iterator[ReplayItem]:
    """Replay open recordings in order through one radar per spec (see ``FeederReplay.run``)."""
    texts = spec_texts(specs)
    feeder = new_feeder(texts, policy or CheckpointPolicy(), strict, crossings=crossings, peaks=peaks)
    return FeederReplay(feeder, stats=stats).run(recordings)


def replay_files(
    paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    specs: Spec | Sequence[Spec],
    policy: CheckpointPolicy | None = None,
    *,
    strict: bool = False,
    stats: ReplayStats | None = None,
    crossings: bool = False,
    peaks: bool = False,
    selection: Selection | None = None,
) -> Iterator[ReplayItem]:
    """Replay recordings (JSON lines, plain or gzip, "-" for standard input; or Parquet
    files and folders of them) through one radar per spec.

    With ``selection``, only its symbols and range of ts are fed; a Parquet
    recording then reads only the row groups that can hold them.

    ``paths`` is one path (``str`` or ``Path``) or a sequence of them;
    ``specs`` one spec or a list of them, each a JSON text, a dict or a spec
    file's path.

    Yields a ``CheckpointReplies`` (one alerts reply per spec) at every
    checkpoint of ``policy`` and at the end, and a ``BadLine`` for every
    rejected line (``source`` set when several files are replayed). With
    ``crossings``, also a ``Crossing`` right after each event that moved a
    symbol's severity across a spec's threshold; with ``peaks``, each
    checkpoint's ``peaks`` lists per spec the symbols that alerted since the
    previous one. All in input order. Raises
    ``SpecRejected`` (a ``ValueError``) for a bad spec, ``OSError`` for a file that cannot be
    opened, ``NotARecording`` and ``RecordingDamaged`` as ``FeederReplay.run``.
    """
    if isinstance(paths, str | os.PathLike):
        paths = [paths]
    names = [os.fspath(path) for path in paths]
    texts = spec_texts(specs)
    feeder = new_feeder(texts, policy or CheckpointPolicy(), strict, crossings=crossings, peaks=peaks)
    if selection is not None and not selection.everything:
        feeder.select(symbols=selection.symbols, from_ts=selection.from_ts, to_ts=selection.to_ts)
    recordings: list[Source] = []
    try:
        recordings.extend(open_recording(name, selection) for name in names)
        yield from FeederReplay(feeder, stats=stats).run(recordings)
    finally:
        for recording in recordings:
            recording.close()
