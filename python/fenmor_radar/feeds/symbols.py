"""Symbol names: kept as the source writes them unless the user asks to normalise.

Normalising makes one market carry one name across sources, so a live
session and a recorded dataset of the same venue line up:

- letters are upper-cased;
- a last dash-, underscore- or slash-separated part that only names the
  contract type of a perpetual (``PERP``, ``PERPETUAL``, ``SWAP``) is dropped
  when other parts remain;
- the separators ``-``, ``_``, ``/`` and ``:`` are removed.

So cryptofeed's ``BTC-USDT-PERP`` and the exchange's ``BTCUSDT`` both become
``BTCUSDT``; a dated future keeps its date (``BTC-USD-22DEC30`` ->
``BTCUSD22DEC30``), since it is a different market from the perpetual.
"""

from __future__ import annotations

import re

PERPETUAL_TAGS = frozenset({"PERP", "PERPETUAL", "SWAP"})
_SEPARATORS = re.compile(r"[-_/:]")


def normalise_symbol(symbol: str) -> str:
    parts = [part for part in _SEPARATORS.split(symbol.upper()) if part]
    if len(parts) > 1 and parts[-1] in PERPETUAL_TAGS:
        parts.pop()
    return "".join(parts)


def keep_symbol(symbol: str) -> str:
    return symbol
