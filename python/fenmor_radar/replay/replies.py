"""The radar's alerts reply: split into alerts, read for display, ranked again.

Each alert keeps its text exactly as the radar wrote it: reading and writing
it again would change number texts such as ``5e-8``. Values shown on a
terminal come from Python's JSON reader. The ranking rule is the radar's own
(severity descending, then symbol by its UTF-8 bytes ascending); the severity
compared is read from the radar's text, the shortest one that reads back as
the same double, so the comparison is exact.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any

ALERTS_PREFIX = '{"alerts":['
SCANNED_PREFIX = '],"scanned":'

# The reader behind json.loads, called directly on each alert of the reply.
_scan_value: Callable[[str, int], tuple[Any, int]] = json.JSONDecoder().scan_once  # type: ignore[attr-defined]


@dataclass(frozen=True, slots=True)
class AlertView:
    """One alert of a reply, ranked from 1."""

    rank: int
    symbol: str
    severity: float | None
    factors: dict[str, float | None]
    ts: int
    text: str


@dataclass(frozen=True, slots=True)
class AlertsReply:
    alerts: list[AlertView]
    scanned: int


@dataclass(frozen=True, slots=True)
class RankedAlert:
    """An alert as the ranking sees it: its severity, its symbol's bytes, its text."""

    severity: float
    symbol: bytes
    text: str


def _not_an_alerts_reply(reply: str) -> ValueError:
    try:
        document = json.loads(reply)
    except (ValueError, RecursionError):
        document = None
    message = document.get("error") if isinstance(document, dict) else None
    return ValueError(message if isinstance(message, str) else f"not an alerts reply: {reply[:200]}")


def split_reply(reply: str) -> tuple[list[tuple[dict[str, Any], str]], int]:
    """Each alert of an alerts reply as (its value, its text), and ``scanned``.

    Raises ``ValueError`` for any other reply (with the radar's message for an error reply).
    """
    if not reply.startswith(ALERTS_PREFIX):
        raise _not_an_alerts_reply(reply)
    alerts: list[tuple[dict[str, Any], str]] = []
    at = len(ALERTS_PREFIX)
    try:
        if reply[at] != "]":
            while True:
                value, end = _scan_value(reply, at)
                alerts.append((value, reply[at:end]))
                if reply[end] != ",":
                    break
                at = end + 1
            at = end
        scanned = int(reply[at + len(SCANNED_PREFIX) : -1])
    except (StopIteration, ValueError, IndexError):
        raise _not_an_alerts_reply(reply) from None
    if not reply.startswith(SCANNED_PREFIX, at) or not reply.endswith("}"):
        raise _not_an_alerts_reply(reply)
    return alerts, scanned


def alert_texts(reply: str) -> list[str]:
    """The text of every alert object in an alerts reply, in rank order."""
    return [text for _, text in split_reply(reply)[0]]


def parse_alerts_reply(reply: str) -> AlertsReply:
    """The alerts of a reply with their values; raises ``ValueError`` for other replies."""
    alerts, scanned = split_reply(reply)
    views = [
        AlertView(
            rank=rank,
            symbol=value["symbol"],
            severity=value["severity"],
            factors=value["factors"],
            ts=value["ts"],
            text=text,
        )
        for rank, (value, text) in enumerate(alerts, 1)
    ]
    return AlertsReply(views, scanned)


def split_alerts(reply: str) -> tuple[list[RankedAlert], int]:
    """The alerts of an alerts reply ready for ranking, and ``scanned``."""
    alerts, scanned = split_reply(reply)
    ranked: list[RankedAlert] = []
    for value, text in alerts:
        severity = value["severity"]
        if not isinstance(severity, float) or math.isnan(severity):
            raise ValueError(f"an alert without a finite severity: {text}")
        ranked.append(RankedAlert(severity, value["symbol"].encode("utf-8", "surrogatepass"), text))
    return ranked, scanned


def rank_key(alert: RankedAlert) -> tuple[float, bytes]:
    """The radar's order: severity descending, then symbol bytes ascending."""
    return (-alert.severity, alert.symbol)


def ranked_reply(alerts: Iterable[RankedAlert], scanned: int, limit: int | None) -> str:
    """The alerts reply a radar gives for these alerts: ranked, cut to ``limit``."""
    ordered = sorted(alerts, key=rank_key)
    if limit is not None:
        del ordered[limit:]
    return ALERTS_PREFIX + ",".join(alert.text for alert in ordered) + SCANNED_PREFIX + f"{scanned}}}"
