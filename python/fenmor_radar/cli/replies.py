"""Reading the radar's alerts reply: values for display, and each alert's own text.

Values shown on a terminal come from Python's JSON reader. Anything written
out again as JSON uses the alert's text exactly as the radar wrote it, so
numbers keep the radar's spelling (``5e-8``, ``1.0``) byte for byte.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass

ALERTS_PREFIX = '{"alerts":['
# A string (with its escapes) or a bracket: enough to find where each alert
# object of the reply starts and ends without reading the values.
_TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|[{}\]]')


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


def alert_texts(reply: str) -> list[str]:
    """The text of every alert object in an alerts reply, in rank order."""
    if not reply.startswith(ALERTS_PREFIX):
        raise ValueError(f"not an alerts reply: {reply[:80]}")
    texts: list[str] = []
    depth = 0
    start = 0
    for token in _TOKEN.finditer(reply, len(ALERTS_PREFIX)):
        mark = token.group()
        if mark == "{":
            if depth == 0:
                start = token.start()
            depth += 1
        elif mark == "}":
            depth -= 1
            if depth == 0:
                texts.append(reply[start : token.end()])
        elif mark == "]" and depth == 0:
            break
    return texts


def parse_alerts_reply(reply: str) -> AlertsReply:
    """The alerts of a reply with their values; raises ``ValueError`` for other replies."""
    document = json.loads(reply)
    if not isinstance(document, dict) or "alerts" not in document:
        message = document.get("error") if isinstance(document, dict) else None
        raise ValueError(message or f"not an alerts reply: {reply[:80]}")
    texts = alert_texts(reply)
    alerts = [
        AlertView(
            rank=rank,
            symbol=item["symbol"],
            severity=item["severity"],
            factors=item["factors"],
            ts=item["ts"],
            text=text,
        )
        for rank, (item, text) in enumerate(zip(document["alerts"], texts, strict=True), 1)
    ]
    return AlertsReply(alerts, document["scanned"])
