"""The bundled sample recording: one synthetic trading hour for 50 perpetuals.

Generated from a fixed seed when needed, so it ships as code, not as data.
Only the generator's own uniform numbers and the four arithmetic operations
are used (no ``math.log``/``math.sin``, whose last bits differ between
platforms), and every value is rounded before it is written, so the recording
is the same text everywhere.

The market is quiet noise (random-walk prices and open interest, funding
rates drifting around their level, balanced books, sparse liquidations),
with four planted episodes the default spec is built to catch:

- an open-interest surge on SOLUSDT (positions pile in within minutes),
- a funding flip on DOGEUSDT (longs paying turns to shorts paying),
- a liquidation cascade on ETHUSDT (price slides, longs are force-closed,
  the book thins on the bid side, open interest drains),
- a divergence on AVAXUSDT (price climbs while open interest falls: a short
  squeeze rather than new buying).

Every 10 s each symbol gets a ``derivatives`` event and, 5 s later, an
``orderbook`` event; ``liquidation`` events come at random. Timestamps are
milliseconds; liquidation quantities are contracts of 1,000 USD.
"""

from __future__ import annotations

import gzip
import random
from dataclasses import dataclass

from fenmor_radar.feeds.events import event_line
from fenmor_radar.whole_file import write_whole_file

SEED = 20240301
START_TS = 1_709_298_000_000  # 2024-03-01 13:00:00 UTC
STEP_MS = 10_000
STEPS = 360  # one hour
SQRT3 = 1.7320508075688772

# name, price, price decimals, open interest (contracts), funding level
SYMBOLS: tuple[tuple[str, float, int, float, float], ...] = (
    ("BTCUSDT", 62150.0, 1, 81_000.0, 0.00012),
    ("ETHUSDT", 3420.0, 2, 1_250_000.0, 0.00011),
    ("SOLUSDT", 128.5, 3, 9_400_000.0, 0.00010),
    ("BNBUSDT", 412.0, 2, 310_000.0, 0.00008),
    ("XRPUSDT", 0.6312, 4, 380_000_000.0, 0.00006),
    ("DOGEUSDT", 0.1204, 5, 4_100_000_000.0, 0.00010),
    ("ADAUSDT", 0.7108, 4, 290_000_000.0, 0.00005),
    ("AVAXUSDT", 41.27, 3, 7_900_000.0, 0.00009),
    ("LINKUSDT", 19.84, 3, 16_000_000.0, 0.00007),
    ("DOTUSDT", 9.412, 3, 21_000_000.0, 0.00004),
    ("MATICUSDT", 1.0312, 4, 150_000_000.0, 0.00003),
    ("LTCUSDT", 78.31, 2, 1_900_000.0, 0.00005),
    ("TRXUSDT", 0.1391, 5, 620_000_000.0, 0.00002),
    ("ATOMUSDT", 11.93, 3, 9_800_000.0, 0.00006),
    ("NEARUSDT", 4.812, 3, 38_000_000.0, 0.00008),
    ("APTUSDT", 12.64, 3, 12_000_000.0, 0.00009),
    ("ARBUSDT", 1.9021, 4, 110_000_000.0, 0.00007),
    ("OPUSDT", 3.9312, 4, 44_000_000.0, 0.00008),
    ("FILUSDT", 8.917, 3, 20_000_000.0, 0.00004),
    ("ETCUSDT", 31.42, 3, 5_600_000.0, 0.00003),
    ("BCHUSDT", 331.2, 2, 420_000.0, 0.00005),
    ("UNIUSDT", 11.21, 3, 12_500_000.0, 0.00006),
    ("AAVEUSDT", 118.4, 2, 900_000.0, 0.00007),
    ("INJUSDT", 38.61, 3, 3_800_000.0, 0.00012),
    ("SUIUSDT", 1.5123, 4, 95_000_000.0, 0.00011),
    ("SEIUSDT", 0.7634, 4, 170_000_000.0, 0.00010),
    ("TIAUSDT", 15.32, 3, 8_100_000.0, 0.00009),
    ("WIFUSDT", 2.3041, 4, 60_000_000.0, 0.00015),
    ("PEPEUSDT", 0.0000061, 9, 21_000_000_000_000.0, 0.00014),
    ("SHIBUSDT", 0.00002871, 8, 4_300_000_000_000.0, 0.00009),
    ("RNDRUSDT", 10.42, 3, 11_000_000.0, 0.00010),
    ("FETUSDT", 2.4012, 4, 48_000_000.0, 0.00013),
    ("STXUSDT", 3.1204, 4, 30_000_000.0, 0.00008),
    ("IMXUSDT", 3.0121, 4, 26_000_000.0, 0.00006),
    ("ICPUSDT", 13.84, 3, 6_700_000.0, 0.00005),
    ("HBARUSDT", 0.1123, 5, 900_000_000.0, 0.00004),
    ("VETUSDT", 0.0461, 5, 2_100_000_000.0, 0.00003),
    ("ALGOUSDT", 0.2531, 5, 410_000_000.0, 0.00002),
    ("GRTUSDT", 0.3012, 5, 330_000_000.0, 0.00006),
    ("SANDUSDT", 0.6723, 4, 150_000_000.0, 0.00005),
    ("MANAUSDT", 0.6412, 4, 140_000_000.0, 0.00004),
    ("AXSUSDT", 10.91, 3, 9_000_000.0, 0.00003),
    ("EOSUSDT", 1.0923, 4, 80_000_000.0, 0.00001),
    ("XLMUSDT", 0.1431, 5, 520_000_000.0, 0.00002),
    ("KASUSDT", 0.1612, 5, 600_000_000.0, 0.00011),
    ("ORDIUSDT", 71.24, 3, 1_300_000.0, 0.00013),
    ("JUPUSDT", 0.9912, 4, 120_000_000.0, 0.00010),
    ("ENAUSDT", 1.0231, 4, 160_000_000.0, 0.00016),
    ("WLDUSDT", 8.214, 3, 19_000_000.0, 0.00012),
    ("TONUSDT", 5.312, 3, 25_000_000.0, 0.00007),
)


