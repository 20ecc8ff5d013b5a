"""``check --recording FILE``: how much time each lookback spans on a recording.

Lookbacks count samples, not time: ``oi_delta(12, ...)`` reaches 12
derivatives events back, whatever time they cover. This reads the
recording's own timestamps, per symbol and per kind of event, and says what
time n samples cover there: for each symbol the median of ts[i] - ts[i - n]
over its samples (n - 1 intervals for the last n liquidations), then the
median over the symbols and the two extremes.

Only the first ``PREFIX_LINES`` lines are read (the summary says so when
the file is longer): the cadence of a feed shows within them, and a check
must not take as long as a replay.
"""

from __future__ import annotations

import json
import statistics
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

from fenmor_radar.replay.recording import Recording
from fenmor_radar.utc import is_epoch_ms, utc_time

PREFIX_LINES = 200_000
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
    """The timestamps of a recording's derivatives and liquidation events, per symbol."""

    name: str
    lines: int = 0
    complete: bool = True  # False: only the first PREFIX_LINES lines were read
    first_ts: int | None = None
    last_ts: int | None = None
    symbols: set[str] = field(default_factory=set)
    times: dict[str, dict[str, list[int]]] = field(
        default_factory=lambda: {DERIVATIVES: {}, LIQUIDATION: {}}
    )

    def add(self, symbol: str, kind: str, ts: int) -> None:
        self.symbols.add(symbol)
        self.first_ts = ts if self.first_ts is None else min(self.first_ts, ts)
        self.last_ts = ts if self.last_ts is None else max(self.last_ts, ts)
        by_symbol = self.times.get(kind)
        if by_symbol is not None:
            by_symbol.setdefault(symbol, []).append(ts)


def read_cadence(path: str, prefix_lines: int = PREFIX_LINES) -> Cadence:
    """The event times of the first ``prefix_lines`` lines; lines that are no event are passed over.

    Raises ``OSError`` when the file cannot be opened, ``DamagedInput`` when it breaks off.
    """
    with Recording(path) as recording:
        cadence = Cadence(recording.name)
        for line in recording.lines():
            if cadence.lines == prefix_lines:
                cadence.complete = False
                break
            cadence.lines += 1
            event = _event(line.text) if line.problem is None else None
            if event is not None:
                cadence.add(*event)
    return cadence


def _event(text: str) -> tuple[str, str, int] | None:
    try:
        document = json.loads(text)
    except (ValueError, RecursionError):
        return None
    if not isinstance(document, dict):
        return None
    symbol, event = document.get("symbol"), document.get("event")
    if not isinstance(symbol, str) or not isinstance(event, dict):
        return None
    kind, ts = event.get("kind"), event.get("ts")
    if not isinstance(kind, str) or not isinstance(ts, int) or isinstance(ts, bool):
        return None
    return symbol, kind, ts


def spec_lookbacks(text: str) -> list[SignalLookback] | None:
    """Each signal's key, kind and lookback, from a spec the radar accepted (None if unreadable)."""
    from fenmor_radar.report.spec_info import signal_key

    try:
        spec = json.loads(text)
    except (ValueError, RecursionError):
        return None
    signals = spec.get("signals", []) if isinstance(spec, dict) else spec[2]
    found = []
    for signal in signals:
        if isinstance(signal, dict):
            kind, params = signal.get("kind"), signal.get("params") or []
        else:
            kind, params = signal[0], signal[1] if len(signal) > 1 else []
        if not isinstance(kind, str) or not isinstance(params, list):
            return None
        try:
            key = signal_key(kind, params)
        except (TypeError, ValueError, OverflowError):
            return None
        first = params[0] if params else 0.0
        found.append(SignalLookback(key, kind, _lookback_count(float(first))))
    return found


def _lookback_count(value: float) -> int:
    # As the radar reads a lookback: whole samples, 0 for anything not above 0.
    if not value > 0 or value == float("inf"):
        return 0
    return min(int(value), (1 << 64) - 1)


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


def _spans(times: Sequence[int], samples: int) -> list[int]:
    return [times[i] - times[i - samples] for i in range(samples, len(times))]


def _summary(
    by_symbol: dict[str, list[int]], steps: int, epoch_ms: bool
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
    epoch_ms = cadence.first_ts is not None and is_epoch_ms(cadence.first_ts)
    if cadence.first_ts is None or cadence.last_ts is None:
        return [f"lookbacks on {cadence.name}: no event in its first {cadence.lines:,} lines"]
    extent = (
        f"{utc_time(cadence.first_ts)} to {utc_time(cadence.last_ts)} UTC"
        if epoch_ms
        else f"ts {cadence.first_ts} to {cadence.last_ts}"
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
        for by_symbol in cadence.times.values()
        for symbol, times in by_symbol.items()
        if any(later < earlier for earlier, later in zip(times, times[1:], strict=False))
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
                typical, detail, short = _summary(cadence.times[source], steps, epoch_ms)
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
