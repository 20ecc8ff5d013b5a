"""Timestamps as people read them: UTC dates when ``ts`` looks like epoch milliseconds.

The radar only compares ``ts`` values, so any unit is allowed; a value in the
range of milliseconds since 1970 for the years 2001 to 2286 is shown as a UTC
time, anything else as the number it is. JSON output always keeps ``ts``.
"""

from __future__ import annotations

from datetime import datetime, timezone

MS_FROM = 1_000_000_000_000
MS_TO = 10_000_000_000_000


def is_epoch_ms(ts: int) -> bool:
    return MS_FROM <= ts < MS_TO


def utc_time(ts: int, *, date: bool = True) -> str:
    """``"2024-03-01 13:00:05"`` (or ``"13:00:05"``); other numbers as they are."""
    if not is_epoch_ms(ts):
        return str(ts)
    moment = datetime.fromtimestamp(ts / 1000, tz=timezone.utc)
    return moment.strftime("%Y-%m-%d %H:%M:%S" if date else "%H:%M:%S")


def utc_label(ts: int) -> str:
    """A moment in a sentence: ``"2024-03-01 13:08:55 UTC"``, or ``"ts 42"`` for another clock."""
    return f"{utc_time(ts)} UTC" if is_epoch_ms(ts) else f"ts {ts}"
