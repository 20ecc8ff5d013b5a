"""Market data into radar events: one place for every source.

A source's data becomes the radar's three event kinds under these rules,
each kept in one module:

- ``derivatives``: open interest, funding rate and mark price arrive apart;
  the latest of each is kept per symbol and a derivatives event is emitted
  whenever an update changes one of them and all three are known
  (``derivatives.DerivativesState``).
- ``orderbook``: bid and ask volume are the sizes summed over the best N
  levels of each side (N is ``--depth``, default 5), with the best bid and
  ask prices; a book with an empty side gives no event (``book``).
- ``liquidation``: side, quantity and price as the source reports them.
- Timestamps are integer milliseconds since the Unix epoch (``events``).
- Symbols are kept as the source names them, or normalised on request:
  ``BTC-USDT-PERP`` -> ``BTCUSDT`` (``symbols``).

Sources: ``live`` (cryptofeed's callbacks, the ``live`` extra) and
``tardis`` (the vendor's CSV datasets), merged into a recording by
``convert``. Both write their lines in the engine: the converter's rows
become lines in C++, and ``events`` hands a live event to the engine's
event writer.
"""

from __future__ import annotations

from fenmor_radar.feeds.book import DEFAULT_DEPTH
from fenmor_radar.feeds.convert import TardisConverter, tardis_blocks
from fenmor_radar.feeds.derivatives import DerivativesState
from fenmor_radar.feeds.symbols import normalise_symbol
from fenmor_radar.feeds.tardis import BadRow, UnknownLayout

__all__ = [
    "DEFAULT_DEPTH",
    "BadRow",
    "DerivativesState",
    "TardisConverter",
    "UnknownLayout",
    "normalise_symbol",
    "tardis_blocks",
]
