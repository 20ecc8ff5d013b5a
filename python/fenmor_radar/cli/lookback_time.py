"""``check --recording FILE``: how much time each lookback spans on a recording.

Lookbacks count samples, not time: ``oi_delta(12, ...)`` reaches 12
derivatives events back, whatever time they cover. This reads the
recording's own timestamps, per symbol and per kind of event, and says what
time n samples cover there: for each symbol the median of ts[i] - ts[i - n]
over its samples (n - 1 intervals for the last n liquidations), then the
median over the symbols and the two extremes.

The recording is read in blocks by the engine's own line reader
(``line_columns``), so a line counts exactly when a replay would feed it.
At most ``PREFIX_LINES`` lines are read
(the summary says so when the file is longer), which bounds time and memory
(8 bytes per derivatives or liquidation event).
"""

from __future__ import annotations

import operator
import statistics
from array import array
from collections.abc import Iterable
from dataclasses import dataclass, field

from fenmor_radar._native import describe_spec, line_columns
from fenmor_radar.columnar.arrow import is_parquet
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
    """The event times of the first ``prefix_lines`` lines (rows of a Parquet recording).

    Lines the radar would refuse are passed over. Raises ``OSError`` when the
    file cannot be opened, ``DamagedInput`` when it breaks off.
    """
    if is_parquet(path):
        from fenmor_radar.columnar.convert import lines_of

        # Its rows as the lines they stand for, those the radar refuses left out.
        blocks = ((block, 1) for block in lines_of(path, lambda *_: None))
        return _cadence(path, blocks, prefix_lines)
    with Recording(path) as recording:
        return _cadence(recording.name, recording.whole_lines(), prefix_lines)


def _cadence(name: str, blocks: Iterable[tuple[bytes, int]], prefix_lines: int) -> Cadence:
    times: dict[str, dict[str, array[int]]] = {}
    count = 0
    complete = True
    for whole, first in blocks:
        lines = whole.count(b"\n") + (not whole.endswith(b"\n"))
        room = prefix_lines - count
        if lines > room:  # the last block read: up to the bound exactly
            end = -1
            for _ in range(room):
                end = whole.index(b"\n", end + 1)
            whole, lines, complete = whole[: end + 1], room, False
        count += lines
        _gather(times, whole, first)
        if not complete:
            break
    return Cadence(name, count, complete, times)


def _gather(times: dict[str, dict[str, array[int]]], lines: bytes, first: int) -> None:
    """Adds the ts of the lines' events per kind and symbol, as the engine reads them."""
    rows, columns, _ = line_columns(lines, first)
    if rows == 0:
        return
    by_name = {column[0]: column for column in columns}
    kinds, symbols, ts = array("b"), array("i"), array("q")
    kinds.frombytes(by_name["kind"][3])
    symbols.frombytes(by_name["symbol"][3])
    ts.frombytes(by_name["ts"][3])
    kind_names, symbol_names = by_name["kind"][4] or [], by_name["symbol"][4] or []
    # The block's columns, each found once per (kind, symbol) code, not per event.
    found: dict[tuple[int, int], array[int]] = {}
    for kind, symbol, at in zip(kinds, symbols, ts, strict=True):
        column = found.get((kind, symbol))
        if column is None:
            by_symbol = times.setdefault(kind_names[kind], {})
            column = found[kind, symbol] = by_symbol.setdefault(symbol_names[symbol], array("q"))
        column.append(at)


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
