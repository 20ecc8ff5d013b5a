"""What a spec the radar accepts may still get wrong, said before it costs a replay.

The radar ignores unknown members and takes any finite parameter, as it
must. This check names what it ignored (with a did-you-mean), parameters
that make a signal useless or costly, a threshold no symbol can reach, and
the window and memory per symbol the spec implies. It only warns: the radar
itself reads the spec, and nothing here changes what it does.

Every number here is the engine's (``describe_spec``): the signal keys, the
lookbacks as whole samples, the samples each signal reads, the most each
can give, the window and the largest severity any symbol can reach. Each
indicator maps its measurement onto [0, 1] and counts every division by zero
or non-finite result as 0, so a zero scale, a negative one (except for
``oi_price_divergence``, whose scale is squared) or a lookback of no whole
sample gives a signal that is always 0; the order-book imbalance is at most
1, so ``book_imbalance`` with a scale s above 1 reaches at most 1/s. This
module only says so, with the line of the text where each part lies.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING

from fenmor_radar._native import describe_spec, spec_schema
from fenmor_radar.cli import terminal
from fenmor_radar.cli.suggest import closest

if TYPE_CHECKING:
    from fenmor_radar._native import _SignalDescription as SignalDescription
    from fenmor_radar._native import _SpecDescription as SpecDescription

_SCHEMA = spec_schema()
# A lookback beyond this keeps so many samples per symbol (3.2 MB each) that
# it is more likely a slip (milliseconds for samples) than a wish.
HUGE_LOOKBACK = 100_000
MAX_COUNT = 2**64 - 1

# Memory per symbol with full histories: two rings of at most `window` rows,
# derivatives (open interest, funding rate, mark price) and liquidation
# quantities, 4 doubles of 8 bytes per row; one row of slack and 200 bytes
# for the state, its map entry and its symbol. Benchmark B5 measures 634
# bytes per symbol at window 13 against this bound of 648.
ROW_BYTES = 4 * 8
FIXED_BYTES = 200


@dataclass(frozen=True, slots=True)
class Finding:
    """One warning: the line, the member's path (``signals[1].wieght``) and what is wrong."""

    line: int
    where: str
    text: str

    def format(self, origin: str) -> str:
        where = f" {self.where}:" if self.where else ""
        return f"{origin}:{self.line}:{where} {self.text}"


@dataclass(frozen=True, slots=True)
class SignalNeeds:
    """What one signal reads: its key and the samples it needs."""

    where: str
    key: str
    needs: str


@dataclass(frozen=True, slots=True)
class SpecReport:
    warnings: list[Finding]
    signals: list[SignalNeeds]
    window: int  # samples each history of a symbol keeps
    threshold: float
    max_severity: float

    def bytes_per_symbol(self) -> int:
        """The bound on a symbol's memory once its histories are full."""
        return ROW_BYTES * (self.window + 1) + FIXED_BYTES


def _shown(value: float) -> str:
    return str(int(value)) if value.is_integer() and abs(value) < 1e16 else repr(value)


def _count_text(count: int) -> str:
    return "2^64 - 1" if count >= MAX_COUNT else f"{count:,}"


def bytes_text(count: int) -> str:
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= size:
            return f"{count / size:,.1f} {unit}"
    return f"{count} bytes"


def _needs(signal: SignalDescription) -> str:
    samples = signal["samples"]
    if samples == 0:
        return "nothing (always 0)"
    if signal["source"] == "liquidation":
        return f"the last {_count_text(samples)} liquidations"
    if signal["source"] == "orderbook":
        return "the latest order book"
    return f"{_count_text(samples)} derivatives events"


