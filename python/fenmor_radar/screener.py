"""The Pythonic layer: a :class:`Screener` takes Python values and gives dataclasses.

A screener owns a radar's spec and states in its native base
(``fenmor_radar._native.ScreenerCore``), which reads the events of
``feed`` and ``feed_batch`` straight into the engine: writing and reading a
command text per event would cost several times the radar's own work. The
rest (alerts, scan, reset, set_spec) runs as the radar's command texts.
Everything the radar guarantees holds: the same events through the same
spec give the same alerts, and a failed command leaves the state as it was
(and raises :class:`RadarError` here).

An event the native feed does not take as it is (a bool, NaN, a string
where a number belongs, an unknown kind, a missing or extra field, a
subclass) goes as a command text that means exactly what ``json.dumps``
would have sent: written by the native ``event_text`` (the engine's
shortest-double writer) where it can, by ``json.dumps`` itself for anything
unusual. So the radar judges it and answers with the message it gives any
program.
"""

from __future__ import annotations

import calendar
import datetime
import json
import operator
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass, fields
from typing import Any, ClassVar, NoReturn, TypeAlias

from fenmor_radar._fenmor_radar import Radar
from fenmor_radar._native import ScreenerCore
from fenmor_radar._native import event_text as _native_text
from fenmor_radar.crossing import Crossing
from fenmor_radar.spec_source import Spec, spec_hint, spec_json

__all__ = [
    "Alert",
    "Derivatives",
    "Event",
    "Factors",
    "Liquidation",
    "Orderbook",
    "RadarError",
    "Screener",
    "ScreenerRadar",
]


class RadarError(ValueError):
    """A command the radar refused; ``message`` is the radar's own text, unchanged.

    Such as ``parse: invalid type: string "x", expected f64`` or
    ``bad spec: at least one signal is required``. From ``feed_frame``,
    ``row`` (from 1) and ``field`` say where in the frame.
    """

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message
        self.row: int | None = None
        self.field: str | None = None


@dataclass(frozen=True, slots=True)
class Derivatives:
    """Open interest, funding rate and mark price of a symbol at ``ts``."""

    kind: ClassVar[str] = "derivatives"
    ts: int
    open_interest: float
    funding_rate: float
    mark_price: float


@dataclass(frozen=True, slots=True)
class Orderbook:
    """Bid and ask volume and the best prices of a symbol's book at ``ts``."""

    kind: ClassVar[str] = "orderbook"
    ts: int
    bid_volume: float
    ask_volume: float
    best_bid: float
    best_ask: float


@dataclass(frozen=True, slots=True)
class Liquidation:
    """A forced trade: ``side`` is ``"buy"`` or ``"sell"``."""

    kind: ClassVar[str] = "liquidation"
    ts: int
    side: str
    qty: float
    price: float


Event: TypeAlias = "Derivatives | Orderbook | Liquidation | Mapping[str, Any] | tuple[Any, ...] | list[Any]"
"""An event: a dataclass, a dict in the object form, or a tuple or list in the array form."""


class Factors(Mapping[str, float]):
    """A read-only mapping from signal key to value, in the radar's order; hashable."""

    __slots__ = ("_items",)

    def __init__(self, items: Mapping[str, float]) -> None:
        self._items = dict(items)

    def __getitem__(self, key: str) -> float:
        return self._items[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __hash__(self) -> int:
        return hash(tuple(self._items.items()))

    def __eq__(self, other: object) -> bool:
        return dict(self._items) == other if isinstance(other, Mapping) else NotImplemented

    def __repr__(self) -> str:
        return f"Factors({self._items!r})"


@dataclass(frozen=True, slots=True)
class Alert:
    """A ranked alert: ``factors`` maps each signal's key (``"oi_delta(12,0.05)"``) to its value."""

    symbol: str
    severity: float
    factors: Factors
    ts: int


# --- event texts ---------------------------------------------------------------


def _number(value: object) -> int | float:
    """What a number of another library stands for, for ``json.dumps``: numpy's bool as a
    bool, numpy's integers
    (``__index__``) as ints, a ``pandas.Timestamp``, ``datetime`` or ``numpy.datetime64`` as
    milliseconds since the epoch (naive ones taken as UTC), other numbers (``__float__``) as
    floats. Anything else stays unserializable, as before."""
    if type(value).__name__ in ("bool", "bool_"):  # numpy's: refused as True and False are
        return bool(value)
    if hasattr(value, "__index__"):
        return operator.index(value)
    if isinstance(value, datetime.datetime):
        seconds = calendar.timegm(value.utctimetuple())
        return seconds * 1000 + value.microsecond // 1000
    if type(value).__name__ == "datetime64" and hasattr(value, "astype"):
        return int(value.astype("datetime64[ms]").astype("int64"))
    if hasattr(value, "__float__"):
        return float(value)
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


def _dumps(value: object) -> str:
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, default=_number)


