"""Durations as people write them ("5m", "1h", "90s", "250ms") and back, in milliseconds."""

from __future__ import annotations

import re

_UNITS = {"ms": 1, "s": 1_000, "m": 60_000, "h": 3_600_000, "d": 86_400_000}
_DURATION = re.compile(r"(\d+)(ms|s|m|h|d)?")


def parse_duration(text: str) -> int:
    """Milliseconds of "15m" (a bare number is milliseconds); ValueError naming the text."""
    match = _DURATION.fullmatch(text.strip())
    if match is None or int(match.group(1)) <= 0:
        raise ValueError(
            f"not a duration: {text!r} (a positive number with ms, s, m, h or d, as in 15m)"
        )
    return int(match.group(1)) * _UNITS[match.group(2) or "ms"]


def parse_durations(text: str) -> tuple[int, ...]:
    """Milliseconds of "5m,15m,1h", in the order given, each once."""
    values: list[int] = []
    for part in text.split(","):
        value = parse_duration(part)
        if value not in values:
            values.append(value)
    return tuple(values)


def duration_text(ms: int) -> str:
    """The shortest whole form: 300000 -> "5m", 5400000 -> "90m", 1500 -> "1500ms"."""
    for unit in ("d", "h", "m", "s"):
        if ms % _UNITS[unit] == 0:
            return f"{ms // _UNITS[unit]}{unit}"
    return f"{ms}ms"
