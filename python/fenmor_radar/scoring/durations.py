"""Horizons and cooldowns shown as people write them: 300000 ms -> "5m"."""

from __future__ import annotations

_UNITS = (("d", 86_400_000), ("h", 3_600_000), ("m", 60_000), ("s", 1_000))


def duration_text(ms: int) -> str:
    """The shortest whole form: 300000 -> "5m", 5400000 -> "90m", 1500 -> "1500ms"."""
    for unit, size in _UNITS:
        if ms and ms % size == 0:
            return f"{ms // size}{unit}"
    return f"{ms}ms"
