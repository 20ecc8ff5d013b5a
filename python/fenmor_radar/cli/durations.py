"""Durations on the command line: ``90s``, ``5m``, ``1h30m``, or a number of milliseconds.

Every option that takes a span of ``ts`` reads it here. A number alone is in
``ts`` units, which are milliseconds in every recording that ``live`` and
``convert`` write; a unit turns the text into milliseconds.
"""

from __future__ import annotations

import argparse
import re
from decimal import Decimal

MS_PER_UNIT = {"ms": 1, "s": 1_000, "m": 60_000, "h": 3_600_000, "d": 86_400_000, "w": 604_800_000}
UNITS = ", ".join(MS_PER_UNIT)
LARGEST = (1 << 63) - 1  # ts is a signed 64-bit integer

_PART = re.compile(r"([0-9]+(?:\.[0-9]+)?)(ms|s|m|h|d|w)")
_DIGITS = re.compile(r"[0-9]+")


def parse_duration(text: str) -> int:
    """The milliseconds ``text`` stands for; ``ValueError`` with the reason otherwise."""
    written = text.strip()
    if _DIGITS.fullmatch(written):
        total = Decimal(written)
    else:
        total = Decimal(0)
        at = 0
        units: list[str] = []
        while at < len(written):
            part = _PART.match(written, at)
            if part is None:
                raise ValueError(
                    f"not a duration: {text!r} (a number of milliseconds, or numbers with "
                    f"units such as 90s, 5m, 1h30m; units: {UNITS})"
                )
            if part.group(2) in units:
                raise ValueError(f"not a duration: {text!r} gives {part.group(2)} twice")
            units.append(part.group(2))
            total += Decimal(part.group(1)) * MS_PER_UNIT[part.group(2)]
            at = part.end()
        if not units:
            raise ValueError("not a duration: an empty text")
    if total != total.to_integral_value():
        raise ValueError(f"not a whole number of milliseconds: {text!r}")
    if total > LARGEST:
        raise ValueError(f"too long a duration: {text!r} (at most {LARGEST} ms)")
    return int(total)


def positive_duration(text: str) -> int:
    """An argparse type: a duration greater than zero."""
    value = _argument(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be greater than zero: {text}")
    return value


def non_negative_duration(text: str) -> int:
    """An argparse type: a duration, zero allowed."""
    return _argument(text)


def _argument(text: str) -> int:
    try:
        return parse_duration(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None