class _Checker:
    def __init__(self) -> None:
        self.warnings: list[Finding] = []

    def warn(self, line: int, where: str, text: str) -> None:
        self.warnings.append(Finding(line, where, text))

    def ignored(self, line: int, prefix: str, name: str, known: tuple[str, ...]) -> None:
        text = f"unknown member {json.dumps(name, ensure_ascii=False)}, ignored by the radar"
        guess = closest(name, known)
        if guess is not None:
            text += f'; did you mean "{guess}"?'
        self.warn(line, prefix + name, text)

    def signal(self, index: int, signal: SignalDescription) -> None:
        where = f"signals[{index}]"
        kind = signal["kind"]
        params_line = signal["params_line"] or signal["line"]
        lookback = signal["lookback"]
        if lookback is not None:
            written = signal["params"][0]
            at = f"{where}.params[0]"
            if lookback == 0:
                self.warn(params_line, at, f"lookback {_shown(written)} is no whole sample: {kind} is always 0")
            elif not written.is_integer():
                self.warn(
                    params_line,
                    at,
                    f"lookback {_shown(written)} is not a whole number of samples: the radar uses {lookback}",
                )
            if lookback > HUGE_LOOKBACK:
                memory = bytes_text(ROW_BYTES * (lookback + 2) + FIXED_BYTES)
                self.warn(
                    params_line,
                    at,
                    f"lookback {_shown(written)} is huge: every symbol keeps up to "
                    f"{_count_text(lookback + 1)} samples, {memory} per symbol",
                )
        scale_index = 0 if lookback is None else 1
        scale = signal["params"][scale_index]
        scale_at = f"{where}.params[{scale_index}]"
        if scale == 0:
            self.warn(params_line, scale_at, f"scale 0: {kind} is always 0 (a division by zero counts as 0)")
        elif scale < 0 and kind != "oi_price_divergence":
            self.warn(
                params_line,
                scale_at,
                f"negative scale {_shown(scale)}: {kind} is always 0 (its measurement is never negative)",
            )
        elif kind == "book_imbalance" and scale > 1:
            self.warn(
                params_line,
                scale_at,
                f"scale {_shown(scale)} above 1: the imbalance is at most 1, "
                f"so book_imbalance never exceeds {signal['reach']:.4g}",
            )
        elif kind == "oi_price_divergence" and signal["reach"] == 0 and lookback:
            square = "0" if abs(scale) < 1 else "infinite"
            self.warn(
                params_line,
                scale_at,
                f"scale {_shown(scale)}: its square is {square} as a double, "
                "so oi_price_divergence is always 0",
            )
        if signal["weight"] == 0:
            self.warn(
                signal["weight_line"] or signal["line"],
                f"{where}.weight",
                "weight 0: this signal never counts toward severity",
            )


def check_spec(text: str) -> SpecReport:
    """The warnings and needs of a spec text.

    Raises ``ValueError`` with the radar's message when the radar refuses it.
    """
    spec = describe_spec(text)
    checker = _Checker()
    ignored_in: dict[int | None, list[tuple[int, str]]] = {}
    for line, signal_index, name in spec["ignored"]:
        ignored_in.setdefault(signal_index, []).append((line, name))
    for line, name in ignored_in.get(None, []):
        checker.ignored(line, "", name, _SCHEMA["spec_members"])
    if spec["threshold_line"] is None:
        if spec["array_form"]:
            checker.warn(
                spec["line"],
                "[3]",
                "no threshold (the fourth element): it defaults to 0, so every symbol fed is an alert",
            )
        else:
            checker.warn(
                spec["line"], "threshold", "no threshold: it defaults to 0, so every symbol fed is an alert"
            )
    for index, signal in enumerate(spec["signals"]):
        for line, name in ignored_in.get(index, []):
            checker.ignored(line, f"signals[{index}].", name, _SCHEMA["signal_members"])
        checker.signal(index, signal)
    _check_severity(checker, spec)
    warnings = sorted(checker.warnings, key=lambda finding: finding.line)
    needs = [
        SignalNeeds(f"signals[{index}]", signal["key"], _needs(signal))
        for index, signal in enumerate(spec["signals"])
    ]
    return SpecReport(warnings, needs, spec["window"], spec["threshold"], spec["largest_severity"])


def _check_severity(checker: _Checker, spec: SpecDescription) -> None:
    threshold, largest = spec["threshold"], spec["largest_severity"]
    threshold_line = spec["threshold_line"]
    if all(signal["weight"] == 0 for signal in spec["signals"]):
        checker.warn(spec["signals_line"] or spec["line"], "signals", "every weight is 0: severity is always 0")
    if threshold_line is not None and threshold < 0:
        checker.warn(
            threshold_line,
            "threshold",
            f"threshold {_shown(threshold)} is below every severity: every symbol fed is an alert",
        )
    if threshold_line is not None and threshold > largest:
        checker.warn(
            threshold_line,
            "threshold",
            f"threshold {_shown(threshold)} is above the largest severity this spec can "
            f"reach ({largest:.4g}): no symbol can ever alert",
        )


_UNKNOWN_KIND = re.compile(r"unknown variant `([^`]*)`")


def hint_for_error(message: str) -> str | None:
    """A did-you-mean for a radar error about an unknown signal kind."""
    match = _UNKNOWN_KIND.search(message)
    if match is None:
        return None
    guess = closest(match.group(1), _SCHEMA["kinds"])
    return f'did you mean "{guess}"?' if guess else None


def warn_spec(origin: str, text: str) -> int:
    """Write the warnings of a spec the radar accepted on standard error; their number.

    ``replay``, ``pipe`` and ``live`` call it after building their radar.
    It never raises and never changes what the radar does.
    """
    try:
        report = check_spec(text)
    except Exception:  # noqa: BLE001 - a check must never stop the radar
        return 0
    for finding in report.warnings:
        terminal.warning(finding.format(origin))
    return len(report.warnings)
