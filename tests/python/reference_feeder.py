"""A LineFeeder written with one "feed" command per line: the oracle of the native one.

It has the native ``fenmor_radar._native.LineFeeder``'s interface and
does what the replay did before the feeder existed: split the input into
lines, hand each line to ``Radar.command`` as the line's own text with a
``"cmd":"feed"`` member appended, and take the "alerts" reply at checkpoints.
It is slow on purpose (everything per line, in Python) and shares no code
with the package, so that a fault in the package cannot hide in both.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any, Literal

from fenmor_radar._fenmor_radar import Radar

ALERTS = '{"cmd":"alerts"}'
OK = '{"ok":true}'
BOM = b"\xef\xbb\xbf"
MISSING_CMD = 'bad spec: missing "cmd"'
NOT_AN_OBJECT = 'an event line must be a JSON object with "symbol" and "event" members'

CheckpointItem = tuple[Literal["checkpoint"], int, int | None, tuple[str, ...]]
BadItem = tuple[Literal["bad"], int, str, str | None]
Item = CheckpointItem | BadItem


def _positive(name: str, value: int | None) -> int | None:
    if value is not None and value <= 0:
        raise ValueError(f"{name} must be greater than zero, got {value}")
    return value


def _json(text: str) -> Any:
    try:
        return json.loads(text)
    except (ValueError, RecursionError):
        return None


def _event_ts(event: Any) -> int | None:
    if isinstance(event, dict):
        ts = event.get("ts")
    elif isinstance(event, list) and len(event) > 1:
        ts = event[1]
    else:
        return None
    return ts if isinstance(ts, int) and not isinstance(ts, bool) else None


def _field(message: str) -> str | None:
    """The member a fault is in, as far as the radar's message tells."""
    if message == 'bad spec: missing "event"':
        return "event"
    if message == 'bad spec: missing string "symbol"':
        return "symbol"
    if message.startswith("parse: unknown variant"):
        return "event.kind"
    if message.startswith(("parse: missing field", "parse: invalid type", "parse: invalid length")):
        return "event"
    return None


class LineFeeder:
    def __init__(
        self,
        specs: Sequence[str],
        *,
        every_events: int | None = None,
        every_ts: int | None = None,
        strict: bool = False,
    ) -> None:
        self._every_events = _positive("every_events", every_events)
        self._every_ts = _positive("every_ts", every_ts)
        self._strict = strict
        if not specs:
            raise ValueError("at least one spec is required")
        self._radars: list[Radar] = []
        for index, spec in enumerate(specs):
            try:
                self._radars.append(Radar(spec))
            except ValueError as err:
                raise ValueError(str(err), index) from None
        self._carry = b""
        self._at_start = True
        self._finished = False
        self._shown: int | None = None  # events at the last checkpoint
        self._symbols: set[str] = set()
        self.lines = 0
        self.events = 0
        self.bad_lines = 0
        self.checkpoints = 0
        self.ts: int | None = None
        self.stopped = False

    @property
    def symbols(self) -> int:
        return len(self._symbols)

    def alerts(self) -> tuple[str, ...]:
        return tuple(radar.command(ALERTS) for radar in self._radars)

    def _checkpoint(self) -> CheckpointItem:
        self._shown = self.events
        self.checkpoints += 1
        return ("checkpoint", self.events, self.ts, self.alerts())

    def feed(self, block: bytes) -> list[Item]:
        if self._finished:
            raise ValueError("the feeder has finished")
        if self.stopped:
            return []
        data = self._carry + bytes(block)
        if self._at_start:
            if len(data) < len(BOM) and BOM.startswith(data):
                self._carry = data
                return []
            self._at_start = False
            data = data.removeprefix(BOM)
        *lines, self._carry = data.split(b"\n")
        items: list[Item] = []
        for raw in lines:
            self._line(raw, items)
            if self.stopped:
                break
        return items

    def finish(self, *, complete: bool = True) -> list[Item]:
        if self._finished:
            raise ValueError("the feeder has finished")
        self._finished = True
        items: list[Item] = []
        if self.stopped:
            return items
        if complete and self._carry:
            self._line(self._carry, items)
        self._carry = b""
        if not self.stopped and self._shown != self.events:
            items.append(self._checkpoint())
        return items

    def _line(self, raw: bytes, items: list[Item]) -> None:
        self.lines += 1
        if not raw.strip(b" \t\r"):
            return
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as err:
            self._bad(f"not valid UTF-8 (byte {err.start + 1} of the line)", None, items)
            return
        value = _json(text)
        if not isinstance(value, dict):
            reply = self._radars[0].command(text)
            message = json.loads(reply)["error"]
            self._bad(NOT_AN_OBJECT if message == MISSING_CMD else message, None, items)
            return
        body = text.rstrip(" \t\r\n")
        command = '{"cmd":"feed"}' if not value else body[:-1] + ',"cmd":"feed"}'
        ts = _event_ts(value.get("event"))
        before: CheckpointItem | None = None
        period = self._every_ts
        if period is not None and ts is not None and self.ts is not None and ts // period > self.ts // period:
            before = ("checkpoint", self.events, self.ts, self.alerts())
        reply = self._radars[0].command(command)
        if reply != OK:
            message = json.loads(reply)["error"]
            self._bad(message, _field(message), items)
            return
        for radar in self._radars[1:]:
            other = radar.command(command)
            assert other == OK, other
        if before is not None:
            self._shown = self.events
            self.checkpoints += 1
            items.append(before)
        self.events += 1
        self._symbols.add(value["symbol"])
        if ts is not None and (self.ts is None or ts > self.ts):
            self.ts = ts
        if self._every_events is not None and self.events % self._every_events == 0:
            items.append(self._checkpoint())

    def _bad(self, message: str, field: str | None, items: list[Item]) -> None:
        self.bad_lines += 1
        items.append(("bad", self.lines, message, field))
        if self._strict:
            self.stopped = True
