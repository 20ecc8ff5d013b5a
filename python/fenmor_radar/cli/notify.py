"""``--notify URL``: each new or changed alert POSTed as JSON to a webhook.

The feed never waits for the network: alerts go into a bounded queue that one
background thread drains. When the queue is full an alert is dropped and
counted, and the summary says how many. Each POST has a timeout; a 5xx
answer, a 429 or a network failure is retried with a doubling pause, any
other answer is final. Which alerts are news (``--new-only``, ``--cooldown``)
is decided by ``novelty.NewOnlyFilter``, as for the printed output.

Payload shapes (``--notify-format``): ``plain`` is our own object; ``slack`` is
an incoming-webhook body (``text``, with a mrkdwn section block); ``discord``
is an execute-webhook body (``content`` plus one embed, no mentions parsed).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import queue
import threading
import time
import urllib.parse
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, ClassVar

from fenmor_radar import __version__
from fenmor_radar.cli.novelty import AlertChange
from fenmor_radar.cli.terminal import PROG

FORMATS = ("plain", "slack", "discord", "telegram")  # telegram: see cli/telegram.py
TOP_FACTORS = 3
QUEUE_SIZE = 1000
ATTEMPTS = 4
BACKOFF = 0.5  # seconds before the first retry; doubles each time
MAX_RETRY_AFTER = 30.0
DISCORD_CONTENT_LIMIT = 2000


@dataclass(frozen=True, slots=True)
class Notice:
    """One alert as a notification says it."""

    symbol: str
    severity: float | None
    factors: tuple[tuple[str, float | None], ...]
    ts: int
    spec: str
    change: str


def notice_of(
    change: AlertChange, spec: str, weights: dict[str, float] | None = None
) -> Notice:
    """The alert with its strongest factors: by weighted value when weights are known."""
    alert = change.alert

    def strength(item: tuple[str, float | None]) -> float:
        name, value = item
        return (value or 0.0) * (weights.get(name, 1.0) if weights else 1.0)

    factors = [(k, v) for k, v in alert.factors.items() if k != "severity"]
    factors.sort(key=lambda item: -strength(item))
    return Notice(
        alert.symbol,
        alert.severity,
        tuple(factors[:TOP_FACTORS]),
        alert.ts,
        spec,
        change.change,
    )


def _number(value: float | None) -> str:
    return "null" if value is None else f"{value:.4g}"


def _headline(notice: Notice) -> str:
    factors = ", ".join(f"{name} {_number(value)}" for name, value in notice.factors)
    return (
        f"{notice.symbol} severity {_number(notice.severity)} ({notice.change}) at ts {notice.ts}"
        f" [{notice.spec}]" + (f": {factors}" if factors else "")
    )


def _slack_escape(text: str) -> str:
    # Slack reads & < > as markup (<!channel> would ping everyone).
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def payload(notice: Notice, shape: str) -> dict[str, Any]:
    if shape == "plain":
        return {
            "symbol": notice.symbol,
            "severity": notice.severity,
            "factors": dict(notice.factors),
            "ts": notice.ts,
            "spec": notice.spec,
            "change": notice.change,
        }
    if shape == "slack":
        text = _slack_escape(_headline(notice))
        lines = "\n".join(
            f"• `{_slack_escape(name)}` {_number(value)}"
            for name, value in notice.factors
        )
        block = (
            f"*{_slack_escape(notice.symbol)}* severity *{_number(notice.severity)}* "
            f"({notice.change}) at ts {notice.ts} — spec `{_slack_escape(notice.spec)}`"
        )
        return {
            "text": text,
            "blocks": [
                {
                    "type": "section",
                    "text": {"type": "mrkdwn", "text": f"{block}\n{lines}"[:3000]},
                }
            ],
        }
    if shape == "discord":
        return {
            "content": _headline(notice)[:DISCORD_CONTENT_LIMIT],
            "allowed_mentions": {"parse": []},  # a symbol named @everyone pings nobody
            "embeds": [
                {
                    "title": f"{notice.symbol} {_number(notice.severity)}"[:256],
                    "description": f"{notice.change} at ts {notice.ts}, spec {notice.spec}"[
                        :4096
                    ],
                    "fields": [
                        {"name": name[:256], "value": _number(value), "inline": True}
                        for name, value in notice.factors
                    ],
                }
            ],
        }
    raise ValueError(
        f"unknown notify format {shape!r}; choose one of {', '.join(FORMATS)}"
    )


def check_url(url: str) -> str:
    """The URL if it is one to POST to (http or https with a host); else ValueError."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"not an http(s) URL: {url!r}")
    return url


