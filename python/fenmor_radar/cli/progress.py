"""A one-line progress bar with events per second, on standard error.

It appears only once an input has run for a moment (short inputs never show
one) and redraws a few times a second at most; checking the time on every
line would cost more than feeding it.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable, Iterator
from typing import TextIO, TypeVar

from fenmor_radar.cli.table import can_draw_blocks

T = TypeVar("T")

BAR_WIDTH = 24
CHECK_EVERY = 512  # lines between looks at the clock
CLEAR = "\r\x1b[K"


class Progress:
    def __init__(
        self,
        stream: TextIO,
        *,
        enabled: bool,
        total: int | None = None,
        position: Callable[[], int | None] = lambda: None,
        delay: float = 0.5,
        interval: float = 0.2,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.stream = stream
        self.enabled = enabled
        self.total = total
        self.position = position
        self.delay = delay
        self.interval = interval
        self.clock = clock
        self.blocks = can_draw_blocks(getattr(stream, "encoding", None))
        self.events = 0
        self.started = clock()
        self._countdown = CHECK_EVERY
        self._drawn_at: float | None = None

    def track(self, items: Iterable[T]) -> Iterator[T]:
        """``items`` unchanged, counting them and redrawing now and then."""
        for item in items:
            yield item
            self.events += 1
            self._countdown -= 1
            if self._countdown == 0:
                self._countdown = CHECK_EVERY
                self.tick()

    def tick(self) -> None:
        if not self.enabled:
            return
        now = self.clock()
        if now - self.started < self.delay:
            return
        if self._drawn_at is not None and now - self._drawn_at < self.interval:
            return
        self._drawn_at = now
        self.stream.write(CLEAR + self.render(now))
        self.stream.flush()

    def render(self, now: float) -> str:
        elapsed = max(now - self.started, 1e-9)
        rate = f"{self.events:,} events  {self.events / elapsed:,.0f} events/s"
        done = self.position()
        if self.total is None or done is None or self.total <= 0:
            return rate
        fraction = min(done / self.total, 1.0)
        filled = int(fraction * BAR_WIDTH)
        if self.blocks:
            bar = "█" * filled + "░" * (BAR_WIDTH - filled)
        else:
            bar = "#" * filled + "-" * (BAR_WIDTH - filled)
        return f"[{bar}] {fraction * 100:3.0f}%  {rate}"

    def clear(self) -> None:
        """Remove the bar before other output goes to the terminal."""
        if self._drawn_at is not None:
            self.stream.write(CLEAR)
            self.stream.flush()
            self._drawn_at = None
