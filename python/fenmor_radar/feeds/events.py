"""The radar's three event kinds written as recording lines.

A recording line is ``{"symbol": ..., "event": {...}}``: exactly what the
radar's "feed" command reads. Every source in this package ends here, so the
text of an event is decided once.

Rules:

- ``ts`` is an integer number of milliseconds since the Unix epoch, whatever
  the source's unit (``ms_from_seconds``, ``ms_from_micros``); sources that
  report fractions of a millisecond are truncated towards the past.
- Numbers are written in Python's shortest round-trip form, so the radar
  reads back exactly the float the source gave.
- A value that is not finite (NaN, infinity) cannot be written as JSON: such
  an event is refused with ``ValueError`` rather than recorded corrupt.
"""

from __future__ import annotations

import json
import math

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


def _check(**values: float) -> None:
    for field, value in values.items():
        if not math.isfinite(value):
            raise ValueError(f"{field} is not a finite number: {value!r}")


def derivatives_line(
    symbol_text: str, ts: int, open_interest: float, funding_rate: float, mark_price: float
) -> str:
    """A derivatives event line; ``symbol_text`` is the symbol's JSON text."""
    if not math.isfinite(open_interest + funding_rate + mark_price):
        _check(open_interest=open_interest, funding_rate=funding_rate, mark_price=mark_price)
    return (
        f'{{"symbol":{symbol_text},"event":{{"kind":"derivatives","ts":{int(ts)},'
        f'"open_interest":{float(open_interest)!r},"funding_rate":{float(funding_rate)!r},'
        f'"mark_price":{float(mark_price)!r}}}}}'
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
    if not math.isfinite(bid_volume + ask_volume + best_bid + best_ask):
        _check(bid_volume=bid_volume, ask_volume=ask_volume, best_bid=best_bid, best_ask=best_ask)
    return (
        f'{{"symbol":{symbol_text},"event":{{"kind":"orderbook","ts":{int(ts)},'
        f'"bid_volume":{float(bid_volume)!r},"ask_volume":{float(ask_volume)!r},'
        f'"best_bid":{float(best_bid)!r},"best_ask":{float(best_ask)!r}}}}}'
    )


def liquidation_line(symbol_text: str, ts: int, side: str, qty: float, price: float) -> str:
    """A liquidation event line, side as reported ("buy" or "sell")."""
    if side not in SIDES:
        raise ValueError(f'side must be "buy" or "sell", got {side!r}')
    if not math.isfinite(qty + price):
        _check(qty=qty, price=price)
    return (
        f'{{"symbol":{symbol_text},"event":{{"kind":"liquidation","ts":{int(ts)},'
        f'"side":"{side}","qty":{float(qty)!r},"price":{float(price)!r}}}}}'
    )
