"""The radar's three event kinds written as recording lines by a live source.

A recording line is ``{"symbol": ..., "event": [...]}``: exactly what the
radar's "feed" command reads, the event in its array form as the engine's
own event writer (``event_text``) writes it, so an event has one text
whichever part of the program writes it. (The vendor's CSV files are
converted by the engine itself, ``convert/line_writer``.)

Rules:

- ``ts`` is an integer number of milliseconds since the Unix epoch, whatever
  the source's unit (``ms_from_seconds``, ``ms_from_micros``); sources that
  report fractions of a millisecond are truncated towards the past.
- Numbers are written in their shortest round-trip form, so the radar reads
  back exactly the float the source gave.
- A value that is not finite (NaN, infinity), or a side other than "buy" and
  "sell", cannot be recorded: such an event is refused with ``ValueError``
  rather than recorded corrupt.
"""

from __future__ import annotations

import json
import math

from fenmor_radar._native import event_schema, event_text

BUY = "buy"
SELL = "sell"
SIDES = (BUY, SELL)


def ms_from_seconds(seconds: float) -> int:
    """Milliseconds from a float of seconds (cryptofeed's unit), truncated to the past."""
    return math.floor(seconds * 1000.0)


def ms_from_micros(micros: int) -> int:
    """Milliseconds from integer microseconds (the vendor CSV unit), truncated to the past."""
    return micros // 1000


def symbol_json(symbol: str) -> str:
    """The JSON text of a symbol, escaped; computed once per symbol by callers."""
    return json.dumps(symbol, ensure_ascii=False)


def event_line(symbol_text: str, event: tuple[str | int | float, ...]) -> str:
    """A recording line of an event in its array form; ``symbol_text`` is the symbol's JSON text."""
    text = event_text(event, '{"symbol":' + symbol_text + ',"event":', "}")
    if text is None:
        raise ValueError(_refusal(event))
    return text


def _refusal(event: tuple[str | int | float, ...]) -> str:
    """Why the engine's writer refused an event: the first field at fault, by its name."""
    kind, *values = event
    for (name, kind_of_value), value in zip(event_schema()["kinds"][kind], values, strict=True):  # type: ignore[index]
        if kind_of_value == "side" and value not in SIDES:
            return f'{name} must be "buy" or "sell", got {value!r}'
        if kind_of_value == "float" and not math.isfinite(value):  # type: ignore[arg-type]
            return f"{name} is not a finite number: {value!r}"
    return f"not a {kind} event: {event!r}"


def derivatives_line(
    symbol_text: str, ts: int, open_interest: float, funding_rate: float, mark_price: float
) -> str:
    """A derivatives event line; ``symbol_text`` is the symbol's JSON text."""
    return event_line(
        symbol_text,
        ("derivatives", int(ts), float(open_interest), float(funding_rate), float(mark_price)),
    )


def orderbook_line(
    symbol_text: str,
    ts: int,
    bid_volume: float,
    ask_volume: float,
    best_bid: float,
    best_ask: float,
) -> str:
    """An order-book event line; ``symbol_text`` is the symbol's JSON text."""
    values = (float(bid_volume), float(ask_volume), float(best_bid), float(best_ask))
    return event_line(symbol_text, ("orderbook", int(ts), *values))


def liquidation_line(symbol_text: str, ts: int, side: str, qty: float, price: float) -> str:
    """A liquidation event line, side as reported ("buy" or "sell")."""
    return event_line(symbol_text, ("liquidation", int(ts), side, float(qty), float(price)))
