"""Feed health: how long ago each symbol's inputs last arrived, and what went wrong.

A radar that alerts from a stalled feed is worse than none, so a live session
keeps, per symbol and channel, the arrival time (the machine's monotonic
clock) and event time of the last message. A symbol is *stale* when one of
its continuous channels (open interest, funding, book: streams an exchange
sends all the time) has been silent for longer than ``max_staleness``, or has
never spoken that long after the start. Liquidations come only when they
happen, so their silence says nothing and never makes a symbol stale.

Each change is reported as it happens, through ``report``: a symbol turning
stale, a symbol fresh again (a *gap*, with its length), a reconnect of the
exchange's stream. The counts (gaps, reconnects, repeated liquidations left
out, messages older than the one before on their channel) go in the summary.

``seen`` is called on cryptofeed's thread, ``check`` and the readers on the
main thread; one lock guards the state.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from fenmor_radar.feeds.live import FUNDING, L2_BOOK, OPEN_INTEREST

CONTINUOUS = (OPEN_INTEREST, FUNDING, L2_BOOK)
DEFAULT_MAX_STALENESS = 300.0  # seconds: longer than any exchange's usual quiet spell


@dataclass(slots=True)
class _Channel:
    arrival: float | None = None  # monotonic seconds of the last message
    ts: int | None = None  # its event time (ms)
    messages: int = 0


@dataclass(slots=True)
class _Symbol:
    channels: dict[str, _Channel]
    stale_since: float | None = None  # when it was reported stale


@dataclass(slots=True)
class HealthCounts:
    gaps: int = 0
    reconnects: int = 0
    repeated_liquidations: int = 0
    out_of_order: int = 0
    stale_now: int = 0


@dataclass(frozen=True, slots=True)
class ChannelAge:
    channel: str
    age: float | None  # seconds since its last message; None: never
    ts: int | None  # event time of its last message


@dataclass(frozen=True, slots=True)
class SymbolHealth:
    symbol: str
    stale: bool
    channels: tuple[ChannelAge, ...]


def duration_text(seconds: float) -> str:
    """``1.5s``, ``42s``, ``5m07s``, ``2h03m``: short, for messages and tables."""
    if seconds < 10:
        return f"{seconds:.1f}s".replace(".0s", "s")
    whole = int(seconds)
    if whole < 60:
        return f"{whole}s"
    if whole < 3600:
        return f"{whole // 60}m{whole % 60:02d}s"
    return f"{whole // 3600}h{whole % 3600 // 60:02d}m"


@dataclass
class FeedHealth:
    """The health of one live session's symbols; see the module's rules."""

    symbols: Sequence[str]
    channels: Sequence[str]
    max_staleness: float = DEFAULT_MAX_STALENESS
    report: Callable[[str], None] = lambda text: None
    clock: Callable[[], float] = time.monotonic
    counts: HealthCounts = field(default_factory=HealthCounts)

    def __post_init__(self) -> None:
        if not self.max_staleness > 0:
            raise ValueError(f"the staleness limit must be greater than zero, got {self.max_staleness}")
        self._lock = threading.Lock()
        self._started = self.clock()
        self._watched = [c for c in CONTINUOUS if c in self.channels]
        self._symbols: dict[str, _Symbol] = {}
        self._pending: list[str] = []  # reports from cryptofeed's thread, for the main thread
        for symbol in self.symbols:
            self._symbol(symbol)

    def _symbol(self, symbol: str) -> _Symbol:
        state = self._symbols.get(symbol)
        if state is None:
            state = _Symbol({channel: _Channel() for channel in self.channels})
            self._symbols[symbol] = state
        return state

    def seen(self, symbol: str, channel: str, ts: int) -> None:
        """A message of ``channel`` for ``symbol`` with event time ``ts`` arrived."""
        with self._lock:
            state = self._symbol(symbol).channels.setdefault(channel, _Channel())
            if state.ts is not None and ts < state.ts:
                self.counts.out_of_order += 1
            else:
                state.ts = ts
            state.arrival = self.clock()
            state.messages += 1

    def repeated_liquidation(self) -> None:
        with self._lock:
            self.counts.repeated_liquidations += 1

    def reconnected(self, where: str) -> None:
        """The exchange's stream at ``where`` connected again (reported at the next check)."""
        with self._lock:
            self.counts.reconnects += 1
            self._pending.append(f"reconnected to {where} (reconnect {self.counts.reconnects})")

    def _silence(self, state: _Symbol, now: float) -> tuple[str, float] | None:
        """The longest silent watched channel, if longer than the limit."""
        worst: tuple[str, float] | None = None
        for name in self._watched:
            channel = state.channels.get(name)
            since = channel.arrival if channel is not None and channel.arrival is not None else None
            silent = now - (since if since is not None else self._started)
            if silent > self.max_staleness and (worst is None or silent > worst[1]):
                worst = (name, silent)
        return worst

    def check(self) -> list[str]:
        """Report symbols turning stale or fresh since the last check; the stale ones, sorted."""
        with self._lock:
            messages, self._pending = self._pending, []
            now = self.clock()
            stale = []
            for symbol, state in self._symbols.items():
                silence = self._silence(state, now)
                if silence is not None:
                    stale.append(symbol)
                    if state.stale_since is None:
                        state.stale_since = now - silence[1]
                        messages.append(
                            f"{symbol} is stale: no {silence[0]} for {duration_text(silence[1])} "
                            f"(limit {duration_text(self.max_staleness)}); its alerts are not notified"
                        )
                elif state.stale_since is not None:
                    self.counts.gaps += 1
                    messages.append(
                        f"{symbol} is fresh again after a gap of "
                        f"{duration_text(now - state.stale_since)}"
                    )
                    state.stale_since = None
            self.counts.stale_now = len(stale)
        for text in messages:
            self.report(text)
        return sorted(stale)

    def snapshot(self) -> list[SymbolHealth]:
        """Every symbol's channels and their ages now, by symbol."""
        with self._lock:
            now = self.clock()
            return [
                SymbolHealth(
                    symbol,
                    state.stale_since is not None,
                    tuple(
                        ChannelAge(
                            name,
                            None if channel.arrival is None else now - channel.arrival,
                            channel.ts,
                        )
                        for name, channel in state.channels.items()
                    ),
                )
                for symbol, state in sorted(self._symbols.items())
            ]

    def summary(self) -> str:
        counts = self.counts
        parts = [
            f"{counts.reconnects:,} reconnect{'s' if counts.reconnects != 1 else ''}",
            f"{counts.gaps:,} gap{'s' if counts.gaps != 1 else ''}",
            f"{counts.stale_now:,} stale at the end",
        ]
        if counts.repeated_liquidations:
            parts.append(f"{counts.repeated_liquidations:,} repeated liquidations left out")
        if counts.out_of_order:
            parts.append(f"{counts.out_of_order:,} messages older than the one before")
        return "feed health: " + ", ".join(parts)
