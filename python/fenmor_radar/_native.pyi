"""Everything native beside the Radar (`fenmor_radar._native`): the Screener's
base and event texts, the replay's line feeder, the shard reader of replays by
parts with the files it maps, the CSV converter, and the engine's rules Python
asks for: a spec's description and the schemas of events and specs."""

import os
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Literal, NoReturn, TypeAlias, TypedDict, final

from typing_extensions import disjoint_base

from fenmor_radar.crossing import Crossing
from fenmor_radar.screener import Event

__all__ = [
    "Converter",
    "LineFeeder",
    "MappedFile",
    "ScreenerCore",
    "ShardReader",
    "describe_spec",
    "event_schema",
    "event_text",
    "line_columns",
    "row_lines",
    "spec_schema",
    "symbol_hash",
]

@disjoint_base
class ScreenerCore:
    """The native base of fenmor_radar.Screener: a radar's spec and states, fed
    Python values straight into the engine. Not bound to a thread; one call at
    a time (RuntimeError otherwise).
    """

    def __init__(
        self,
        spec_json: str,
        event_types: tuple[type, type, type],
        feed_text: Callable[[object, Event], str],
        batch_text: Callable[[object, Iterable[Event]], str],
        refuse: Callable[[str], NoReturn],
        *,
        crossing: Callable[[str, int, str, int, float, str], Crossing] | None = None,
    ) -> None: ...
    def feed(self, symbol: str, event: Event) -> Crossing | None:
        """Apply one event to ``symbol``'s state; :class:`RadarError` if the radar refuses it.
        With crossings watched, the crossing the event caused, else None."""
    def feed_batch(self, symbol: str, events: Iterable[Event]) -> None:
        """Apply events to ``symbol``'s state in order, all or none."""
    def _feed_columns(self, batch: Any, /) -> tuple[int, str, str | None] | None:
        """Apply the rows of an Arrow record batch of events, all or none: None, or the
        first refused row as (row, message, member at fault or None)."""
    def _command(self, cmd_json: str, /) -> str:
        """Run a command JSON text on this state and return the reply text, as Radar.command does."""

def event_text(event: object, prefix: str = ..., suffix: str = ..., /) -> str | None:
    """The array-form JSON text of an event between prefix and suffix, or None
    for an event to be written the general way."""

