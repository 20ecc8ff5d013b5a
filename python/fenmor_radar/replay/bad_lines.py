"""How a rejected recording line is described: what to fix, and where.

The radar's messages are written for commands; for a recording line a
protocol message such as ``bad spec: missing "event"`` misleads, so a line
that is not a recording line at all says so, and any other fault is named
by the member it is in, followed by the radar's own text. Everything quoted
from the input is escaped, so a line can never drive the user's terminal.
"""

from __future__ import annotations

import re

from fenmor_radar.printable import printable

NOT_A_RECORDING_LINE = 'not a recording line (expected {"symbol": ..., "event": ...})'
# The radar's replies to a line that is JSON but not of the recording's shape.
_SHAPE_MESSAGES = (
    'bad spec: missing "event"',
    'bad spec: missing string "symbol"',
    'an event line must be a JSON object with "symbol" and "event" members',
)
SHOWN_CHARS = 60  # of a line quoted in a message


_QUOTED_NAME = re.compile(r"`([^`]*)`")


def describe(message: str, field: str | None) -> str:
    """The text shown for a rejected line: ``field: message``, or what the line should be.

    With the member named, the radar's category prefix says nothing more and
    its backquoted names read as the JSON strings they are:
    ``event: missing field "ts"``.
    """
    if message in _SHAPE_MESSAGES:
        return NOT_A_RECORDING_LINE
    if not field:
        return printable(message)
    text = _QUOTED_NAME.sub(r'"\1"', message.removeprefix("parse: ").removeprefix("bad spec: "))
    return printable(f"{field}: {text}")


def quoted_line(raw: bytes) -> str:
    """A line of the input as shown in a message: decoded, escaped, cut."""
    text = raw.decode("utf-8", "replace")
    cut = len(text) > SHOWN_CHARS
    text = printable(text[:SHOWN_CHARS])
    return f"{text}..." if cut else text
