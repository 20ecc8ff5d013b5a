"""The native replay module (`fenmor_radar._fenmor_replay`)."""

import os
from collections.abc import Iterable
from typing import Literal, TypeAlias, final

__all__ = ["LineFeeder", "MappedFile", "ShardReader", "symbol_hash"]

# ("checkpoint", events, ts, one alerts reply per spec),
# ("bad", line number, message, member at fault or None),
# ("crossing", "up" or "down", spec index, events, line number, symbol, ts,
#  severity, the symbol's alert JSON) and ("peaks", one JSON array per spec),
# which comes right before the checkpoint it belongs to.
_CheckpointItem: TypeAlias = tuple[Literal["checkpoint"], int, int | None, tuple[str, ...]]
_BadLineItem: TypeAlias = tuple[Literal["bad"], int, str, str | None]
_CrossingItem: TypeAlias = tuple[
    Literal["crossing"], Literal["up", "down"], int, int, int, str, int, float, str
]
_PeaksItem: TypeAlias = tuple[Literal["peaks"], tuple[str, ...]]
_Item: TypeAlias = _CheckpointItem | _BadLineItem | _CrossingItem | _PeaksItem

@final
class LineFeeder:
    """A recording's JSON lines fed to one radar per spec, read once per line.

    ``specs`` are spec JSON texts, each read and validated as ``Radar(spec)``
    does; a bad one raises ``ValueError(message, index)``. ``every_events`` and
    ``every_ts`` are None or greater than zero. With ``strict`` the first bad
    line stops the feeder. With ``crossings``, each accepted event's symbol is
    evaluated under every spec and a crossing item follows the event that
    took its severity to the threshold or above (up) or below it again
    (down); with ``peaks``, each checkpoint is preceded by the symbols that
    alerted since the previous one, at their highest severity.

    Not bound to a thread: any thread may use it, one call at a time (a call
    while another runs raises ``RuntimeError``). ``feed`` and ``finish``
    release the interpreter lock while they work.
    """

    def __new__(
        cls,
        specs: Iterable[str],
        *,
        every_events: int | None = None,
        every_ts: int | None = None,
        strict: bool = False,
        crossings: bool = False,
        peaks: bool = False,
    ) -> LineFeeder: ...
    def feed(self, block: bytes, /) -> list[_Item]:
        """The next bytes of the recording; the checkpoints and bad lines they complete."""
    def finish(self, /, *, complete: bool = True) -> list[_Item]:
        """The end of the input: the carried last line (dropped unless ``complete``),
        then the final checkpoint when due. Afterwards ``feed`` and ``finish`` raise
        ``ValueError``."""
    def alerts(self, /) -> tuple[str, ...]:
        """The current alerts reply of each radar, in spec order."""
    @property
    def lines(self) -> int: ...
    @property
    def events(self) -> int: ...
    @property
    def bad_lines(self) -> int: ...
    @property
    def checkpoints(self) -> int: ...
    @property
    def symbols(self) -> int: ...
    @property
    def ts(self) -> int | None: ...
    @property
    def stopped(self) -> bool: ...

# What a block of a part completed: blank line numbers, bad lines as
# (lines, events, blank lines, bad lines as (line, message, member at fault
# or None), records as (line, ts)); lines count from 1 in the unit.
_UnitReport: TypeAlias = tuple[
    int, int, list[int], list[tuple[int, str, str | None]], list[tuple[int, int]]
]

@final
class MappedFile:
    """A local file's bytes mapped into memory, read-only: ``ShardReader.read`` reads
    them where they lie instead of from a copy. ``OSError`` naming the file when it
    cannot be mapped (``errno.ENOSYS`` where files cannot be mapped at all). The file
    must not shrink while mapped: reading past its new end kills the process."""

    def __new__(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> MappedFile: ...
    def __len__(self) -> int: ...
    def find_newline(self, start: int, /) -> int:
        """The offset of the first line break at or after ``start``; -1 when there is none."""

@final
class ShardReader:
    """One shard of a replay by parts: every part read in units of ``unit_lines`` lines,
    the shard's own lines decoded once and their events kept until applied.

    A line is the shard's when ``symbol_hash(symbol) % shards == shard``;
    other lines are skipped by their symbol alone. A line that must be read
    whole and is rejected is shard 0's. Blank lines are reported by shard 0.
    A record is taken at each of the shard's accepted events where its
    running maximum of ts, divided by ``every_ts``, rises (the first one
    included; none without ``every_ts``). One call at a time; ``read``,
    ``end_part`` and ``apply`` release the interpreter lock.
    """

    def __new__(
        cls, specs: Iterable[str], *, shard: int, shards: int, every_ts: int | None,
        unit_lines: int
    ) -> ShardReader: ...
    def watch_crossings(self, /) -> None:
        """From now on, each applied event's symbol is watched as ``LineFeeder`` watches it."""
    def start_part(self, /, *, starts_file: bool) -> None:
        """The next part begins (skipping a byte-order mark when it starts its file)."""
    def read(
        self, block: bytes | bytearray | MappedFile, start: int = 0, stop: int = -1, /
    ) -> bool:
        """The part's next bytes, ``block[start:stop]`` (``stop`` -1: to the end); True
        when the unit is full (the rest is held back: take the unit, then resume with
        ``b""``). A bytearray may be refilled after the call."""
    def end_part(self, /, *, complete: bool) -> bool:
        """The part's bytes are all given: the held lines and the last line (dropped
        unless ``complete``); True when the unit filled first (take it, call again)."""
    def take_unit(self, /) -> _UnitReport:
        """The current unit's report; its events are kept, as unit number (from 0) of those taken."""
    def apply(self, unit: int, line: int, /) -> None:
        """Apply the kept events of the units before ``unit`` and of ``unit`` up to ``line``."""
    def alerts(self, /) -> tuple[str, ...]:
        """The current alerts reply of each radar, in spec order."""
    def take_crossings(self, /) -> list[tuple[int, int, str, int, str, int, float, str]]:
        """Once watched: the crossings of the events applied since the last call, in
        input order, as (unit, line, "up" or "down", spec index, symbol, ts, severity, alert
        JSON)."""
    def symbols(self, /) -> list[str]:
        """The symbols of the events applied."""
    @property
    def clock(self) -> int | None:
        """The largest ts applied, None before the first."""

def symbol_hash(symbol: str, /) -> int:
    """The 64-bit routing hash of the symbol's UTF-8 bytes: FNV-1a, then the
    MurmurHash3 64-bit finaliser."""