def event_text(event: Event) -> str:
    """The JSON text of one event, as the radar reads it."""
    text = _native_text(event)
    return text if text is not None else _general_text(event)


def _texts(events: Iterable[Event]) -> str:
    """Event texts joined by commas: one native call per event, no Python frame."""
    native = _native_text
    return ",".join([text if (text := native(e)) is not None else _general_text(e) for e in events])


def _general_text(event: Event) -> str:
    """What ``json.dumps`` writes for an event the native writer does not take as it is
    (a bool, NaN, a string where a number belongs, an unknown kind...), so that the
    radar judges it and answers with its own message."""
    if isinstance(event, Derivatives | Orderbook | Liquidation):
        return _dumps([event.kind, *(getattr(event, field.name) for field in fields(event))])
    if isinstance(event, tuple | list):
        return _dumps(list(event))
    if isinstance(event, Mapping):
        return _dumps(dict(event))
    raise TypeError(
        f"an event is a Derivatives, Orderbook or Liquidation, a dict or a tuple, "
        f"not {type(event).__name__}"
    )


# --- the screener --------------------------------------------------------------

_OK = '{"ok":true}'


def _fail(reply: str) -> RadarError:
    document = json.loads(reply)
    message = document.get("error") if isinstance(document, dict) else None
    return RadarError(message if isinstance(message, str) else reply)


def _refuse(reply: str) -> NoReturn:
    raise _fail(reply)


def _utf8(text: str) -> str:
    """``text``, which the radar reads as UTF-8; ``RadarError`` for a lone surrogate in it.

    Python strings may hold halves of surrogate pairs (from ``surrogateescape``
    or ``json.loads`` of ``"\\udc80"``), which no UTF-8 text can carry.
    """
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as err:
        raise RadarError(
            f"not valid UTF-8: the text holds a lone surrogate, U+{ord(err.object[err.start]):04X} "
            f"(a symbol, name or value must be a whole Unicode string)"
        ) from None
    return text


def _feed_text(symbol: object, event: Event) -> str:
    """The "feed" command of an event the native feed does not take as it is."""
    return _utf8('{"cmd":"feed","symbol":' + _dumps(symbol) + ',"event":' + event_text(event) + "}")


def _batch_text(symbol: object, events: Iterable[Event]) -> str:
    return _utf8('{"cmd":"feed_batch","symbol":' + _dumps(symbol) + ',"events":[' + _texts(events) + "]}")


def _crossing(direction: str, events: int, symbol: str, ts: int, severity: float, alert: str) -> Crossing:
    return Crossing(direction, events, symbol, ts, severity, alert)


def _alerts(reply: str) -> list[Alert]:
    document = json.loads(reply)
    if "alerts" not in document:
        raise _fail(reply)
    alerts = []
    for item in document["alerts"]:
        factors = dict(item["factors"])
        factors.pop("severity", None)
        alerts.append(Alert(item["symbol"], item["severity"], Factors(factors), item["ts"]))
    return alerts


def _spec_text(spec: Spec) -> str:
    try:
        return spec_json(spec)
    except UnicodeDecodeError as err:
        raise RadarError(f"the spec file is not UTF-8 text: {err}") from None


class ScreenerRadar:
    """A screener's own radar state driven by raw JSON command texts.

    ``command`` takes and answers exactly what :meth:`Radar.command
    <fenmor_radar.Radar.command>` does, on the screener's spec and states.
    """

    __slots__ = ("_command",)

    def __init__(self, command: Callable[[str], str]) -> None:
        self._command = command

    def command(self, cmd_json: str) -> str:
        """Apply a command JSON and return the resulting response JSON."""
        return self._command(cmd_json)

    @staticmethod
    def version() -> str:
        """The library version."""
        return Radar.version()


