"""``--notify-format telegram``: alerts as messages of a Telegram bot.

The Bot API's ``sendMessage`` takes ``chat_id`` and ``text`` (plain text
here: no markup to escape, so a symbol can never format or link anything).
A checkpoint's news go out together: each alert is a few lines, alerts are
packed into messages of at most ``MESSAGE_LIMIT`` characters, and a message
ends between two alerts, never inside one. Only an alert longer than the
limit on its own (names thousands of characters long) is shortened, with
"…" at the cut. Each message is one item of the notifier's queue, so the
queue bound, the drop count, the retries and ``--cooldown`` are those of
every format, counted in messages.

A 429 answer carries ``parameters.retry_after``: the seconds the bot must
wait, honoured up to ``MAX_RETRY_AFTER``.

The bot token is a password. It comes from the ``FENMOR_TELEGRAM_TOKEN``
environment variable (``--notify`` then names only the API's address,
``https://api.telegram.org`` by default), so it is not shown in a process
list; a URL with ``/bot<token>/sendMessage`` is taken too. The token never
appears in a message of ours: the summary shows the address without its
path, and error texts are scrubbed of it.
"""

from __future__ import annotations

import json
import os
import urllib.parse
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, ClassVar

from fenmor_radar.cli.notify import Notice, Notifier, _Answer, notice_of, post_json
from fenmor_radar.cli.novelty import AlertChange

TOKEN_ENV = "FENMOR_TELEGRAM_TOKEN"
DEFAULT_API = "https://api.telegram.org"
MESSAGE_LIMIT = 4096  # characters of a message's text, the Bot API's limit
MAX_RETRY_AFTER = 300.0
BODY_LIMIT = 1 << 16


@dataclass(frozen=True, slots=True)
class TelegramMessage(Notice):
    """One message: the alerts it holds, as the text sent."""

    text: str = ""
    alerts: int = 0


def bot_url(notify: str | None, environ: dict[str, str] | None = None) -> tuple[str, str]:
    """The sendMessage URL and the token, from ``--notify`` and the environment.

    ValueError says what is missing.
    """
    environ = dict(os.environ) if environ is None else environ
    base = notify or DEFAULT_API
    parts = urllib.parse.urlsplit(base)
    segments = [s for s in parts.path.split("/") if s]
    named = [s for s in segments if s.startswith("bot") and len(s) > 3]
    if named:
        token = named[0][3:]
        url = base if segments[-1] == "sendMessage" else base.rstrip("/") + "/sendMessage"
        return url, token
    token = environ.get(TOKEN_ENV, "").strip()
    if not token:
        raise ValueError(
            f"--notify-format telegram needs the bot's token in the {TOKEN_ENV} "
            "environment variable (or a URL ending in /bot<token>/sendMessage)"
        )
    if any(c in token for c in "/?#%") or any(ord(c) <= 32 for c in token):
        raise ValueError(f"{TOKEN_ENV} does not hold a bot token (it has spaces or URL characters)")
    return f"{base.rstrip('/')}/bot{token}/sendMessage", token


def alert_text(notice: Notice) -> str:
    """One alert as a few plain-text lines."""
    from fenmor_radar.cli.notify import _number

    head = f"{notice.symbol}  {_number(notice.severity)}  ({notice.change})  ts {notice.ts}"
    lines = [head, f"spec {notice.spec}"]
    lines += [f"  {name} {_number(value)}" for name, value in notice.factors]
    return "\n".join(lines)


def pack(texts: Sequence[str], limit: int = MESSAGE_LIMIT) -> list[tuple[str, int]]:
    """Alert texts packed into messages of at most ``limit`` characters, with their counts."""
    messages: list[tuple[str, int]] = []
    text, count = "", 0
    for alert in texts:
        if len(alert) > limit:
            alert = alert[: limit - 1] + "…"
        joined = f"{text}\n\n{alert}" if text else alert
        if len(joined) > limit:
            messages.append((text, count))
            joined, count = alert, 0
        text, count = joined, count + 1
    if text:
        messages.append((text, count))
    return messages


def post_telegram(url: str, body: bytes, timeout: float) -> _Answer:
    """POST to the Bot API; a refusal's ``retry_after`` and ``description`` are read, and the
    token never appears in an error."""
    token = _token_of(url)
    return post_json(url, body, timeout, _telegram_refusal, lambda text: _scrub(text, token))


def _telegram_refusal(err: Any) -> tuple[float | None, str]:
    retry_after, description = _refusal(err)
    return retry_after, f"HTTP {err.code}" + (f": {description}" if description else "")


def _refusal(err: Any) -> tuple[float | None, str | None]:
    try:
        answer = json.loads(err.read(BODY_LIMIT))
    except (OSError, ValueError):
        return None, None
    if not isinstance(answer, dict):
        return None, None
    description = answer.get("description")
    retry_after = None
    parameters = answer.get("parameters")
    if isinstance(parameters, dict):
        value = parameters.get("retry_after")
        if isinstance(value, (int, float)) and not isinstance(value, bool) and value >= 0:
            retry_after = min(float(value), MAX_RETRY_AFTER)
    return retry_after, description if isinstance(description, str) else None


def _token_of(url: str) -> str:
    for segment in urllib.parse.urlsplit(url).path.split("/"):
        if segment.startswith("bot") and len(segment) > 3:
            return segment[3:]
    return ""


def _scrub(text: str, token: str) -> str:
    return text.replace(token, "<token>") if token else text


@dataclass
class TelegramNotifier(Notifier):
    """A ``Notifier`` whose queue items are Telegram messages for ``chat``."""

    chat: str = ""
    unit: ClassVar[str] = "messages"

    def news(
        self,
        changes: Sequence[AlertChange],
        spec: str,
        weights: dict[str, float] | None = None,
    ) -> None:
        notices = [
            notice_of(change, spec, weights if weights is not None else self.weights)
            for change in changes
        ]
        for text, count in pack([alert_text(notice) for notice in notices]):
            first = notices[0]  # the fields of a Notice; the text is what is sent
            self.notify(
                TelegramMessage(
                    first.symbol, first.severity, first.factors, first.ts, spec, first.change,
                    text=text, alerts=count,
                )
            )

    def body(self, notice: Notice) -> bytes:
        text = notice.text if isinstance(notice, TelegramMessage) else alert_text(notice)
        payload = {"chat_id": self.chat, "text": text, "disable_web_page_preview": True}
        return json.dumps(payload, ensure_ascii=False).encode("utf-8")


def telegram_notifier(
    notify: str | None, chat: str | None, timeout: float, weights: dict[str, float] | None
) -> TelegramNotifier:
    if not chat:
        raise ValueError("--notify-format telegram needs --notify-chat CHAT_ID")
    url, _ = bot_url(notify)
    return TelegramNotifier(
        url, "telegram", timeout, weights=weights, send=post_telegram, chat=chat
    )
