"""``check --recording FILE``: how much time each lookback spans on a recording.

Lookbacks count samples, not time: ``oi_delta(12, ...)`` reaches 12
derivatives events back, whatever time they cover. This reads the
recording's own timestamps, per symbol and per kind of event, and says what
time n samples cover there: for each symbol the median of ts[i] - ts[i - n]
over its samples (n - 1 intervals for the last n liquidations), then the
median over the symbols and the two extremes.

The recording is read in blocks: one regular expression finds symbol, kind
and ts in every line of the form the radar's own writers give
(``{"symbol":...,"event":{"kind":...,"ts":...``); only a block holding other
lines is read line by line as JSON. At most ``PREFIX_LINES`` lines are read
(the summary says so when the file is longer), which bounds time and memory
(8 bytes per derivatives or liquidation event).
"""

from __future__ import annotations

import json
import operator
import re
import statistics
from array import array
from collections.abc import Iterable
from dataclasses import dataclass, field

from fenmor_radar._native import describe_spec
from fenmor_radar.replay.recording import Recording
from fenmor_radar.utc import is_epoch_ms, utc_time

PREFIX_LINES = 1_000_000
DERIVATIVES = "derivatives"
LIQUIDATION = "liquidation"
LOOKBACK_KINDS = {
    "oi_delta": DERIVATIVES,
    "oi_price_divergence": DERIVATIVES,
    "liq_cluster": LIQUIDATION,
}
BOM = b"\xef\xbb\xbf"
# A line as the recording writers write it: symbol first, then the event's kind and ts.
_WRITTEN = re.compile(
    rb'^\{"symbol":"((?:[^"\\\n]|\\.)*)","event":\{"kind":"([a-z]+)","ts":(-?[0-9]+)[,}]',
    re.MULTILINE,
)
# The array form, as the engine's event writer gives it (live --record).
_WRITTEN_ARRAY = re.compile(
    rb'^\{"symbol":"((?:[^"\\\n]|\\.)*)","event":\["([a-z]+)",(-?[0-9]+)[,\]]',
    re.MULTILINE,
)


@dataclass(frozen=True, slots=True)
class SignalLookback:
    key: str
    kind: str
    samples: int  # the lookback as the radar counts it


@dataclass(slots=True)
class Cadence:
    """The timestamps of a recording's events, per kind and symbol, in input order."""

    name: str
    lines: int = 0
    complete: bool = True  # False: only the first lines were read
    times: dict[str, dict[str, array[int]]] = field(default_factory=dict)

    @property
    def symbols(self) -> set[str]:
        return {symbol for by_symbol in self.times.values() for symbol in by_symbol}

    @property
    def first_ts(self) -> int | None:
        return min((min(c) for k in self.times.values() for c in k.values() if c), default=None)

    @property
    def last_ts(self) -> int | None:
        return max((max(c) for k in self.times.values() for c in k.values() if c), default=None)

    def of(self, kind: str) -> dict[str, array[int]]:
        return self.times.get(kind, {})


def read_cadence(path: str, prefix_lines: int = PREFIX_LINES) -> Cadence:
    """The event times of the first ``prefix_lines`` lines.

    Lines that are no event are passed over. Raises ``OSError`` when the file
    cannot be opened, ``DamagedInput`` when it breaks off.
    """
    with Recording(path) as recording:
        reader = _BlockReader()
        complete = True
        for whole, _ in recording.whole_lines():
            if not whole.endswith(b"\n"):
                whole += b"\n"  # the last line, without its line break
            room = prefix_lines - reader.count
            if whole.count(b"\n") > room:  # the last block read: up to the bound exactly
                end = -1
                for _ in range(room):
                    end = whole.index(b"\n", end + 1)
                reader.lines(whole[: end + 1])
                complete = False
                break
            reader.lines(whole)
        return Cadence(recording.name, reader.count, complete, reader.times())


