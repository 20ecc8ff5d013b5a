"""``--notify URL``: each new or changed alert POSTed as JSON to a webhook.

The feed never waits for the network: alerts go into a bounded queue that one
background thread drains. When the queue is full an alert is dropped and
counted, and the summary says how many. Each POST has a timeout; a 5xx
answer, a 429 or a network failure (a reply that is not HTTP included) is
retried with a doubling pause, any other answer is final. Whatever goes
wrong with one notice is counted against that notice; the thread goes on.
At the end of a run the queue gets at most ``end_wait`` seconds; what is
still unsent then is counted once, as not sent. Which alerts are news
(``--new-only``, ``--cooldown``, ``--notify-min-change``) is decided by
``novelty.NewOnlyFilter``, as for the printed output.

Payload shapes (``--notify-format``): ``plain`` is our own object; ``slack`` is
an incoming-webhook body (``text``, with a mrkdwn section block); ``discord``
is an execute-webhook body (``content`` plus one embed, no mentions parsed).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import queue
import re
import threading
import time
import urllib.parse
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, ClassVar

from fenmor_radar import __version__
from fenmor_radar.cli.novelty import AlertChange
from fenmor_radar.cli.terminal import PROG
from fenmor_radar.factor_strength import factor_strength
from fenmor_radar.utc import utc_label

FORMATS = ("plain", "slack", "discord", "telegram")  # telegram: see cli/telegram.py
TOP_FACTORS = 3
QUEUE_SIZE = 1000
ATTEMPTS = 4
BACKOFF = 0.5  # seconds before the first retry; doubles each time
MAX_RETRY_AFTER = 30.0
MAX_TIMEOUT = 60.0  # a webhook that needs longer than this per POST is broken
END_GRACE = 5.0  # the end of a run waits at most timeout + this for queued notices
BODY_LIMIT = 1 << 16  # bytes of an answer's body read; the status is what counts
DISCORD_CONTENT_LIMIT = 2000
# What http.client refuses in a URL (controls and spaces), or would send as is.
_URL_FORBIDDEN = re.compile(r"[\x00-\x20\x7f-\U0010ffff]")


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
        return factor_strength(*item, weights)

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
        f"{notice.symbol} severity {_number(notice.severity)} ({notice.change}) at "
        f"{utc_label(notice.ts)}"
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
            f"({notice.change}) at {utc_label(notice.ts)} — spec `{_slack_escape(notice.spec)}`"
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
                    "description": (
                        f"{notice.change} at {utc_label(notice.ts)}, spec {notice.spec}"
                    )[:4096],
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
    """The URL if it is one to POST to (http or https with a host); else ValueError.

    Checked before a run starts, so that a URL no request can be made of
    fails at once instead of on every notice.
    """
    bad = _URL_FORBIDDEN.search(url)
    if bad is not None:
        what = "a space" if bad.group() == " " else f"the character {bad.group()!r}"
        raise ValueError(
            f"not a URL: {url!r} holds {what} at position {bad.start() + 1} "
            "(percent-encode it, e.g. %20 for a space)"
        )
    parts = urllib.parse.urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"not an http(s) URL: {url!r}")
    try:
        parts.port  # noqa: B018 - raises for a port that is not a number or out of range
    except ValueError as err:
        raise ValueError(f"not a URL: {url!r}: {err}") from None
    return url


def shown_url(url: str) -> str:
    """Where notifications go, without the path: webhook paths hold secrets."""
    parts = urllib.parse.urlsplit(url)
    return f"{parts.scheme}://{parts.netloc.rpartition('@')[2]}"


@dataclass(slots=True)
class NotifyStats:
    """Every notice offered is counted exactly once: sent, failed, dropped or abandoned."""

    queued: int = 0
    sent: int = 0
    failed: int = 0  # given up: a final answer, or out of attempts
    dropped: int = 0  # the queue was full
    abandoned: int = 0  # still queued or in flight when the run ended and the wait ran out
    retries: int = 0
    last_error: str | None = None

    @property
    def undelivered(self) -> int:
        return self.failed + self.dropped + self.abandoned


@dataclass(slots=True)
class _Answer:
    status: int | None  # None: no answer (network failure, timeout)
    retry_after: float | None = None
    error: str | None = None


def post_json(
    url: str,
    body: bytes,
    timeout: float,
    refusal: Callable[[Any], tuple[float | None, str]] | None = None,
    scrub: Callable[[str], str] = str,
) -> _Answer:
    """POST ``body``; a refusal is read by ``refusal`` (the webhook's ``Retry-After`` by
    default) and every error text passes through ``scrub`` (to hide a secret in the URL)."""
    # Imported here: the HTTP client costs every replay 60 ms of start-up, and
    # only a run that sends alerts needs it.
    import http.client
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
            status = response.status
            # The status is the answer; a body cut short or endless changes nothing.
            with contextlib.suppress(http.client.HTTPException, OSError, ValueError):
                response.read(BODY_LIMIT)
            return _Answer(status)
    except urllib.error.HTTPError as err:
        retry_after, error = (refusal or _webhook_refusal)(err)
        return _Answer(err.code, retry_after, scrub(error))
    except (
        urllib.error.URLError,
        http.client.HTTPException,  # not HTTP at all, a status line cut short, a bad URL
        OSError,
        ValueError,  # bad chunk sizes
    ) as err:
        reason = getattr(err, "reason", err)
        return _Answer(None, None, scrub(f"{type(err).__name__}: {reason}"))


def _webhook_refusal(err: Any) -> tuple[float | None, str]:
    header = err.headers.get("Retry-After") if err.headers else None
    return retry_after_seconds(header), f"HTTP {err.code}"


def retry_after_seconds(header: str | None) -> float | None:
    """The pause a ``Retry-After`` header asks for, within 0 and ``MAX_RETRY_AFTER``.

    Seconds or an HTTP date; anything else (``nan``, ``inf``, text) is ignored.
    """
    if header is None:
        return None
    try:
        seconds = float(header)
    except ValueError:
        import email.utils

        try:
            moment = email.utils.parsedate_to_datetime(header)
        except (TypeError, ValueError, IndexError):
            return None
        if moment.tzinfo is None:
            return None
        seconds = moment.timestamp() - time.time()
    if not math.isfinite(seconds):
        return None
    return min(max(seconds, 0.0), MAX_RETRY_AFTER)


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
        check_timeout(self.timeout)
        self._queue: queue.Queue[Notice] = queue.Queue(self.queue_size)
        self._closing = threading.Event()  # no more notices come; end once the queue is empty
        self._stop = threading.Event()  # the wait ran out: end now
        self._lock = threading.Lock()
        self._closed = False  # the counts are final: the thread no longer changes them
        self._thread = threading.Thread(
            target=self._drain, name="fenmor-notify", daemon=True
        )
        self._thread.start()

    @property
    def url_shown(self) -> str:
        return shown_url(self.url)

    @property
    def end_wait(self) -> float:
        """The longest the end of a run waits for queued notices, in seconds."""
        return self.timeout + END_GRACE

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
        with self._lock:
            if self._closed:
                self.stats.dropped += 1
                return
            try:
                self._queue.put_nowait(notice)
            except queue.Full:
                self.stats.dropped += 1
                return
            self.stats.queued += 1

    def body(self, notice: Notice) -> bytes:
        """What is POSTed for one queued notice."""
        return json.dumps(payload(notice, self.shape), allow_nan=False).encode("utf-8")

    def _count(self, outcome: str, error: str | None = None) -> None:
        with self._lock:
            if self._closed:
                return  # counted as abandoned when the run ended
            if error is not None:
                self.stats.last_error = error
            if outcome == "sent":
                self.stats.sent += 1
            elif outcome == "failed":
                self.stats.failed += 1
            elif outcome == "retry":
                self.stats.retries += 1

    def _deliver(self, notice: Notice) -> None:
        body = self.body(notice)
        pause = self.backoff
        for attempt in range(1, self.attempts + 1):
            answer = self.send(self.url, body, self.timeout)
            if answer.status is not None and 200 <= answer.status < 300:
                self._count("sent")
                return
            error = answer.error or f"HTTP {answer.status}"
            if not _retryable(answer) or attempt == self.attempts:
                self._count("failed", error)
                return
            self._count("retry", error)
            wait = answer.retry_after if answer.retry_after is not None else pause
            if self._stop.wait(wait):
                return  # the run ended: counted as abandoned
            pause *= 2

    def _drain(self) -> None:
        while not self._stop.is_set():
            try:
                notice = self._queue.get(timeout=0.05)
            except queue.Empty:
                if self._closing.is_set():
                    return
                continue
            try:
                self._deliver(notice)
            except Exception as err:  # noqa: BLE001 - one notice's fault must not end the thread
                self._count("failed", f"{type(err).__name__}: {err}")

    def close(self, wait: float | None = None) -> NotifyStats:
        """Deliver what is queued, for at most ``wait`` seconds (default ``end_wait``).

        The counts are final when this returns: a POST still in flight is
        counted as not sent, and whatever it does later is not counted again.
        """
        if wait is None:
            wait = self.end_wait
        self._closing.set()
        self._thread.join(max(0.0, wait))
        self._stop.set()
        with self._lock:
            self._closed = True
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
        if stats.last_error and (stats.failed or stats.abandoned or stats.retries):
            text += f" (last error: {stats.last_error})"
        return text


def check_timeout(seconds: float) -> float:
    """A POST timeout in seconds: greater than zero and at most ``MAX_TIMEOUT``."""
    if not 0 < seconds <= MAX_TIMEOUT:  # also false for nan
        raise ValueError(
            f"--notify-timeout must be greater than 0 and at most {MAX_TIMEOUT:g} seconds, "
            f"got {seconds:g}"
        )
    return seconds


def min_change(text: str) -> float:
    """``--notify-min-change``: a severity step between 0 and 1."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value <= 1:  # also false for nan
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


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
        help=f"timeout of each POST, at most {MAX_TIMEOUT:g} (default 5; failures are retried "
        f"with backoff; the end of a run waits at most this + {END_GRACE:g} s for the queue)",
    )
    parser.add_argument(
        "--notify-min-change",
        type=min_change,
        default=0.0,
        metavar="D",
        help="notify a severity change only when it moves by at least D from the severity "
        "last notified for that symbol (default 0: any change); see also --cooldown",
    )


def notifier_from_args(
    args: argparse.Namespace, weights: dict[str, float] | None = None
) -> Notifier | None:
    """The notifier the options ask for, or None; ValueError names a bad option."""
    if args.notify is None:
        return None
    check_timeout(args.notify_timeout)
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
