"""The search space of ``tune``: ranges for a base spec's weights, threshold and parameters.

A space file is a JSON object::

    {
      "threshold": [0.1, 0.8],
      "weights": {"oi_delta": [0, 2], "funding_flip": [0, 2]},
      "params": {"oi_delta": [[4, 36], null]}
    }

Signals are named by their kind (when the base spec has one signal of that
kind) or by their place in the base spec's list ("0", "1", ...). A range is
``[low, high]`` with low <= high; a parameter range whose ends are both
integers is searched over integers (lookbacks), ``null`` keeps the base
value. What the space leaves out keeps the base spec's value.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from typing import Any, Protocol

from fenmor_radar.spec_source import POSITIONAL_MEMBERS

MEMBERS = ("threshold", "weights", "params")


class SpaceError(ValueError):
    """A space file that cannot be used; the message names the member at fault."""


@dataclass(frozen=True, slots=True)
class Range:
    name: str  # the trial parameter's name, as Optuna shows it
    low: float
    high: float
    integer: bool


@dataclass(frozen=True, slots=True)
class Dimension:
    """One searched value: where it goes in the spec, and its range."""

    signal: int | None  # None: the threshold
    param: int | None  # None: the weight (or the threshold)
    range: Range


class Trial(Protocol):
    def suggest_float(self, name: str, low: float, high: float) -> float: ...
    def suggest_int(self, name: str, low: int, high: int) -> int: ...


@dataclass(frozen=True, slots=True)
class Space:
    base: dict[str, Any]  # the base spec, as an object
    dimensions: tuple[Dimension, ...]

    def spec(self, values: dict[str, float | int]) -> str:
        """The base spec with the values of a trial (by parameter name) put in."""
        spec = json.loads(json.dumps(self.base))
        for dimension in self.dimensions:
            value = values[dimension.range.name]
            if dimension.signal is None:
                spec["threshold"] = value
            elif dimension.param is None:
                spec["signals"][dimension.signal]["weight"] = value
            else:
                spec["signals"][dimension.signal]["params"][dimension.param] = value
        return json.dumps(spec)

    def suggest(self, trial: Trial) -> dict[str, float | int]:
        values: dict[str, float | int] = {}
        for dimension in self.dimensions:
            r = dimension.range
            if r.integer:
                values[r.name] = trial.suggest_int(r.name, int(r.low), int(r.high))
            else:
                values[r.name] = trial.suggest_float(r.name, r.low, r.high)
        return values


def _range(value: Any, where: str, name: str, *, integers: bool) -> Range:
    if (
        not isinstance(value, list)
        or len(value) != 2
        or not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value)
        or not all(math.isfinite(v) for v in value)
    ):
        raise SpaceError(f"{where}: expected a range [low, high] of two numbers, got {json.dumps(value)}")
    low, high = value
    if low > high:
        raise SpaceError(f"{where}: low {low} is above high {high}")
    integer = integers and all(isinstance(v, int) for v in value)
    return Range(name, float(low), float(high), integer)


def _signal_index(key: str, signals: list[dict[str, Any]], where: str) -> int:
    if key.isdigit():
        index = int(key)
        if index >= len(signals):
            raise SpaceError(f"{where}: the base spec has {len(signals)} signals (0 to {len(signals) - 1})")
        return index
    places = [i for i, signal in enumerate(signals) if signal.get("kind") == key]
    if not places:
        kinds = ", ".join(sorted({str(s.get("kind")) for s in signals}))
        raise SpaceError(f"{where}: no signal of kind {key!r} in the base spec (it has {kinds})")
    if len(places) > 1:
        raise SpaceError(
            f"{where}: the base spec has {len(places)} {key} signals; name one by its place "
            f"({', '.join(str(p) for p in places)})"
        )
    return places[0]


def read_space(text: str, base_spec: str | None = None, origin: str = "space") -> Space:
    """The space of a file's text over a base spec (the structure alone without one).

    Raises ``SpaceError`` naming ``origin`` and the member at fault.
    """
    try:
        value = json.loads(text)
    except (ValueError, RecursionError) as err:
        raise SpaceError(f"{origin}: not JSON: {err}") from None
    if not isinstance(value, dict):
        raise SpaceError(f"{origin}: expected an object with {', '.join(MEMBERS)}")
    unknown = sorted(set(value) - set(MEMBERS))
    if unknown:
        raise SpaceError(f"{origin}: unknown member {unknown[0]!r} (a space has {', '.join(MEMBERS)})")
    base: dict[str, Any] = {"signals": []}
    if base_spec is not None:
        parsed = json.loads(base_spec)
        if isinstance(parsed, list):  # the positional form
            parsed = dict(zip(POSITIONAL_MEMBERS, parsed, strict=False))
        base = parsed
        for signal in base.get("signals", []):
            if isinstance(signal, list):  # [kind, params, weight]
                raise SpaceError(f"{origin}: write the base spec's signals as objects to tune them")
    signals: list[dict[str, Any]] = base.get("signals", [])
    dimensions: list[Dimension] = []
    if "threshold" in value:
        dimensions.append(
            Dimension(None, None, _range(value["threshold"], f"{origin}: threshold", "threshold", integers=False))
        )
    for member in ("weights", "params"):
        ranges = value.get(member, {})
        if not isinstance(ranges, dict):
            raise SpaceError(f"{origin}: {member}: expected an object keyed by signal kind")
        for key, given in ranges.items():
            where = f"{origin}: {member}.{key}"
            index = _signal_index(key, signals, where) if base_spec is not None else None
            label = key if index is None else f"{signals[index]['kind']}#{index}"
            if member == "weights":
                if isinstance(given, list) and given and isinstance(given[0], (int, float)) and given[0] < 0:
                    raise SpaceError(f"{where}: a weight cannot be negative")
                r = _range(given, where, f"weight {label}", integers=False)
                if index is not None or base_spec is None:
                    dimensions.append(Dimension(index if index is not None else -1, None, r))
                continue
            if not isinstance(given, list):
                raise SpaceError(f"{where}: expected a list with a range or null per parameter")
            params = signals[index].get("params", []) if index is not None else given
            if len(given) > len(params):
                raise SpaceError(f"{where}: the signal has {len(params)} parameters, the space names {len(given)}")
            for position, item in enumerate(given):
                if item is None:
                    continue
                r = _range(item, f"{where}[{position}]", f"{label} param {position}", integers=True)
                dimensions.append(Dimension(index if index is not None else -1, position, r))
    if not dimensions:
        raise SpaceError(f"{origin}: names nothing to search (give threshold, weights or params)")
    return Space(base, tuple(dimensions))


def looks_like_space(text: str) -> bool:
    """Whether a file's text is a space rather than a spec (for ``check``)."""
    try:
        value = json.loads(text)
    except (ValueError, RecursionError):  # a spec nested deeper than Python reads: the radar's to judge
        return False
    return isinstance(value, dict) and "signals" not in value and bool(set(value) & {"weights", "params"})
