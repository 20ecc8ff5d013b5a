"""Merging the shards' alerts replies into the one reply a single radar gives.

Each shard ranks and cuts its own alerts; the overall top ``limit`` are
among the shards' top ``limit`` each. They are ranked again the radar's way
(severity descending, then symbol by its UTF-8 bytes ascending), cut to
``limit``, and ``scanned`` is summed, since every symbol lives on one shard.

An alert's text is kept exactly as its radar wrote it: reading and writing
it again would change number texts such as ``5e-8``. The severity used for
ranking is read from that text, which the radar writes as the shortest text
that reads back as the same double, so the comparison is exact.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

ALERTS_PREFIX = '{"alerts":['
SCANNED_PREFIX = '],"scanned":'

_scan_value: Callable[[str, int], tuple[Any, int]] = getattr(json.JSONDecoder(), "scan_once")  # noqa: B009 - not in the stubs


@dataclass(frozen=True, slots=True)
class RankedAlert:
    severity: float
    symbol: bytes
    text: str


def split_alerts(reply: str) -> tuple[list[RankedAlert], int]:
    """The alerts of an alerts reply, each with its own text, and ``scanned``."""
    if not reply.startswith(ALERTS_PREFIX):
        raise ValueError(f"not an alerts reply: {reply[:200]}")
    alerts: list[RankedAlert] = []
    at = len(ALERTS_PREFIX)
    if reply[at] != "]":
        while True:
            value, end = _scan_value(reply, at)
            symbol = value["symbol"]
            severity = value["severity"]
            if not isinstance(severity, float) or severity != severity:
                raise ValueError(f"an alert without a finite severity: {reply[at:end]}")
            alerts.append(RankedAlert(severity, symbol.encode("utf-8", "surrogatepass"), reply[at:end]))
            if reply[end] != ",":
                break
            at = end + 1
        at = end
    if not reply.startswith(SCANNED_PREFIX, at) or not reply.endswith("}"):
        raise ValueError(f"not an alerts reply: {reply[:200]}")
    return alerts, int(reply[at + len(SCANNED_PREFIX) : -1])


def rank_key(alert: RankedAlert) -> tuple[float, bytes]:
    return (-alert.severity, alert.symbol)


def merge_replies(replies: Sequence[str], limit: int | None) -> str:
    """One alerts reply from the replies of shards that hold disjoint symbols."""
    if len(replies) == 1:
        return replies[0]
    alerts: list[RankedAlert] = []
    scanned = 0
    for reply in replies:
        shard_alerts, shard_scanned = split_alerts(reply)
        alerts += shard_alerts
        scanned += shard_scanned
    alerts.sort(key=rank_key)
    if limit is not None:
        del alerts[limit:]
    return ALERTS_PREFIX + ",".join(alert.text for alert in alerts) + SCANNED_PREFIX + f"{scanned}}}"


def spec_limit(spec_text: str) -> int | None:
    """The ``limit`` of a spec text that a radar has accepted (None: no cap).

    A spec is an object with an optional ``limit`` member, or an array whose
    fifth element is the limit; a radar rejects repeated members, so there is
    only one.
    """
    try:
        spec = json.loads(spec_text)
    except (ValueError, RecursionError) as err:
        raise ValueError(f"cannot read the spec's limit: {err}") from err
    if isinstance(spec, dict):
        limit = spec.get("limit")
    elif isinstance(spec, list):
        limit = spec[4] if len(spec) > 4 else None
    else:
        raise ValueError("cannot read the spec's limit: not an object or an array")
    if limit is not None and (not isinstance(limit, int) or isinstance(limit, bool)):
        raise ValueError(f"cannot read the spec's limit: {limit!r}")
    return limit
