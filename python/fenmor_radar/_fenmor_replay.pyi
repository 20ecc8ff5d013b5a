"""The native replay module (`fenmor_radar._fenmor_replay`)."""

from collections.abc import Iterable
from typing import Literal, TypeAlias, final

__all__ = ["LineFeeder", "PartScanner", "ShardFeeder", "symbol_hash"]

# ("checkpoint", events, ts, one alerts reply per spec) and
# ("bad", line number, message, member at fault or None).
_CheckpointItem: TypeAlias = tuple[Literal["checkpoint"], int, int | None, tuple[str, ...]]
_BadLineItem: TypeAlias = tuple[Literal["bad"], int, str, str | None]
_Item: TypeAlias = _CheckpointItem | _BadLineItem

@final
class LineFeeder:
    """A recording's JSON lines fed to one radar per spec, read once per line.

    ``specs`` are spec JSON texts, each read and validated as ``Radar(spec)``
    does; a bad one raises ``ValueError(message, index)``. ``every_events`` and
    ``every_ts`` are None or greater than zero. With ``strict`` the first bad
    line stops the feeder.

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
# (line, message, member at fault or None), records as (events before, ts).
_Findings: TypeAlias = tuple[list[int], list[tuple[int, str, str | None]], list[tuple[int, int]]]

@final
class PartScanner:
    """One part of a recording judged line by line as a replay judges it, nothing fed.

    Line numbers count from 1 in the part, blank lines included. A record is
    taken at each accepted event where the part's running maximum of ts,
    divided by ``every_ts`` (rounded down), rises, the first accepted event
    included (none without ``every_ts``). ``starts_file``: skip a byte-order
    mark at the start. One call at a time; ``feed`` releases the interpreter lock.
    """

    def __new__(cls, every_ts: int | None = None, *, starts_file: bool = True) -> PartScanner: ...
    def feed(self, block: bytes, /) -> _Findings:
        """The next bytes of the part; what they complete."""
    def finish(self, /, *, complete: bool = True) -> _Findings:
        """The end of the part: the carried last line (dropped unless ``complete``)."""
    @property
    def lines(self) -> int: ...
    @property
    def events(self) -> int: ...
    @property
    def max_ts(self) -> int | None: ...

@final
class ShardFeeder:
    """One shard's radars (one per spec), fed the lines of its symbols part after part.

    A line is the shard's when ``symbol_hash(symbol) % shards == shard``;
    other lines are skipped without decoding their events. One call at a
    time; ``feed`` and ``end_part`` release the interpreter lock.
    """

    def __new__(cls, specs: Iterable[str], *, shard: int, shards: int) -> ShardFeeder: ...
    def start_part(self, /, *, starts_file: bool) -> None:
        """The next part begins: its lines count from 1."""
    def feed(self, block: bytes, until: int, /) -> bool:
        """The part's next bytes (after any held back), fed up to line ``until``;
        True when that line was reached (the rest is held back: resume with ``b""``)."""
    def end_part(self, /, *, complete: bool, until: int) -> bool:
        """The part's bytes are all given: the held lines and the last line (dropped
        unless ``complete``) up to ``until``; True once every line has been fed."""
    def alerts(self, /) -> tuple[str, ...]:
        """The current alerts reply of each radar, in spec order."""
    def symbols(self, /) -> list[str]:
        """The symbols of the events fed."""
    @property
    def lines(self) -> int:
        """Lines of the current part read."""
    @property
    def clock(self) -> int | None:
        """The largest ts fed, None before the first."""

def symbol_hash(symbol: str, /) -> int:
    """The 64-bit routing hash of the symbol's UTF-8 bytes: FNV-1a, then the
    MurmurHash3 64-bit finaliser."""
