"""What a report shows of a spec: its signals with their factor names and weights.

A factor is named in alerts by its signal key, ``kind(p1,p2)`` with each
parameter rounded to a multiple of 1e-8 and written in positional decimal.
The report needs the same names to find each factor's weight, and so the
share of the severity it carries.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from decimal import Decimal

STEP = 1e-8
# Member order of the positional (array) forms of a spec and a signal.
SPEC_FIELDS = ("venues", "symbols", "signals", "threshold", "limit")
SIGNAL_FIELDS = ("kind", "params", "weight")


class BadSpec(ValueError):
    """A spec text the report cannot read."""


@dataclass(frozen=True, slots=True)
class SignalInfo:
    key: str
    weight: float


@dataclass(frozen=True, slots=True)
class SpecInfo:
    """The parts of a spec a report shows; ``origin`` names where it came from."""

    origin: str
    signals: tuple[SignalInfo, ...]
    threshold: float
    limit: int | None

    @property
    def total_weight(self) -> float:
        return sum(signal.weight for signal in self.signals)

    def weight_of(self, key: str) -> float | None:
        for signal in self.signals:
            if signal.key == key:
                return signal.weight
        return None


def quantise(value: float) -> float:
    """``value`` rounded to the nearest multiple of 1e-8, halves away from zero."""
    steps = abs(value / STEP)
    whole = math.floor(steps)
    if steps - whole >= 0.5:
        whole += 1
    return math.copysign(float(whole), value) * STEP


def decimal_text(value: float) -> str:
    """The shortest round-trip decimal of ``value``, positional, without trailing zeros."""
    text = format(Decimal(repr(value)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def signal_key(kind: str, params: list[float]) -> str:
    return f"{kind}({','.join(decimal_text(quantise(float(p))) for p in params)})"


def _members(value: object, fields: tuple[str, ...]) -> dict[str, object]:
    if isinstance(value, dict):
        return value
    if isinstance(value, list):
        return dict(zip(fields, value, strict=False))
    raise BadSpec(f"expected an object or an array, found {type(value).__name__}")


def spec_info(text: str, origin: str) -> SpecInfo:
    """Read a spec text the radar already accepted (or will be asked to)."""
    members = _members(json.loads(text), SPEC_FIELDS)
    signals = []
    raw_signals = members.get("signals")
    if not isinstance(raw_signals, list):
        raise BadSpec("the spec has no list of signals")
    for raw in raw_signals:
        signal = _members(raw, SIGNAL_FIELDS)
        params = signal.get("params") or []
        weight = signal.get("weight", 1.0)
        if not isinstance(params, list) or not isinstance(weight, (int, float)):
            raise BadSpec(f"malformed signal: {json.dumps(raw)[:80]}")
        signals.append(
            SignalInfo(signal_key(str(signal.get("kind")), params), float(weight))
        )
    threshold = members.get("threshold", 0.0)
    limit = members.get("limit")
    return SpecInfo(
        origin=origin,
        signals=tuple(signals),
        threshold=float(threshold) if isinstance(threshold, (int, float)) else 0.0,
        limit=limit if isinstance(limit, int) else None,
    )