def shown_url(url: str) -> str:
    """Where notifications go, without the path: webhook paths hold secrets."""
    parts = urllib.parse.urlsplit(url)
    return f"{parts.scheme}://{parts.netloc.rpartition('@')[2]}"


@dataclass(slots=True)
class NotifyStats:
    queued: int = 0
    sent: int = 0
    failed: int = 0  # given up: a final answer, or out of attempts
    dropped: int = 0  # the queue was full
    abandoned: int = 0  # still queued when the run ended and the wait ran out
    retries: int = 0
    last_error: str | None = None


@dataclass(slots=True)
class _Answer:
    status: int | None  # None: no answer (network failure, timeout)
    retry_after: float | None = None
    error: str | None = None


def post_json(url: str, body: bytes, timeout: float) -> _Answer:
    # Imported here: the HTTP client costs every replay 60 ms of start-up, and
    # only a run that sends alerts needs it.
    import urllib.error
    import urllib.request

    request = urllib.request.Request(
        url,
        data=body,
        method="POST",
        headers={
            "Content-Type": "application/json",
            "User-Agent": f"{PROG}/{__version__}",
        },
    )
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            response.read()
            return _Answer(response.status)
    except urllib.error.HTTPError as err:
        retry_after = None
        header = err.headers.get("Retry-After") if err.headers else None
        if header is not None:
            try:
                retry_after = min(float(header), MAX_RETRY_AFTER)
            except ValueError:
                retry_after = None
        return _Answer(err.code, retry_after, f"HTTP {err.code}")
    except (
        urllib.error.URLError,
        OSError,
        ValueError,
    ) as err:  # ValueError: bad chunk sizes
        reason = getattr(err, "reason", err)
        return _Answer(None, None, f"{type(err).__name__}: {reason}")


def _retryable(answer: _Answer) -> bool:
    return answer.status is None or answer.status >= 500 or answer.status == 429