@dataclass(frozen=True, slots=True)
class Episode:
    """A planted market episode: what happens to whom, between two steps."""

    name: str
    symbol: str
    start: int  # first step (10 s each from 13:00)
    end: int  # first step after it

    def active(self, step: int) -> bool:
        return self.start <= step < self.end


EPISODES = (
    Episode("open-interest surge", "SOLUSDT", 48, 66),  # 13:08:00-13:11:00
    Episode("funding flip", "DOGEUSDT", 120, 150),  # 13:20:00-13:25:00
    Episode("liquidation cascade", "ETHUSDT", 198, 222),  # 13:33:00-13:37:00
    Episode("divergence", "AVAXUSDT", 300, 360),  # 13:50:00-14:00:00
)


class _Noise:
    """Uniform and near-normal numbers from one seeded generator."""

    def __init__(self, seed: int) -> None:
        self._random = random.Random(seed).random

    def uniform(self) -> float:
        return self._random()

    def normal(self) -> float:
        # Sum of four uniforms scaled to unit variance: close enough to a
        # normal for market noise, and arithmetic only.
        r = self._random
        return (r() + r() + r() + r() - 2.0) * SQRT3


@dataclass(slots=True)
class _Market:
    name: str
    price: float
    decimals: int
    open_interest: float
    funding_level: float
    funding: float
    depth: float
    offset_ms: int


def _episode(step: int, symbol: str) -> Episode | None:
    for episode in EPISODES:
        if episode.symbol == symbol and episode.active(step):
            return episode
    return None


def rounded(value: float, decimals: int) -> float:
    """``value`` rounded to ``decimals``; a negative zero made positive.

    The engine's event writer then writes the shortest text of that float,
    so every value reads back as the rounded decimal it stands for.
    """
    return round(value, decimals) + 0.0


def _derivatives(market: _Market, noise: _Noise, step: int) -> None:
    episode = _episode(step, market.name)
    price_move = 0.0004 * noise.normal()
    oi_move = 0.0003 * noise.normal()
    funding_pull = market.funding_level
    if episode is not None and episode.name == "open-interest surge":
        oi_move += 0.012
        price_move += 0.0008
        funding_pull = 0.00045
    elif episode is not None and episode.name == "funding flip":
        if step == episode.start:
            market.funding = -0.00055
        funding_pull = -0.0004
        oi_move -= 0.0035
        price_move -= 0.0006
    elif episode is not None and episode.name == "liquidation cascade":
        price_move -= 0.0022
        oi_move -= 0.005
    elif episode is not None and episode.name == "divergence":
        price_move += 0.0016
        oi_move -= 0.0022
    market.price *= 1.0 + price_move
    market.open_interest *= 1.0 + oi_move
    market.funding += 0.15 * (funding_pull - market.funding) + 0.000012 * noise.normal()


