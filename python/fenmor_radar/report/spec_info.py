"""What a report shows of a spec: its signals with their factor names and weights.

A factor is named in alerts by its signal key. The report needs the same
names to find each factor's weight, and so the share of the severity it
carries: it asks the engine for them (``describe_spec``) rather than
formatting keys of its own.
"""

from __future__ import annotations

from dataclasses import dataclass

from fenmor_radar._native import describe_spec


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


def spec_info(text: str, origin: str) -> SpecInfo:
    """Read a spec text as the radar does; ``BadSpec`` with its message when it refuses it."""
    try:
        described = describe_spec(text)
    except ValueError as err:
        raise BadSpec(str(err)) from err
    return SpecInfo(
        origin=origin,
        signals=tuple(SignalInfo(signal["key"], signal["weight"]) for signal in described["signals"]),
        threshold=described["threshold"],
        limit=described["limit"],
    )