# ("checkpoint", events, ts, one alerts reply per spec),
# ("bad", line number, message, member at fault or None),
# ("crossing", "up" or "down", spec index, events, line number, symbol, ts,
#  severity, the symbol's alert JSON) or, after write_crossings(),
# ("crossing_lines", their JSON lines), and ("peaks", one JSON array per
# spec), which comes right before the checkpoint it belongs to.
_CheckpointItem: TypeAlias = tuple[Literal["checkpoint"], int, int | None, tuple[str, ...]]
_BadLineItem: TypeAlias = tuple[Literal["bad"], int, str, str | None]
_CrossingItem: TypeAlias = tuple[
    Literal["crossing"], Literal["up", "down"], int, int, int, str, int, float, str
]
_CrossingLinesItem: TypeAlias = tuple[Literal["crossing_lines"], str]
_PeaksItem: TypeAlias = tuple[Literal["peaks"], tuple[str, ...]]
_Item: TypeAlias = (
    _CheckpointItem | _BadLineItem | _CrossingItem | _CrossingLinesItem | _PeaksItem
)

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
    alerted since the previous one, at their highest severity. With ``prices``
    each accepted event's price (the mark of a derivatives event, the mid of
    an orderbook event) is kept for ``take_prices``.

    A call returns once its items hold ``room`` bytes of text (the last item
    may cross it), so that memory does not grow with the checkpoints a block
    completes; ``pending`` is then True, and ``resume`` gives the rest of the
    block's items before ``feed`` or ``finish`` may be called again.

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
        room: int = 4194304,
        prices: bool = False,
    ) -> LineFeeder: ...
    def feed(self, block: bytes, /) -> list[_Item]:
        """The next bytes of the recording; the checkpoints and bad lines they complete,
        up to the room."""
    def resume(self, /) -> list[_Item]:
        """More of the pending block's items, up to the room again."""
    def feed_columns(self, batch: Any, /) -> list[_Item]:
        """The next rows of a columnar recording, an Arrow record batch (an object with
        ``__arrow_c_array__``: symbol, kind, ts, the numbers, side), numbered on from the
        lines so far; the checkpoints and bad rows they complete. ``ValueError`` for a
        column of a type a recording cannot have."""
    def select(
        self,
        /,
        *,
        symbols: Iterable[str] | None = None,
        from_ts: int | None = None,
        to_ts: int | None = None,
    ) -> None:
        """From now on feed only events of these symbols with from_ts <= ts < to_ts."""
    def finish(self, /, *, complete: bool = True) -> list[_Item]:
        """The end of the input: the carried last line (dropped unless ``complete``),
        then the final checkpoint when due. Afterwards ``feed`` and ``finish`` raise
        ``ValueError``."""
    def write_crossings(self, members: list[str], /) -> None:
        """From now on crossings come already written as JSON lines, each run of them as
        one ``("crossing_lines", text)`` item; ``members``: per spec, the text its lines
        carry before ``"events"`` (``""`` or ``'"spec":NAME,'``)."""
    def alerts(self, /) -> tuple[str, ...]:
        """The current alerts reply of each radar, in spec order."""
    def take_prices(self, /) -> list[tuple[str, bytes, bytes, bytes, bytes, bytes, bytes]]:
        """The prices kept since the last call, per symbol that has some: (symbol, mark
        ts, mark prices, open interests, funding rates, mid ts, mid prices), each
        native int64 or float64 bytes in the order the events were fed."""
    def sweep(self, specs: Sequence[str], /) -> None:
        """From now on every accepted event is also scored under each trial spec, from one
        state per symbol with each distinct signal evaluated once per event: the upward
        crossings a radar watching crossings would report for each spec, and which symbols
        alert at each checkpoint. Once, before the first event; ``ValueError(message,
        index)`` for a spec the radar refuses."""
    def take_sweep(
        self, /
    ) -> tuple[tuple[str, ...], list[tuple[bytes, bytes, bytes, bytes, bytes]]]:
        """The symbol names by number, and per trial spec the upward crossings found since
        the last call: (symbol numbers, ts, events, severities) as native uint32, int64,
        uint64 and float64 bytes, in the order they happened; then whether each symbol
        alerts at each checkpoint taken since then with an event before it (uint8,
        symbols by number x checkpoints)."""
    def keep_events(self, limit: int, /) -> None:
        """From now on every accepted event is kept (about 52 bytes each) for
        ``sweep_kept``, up to ``limit`` events: past it none are kept. Before the first
        event."""
    def sweep_kept(self, specs: Sequence[str], /) -> list[tuple[bytes, bytes, bytes, bytes, bytes]]:
        """The kept events scored under each trial spec as ``sweep`` scores them, without
        reading the recording again: per spec the columns ``take_sweep`` gives, at the
        checkpoints this feeder took; symbols numbered as this feeder's. ``ValueError``
        when no events were kept."""
    def kept_moments(self, /) -> tuple[bytes, bytes]:
        """Per kept event, its symbol's number and the ts a crossing at it carries (the
        symbol's largest ts so far), as native uint32 and int64 bytes. ``ValueError``
        when no events were kept."""
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
    @property
    def pending(self) -> bool: ...
    @property
    def backwards(self) -> int:
        """Accepted events whose ts is below an earlier one of their symbol."""
    @property
    def first_backwards(self) -> int | None:
        """The line (counted over every block) of the first such event."""

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
    def read_rows(self, batch: Any, first: int = 0, /) -> tuple[int, bool]:
        """The part's next rows instead of bytes: an Arrow record batch (``__arrow_c_array__``)
        of a columnar recording, from row ``first``, each row a line (a refused row is shard
        0's); (the row after the last taken, whether the unit is full: take it, then go on
        from that row)."""
    def end_part(self, /, *, complete: bool) -> bool:
        """The part's bytes are all given: the held lines and the last line (dropped
        unless ``complete``); True when the unit filled first (take it, call again)."""
    def take_unit(self, /) -> _UnitReport:
        """The current unit's report; its events are kept, as unit number (from 0) of those taken."""
    def pack_units(self, shards: int, /) -> None:
        """Before the first part: from now on each unit's events are packed per shard of
        ``shards`` (by symbol hash) as read, for shards that do not read it, instead of kept
        for applying."""
    def take_unit_events(self, /) -> list[bytes]:
        """The oldest unit taken, removed: its packets, one per shard of ``pack_units``, in
        line order."""
    def add_unit_events(self, packet: bytes, /) -> None:
        """A packet of ``take_unit_events`` kept as the next unit, as if read here;
        ``ValueError`` when the bytes are not one."""
    def apply(self, unit: int, line: int, /) -> None:
        """Apply the kept events of the units before ``unit`` and of ``unit`` up to ``line``."""
    def alerts(self, /) -> tuple[str, ...]:
        """The current alerts reply of each radar, in spec order."""
    def watch_peaks(self, /) -> None:
        """From now on, peaks are kept between takes, as ``LineFeeder`` keeps them between
        checkpoints."""
    def take_peaks(self, /) -> tuple[list[tuple[float, str, str]], ...]:
        """Per spec, the symbols that alerted since the last take (those alerting now
        included) as (severity, symbol, peaks entry JSON); then the next interval starts."""
    def take_crossings(self, /) -> list[tuple[int, int, str, int, str, int, float, str]]:
        """Once watched: the crossings of the events applied since the last call, in
        input order, as (unit, line, "up" or "down", spec index, symbol, ts, severity, alert
        JSON)."""
    def symbols(self, /) -> list[str]:
        """The symbols of the events applied."""
    @property
    def clock(self) -> int | None:
        """The largest ts applied, None before the first."""
    @property
    def backwards(self) -> int:
        """Events applied whose ts is below an earlier one of their symbol."""
    @property
    def first_backwards(self) -> tuple[int, int] | None:
        """(unit, line) of the first such event, None while there is none."""