Event = tuple[str | int | float, ...]  # the array form: kind, ts, the kind's fields


def _derivatives_event(market: _Market, ts: int) -> Event:
    return ("derivatives", ts, rounded(market.open_interest, 0), rounded(market.funding, 6),
            rounded(market.price, market.decimals))


def _orderbook_event(market: _Market, noise: _Noise, step: int, ts: int) -> Event:
    bid = market.depth * (1.0 + 0.1 * noise.normal())
    ask = market.depth * (1.0 + 0.1 * noise.normal())
    episode = _episode(step, market.name)
    if episode is not None and episode.name == "liquidation cascade":
        bid *= 0.25  # buyers step away while longs are dumped
    tick = tick_size(market.decimals)
    best_bid = market.price - tick
    best_ask = market.price + tick
    return ("orderbook", ts, rounded(bid, 1), rounded(ask, 1),
            rounded(best_bid, market.decimals), rounded(best_ask, market.decimals))


def tick_size(decimals: int) -> float:
    """The price step of a symbol quoted with ``decimals`` decimals."""
    tick = 1.0
    for _ in range(decimals):
        tick /= 10.0
    return tick


def _liquidation_events(
    market: _Market, noise: _Noise, step: int, ts: int
) -> list[tuple[int, Event]]:
    episode = _episode(step, market.name)
    cascade = episode is not None and episode.name == "liquidation cascade"
    count = 3 if cascade else (1 if noise.uniform() < 0.05 else 0)
    events: list[tuple[int, Event]] = []
    for index in range(count):
        if cascade:
            side = "sell"  # long positions closed by selling
            qty = 40.0 + 110.0 * noise.uniform()
        else:
            side = "buy" if noise.uniform() < 0.5 else "sell"
            qty = 1.0 + 9.0 * noise.uniform()
        at = ts + 1_000 + index * 2_000 + int(noise.uniform() * 1_000)
        events.append(
            (at, ("liquidation", at, side, rounded(qty, 1), rounded(market.price, market.decimals)))
        )
    return events


def sample_events(seed: int = SEED) -> list[tuple[str, Event]]:
    """The recording's events as (symbol, event in the array form), in ``ts`` order."""
    noise = _Noise(seed)
    markets = [
        _Market(
            name=name,
            price=price,
            decimals=decimals,
            open_interest=oi,
            funding_level=funding,
            funding=funding,
            depth=200.0 + 800.0 * noise.uniform(),
            offset_ms=index * 97,
        )
        for index, (name, price, decimals, oi, funding) in enumerate(SYMBOLS)
    ]
    timed: list[tuple[int, int, str, Event]] = []
    for step in range(STEPS):
        for market in markets:
            ts = START_TS + step * STEP_MS + market.offset_ms
            _derivatives(market, noise, step)
            timed.append((ts, len(timed), market.name, _derivatives_event(market, ts)))
            for at, event in _liquidation_events(market, noise, step, ts):
                timed.append((at, len(timed), market.name, event))
            book_ts = ts + STEP_MS // 2
            timed.append(
                (book_ts, len(timed), market.name, _orderbook_event(market, noise, step, book_ts))
            )
    timed.sort(key=lambda item: item[:2])
    return [(symbol, event) for _, _, symbol, event in timed]


def sample_lines(seed: int = SEED) -> list[str]:
    """The recording as JSON lines (without line breaks), in ``ts`` order."""
    return [event_line(f'"{symbol}"', event) for symbol, event in sample_events(seed)]


def write_sample(path: str, seed: int = SEED) -> int:
    """Write the recording to ``path`` (gzip when it ends in .gz); the number of lines."""
    return write_lines(path, sample_lines(seed))


def write_lines(path: str, lines: list[str]) -> int:
    """Write generated lines to ``path`` (gzip when it ends in .gz); their number."""
    data = ("\n".join(lines) + "\n").encode("utf-8")
    if path.endswith(".gz"):
        # mtime 0 and no file name: the same recording gives the same compressed bytes.
        data = gzip.compress(data, mtime=0)
    write_whole_file(path, data)  # a failed write leaves no file that looks like a sample
    return len(lines)
