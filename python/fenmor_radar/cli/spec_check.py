"""What a spec the radar accepts may still get wrong, said before it costs a replay.

The radar ignores unknown members and takes any finite parameter, as it
must. This check names what it ignored (with a did-you-mean), parameters
that make a signal useless or costly, a threshold no symbol can reach, and
the window and memory per symbol the spec implies. It only warns: the radar
itself reads the spec, and nothing here changes what it does.

What a signal can reach follows the indicators: each maps its measurement
onto [0, 1] and counts every division by zero or non-finite result as 0, so
a zero scale, a negative one (except for ``oi_price_divergence``, whose
scale is squared) or a lookback of no whole sample gives a signal that is
always 0; the order-book imbalance is at most 1, so ``book_imbalance`` with
a scale s above 1 reaches at most 1/s. Severity is the weighted mean of the
signals, so the largest reachable severity is the weighted mean of those
maxima (and 0 when every weight is 0).
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Sequence
from dataclasses import dataclass
from decimal import Decimal

from fenmor_radar.cli import json_positions, terminal
from fenmor_radar.cli.json_positions import Member, Node
from fenmor_radar.cli.suggest import closest

SPEC_MEMBERS = ("venues", "symbols", "signals", "threshold", "limit")
SIGNAL_MEMBERS = ("kind", "params", "weight")
KINDS = ("oi_delta", "funding_flip", "book_imbalance", "liq_cluster", "oi_price_divergence")
LOOKBACK_KINDS = ("oi_delta", "liq_cluster", "oi_price_divergence")
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


def lookback_count(value: float) -> int:
    """A lookback as the radar counts it: whole samples, 0 for anything not above 0."""
    if not value > 0 or math.isinf(value):
        return 0
    return MAX_COUNT if value >= 2.0**64 else int(value)


def quantised_text(value: float) -> str:
    """A parameter as signal keys write it: rounded to 1e-8, plain decimal."""
    scaled = value / 1e-8
    q = scaled
    if math.isfinite(scaled):
        whole = math.trunc(scaled)
        fraction = scaled - whole
        q = math.copysign(whole + (fraction >= 0.5) - (fraction <= -0.5), scaled) * 1e-8
    if not math.isfinite(q):
        return "inf" if q > 0 else "-inf"
    text = format(Decimal(repr(q)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def _number(node: Node | None) -> float | None:
    if node is None or isinstance(node.value, bool) or not isinstance(node.value, int | float):
        return None
    return float(node.value)


def _shown(value: float) -> str:
    return str(int(value)) if value.is_integer() and abs(value) < 1e16 else repr(value)


class _Checker:
    def __init__(self) -> None:
        self.warnings: list[Finding] = []
        self.signals: list[SignalNeeds] = []
        self.longest = 0
        self.weighted_max = 0.0
        self.total_weight = 0.0

    def warn(self, line: int, where: str, text: str) -> None:
        self.warnings.append(Finding(line, where, text))

    def unknown_members(self, members: Sequence[Member], known: Sequence[str], prefix: str) -> None:
        for member in members:
            if member.name in known:
                continue
            text = f"unknown member {json.dumps(member.name, ensure_ascii=False)}, ignored by the radar"
            guess = closest(member.name, known)
            if guess is not None:
                text += f'; did you mean "{guess}"?'
            self.warn(member.line, prefix + member.name, text)

    def signal(self, index: int, node: Node) -> None:
        where = f"signals[{index}]"
        kind_node: Node | None
        params_node: Node | None
        weight_node: Node | None
        if node.members is not None:
            self.unknown_members(node.members, SIGNAL_MEMBERS, where + ".")
            found = {name: node.member(name) for name in SIGNAL_MEMBERS}
            kind_node, params_node, weight_node = (
                member.value if member else None for member in found.values()
            )
        else:
            items = (node.items or []) + [None, None, None]
            kind_node, params_node, weight_node = items[0], items[1], items[2]
        kind = _kind_name(kind_node)
        params = [_number(item) for item in (params_node.items or [])] if params_node else []
        weight = _number(weight_node)
        weight = 1.0 if weight is None else weight
        if kind is None or any(p is None for p in params):
            return  # the radar rejected it already
        values = [p for p in params if p is not None]
        key = f"{kind}({','.join(quantised_text(p) for p in values)})"
        params_line = params_node.line if params_node else node.line
        reach = 1.0
        needs: str
        if kind in LOOKBACK_KINDS:
            lookback, scale = values[0], values[1]
            count = lookback_count(lookback)
            self.longest = max(self.longest, count)
            if count == 0:
                reach = 0.0
                self.warn(
                    params_line,
                    f"{where}.params[0]",
                    f"lookback {_shown(lookback)} is no whole sample: {kind} is always 0",
                )
            elif not lookback.is_integer():
                self.warn(
                    params_line,
                    f"{where}.params[0]",
                    f"lookback {_shown(lookback)} is not a whole number of samples: "
                    f"the radar uses {count}",
                )
            if count > HUGE_LOOKBACK:
                memory = bytes_text(ROW_BYTES * (count + 2) + FIXED_BYTES)
                self.warn(
                    params_line,
                    f"{where}.params[0]",
                    f"lookback {_shown(lookback)} is huge: every symbol keeps up to "
                    f"{_count_text(count + 1)} samples, {memory} per symbol",
                )
            if count == 0:
                needs = "nothing (always 0)"
            elif kind == "liq_cluster":
                needs = f"the last {_count_text(count)} liquidations"
            else:
                needs = f"{_count_text(count + 1)} derivatives events"
            scale_at = f"{where}.params[1]"
        else:
            scale = values[0]
            scale_at = f"{where}.params[0]"
            needs = "the latest order book" if kind == "book_imbalance" else "2 derivatives events"
        if scale == 0:
            reach = 0.0
            self.warn(params_line, scale_at, f"scale 0: {kind} is always 0 (a division by zero counts as 0)")
        elif scale < 0 and kind != "oi_price_divergence":
            reach = 0.0
            self.warn(
                params_line,
                scale_at,
                f"negative scale {_shown(scale)}: {kind} is always 0 (its measurement is never negative)",
            )
        elif kind == "book_imbalance" and scale > 1:
            reach = 1 / scale
            self.warn(
                params_line,
                scale_at,
                f"scale {_shown(scale)} above 1: the imbalance is at most 1, "
                f"so book_imbalance never exceeds {reach:.4g}",
            )
        if weight == 0:
            self.warn(
                weight_node.line if weight_node else node.line,
                f"{where}.weight",
                "weight 0: this signal never counts toward severity",
            )
        self.weighted_max += weight * reach
        self.total_weight += weight
        self.signals.append(SignalNeeds(where, key, needs))


def _kind_name(node: Node | None) -> str | None:
    if node is None:
        return None
    if isinstance(node.value, str):
        return node.value if node.value in KINDS else None
    if node.members is not None and len(node.members) == 1:
        name = node.members[0].name
        return name if name in KINDS else None
    return None


def _count_text(count: int) -> str:
    return "2^64 - 1" if count >= MAX_COUNT else f"{count:,}"


def bytes_text(count: int) -> str:
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= size:
            return f"{count / size:,.1f} {unit}"
    return f"{count} bytes"


def check_spec(text: str) -> SpecReport:
    """The warnings and needs of a spec text the radar accepted.

    Raises ``ValueError`` when the text is not JSON at all.
    """
    root = json_positions.read(text)
    checker = _Checker()
    threshold_node: Node | None
    signals_node: Node | None
    if root.members is not None:
        checker.unknown_members(root.members, SPEC_MEMBERS, "")
        threshold_member = root.member("threshold")
        signals_member = root.member("signals")
        threshold_node = threshold_member.value if threshold_member else None
        signals_node = signals_member.value if signals_member else None
        if threshold_member is None:
            checker.warn(
                root.line,
                "threshold",
                "no threshold: it defaults to 0, so every symbol fed is an alert",
            )
    else:
        items = root.items or []
        signals_node = items[2] if len(items) > 2 else None
        threshold_node = items[3] if len(items) > 3 else None
        if threshold_node is None:
            checker.warn(
                root.line,
                "[3]",
                "no threshold (the fourth element): it defaults to 0, so every symbol fed is an alert",
            )
    for index, node in enumerate((signals_node.items or []) if signals_node else []):
        checker.signal(index, node)
    threshold = _number(threshold_node) or 0.0
    total = checker.total_weight
    # Severities are reported (and compared) rounded to 1e-8, as the radar does.
    max_severity = round(checker.weighted_max / total, 8) if total > 0 else 0.0
    if checker.signals and total == 0:
        checker.warn(
            signals_node.line if signals_node else root.line,
            "signals",
            "every weight is 0: severity is always 0",
        )
    if threshold_node is not None and threshold < 0:
        checker.warn(
            threshold_node.line,
            "threshold",
            f"threshold {_shown(threshold)} is below every severity: every symbol fed is an alert",
        )
    if threshold_node is not None and threshold > max_severity:
        checker.warn(
            threshold_node.line,
            "threshold",
            f"threshold {_shown(threshold)} is above the largest severity this spec can "
            f"reach ({max_severity:.4g}): no symbol can ever alert",
        )
    window = min(max(checker.longest + 1, 2), MAX_COUNT)
    warnings = sorted(checker.warnings, key=lambda finding: finding.line)
    return SpecReport(warnings, checker.signals, window, threshold, max_severity)


_UNKNOWN_KIND = re.compile(r"unknown variant `([^`]*)`")


def hint_for_error(message: str) -> str | None:
    """A did-you-mean for a radar error about an unknown signal kind."""
    match = _UNKNOWN_KIND.search(message)
    if match is None:
        return None
    guess = closest(match.group(1), KINDS)
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
