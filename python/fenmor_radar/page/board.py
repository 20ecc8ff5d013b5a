"""What the live page shows, kept up to date checkpoint by checkpoint.

The board holds the latest checkpoint's ranked alerts, each alerting
symbol's severity over the last ``HISTORY`` checkpoints, the feed health per
symbol (live only) and the recent onsets: symbols that entered the alerts at
a checkpoint after being absent from the one before. ``state`` is the whole
of it as one JSON-ready dict, which the page receives on every update.
"""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field
from typing import Any

from fenmor_radar.feeds.health import SymbolHealth
from fenmor_radar.replay.items import Checkpoint
from fenmor_radar.replay.replies import parse_alerts_reply

HISTORY = 30  # checkpoints of severity kept per symbol
ONSETS = 20  # recent onsets kept
TOP_FACTORS = 3


@dataclass
class Board:
    title: str
    threshold: float | None = None
    _checkpoints: deque[tuple[int | None, dict[str, float | None]]] = field(
        default_factory=lambda: deque(maxlen=HISTORY)
    )
    _alerts: list[dict[str, Any]] = field(default_factory=list)
    _onsets: deque[dict[str, Any]] = field(default_factory=lambda: deque(maxlen=ONSETS))
    _health: list[dict[str, Any]] = field(default_factory=list)
    _stale: list[str] = field(default_factory=list)
    _last: dict[str, Any] = field(default_factory=dict)
    version: int = 0

    def checkpoint(
        self,
        item: Checkpoint,
        stale: list[str] | None = None,
        health: list[SymbolHealth] | None = None,
    ) -> None:
        alerts = parse_alerts_reply(item.reply).alerts
        previous = self._checkpoints[-1][1] if self._checkpoints else {}
        severities = {alert.symbol: alert.severity for alert in alerts}
        for alert in alerts:
            if alert.symbol not in previous:
                self._onsets.appendleft(
                    {"symbol": alert.symbol, "severity": alert.severity, "ts": item.ts}
                )
        self._checkpoints.append((item.ts, severities))
        self._alerts = [
            {
                "rank": alert.rank,
                "symbol": alert.symbol,
                "severity": alert.severity,
                "factors": _strongest(alert.factors),
                "ts": alert.ts,
            }
            for alert in alerts
        ]
        self._stale = list(stale or [])
        if health is not None:
            self._health = [
                {
                    "symbol": row.symbol,
                    "stale": row.stale,
                    "channels": {age.channel: age.age for age in row.channels},
                }
                for row in health
            ]
        self._last = {"events": item.events, "ts": item.ts, "spec": item.spec}
        self.version += 1

    def state(self) -> dict[str, Any]:
        symbols: list[str] = []
        for _, severities in self._checkpoints:
            symbols.extend(s for s in severities if s not in symbols)
        history = {
            symbol: [severities.get(symbol) for _, severities in self._checkpoints]
            for symbol in symbols
        }
        return {
            "title": self.title,
            "version": self.version,
            "threshold": self.threshold,
            "checkpoint": self._last,
            "alerts": self._alerts,
            "stale": self._stale,
            "history": {"ts": [ts for ts, _ in self._checkpoints], "symbols": history},
            "health": self._health,
            "onsets": list(self._onsets),
        }


def _strongest(factors: dict[str, float | None]) -> list[list[Any]]:
    ranked = [(k, v) for k, v in factors.items() if k != "severity" and v]
    ranked.sort(key=lambda item: (-(item[1] or 0.0), item[0]))
    return [[name, value] for name, value in ranked[:TOP_FACTORS]]
