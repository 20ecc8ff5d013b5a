"""The data of a report, gathered one checkpoint (and one crossing) at a time.

A checkpoint's alerts reply is read once; each alerting symbol keeps compact
arrays (checkpoint number, severity, one column per factor), so memory grows
with the alerts shown, not with the events fed. A crossing keeps where it
happened, so that an episode between two checkpoints still shows. Nothing
here looks at events.
"""

from __future__ import annotations

import json
import math
from array import array
from dataclasses import dataclass, field

from fenmor_radar.report.spec_info import SpecInfo

SEVERITY = "severity"


class BadCheckpoint(ValueError):
    """A checkpoint that is not the radar's alerts reply."""


@dataclass(frozen=True, slots=True)
class CheckpointRow:
    events: int
    ts: int | None
    scanned: int
    alerts: int


@dataclass(slots=True)
class SymbolSeries:
    """One symbol's alerts: where it alerted, how strongly, and from which factors."""

    checkpoints: array[int] = field(default_factory=lambda: array("i"))
    severity: array[float] = field(default_factory=lambda: array("d"))
    factors: list[array[float]] = field(default_factory=list)
    peak: float = -math.inf
    peak_at: int = 0  # index into ``checkpoints``

    def add(self, checkpoint: int, severity: float, values: list[float]) -> None:
        if len(self.factors) < len(values):  # factors first seen now: earlier rows unknown
            for _ in range(len(values) - len(self.factors)):
                self.factors.append(array("d", [math.nan] * len(self.checkpoints)))
        self.checkpoints.append(checkpoint)
        self.severity.append(severity)
        for column, value in zip(self.factors, values, strict=False):
            column.append(value)
        for column in self.factors[len(values) :]:
            column.append(math.nan)
        if severity > self.peak:
            self.peak = severity
            self.peak_at = len(self.checkpoints) - 1


INT64 = (-(1 << 63), (1 << 63) - 1)  # the radar's ts and counts are 64-bit integers
@dataclass(frozen=True, slots=True)
class CrossingMark:
    """A symbol's severity crossing the threshold: ``up`` or ``down``."""

    direction: str
    events: int
    ts: int
    symbol: str
    severity: float


def _number(value: object) -> float:
    """A severity or a factor value as a float; NaN where there is none."""
    if isinstance(value, float):
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return math.nan
    try:
        return float(value)
    except OverflowError:  # an integer no double holds: not the radar's writing
        raise BadCheckpoint(f"a number beyond any the radar writes: {_shortened(value)}") from None


def _shortened(value: object, size: int = 40) -> str:
    text = json.dumps(value) if isinstance(value, str) else str(value)
    return text if len(text) <= size else f"{text[:size]}... ({len(text):,} characters)"


def check_int64(value: object, what: str) -> None:
    """``value`` is an integer within 64 bits, as the radar writes a ts or a count."""
    if isinstance(value, int) and not isinstance(value, bool) and not (
        INT64[0] <= value <= INT64[1]
    ):
        raise BadCheckpoint(f"{what} beyond 64 bits: {_shortened(value)}")