class _BlockReader:
    """Gathers the ts of whole lines per kind and symbol (as the line spells it)."""

    def __init__(self) -> None:
        self.count = 0
        self.columns: dict[bytes, dict[bytes, array[int]]] = {}

    def lines(self, data: bytes) -> None:
        count = data.count(b"\n")
        self.count += count
        found = _WRITTEN.findall(data)
        if len(found) != count:
            found = _WRITTEN_ARRAY.findall(data)
        if len(found) != count:  # some lines of another form: one by one
            found = [event for line in data.split(b"\n")[:count] if (event := _event(line))]
        columns = self.columns
        for raw, kind, ts in found:
            try:
                columns[kind][raw].append(int(ts))
            except KeyError:
                columns.setdefault(kind, {}).setdefault(raw, array("q")).append(int(ts))

    def times(self) -> dict[str, dict[str, array[int]]]:
        """The columns by kind and symbol text; a symbol spelt two ways is one symbol."""
        times: dict[str, dict[str, array[int]]] = {}
        for kind, by_raw in self.columns.items():
            by_symbol = times.setdefault(kind.decode("ascii", "replace"), {})
            for raw, column in by_raw.items():
                symbol = _symbol_text(raw)
                if symbol is None:
                    continue
                if symbol in by_symbol:
                    by_symbol[symbol].extend(column)
                else:
                    by_symbol[symbol] = column
        return times


def _symbol_text(raw: bytes) -> str | None:
    try:
        text = json.loads(b'"' + raw + b'"') if b"\\" in raw else raw.decode("utf-8")
    except ValueError:
        return None
    return text if isinstance(text, str) else None


def _event(line: bytes) -> tuple[bytes, bytes, bytes] | None:
    """A line of another form, as the three fields the regular expression would give."""
    match = _WRITTEN.match(line) or _WRITTEN_ARRAY.match(line)
    if match is not None:
        return match.group(1), match.group(2), match.group(3)
    try:
        document = json.loads(line)
    except (ValueError, RecursionError):
        return None
    if not isinstance(document, dict):
        return None
    symbol, event = document.get("symbol"), document.get("event")
    if not isinstance(symbol, str):
        return None
    if isinstance(event, dict):
        kind, ts = event.get("kind"), event.get("ts")
    elif isinstance(event, list) and len(event) > 1:  # the array form (live --record writes it)
        kind, ts = event[0], event[1]
    else:
        return None
    if not isinstance(kind, str) or not isinstance(ts, int) or isinstance(ts, bool):
        return None
    if not -(1 << 63) <= ts < 1 << 63:
        return None
    raw = json.dumps(symbol)[1:-1].encode("utf-8")  # as the symbol would be spelt in a line
    return raw, kind.encode("utf-8", "replace"), str(ts).encode("ascii")


def spec_lookbacks(text: str) -> list[SignalLookback] | None:
    """Each signal's key, kind and lookback as the engine reads them (None for a spec it refuses)."""
    try:
        spec = describe_spec(text)
    except ValueError:
        return None
    return [
        SignalLookback(signal["key"], signal["kind"], signal["lookback"] or 0)
        for signal in spec["signals"]
    ]


def duration_text(span: float, epoch_ms: bool) -> str:
    """A span of ts units: milliseconds as people say them when ts is epoch milliseconds."""
    if span < 0:
        return "-" + duration_text(-span, epoch_ms)
    if not epoch_ms:
        return f"{span:,.0f} ts units"
    ms = round(span)
    if ms < 1000:
        return f"{ms} ms"
    seconds = ms / 1000
    if seconds < 60:
        return f"{seconds:.3g} s"
    parts = []
    remaining = round(seconds)
    for unit, size in (("d", 86400), ("h", 3600), ("min", 60), ("s", 1)):
        if remaining >= size:
            count, remaining = divmod(remaining, size)
            parts.append(f"{count} {unit}")
    return " ".join(parts[:2])


