"""``--new-only``: tell about an alert only when it is news, the way alert bots do.

An alert is news when its symbol was never reported, when the symbol dropped
out of the alerts since it was last reported, or when its severity differs
from the one last reported. A cooldown (in ``ts`` units of the replay clock)
keeps a symbol quiet for that long after each report; news held back by the
cooldown is reported at the first checkpoint after it ends, if still true.
A minimum change (``--notify-min-change``) makes a severity change news only
when it is at least that far from the severity last reported, so that a
severity wandering by small steps is news once it has moved that far in all.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

from fenmor_radar.replay.items import Crossing
from fenmor_radar.replay.replies import AlertView

NEW = "new"
SEVERITY = "severity"


@dataclass(frozen=True, slots=True)
class AlertChange:
    """An alert worth reporting, and why: ``NEW`` or ``SEVERITY``."""

    change: str
    alert: AlertView


@dataclass(slots=True)
class _Reported:
    severity: float | None
    clock: int | None
    left_since: bool = False


class NewOnlyFilter:
    def __init__(self, cooldown: int = 0, min_change: float = 0.0) -> None:
        if cooldown < 0:
            raise ValueError(f"cooldown must not be negative, got {cooldown}")
        if not 0 <= min_change <= 1:
            raise ValueError(f"the minimum change must be between 0 and 1, got {min_change}")
        self.cooldown = cooldown
        self.min_change = min_change
        self._reported: dict[str, _Reported] = {}

    def _cooling(self, last: _Reported, clock: int | None) -> bool:
        if self.cooldown == 0 or last.clock is None or clock is None:
            return False
        return clock - last.clock < self.cooldown

    def _moved(self, before: float | None, now: float | None) -> bool:
        if before == now:
            return False
        if before is None or now is None or self.min_change == 0:
            return True
        return abs(now - before) >= self.min_change

    def changes(self, alerts: Sequence[AlertView], clock: int | None) -> list[AlertChange]:
        """The news among the alerts of one checkpoint taken at ``clock``, in rank order."""
        present = {alert.symbol for alert in alerts}
        for symbol, record in self._reported.items():
            if symbol not in present:
                record.left_since = True
        news: list[AlertChange] = []
        for alert in alerts:
            last = self._reported.get(alert.symbol)
            if last is None or last.left_since:
                change = NEW
            elif self._moved(last.severity, alert.severity):
                change = SEVERITY
            else:
                continue
            if last is not None and self._cooling(last, clock):
                continue
            self._reported[alert.symbol] = _Reported(alert.severity, clock)
            news.append(AlertChange(change, alert))
        return news


class CrossingGate:
    """Which crossings are notified: an upward one unless the symbol had one notified within
    the cooldown (in ``ts``); with ``down``, the downward one that ends a notified episode,
    so that every "up" told is followed by its "down"."""

    def __init__(self, cooldown: int = 0, *, down: bool = False) -> None:
        if cooldown < 0:
            raise ValueError(f"cooldown must not be negative, got {cooldown}")
        self.cooldown = cooldown
        self.down = down
        self._last_up: dict[str, int] = {}
        self._told: set[str] = set()  # symbols whose current episode was notified

    def passes(self, crossing: Crossing) -> bool:
        symbol = crossing.symbol
        if not crossing.up:
            told = symbol in self._told
            self._told.discard(symbol)
            return told and self.down
        last = self._last_up.get(symbol)
        if self.cooldown and last is not None and crossing.ts - last < self.cooldown:
            return False
        self._last_up[symbol] = crossing.ts
        self._told.add(symbol)
        return True
