"""Derivatives events out of separately reported open interest, funding and mark price.

Sources report the three values at different moments (an exchange streams
funding with the mark price, open interest on its own), but a radar
derivatives event needs all three. ``DerivativesState`` keeps the latest of
each per symbol and yields an event whenever an update changes at least one
of them while all three are known. An update that repeats the values already
held (a ticker row that only moved the last price, say) yields nothing, so a
recording holds one event per actual change. Values not given in an update
(None) are unchanged.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(slots=True)
class Latest:
    open_interest: float | None = None
    funding_rate: float | None = None
    mark_price: float | None = None


class DerivativesState:
    def __init__(self) -> None:
        self._latest: dict[str, Latest] = {}

    def update(
        self,
        symbol: str,
        open_interest: float | None = None,
        funding_rate: float | None = None,
        mark_price: float | None = None,
    ) -> tuple[float, float, float] | None:
        """Apply one update; the values of the event to emit, or None."""
        latest = self._latest.get(symbol)
        if latest is None:
            latest = self._latest[symbol] = Latest()
        changed = False
        if open_interest is not None and open_interest != latest.open_interest:
            latest.open_interest = open_interest
            changed = True
        if funding_rate is not None and funding_rate != latest.funding_rate:
            latest.funding_rate = funding_rate
            changed = True
        if mark_price is not None and mark_price != latest.mark_price:
            latest.mark_price = mark_price
            changed = True
        if not changed:
            return None
        oi, rate, mark = latest.open_interest, latest.funding_rate, latest.mark_price
        if oi is None or rate is None or mark is None:
            return None
        return oi, rate, mark