def _count(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def _spans(times: array[int], samples: int) -> list[int]:
    return list(map(operator.sub, times[samples:], times[: len(times) - samples]))


def _summary(
    by_symbol: dict[str, array[int]], steps: int, epoch_ms: bool
) -> tuple[str, str, int]:
    """The typical span of ``steps`` intervals, where it comes from, and how many symbols
    have fewer samples than that."""
    medians = {
        symbol: statistics.median(spans)
        for symbol, times in by_symbol.items()
        if (spans := _spans(times, steps))
    }
    if not medians:
        return "", "", 0
    low = min(medians, key=lambda symbol: (medians[symbol], symbol))
    high = max(medians, key=lambda symbol: (medians[symbol], symbol))
    typical = duration_text(statistics.median(medians.values()), epoch_ms)
    if len(medians) == 1:
        detail = f"for {low}"
    elif duration_text(medians[low], epoch_ms) == duration_text(medians[high], epoch_ms):
        detail = f"the same for all {len(medians):,} symbols"
    else:
        detail = (
            f"median of {len(medians):,} symbols; {duration_text(medians[low], epoch_ms)} "
            f"for {low} to {duration_text(medians[high], epoch_ms)} for {high}"
        )
    return typical, detail, len(by_symbol) - len(medians)


def lookback_lines(signals: Iterable[SignalLookback], cadence: Cadence) -> list[str]:
    """What each signal's lookback covers in time on this recording, as lines."""
    first_ts, last_ts = cadence.first_ts, cadence.last_ts
    if first_ts is None or last_ts is None:
        return [f"lookbacks on {cadence.name}: no event in its first {cadence.lines:,} lines"]
    epoch_ms = is_epoch_ms(first_ts)
    extent = (
        f"{utc_time(first_ts)} to {utc_time(last_ts)} UTC"
        if epoch_ms
        else f"ts {first_ts} to {last_ts}"
    )
    read = (
        f"its first {cadence.lines:,} lines" if not cadence.complete else f"{cadence.lines:,} lines"
    )
    lines = [
        f"lookbacks in time on {cadence.name} ({read}: {_count(len(cadence.symbols), 'symbol')}, "
        f"{extent}); lookbacks count samples, so this is the time they span here:"
    ]
    backwards = {
        symbol
        for kind in (DERIVATIVES, LIQUIDATION)
        for symbol, times in cadence.of(kind).items()
        if any(map(operator.lt, times[1:], times))
    }
    if backwards:
        lines.append(
            f"  (ts goes backwards within {len(backwards):,} symbols here: the radar counts "
            "samples in input order, so some spans are short or negative)"
        )
    signals = list(signals)
    width = max(len(signal.key) for signal in signals) if signals else 0
    for signal in signals:
        if signal.kind == "book_imbalance":
            text = "reads the latest order book only: no lookback"
        else:
            source = LOOKBACK_KINDS.get(signal.kind, DERIVATIVES)
            samples = signal.samples if signal.kind in LOOKBACK_KINDS else 1
            noun = "liquidations" if source == LIQUIDATION else "derivatives events"
            if samples == 0:
                text = "a lookback of no whole sample: always 0"
            else:
                # n liquidations cover n - 1 intervals; a lookback of n derivatives
                # events reaches n intervals back from the newest.
                steps = samples - 1 if source == LIQUIDATION else samples
                if steps == 0:
                    lines.append(f"  {signal.key:<{width}}  the last liquidation only")
                    continue
                typical, detail, short = _summary(cadence.of(source), steps, epoch_ms)
                if signal.kind == "funding_flip":
                    text = "compares the last 2 derivatives events"
                    span = f", {typical} apart ({detail})"
                elif source == LIQUIDATION:
                    text = f"the last {samples:,} {noun}"
                    span = f" span {typical} ({detail})"
                else:
                    text = f"reaches {samples:,} {noun} back"
                    span = f": {typical} ({detail})"
                if not typical:
                    text += f": no symbol has more than {samples:,} {noun} here"
                else:
                    text += span
                    if short:
                        text += f"; {short:,} symbols have too few {noun} here"
        lines.append(f"  {signal.key:<{width}}  {text}")
    return lines
