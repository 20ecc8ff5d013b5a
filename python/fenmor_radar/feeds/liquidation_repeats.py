"""Liquidations an exchange sends again are fed once.

After a reconnect some exchanges replay their latest liquidations, and a
liquidation counted twice makes a cluster that never happened. A
liquidation is the same as one seen lately when its symbol, time (ms),
side, quantity and price are all equal; the last ``size`` are remembered.
Two distinct liquidations equal in all five within one millisecond are
taken as one: rare, and the lesser fault.
"""

from __future__ import annotations

from collections import deque

Key = tuple[str, int, str, float, float]
DEFAULT_SIZE = 4096


class RecentLiquidations:
    def __init__(self, size: int = DEFAULT_SIZE) -> None:
        self._order: deque[Key] = deque()
        self._seen: set[Key] = set()
        self._size = size

    def first_time(self, key: Key) -> bool:
        """True for a liquidation not seen lately (and remembers it)."""
        if key in self._seen:
            return False
        self._seen.add(key)
        self._order.append(key)
        if len(self._order) > self._size:
            self._seen.discard(self._order.popleft())
        return True
