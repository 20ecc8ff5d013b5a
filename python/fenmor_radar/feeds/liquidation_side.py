"""One meaning for a liquidation's side, whichever exchange reported it.

A recording's ``side`` is the side of the liquidation order: ``sell`` when a
long position was closed by force (its holder's contracts were sold), ``buy``
when a short was. That is what Binance's force orders (``S``) and the
vendor's liquidations files say. Some exchanges report the side of the
position instead: on Bybit (v5 ``liquidation`` and ``allLiquidation``
topics) ``Buy`` means that a long position was liquidated. cryptofeed passes
each exchange's word through unchanged, so the same market event would reach
the radar with opposite sides; ``order_side`` turns it round where needed.
"""

from __future__ import annotations

# cryptofeed exchange names whose liquidation side names the liquidated position.
POSITION_SIDE_EXCHANGES = frozenset({"BYBIT"})


def order_side(exchange: str, side: str) -> str:
    """The order side ("buy"/"sell") of a liquidation as ``exchange`` reported it."""
    side = side.lower()
    if exchange.upper() in POSITION_SIDE_EXCHANGES:
        return "sell" if side == "buy" else "buy"
    return side