@dataclass
class Notifier:
    """Delivers notices in the background; ``notify`` never waits.

    ``weights`` (factor name → weight) ranks the factors a notice names.
    """

    url: str
    shape: str = "plain"
    timeout: float = 5.0
    queue_size: int = QUEUE_SIZE
    attempts: int = ATTEMPTS
    backoff: float = BACKOFF
    weights: dict[str, float] | None = None
    send: Callable[[str, bytes, float], _Answer] = post_json
    stats: NotifyStats = field(default_factory=NotifyStats)

    unit: ClassVar[str] = "alerts"  # what one queued notice is, for the summary

    def __post_init__(self) -> None:
        check_url(self.url)
        if self.shape not in FORMATS:
            raise ValueError(f"unknown notify format {self.shape!r}")
        self._queue: queue.Queue[Notice | None] = queue.Queue(self.queue_size)
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._thread = threading.Thread(
            target=self._drain, name="fenmor-notify", daemon=True
        )
        self._thread.start()

    def news(
        self,
        changes: Sequence[AlertChange],
        spec: str,
        weights: dict[str, float] | None = None,
    ) -> None:
        """Queue a notice for each change (the news of one checkpoint of ``spec``)."""
        for change in changes:
            self.notify(
                notice_of(
                    change, spec, weights if weights is not None else self.weights
                )
            )

    def notify(self, notice: Notice) -> None:
        try:
            self._queue.put_nowait(notice)
        except queue.Full:
            with self._lock:
                self.stats.dropped += 1
            return
        with self._lock:
            self.stats.queued += 1

    def body(self, notice: Notice) -> bytes:
        """What is POSTed for one queued notice."""
        return json.dumps(payload(notice, self.shape), allow_nan=False).encode("utf-8")

    def _deliver(self, notice: Notice) -> None:
        body = self.body(notice)
        pause = self.backoff
        for attempt in range(1, self.attempts + 1):
            answer = self.send(self.url, body, self.timeout)
            if answer.status is not None and 200 <= answer.status < 300:
                with self._lock:
                    self.stats.sent += 1
                return
            with self._lock:
                self.stats.last_error = answer.error or f"HTTP {answer.status}"
            if not _retryable(answer) or attempt == self.attempts:
                break
            with self._lock:
                self.stats.retries += 1
            wait = answer.retry_after if answer.retry_after is not None else pause
            if self._stop.wait(wait):
                break
            pause *= 2
        with self._lock:
            self.stats.failed += 1

    def _drain(self) -> None:
        while True:
            notice = self._queue.get()
            if notice is None or self._stop.is_set():
                return
            self._deliver(notice)

    def close(self, wait: float | None = None) -> NotifyStats:
        """Deliver what is queued, for at most ``wait`` seconds (default: a few timeouts)."""
        if wait is None:
            wait = self.timeout * 3 + 1.0
        deadline = time.monotonic() + wait
        with contextlib.suppress(queue.Full):
            self._queue.put(None, timeout=wait)
        self._thread.join(max(0.0, deadline - time.monotonic()))
        if self._thread.is_alive():
            self._stop.set()  # the thread ends after the POST it is in
        with self._lock:
            self.stats.abandoned = (
                self.stats.queued - self.stats.sent - self.stats.failed
            )
            return self.stats

    def summary(self) -> str:
        stats = self.stats
        offered = stats.queued + stats.dropped
        text = f"notified {stats.sent:,} of {offered:,} {self.unit} to {shown_url(self.url)}"
        for count, what in (
            (stats.failed, "failed"),
            (stats.dropped, "dropped (queue full)"),
            (stats.abandoned, "not sent before exit"),
            (stats.retries, "retries"),
        ):
            if count:
                text += f", {count:,} {what}"
        if stats.failed and stats.last_error:
            text += f" (last error: {stats.last_error})"
        return text


def add_notify_arguments(parser: argparse.ArgumentParser) -> None:
    """The notify options, for every command that raises alerts (replay, live)."""
    parser.add_argument(
        "--notify",
        metavar="URL",
        help="POST each new or changed alert as JSON to this webhook (honours --cooldown); "
        "with --crossings, each upward crossing instead",
    )
    parser.add_argument(
        "--notify-down",
        action="store_true",
        help="with --crossings: also notify when a symbol falls back below the threshold",
    )
    parser.add_argument(
        "--notify-format",
        choices=FORMATS,
        default="plain",
        help="payload shape: plain JSON, a Slack or Discord incoming-webhook body, or Telegram "
        "messages (--notify is then the Bot API's address, the token in $FENMOR_TELEGRAM_TOKEN)",
    )
    parser.add_argument(
        "--notify-chat",
        metavar="CHAT_ID",
        help="with --notify-format telegram: the chat the bot posts to",
    )
    parser.add_argument(
        "--notify-timeout",
        type=float,
        default=5.0,
        metavar="SECONDS",
        help="timeout of each POST (default 5; failures are retried with backoff)",
    )


def notifier_from_args(
    args: argparse.Namespace, weights: dict[str, float] | None = None
) -> Notifier | None:
    """The notifier the options ask for, or None; ValueError names a bad option."""
    if args.notify is None:
        return None
    if not args.notify_timeout > 0:
        raise ValueError(
            f"--notify-timeout must be greater than zero, got {args.notify_timeout}"
        )
    try:
        check_url(args.notify)
    except ValueError as err:
        raise ValueError(f"--notify: {err}") from None
    if args.notify_chat is not None and args.notify_format != "telegram":
        raise ValueError("--notify-chat goes with --notify-format telegram")
    if args.notify_format == "telegram":
        from fenmor_radar.cli.telegram import telegram_notifier

        return telegram_notifier(args.notify, args.notify_chat, args.notify_timeout, weights)
    return Notifier(
        args.notify, args.notify_format, args.notify_timeout, weights=weights
    )