def symbol_hash(symbol: str, /) -> int:
    """The 64-bit routing hash of the symbol's UTF-8 bytes: FNV-1a, then the
    MurmurHash3 64-bit finaliser."""

# (name, Arrow type name, validity bitmap or None, values, dictionary or None)
_NativeColumn: TypeAlias = tuple[str, str, bytes | None, bytes, list[str] | None]
_BadRow: TypeAlias = tuple[int, str, str | None]

def row_lines(batch: Any, first_row: int, /) -> tuple[bytes, list[_BadRow]]:
    """The rows of an Arrow record batch of events as recording lines, and the rows
    left out as (row, message, member at fault or None), as a replay reports them."""

def line_columns(data: bytes, first_line: int, /) -> tuple[int, list[_NativeColumn], list[_BadRow]]:
    """Recording lines made into event columns: the rows, the columns in the engine's
    order, and the lines left out as (line, message, member at fault or None)."""

@final
class Converter:
    """Vendor CSV files into recording lines: the per-row work of ``fenmor-radar convert``."""

    def __new__(cls, depth: int, namer: Callable[[str], str]) -> Converter: ...
    def add_file(self, path: str, /) -> int: ...
    def feed(self, file: int, data: bytes, /) -> None: ...
    def finish(self, file: int, /) -> None: ...
    def read_header(self, file: int, /) -> bool: ...
    def kind(self, file: int, /) -> str: ...
    def convert(self, block_bytes: int, /) -> tuple[bytes | None, int, list[tuple[int, int, str]]]: ...
    def stats(self) -> tuple[int, int, int, int, tuple[int, int] | None]: ...

_EventKind: TypeAlias = Literal["derivatives", "orderbook", "liquidation"]

class _SignalDescription(TypedDict):
    key: str  # the factor name alerts use
    kind: str
    params: tuple[float, ...]
    weight: float
    lookback: int | None  # whole samples; None for a kind without one
    source: _EventKind  # the events it reads
    samples: int  # how many of them it needs; 0: it is always 0
    reach: float  # the largest value it can give
    line: int
    params_line: int | None
    weight_line: int | None

class _SpecDescription(TypedDict):
    array_form: bool
    line: int
    signals_line: int | None
    threshold: float
    threshold_line: int | None  # None: no threshold written
    limit: int | None
    window: int  # samples each history of a symbol keeps
    factor_names: tuple[str, ...]  # the signal keys in byte order, then "severity"
    largest_severity: float
    signals: tuple[_SignalDescription, ...]
    ignored: tuple[tuple[int, int | None, str], ...]  # (line, signal or None, name)

def describe_spec(spec_json: str, /) -> _SpecDescription:
    """What the engine makes of a spec text; ``ValueError`` with the radar's message
    for a spec it refuses. Lines count from 1."""

class _EventSchema(TypedDict):
    kind_member: str
    kinds: dict[_EventKind, tuple[tuple[str, Literal["int", "float", "side"]], ...]]
    sides: tuple[str, ...]

def event_schema() -> _EventSchema:
    """The engine's event schema: each kind's fields in array order as (name, type)."""

class _SpecSchema(TypedDict):
    spec_members: tuple[str, ...]
    signal_members: tuple[str, ...]
    kinds: tuple[str, ...]

def spec_schema() -> _SpecSchema:
    """The members of a spec and of a signal in array order, and the indicator kinds."""