class Screener(ScreenerCore):
    """A radar that takes Python values: feed events per symbol, ask for ranked alerts.

    ``Screener(spec)`` takes the spec as a dict or a JSON text and raises
    :class:`RadarError` when the radar rejects it. Events are dicts in the
    object form (``{"kind": "derivatives", "ts": 1, ...}``), tuples in the
    array form (``("derivatives", 1, 81000.0, 0.0001, 62150.0)``) or the
    dataclasses :class:`Derivatives`, :class:`Orderbook` and
    :class:`Liquidation`. The method names are the radar's command names.

    With ``crossings=True``, ``feed`` returns the :class:`Crossing` an event
    caused (its symbol's severity reaching the threshold from below, "up",
    or falling below it again, "down"), else None; the severity and factors
    are those ``alerts`` would give right then. Only ``feed`` is watched:
    ``feed_batch`` and raw commands move the states without telling.

    A screener is used by one call at a time (another call meanwhile, from a
    second thread or from an event's own code, raises ``RuntimeError``).
    """

    def __init__(self, spec: Spec, *, crossings: bool = False) -> None:
        try:
            super().__init__(
                _spec_text(spec),
                (Derivatives, Orderbook, Liquidation),
                _feed_text,
                _batch_text,
                _refuse,
                crossing=_crossing if crossings else None,
            )
        except ValueError as err:
            raise RadarError(str(err) + spec_hint(spec)) from None

    @property
    def radar(self) -> ScreenerRadar:
        """This screener's radar state, for raw command texts (``.radar.command(text)``)."""
        return ScreenerRadar(self._command)

    def _ok(self, text: str) -> None:
        reply = self._command(text)
        if reply != _OK:
            raise _fail(reply)

    def alerts(self) -> list[Alert]:
        """The ranked alerts of the stored state: highest severity first, ties by symbol."""
        return _alerts(self._command('{"cmd":"alerts"}'))

    def alerts_frame(self) -> Any:
        """The alerts of ``alerts()`` as a pyarrow Table (``.to_pandas()``,
        ``polars.from_arrow``): rank, symbol, severity, ts, and factors as a struct."""
        from fenmor_radar.columnar.frames import alerts_table

        return alerts_table(self.alerts())

    def feed_frame(self, frame: Any) -> None:
        """Apply the events of a pandas or polars DataFrame or an Arrow table, row by row in
        order, all or none.

        The frame has the columns of a Parquet recording (``symbol``, ``kind``,
        ``ts``, each kind's numbers, ``side``; null where a kind has no such
        field; ``ts`` may be a datetime column, taken in milliseconds). The
        columns reach the engine as Arrow buffers, with no Python object per
        row. :class:`RadarError` names the first row the radar refuses
        (its ``row``, from 1, and ``field``, such as ``event.side``), and then
        nothing is fed. Like
        ``feed_batch``, it reports no crossings.
        """
        from fenmor_radar.columnar.frames import event_batch

        refused = self._feed_columns(event_batch(frame))
        if refused is not None:
            row, message, field = refused
            error = RadarError(message)
            error.row, error.field = row, field
            raise error

    def scan(self, events_by_symbol: Mapping[str, Iterable[Event]]) -> list[Alert]:
        """The ranked alerts of these events alone; the stored state is neither read nor changed."""
        body = ",".join(
            _dumps(symbol) + ":[" + _texts(events) + "]"
            for symbol, events in events_by_symbol.items()
        )
        return _alerts(self._command(_utf8('{"cmd":"scan","events":{' + body + "}}")))

    def reset(self) -> None:
        """Drop every symbol's state; the spec stays."""
        self._ok('{"cmd":"reset"}')

    def set_spec(self, spec: Spec) -> None:
        """Replace the spec (a dict, a JSON text or a spec file's path) and drop every state."""
        text = _spec_text(spec)
        if not isinstance(spec, Mapping | list):
            # The radar reads the text on its own first: pasted into the
            # command unread, stray text after the spec could add members to
            # the command itself. This also gives the message a position.
            try:
                Radar(text)
            except ValueError as err:
                raise RadarError(str(err) + spec_hint(spec)) from None
        self._ok(_utf8('{"cmd":"set_spec","spec":' + text + "}"))
