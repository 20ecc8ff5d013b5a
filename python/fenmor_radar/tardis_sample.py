"""The demo's hour as the vendor's CSV files, for trying ``--from tardis`` and ``convert``.

Three gzip files in the vendor's layouts and names, one row per event of the
demo's recording (``sample.py``):

- ``derivative_ticker``: open interest, funding rate and mark price (last and
  index price are the mark price; funding settles every 8 hours);
- ``book_snapshot_5``: five levels a side, one tick apart from the best bid
  and ask, the side's volume spread over them;
- ``liquidations``: side, price and amount, with a running id.

Timestamps are microseconds, as the vendor writes them; ``local_timestamp``
is 150 ms later (the time the vendor's collector received the message).
Numbers are written in their shortest round-trip form, so converting the
files gives back the recording's derivatives and liquidation events exactly
and its books' best prices; the book volumes are sums of five levels and so
differ from the recording's in their last digits.
"""

from __future__ import annotations

import gzip
import os

from fenmor_radar.sample import SEED, SYMBOLS, Event, sample_events, tick_size
from fenmor_radar.whole_file import write_whole_file

EXCHANGE = "binance-futures"
DAY = "2024-03-01"
LEVELS = 5
LEVEL_SHARES = (0.3, 0.25, 0.2, 0.15, 0.1)  # of a side's volume, best level first
RECEIVED_AFTER_US = 150_000
FUNDING_PERIOD_MS = 8 * 3_600_000

COMMON = "exchange,symbol,timestamp,local_timestamp"
HEADERS = {
    "derivative_ticker": COMMON + ",funding_timestamp,funding_rate,predicted_funding_rate,"
    "open_interest,last_price,index_price,mark_price",
    "book_snapshot_5": COMMON + "," + ",".join(
        f"{side}[{level}].{field}"
        for level in range(LEVELS)
        for side in ("asks", "bids")
        for field in ("price", "amount")
    ),
    "liquidations": COMMON + ",id,side,price,amount",
}


def file_name(kind: str) -> str:
    """The vendor's name for a day's file of every perpetual: exchange, kind, day."""
    return f"{EXCHANGE}_{kind}_{DAY}_PERPETUALS.csv.gz"


def _row(symbol: str, event: Event, liquidation_id: int, decimals: int) -> tuple[str, str]:
    """The file kind and the CSV row of one event."""
    kind, ts = event[0], int(event[1])
    numbers = [0.0 if isinstance(value, str) else float(value) for value in event[2:]]
    at = ts * 1000
    start = f"{EXCHANGE},{symbol},{at},{at + RECEIVED_AFTER_US}"
    if kind == "derivatives":
        open_interest, funding, mark = numbers
        settles = (ts // FUNDING_PERIOD_MS + 1) * FUNDING_PERIOD_MS * 1000
        mark_text = repr(mark)  # the last and index prices too
        return "derivative_ticker", (
            f"{start},{settles},{repr(funding)},,{repr(open_interest)},"
            f"{mark_text},{mark_text},{mark_text}"
        )
    if kind == "orderbook":
        bid_volume, ask_volume, best_bid, best_ask = numbers
        tick = tick_size(decimals)
        levels = []
        for level, share in enumerate(LEVEL_SHARES):
            ask = round(best_ask + level * tick, decimals)
            bid = round(best_bid - level * tick, decimals)
            levels.append(f"{repr(ask)},{repr(round(ask_volume * share, 3))},"
                          f"{repr(bid)},{repr(round(bid_volume * share, 3))}")
        return "book_snapshot_5", start + "," + ",".join(levels)
    _, qty, price = numbers
    return "liquidations", f"{start},{liquidation_id},{event[2]},{repr(price)},{repr(qty)}"


def write_tardis_sample(folder: str, seed: int = SEED) -> list[tuple[str, int]]:
    """Write the three files into ``folder`` (made if missing); (path, rows) of each."""
    decimals = {name: places for name, _, places, _, _ in SYMBOLS}
    rows: dict[str, list[str]] = {kind: [header] for kind, header in HEADERS.items()}
    liquidations = 0
    for symbol, event in sample_events(seed):
        liquidations += event[0] == "liquidation"
        kind, row = _row(symbol, event, liquidations, decimals[symbol])
        rows[kind].append(row)
    os.makedirs(folder, exist_ok=True)
    written = []
    for kind, lines in rows.items():
        path = os.path.join(folder, file_name(kind))
        data = gzip.compress(("\n".join(lines) + "\n").encode("ascii"), mtime=0)
        write_whole_file(path, data)
        written.append((path, len(lines) - 1))
    return written