@dataclass(slots=True)
class SpecRun:
    """Everything one spec showed over the run."""

    name: str
    spec: SpecInfo | None
    checkpoints: list[CheckpointRow] = field(default_factory=list)
    symbols: dict[str, SymbolSeries] = field(default_factory=dict)
    crossings: list[CrossingMark] = field(default_factory=list)
    factor_names: list[str] = field(default_factory=list)
    _factor_index: dict[str, int] = field(default_factory=dict)
    _layout: tuple[str, ...] = ()
    _columns: list[int] = field(default_factory=list)

    def add_reply(self, events: int, ts: int | None, reply: str) -> None:
        """Take one checkpoint from the radar's alerts reply text."""
        document = json.loads(reply)
        if not isinstance(document, dict) or not isinstance(
            document.get("alerts"), list
        ):
            raise BadCheckpoint(f"not an alerts reply: {reply[:80]}")
        self.add_document(events, ts, document)

    def add_document(
        self, events: int, ts: int | None, document: dict[str, object]
    ) -> None:
        alerts = document.get("alerts")
        if not isinstance(alerts, list):
            raise BadCheckpoint("the checkpoint has no list of alerts")
        scanned = document.get("scanned")
        check_int64(events, "events")
        check_int64(ts, "ts")
        check_int64(scanned, "scanned")
        number = len(self.checkpoints)
        self.checkpoints.append(
            CheckpointRow(
                events, ts, scanned if isinstance(scanned, int) else 0, len(alerts)
            )
        )
        for alert in alerts:
            if not isinstance(alert, dict) or not isinstance(alert.get("symbol"), str):
                raise BadCheckpoint(f"malformed alert: {_shortened(json.dumps(alert), 80)}")
            check_int64(alert.get("ts"), "an alert's ts")
            factors = alert.get("factors")
            values: list[float] = [math.nan] * len(self.factor_names)
            if isinstance(factors, dict):
                layout = tuple(factors)
                if layout != self._layout:  # the same names in the same order, almost always
                    self._learn_layout(layout)
                    values += [math.nan] * (len(self.factor_names) - len(values))
                for column, value in zip(self._columns, factors.values(), strict=False):
                    if column >= 0:
                        values[column] = value if value.__class__ is float else _number(value)
            series = self.symbols.get(alert["symbol"])
            if series is None:
                series = self.symbols[alert["symbol"]] = SymbolSeries()
            series.add(number, _number(alert.get("severity")), values)

    def add_crossing(self, document: dict[str, object]) -> None:
        """Take one crossing from its JSON object (``{"crossing":"up",...}``)."""
        direction = document.get("crossing")
        events, ts, symbol = document.get("events"), document.get("ts"), document.get("symbol")
        if direction not in ("up", "down"):
            raise BadCheckpoint(f'"crossing" is neither "up" nor "down": {json.dumps(direction)[:40]}')
        if not isinstance(events, int) or not isinstance(ts, int) or not isinstance(symbol, str):
            raise BadCheckpoint("a crossing needs events, ts and symbol")
        self.crossings.append(
            CrossingMark(str(direction), events, ts, symbol, _number(document.get("severity")))
        )

    def _learn_layout(self, layout: tuple[str, ...]) -> None:
        """The column of each factor name in ``layout`` (-1 for the severity)."""
        columns = []
        for name in layout:
            if name == SEVERITY:
                columns.append(-1)
                continue
            column = self._factor_index.get(name)
            if column is None:
                column = self._factor_index[name] = len(self.factor_names)
                self.factor_names.append(name)
            columns.append(column)
        self._layout, self._columns = layout, columns

    def ranked_symbols(self) -> list[str]:
        """Alerting symbols by peak severity, highest first; ties by name."""
        return sorted(self.symbols, key=lambda name: (-self.symbols[name].peak, name))

    def factor_weights(self) -> list[float] | None:
        """Each factor's weight from the spec; None when the spec is unknown."""
        if self.spec is None:
            return None
        weights = [self.spec.weight_of(name) for name in self.factor_names]
        if any(weight is None for weight in weights):
            return None
        return [float(weight or 0.0) for weight in weights]


@dataclass(slots=True)
class RunInfo:
    """What is known of the run as a whole; None where it is not known."""

    source: str
    input_name: str | None = None
    lines: int | None = None
    events: int | None = None
    bad_lines: int | None = None
    symbols_fed: int | None = None
    notes: list[str] = field(default_factory=list)


@dataclass(slots=True)
class ReportData:
    info: RunInfo
    runs: dict[str, SpecRun] = field(default_factory=dict)
    # Sections made elsewhere, as HTML, shown after the specs' own (the
    # scorecard of replay --evaluate).
    sections: list[str] = field(default_factory=list)

    def run_for(self, name: str, spec: SpecInfo | None) -> SpecRun:
        run = self.runs.get(name)
        if run is None:
            run = self.runs[name] = SpecRun(name, spec)
        return run
