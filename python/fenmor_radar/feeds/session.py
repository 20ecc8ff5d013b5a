"""A live session: cryptofeed on its own thread, its events as a stream of lines.

cryptofeed runs an asyncio loop; the radar and the replay loop (checkpoints,
output) run on the main thread and read the events from a queue, in arrival
order, in batches of what has arrived, exactly as they read a recording. The queue holds at most
``QUEUE_LINES`` events: when the radar falls that far behind the feed, an
arriving event is dropped and counted (``dropped``), so memory stays bounded
however fast the exchange sends.

Ctrl-C only sets a flag, and takes no lock (it may land while the main
thread holds the queue's); no exception can land in the middle of writing
the recording; the events that had already arrived by then are still fed (at
most a queue's worth, however fast more arrive, and for at most
``DRAIN_SECONDS``; the rest are counted in ``skipped``), then the stream
ends, the loop is stopped and cryptofeed shuts its connections down. A
second Ctrl-C skips the events still queued at once; it too ends the stream
normally, so the last checkpoint is shown and the recording is closed
complete.
"""

from __future__ import annotations

import asyncio
import contextlib
import queue
import signal
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from types import FrameType
from typing import Any

from fenmor_radar.feeds import live
from fenmor_radar.feeds.health import FeedHealth

POLL_SECONDS = 0.2
HEALTH_SECONDS = 1.0  # how often feed health is checked while waiting for events
QUEUE_LINES = 50_000  # about 10 MB of event lines
BATCH_LINES = 8192  # events handed on at once: the checks for Ctrl-C come between batches
DRAIN_SECONDS = 2.0  # after Ctrl-C, what had arrived is fed for at most this long


class FeedFailed(Exception):
    """cryptofeed stopped with an error."""


class LiveSession:
    def __init__(
        self,
        exchange: str,
        symbols: Sequence[str],
        channels: Sequence[str],
        *,
        depth: int,
        normalise: bool,
        handler_factory: Callable[[Any], Any] | None = None,
        queue_lines: int | None = None,
        health: FeedHealth | None = None,
    ) -> None:
        if queue_lines is None:
            queue_lines = QUEUE_LINES
        self._queue: queue.Queue[str] = queue.Queue(queue_lines)
        self.queue_lines = queue_lines
        self.dropped = 0  # events that arrived while the queue was full
        self.skipped = 0  # events that had arrived before Ctrl-C but were not fed
        self.health = health
        self.adapter = live.LiveAdapter(
            self._put, depth=depth, normalise=normalise, exchange=exchange, health=health
        )
        watch = live.ConnectionWatch(health.reconnected) if health is not None else None
        # Looked up at call time: the one seam where tests put a stand-in for cryptofeed.
        self.handler = (handler_factory or live.make_feed_handler)(watch)
        # cryptofeed builds the exchange's feed from its name and these arguments.
        self.handler.add_feed(
            exchange.upper(),
            symbols=list(symbols),
            channels=list(channels),
            callbacks=self.adapter.callbacks(channels),
        )
        self.stopping = threading.Event()
        # Set by the SIGINT handler, which takes no lock: it may run while this
        # very thread holds the queue's lock or an event's, and would wait forever.
        self._interrupted_at: float | None = None
        self._ended = threading.Event()  # cryptofeed's loop returned
        self._hurry = False  # a second Ctrl-C: skip what is still queued
        self._left: int | None = None  # after Ctrl-C: how many queued events are still fed
        self.interrupted = False
        self.error: BaseException | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread = threading.Thread(target=self._run, name="cryptofeed", daemon=True)

    def _run(self) -> None:
        loop = asyncio.new_event_loop()
        asyncio.set_event_loop(loop)
        self._loop = loop
        try:
            # Signals belong to the main thread: cryptofeed must not install its own.
            self.handler.run(install_signal_handlers=False)
        except BaseException as err:  # noqa: BLE001 - reported by the main thread
            self.error = err
        finally:
            live.forget_watch()
            self._ended.set()

    def _put(self, line: str) -> None:
        """The adapter's sink, on cryptofeed's thread: never waits for the main loop."""
        if self._interrupted_at is not None or self.stopping.is_set():
            return  # arrived after Ctrl-C: not part of the session
        try:
            self._queue.put_nowait(line)
        except queue.Full:
            self.dropped += 1  # only this thread counts; read once the session has ended

    def batches(self) -> Iterator[list[str]]:
        """The event lines in arrival order, each batch what has arrived by then, until
        Ctrl-C or the end of the feed."""
        previous = _install_sigint(self._on_sigint)
        self._thread.start()
        checked = time.monotonic()
        try:
            while self._may_feed():
                if self.health is not None and time.monotonic() - checked >= HEALTH_SECONDS:
                    # Also while no event comes: a stalled feed is reported as it stalls.
                    self.health.check()
                    checked = time.monotonic()
                try:
                    batch = [self._queue.get(timeout=POLL_SECONDS)]
                except queue.Empty:
                    if self._ended.is_set() and self._queue.empty():
                        break
                    continue
                self._fed_one()
                while len(batch) < BATCH_LINES and self._may_feed():
                    try:
                        batch.append(self._queue.get_nowait())
                    except queue.Empty:
                        break
                    self._fed_one()
                yield batch
        finally:
            _restore_sigint(previous)
            self.stop()
        if self.error is not None:
            raise FeedFailed(f"{type(self.error).__name__}: {self.error}") from self.error

    def _may_feed(self) -> bool:
        """Whether one more queued event may be fed: after Ctrl-C only what had arrived by
        then, for a short while; after a second one, nothing."""
        if self._interrupted_at is None:
            return True
        if self._left is None:  # the first look since Ctrl-C; nothing has been queued since
            self._left = self._queue.qsize()
        if self._hurry or time.monotonic() > self._interrupted_at + DRAIN_SECONDS:
            self.skipped = self._left
            return False
        return self._left > 0

    def _fed_one(self) -> None:
        if self._left is not None:
            self._left -= 1

    def _on_sigint(self, signum: int, frame: FrameType | None) -> None:
        if self._interrupted_at is not None:
            self._hurry = True
            return
        self.interrupted = True
        self._interrupted_at = time.monotonic()

    def stop(self, timeout: float = 10.0) -> None:
        """End cryptofeed's loop and wait for its shutdown."""
        self.stopping.set()
        deadline = time.monotonic() + timeout
        while self._thread.is_alive() and time.monotonic() < deadline:
            loop = self._loop
            if loop is not None:
                with contextlib.suppress(RuntimeError):  # the loop closed on its own meanwhile
                    loop.call_soon_threadsafe(loop.stop)
            self._thread.join(POLL_SECONDS)


def _install_sigint(handler: Callable[[int, FrameType | None], None]) -> Any:
    if threading.current_thread() is not threading.main_thread():
        return None
    return signal.signal(signal.SIGINT, handler)


def _restore_sigint(previous: Any) -> None:
    if previous is not None:
        signal.signal(signal.SIGINT, previous)
