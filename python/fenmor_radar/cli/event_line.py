"""Feeding one recorded line to a radar, and the radar's verdict on it.

A line ``{"symbol": "BTCUSDT", "event": {...}}`` already holds the members
that a "feed" command reads, so the command is the line itself with a
``"cmd"`` member added. The event's text reaches the radar exactly as it was
recorded: no number is read into Python and written back, which is what makes
a replay byte-identical to feeding the same events by hand.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Protocol

OK_REPLY = '{"ok":true}'
JSON_SPACE = " \t\r\n"
# Appended, not prepended: the radar keeps the last of repeated members, so a
# line carrying its own "cmd" can never turn into another command, and every
# position the radar reports for a fault in the line stays that of the line.
FEED_SUFFIX = ',"cmd":"feed"}'
EMPTY_OBJECT_COMMAND = '{"cmd":"feed"}'
MISSING_CMD = 'bad spec: missing "cmd"'
NOT_AN_OBJECT = 'an event line must be a JSON object with "symbol" and "event" members'

# The reader behind json.loads, called directly: a line written without
# surrounding blanks is read in one C call, without loads' Python wrappers.
# (JSONDecoder sets scan_once in __init__; the type stubs do not list it.)
_scan_value: Callable[[str, int], tuple[Any, int]] = getattr(json.JSONDecoder(), "scan_once")  # noqa: B009


class CommandTarget(Protocol):
    """What feeding needs of a radar: ``fenmor_radar.Radar`` satisfies it."""

    def command(self, cmd_json: str) -> str: ...


@dataclass(slots=True)
class FeedOutcome:
    """What became of one line: fed (``error`` is None) or rejected."""

    symbol: str | None = None
    ts: int | None = None
    error: str | None = None

    @property
    def ok(self) -> bool:
        return self.error is None


def feed_command(text: str, empty: bool | None = None) -> str:
    """The "feed" command for a line whose text is a JSON object.

    ``empty`` says whether that object has no members, when the caller knows.
    """
    body = text if text.endswith("}") else text.rstrip(JSON_SPACE)
    if not body.endswith("}"):
        raise ValueError("not a JSON object text")
    if empty is None:
        empty = not body[body.index("{") + 1 : -1].strip(JSON_SPACE)
    return EMPTY_OBJECT_COMMAND if empty else body[:-1] + FEED_SUFFIX


def read_json(text: str) -> Any:
    """The JSON value of ``text`` as Python's reader sees it; None when it is not JSON."""
    try:
        value, end = _scan_value(text, 0)
        if end == len(text):
            return value
    except (StopIteration, ValueError, RecursionError):
        pass
    try:  # blanks around the value, or not JSON at all
        return json.loads(text)
    except (ValueError, RecursionError):
        return None


def event_ts(event: Any) -> int | None:
    """The ``ts`` of an event in object or array form, None when it has none."""
    if isinstance(event, dict):
        ts = event.get("ts")
    elif isinstance(event, list) and len(event) > 1:
        ts = event[1]
    else:
        return None
    return ts if isinstance(ts, int) and not isinstance(ts, bool) else None


def error_text(reply: str) -> str:
    """The error text of an error reply."""
    try:
        message = json.loads(reply).get("error")
    except (ValueError, AttributeError):
        return reply
    return message if isinstance(message, str) else reply


@dataclass(slots=True)
class PreparedLine:
    """A line made ready for the radar, before the radar has seen it.

    ``is_feed`` is False when the text is not a JSON object: such a text can
    never be a command, so it is given to the radar unchanged, purely to have
    the radar describe the fault with the line and column of the line itself.
    ``symbol`` and ``ts`` are what the line claims; they count only once the
    radar has accepted the line.
    """

    command: str
    is_feed: bool
    symbol: str | None = None
    ts: int | None = None


def prepare_line(text: str) -> PreparedLine:
    """The command for one recorded line, with the symbol and ts it names.

    Python's JSON reader accepts everything the radar's does (and a little
    more), so a line it rejects is one the radar rejects too.
    """
    value = read_json(text)
    if not isinstance(value, dict):
        return PreparedLine(text, is_feed=False)
    symbol = value.get("symbol")
    return PreparedLine(
        feed_command(text, empty=not value),
        is_feed=True,
        symbol=symbol if isinstance(symbol, str) else None,
        ts=event_ts(value.get("event")),
    )


def submit(radar: CommandTarget, line: PreparedLine) -> FeedOutcome:
    """Give a prepared line to the radar; on rejection, the radar's message."""
    reply = radar.command(line.command)
    if not line.is_feed:
        message = error_text(reply)
        return FeedOutcome(error=NOT_AN_OBJECT if message == MISSING_CMD else message)
    if reply != OK_REPLY:
        return FeedOutcome(error=error_text(reply))
    return FeedOutcome(symbol=line.symbol, ts=line.ts)


def feed_line(radar: CommandTarget, text: str) -> FeedOutcome:
    """Feed one recorded line; on rejection, the radar's own message for it."""
    return submit(radar, prepare_line(text))
