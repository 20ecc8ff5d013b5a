"""A recording with a known answer, for measuring whether alerts mean anything.

Every symbol sees open-interest surges at random moments: positions pile in
over one minute. On the *planted* symbols (``PLANT01USDT``, ...) each surge
is followed, a set delay later, by a price rise of a set size (new positions
lifting the price, so open interest and price move together and only the
surge foretells it); on the *control* symbols (``CTRL01USDT``, ...) surges come and the
price only wanders. So an ``oi_delta`` spec's alerts should be followed by
large moves on the planted symbols and by nothing special on the controls.

Decoys come as often on every symbol, followed by nothing: a funding flip,
a lopsided book, a burst of liquidations, or open interest draining while
the price edges up (less than its usual wander over five minutes), each
lasting a minute and a half. A
spec that weighs those signals alerts on them and gains nothing. The rest
of the market is the demo's quiet noise: random-walk prices and open
interest, funding drifting around its level, balanced books, rare small
liquidations. Generated from a seed with the generator's uniform numbers and
the four arithmetic operations only, so the text is the same everywhere.
Every 10 s each symbol gets a ``derivatives`` event and 5 s later an
``orderbook`` event.
"""

from __future__ import annotations

import random
from collections.abc import Iterator
from dataclasses import dataclass

from fenmor_radar.feeds.events import derivatives_line, liquidation_line, orderbook_line
from fenmor_radar.sample import SQRT3, START_TS, STEP_MS, rounded, write_lines

PLANTED_SEED = 20240302
SURGE_STEPS = 6  # one minute of surge
SURGE_RATE = 0.015  # open interest added per step of a surge
MOVE_STEPS = 18  # the move takes three minutes
DECOY_STEPS = 9  # a decoy lasts a minute and a half
DECOYS = ("funding", "book", "liquidations", "divergence")


@dataclass(frozen=True, slots=True)
class PlantedLayout:
    """What the recording holds: its symbols, length and the planted effect."""

    symbols: int = 20  # half planted, half controls (the planted get the odd one)
    hours: float = 6.0
    surges_per_hour: float = 1.5  # per symbol, on average
    move: float = 0.02  # the planted move, as a fraction of the price
    delay_s: int = 120  # from the start of a surge to the start of its move
    seed: int = PLANTED_SEED

    def names(self) -> tuple[list[str], list[str]]:
        """The planted symbols and the control symbols."""
        planted = (self.symbols + 1) // 2
        return (
            [f"PLANT{i + 1:02d}USDT" for i in range(planted)],
            [f"CTRL{i + 1:02d}USDT" for i in range(self.symbols - planted)],
        )


@dataclass(slots=True)
class _Market:
    name: str
    planted: bool
    price: float
    open_interest: float
    funding: float
    depth: float
    offset_ms: int
    surges: list[int]  # first steps of the surges
    decoys: list[tuple[int, str]]  # first steps and kinds of the decoys


def _normal(r: random.Random) -> float:
    # A sum of four uniforms scaled to unit variance: arithmetic only.
    return (r.random() + r.random() + r.random() + r.random() - 2.0) * SQRT3


def _surge_steps(r: random.Random, steps: int, per_hour: float) -> list[int]:
    """Random surge starts, at least 20 minutes apart, none in the first ten."""
    gap = 120  # steps of 10 s
    chance = per_hour / 360.0
    starts: list[int] = []
    step = 60
    while step < steps - SURGE_STEPS:
        if r.random() < chance:
            starts.append(step)
            step += gap
        else:
            step += 1
    return starts


def _markets(layout: PlantedLayout, r: random.Random, steps: int) -> list[_Market]:
    planted, controls = layout.names()
    markets = []
    for index, name in enumerate(planted + controls):
        surges = _surge_steps(r, steps, layout.surges_per_hour)
        decoys = [(step, DECOYS[int(r.random() * len(DECOYS))])
                  for step in _surge_steps(r, steps, layout.surges_per_hour)]
        markets.append(
            _Market(
                name=name,
                planted=index < len(planted),
                price=10.0 + 90.0 * r.random(),
                open_interest=1_000_000.0 * (1.0 + 9.0 * r.random()),
                funding=0.0001,
                depth=200.0 + 800.0 * r.random(),
                offset_ms=index * 97,
                surges=surges,
                decoys=decoys,
            )
        )
    return markets


def _step(market: _Market, r: random.Random, step: int, layout: PlantedLayout) -> None:
    price_move = 0.0004 * _normal(r)
    oi_move = 0.0003 * _normal(r)
    delay = layout.delay_s * 1000 // STEP_MS
    for start in market.surges:
        if start <= step < start + SURGE_STEPS:
            oi_move += SURGE_RATE
        if market.planted and start + delay <= step < start + delay + MOVE_STEPS:
            # Compounded over the move's steps, this comes to `move` exactly.
            price_move += (1.0 + layout.move) ** (1.0 / MOVE_STEPS) - 1.0
    decoy = _decoy(market, step)
    if decoy == "divergence":
        oi_move -= 0.006
        price_move += 0.0003
    market.price *= 1.0 + price_move
    market.open_interest *= 1.0 + oi_move
    pull = -0.0008 if decoy == "funding" else 0.0001
    market.funding += 0.5 * (pull - market.funding) + 0.000012 * _normal(r)


def _decoy(market: _Market, step: int) -> str | None:
    for start, kind in market.decoys:
        if start <= step < start + DECOY_STEPS:
            return kind
    return None


def _lines(market: _Market, r: random.Random, step: int) -> Iterator[tuple[int, str]]:
    ts = START_TS + step * STEP_MS + market.offset_ms
    name = f'"{market.name}"'
    price = rounded(market.price, 4)
    decoy = _decoy(market, step)
    yield ts, derivatives_line(
        name, ts, rounded(market.open_interest, 0), rounded(market.funding, 6), price
    )
    burst = decoy == "liquidations"
    if burst or r.random() < 0.02:
        at = ts + 1_000 + int(r.random() * 2_000)
        side = "buy" if r.random() < 0.5 else "sell"
        qty = (300.0 if burst else 1.0) + 9.0 * r.random()
        yield at, liquidation_line(name, at, side, rounded(qty, 1), price)
    book_ts = ts + STEP_MS // 2
    bid = market.depth * (1.0 + 0.1 * _normal(r)) * (6.0 if decoy == "book" else 1.0)
    ask = market.depth * (1.0 + 0.1 * _normal(r))
    yield book_ts, orderbook_line(
        name, book_ts, rounded(bid, 1), rounded(ask, 1),
        rounded(market.price - 0.0001, 4), rounded(market.price + 0.0001, 4),
    )


def planted_lines(layout: PlantedLayout = PlantedLayout()) -> list[str]:
    """The recording as JSON lines (without line breaks), in ``ts`` order."""
    r = random.Random(layout.seed)
    steps = int(layout.hours * 3600 * 1000) // STEP_MS
    markets = _markets(layout, r, steps)
    timed: list[tuple[int, int, str]] = []
    for step in range(steps):
        for market in markets:
            _step(market, r, step, layout)
            for ts, line in _lines(market, r, step):
                timed.append((ts, len(timed), line))
    timed.sort()
    return [line for _, _, line in timed]


def write_planted(path: str, layout: PlantedLayout = PlantedLayout()) -> int:
    """Write the recording to ``path`` (gzip when it ends in .gz); the number of lines."""
    return write_lines(path, planted_lines(layout))
