"""Seeded, realistic market data for the benchmarks.

Every symbol follows its own random walk: a price somewhere between a
fraction of a cent and tens of thousands, an open interest in the hundreds of
thousands to billions, funding rates of a few basis points that now and then
change sign, book volumes and liquidation sizes that scale with the market.
Numbers are written the way exchange feeds write them: prices on a tick,
volumes with a few decimals, rates with up to eight, timestamps in
milliseconds. The same seed always gives the same texts.
"""

from __future__ import annotations

import json
import math
import random
import string

# All five indicator kinds; the longest lookback is 12, so the window is 13.
SIGNALS = [
    {"kind": "oi_delta", "params": [12, 0.05], "weight": 2.0},
    {"kind": "funding_flip", "params": [0.0005]},
    {"kind": "book_imbalance", "params": [0.5]},
    {"kind": "liq_cluster", "params": [12, 250000]},
    {"kind": "oi_price_divergence", "params": [6, 0.02], "weight": 1.5},
]
WINDOW = 13


def spec_text(threshold: float, limit: int | None = None) -> str:
    spec: dict = {"signals": SIGNALS, "threshold": threshold}
    if limit is not None:
        spec["limit"] = limit
    return json.dumps(spec)


def symbols(count: int, rng: random.Random) -> list[str]:
    """Distinct ticker-like names such as "KXQUSDT" or "1000PEPQUSDT"."""
    names: set[str] = set()
    out: list[str] = []
    while len(out) < count:
        base = "".join(rng.choices(string.ascii_uppercase, k=rng.randint(3, 6)))
        if rng.random() < 0.05:
            base = "1000" + base
        name = base + "USDT"
        if name not in names:
            names.add(name)
            out.append(name)
    return out


def _round_to(value: float, decimals: int) -> float:
    return round(value, decimals)


def _price_decimals(price: float) -> int:
    # About five significant digits, as a tick size would give.
    return max(1, min(8, 4 - int(math.floor(math.log10(price)))))


class Market:
    """One symbol's random walk; each call to event() gives its next event."""

    def __init__(self, rng: random.Random, ts: int):
        self.rng = rng
        self.price = 10 ** rng.uniform(-3, 4.8)
        self.open_interest = 10 ** rng.uniform(5, 9)
        self.funding = rng.gauss(0.0001, 0.0002)
        self.ts = ts
        self.decimals = _price_decimals(self.price)

    def _tick(self) -> None:
        rng = self.rng
        self.ts += rng.randint(1, 400)
        self.price *= math.exp(rng.gauss(0, 0.002))
        self.open_interest *= math.exp(rng.gauss(0, 0.004))

    def derivatives(self) -> dict:
        self._tick()
        rng = self.rng
        self.funding = 0.9 * self.funding + rng.gauss(0.00001, 0.0001)
        return {
            "kind": "derivatives",
            "ts": self.ts,
            "open_interest": _round_to(self.open_interest, rng.choice((1, 2, 3))),
            "funding_rate": _round_to(self.funding, 8),
            "mark_price": _round_to(self.price, self.decimals),
        }

    def orderbook(self) -> dict:
        self._tick()
        rng = self.rng
        spread = self.price * rng.uniform(0.00005, 0.0005)
        depth = 25000 / self.price
        return {
            "kind": "orderbook",
            "ts": self.ts,
            "bid_volume": _round_to(depth * rng.lognormvariate(0, 0.6), 3),
            "ask_volume": _round_to(depth * rng.lognormvariate(0, 0.6), 3),
            "best_bid": _round_to(self.price - spread / 2, self.decimals),
            "best_ask": _round_to(self.price + spread / 2, self.decimals),
        }

    def liquidation(self) -> dict:
        self._tick()
        rng = self.rng
        return {
            "kind": "liquidation",
            "ts": self.ts,
            "side": rng.choice(("buy", "sell")),
            "qty": _round_to(5000 / self.price * rng.lognormvariate(0, 1.2), 3),
            "price": _round_to(self.price * rng.uniform(0.995, 1.005), self.decimals),
        }

    def event(self) -> dict:
        # A live stream: mostly book updates, then derivatives, few liquidations.
        roll = self.rng.random()
        if roll < 0.45:
            return self.orderbook()
        if roll < 0.85:
            return self.derivatives()
        return self.liquidation()

    def full_history(self, extra: int = 3) -> list[dict]:
        """Enough events of each kind to fill every history of the window."""
        kinds = ["derivatives"] * (WINDOW + extra) + ["liquidation"] * (WINDOW + extra)
        kinds += ["orderbook"] * (WINDOW // 2)
        self.rng.shuffle(kinds)
        return [getattr(self, kind)() for kind in kinds]


def dumps(value) -> str:
    return json.dumps(value, separators=(",", ":"))


def markets(count: int, rng: random.Random) -> list[tuple[str, Market]]:
    start = 1_700_000_000_000
    return [(name, Market(rng, start + rng.randint(0, 60_000))) for name in symbols(count, rng)]


def feed_texts(count: int, seed: int, symbol_count: int = 1000) -> list[str]:
    """`count` distinct "feed" commands spread over `symbol_count` symbols."""
    rng = random.Random(seed)
    pool = markets(symbol_count, rng)
    texts = []
    for _ in range(count):
        name, market = pool[rng.randrange(len(pool))]
        texts.append(dumps({"cmd": "feed", "symbol": name, "event": market.event()}))
    return texts


def feed_batch_text(events: int, seed: int) -> str:
    """One "feed_batch" of `events` events for one symbol."""
    rng = random.Random(seed)
    [(name, market)] = markets(1, rng)
    return dumps({"cmd": "feed_batch", "symbol": name,
                  "events": [market.event() for _ in range(events)]})


def full_history_batches(count: int, seed: int) -> list[str]:
    """One "feed_batch" per symbol that fills all of its histories."""
    rng = random.Random(seed)
    return [dumps({"cmd": "feed_batch", "symbol": name, "events": market.full_history()})
            for name, market in markets(count, rng)]


def symbol_events(count: int, per_symbol: int, seed: int) -> dict[str, list[dict]]:
    rng = random.Random(seed)
    return {name: [market.event() for _ in range(per_symbol)]
            for name, market in markets(count, rng)}


def scan_text(events: dict[str, list[dict]]) -> str:
    return dumps({"cmd": "scan", "events": events})


def batch_texts(events: dict[str, list[dict]]) -> list[str]:
    return [dumps({"cmd": "feed_batch", "symbol": name, "events": list_})
            for name, list_ in events.items()]


def recording_lines(events: int, symbol_count: int, seed: int) -> list[str]:
    """A recording: `events` lines ``{"symbol": ..., "event": ...}``, symbols interleaved."""
    rng = random.Random(seed)
    pool = markets(symbol_count, rng)
    lines = []
    for _ in range(events):
        name, market = pool[rng.randrange(len(pool))]
        lines.append(dumps({"symbol": name, "event": market.event()}))
    return lines


def batches_of_recording(lines: list[str], size: int = 1000) -> list[str]:
    """The same events as "feed_batch" commands of up to `size` events of one symbol."""
    per_symbol: dict[str, list[str]] = {}
    for line in lines:
        symbol, _, event = line[len('{"symbol":'):-1].partition(',"event":')
        per_symbol.setdefault(symbol, []).append(event)
    return ['{"cmd":"feed_batch","symbol":' + symbol + ',"events":[' + ",".join(events[i:i + size])
            + "]}" for symbol, events in per_symbol.items() for i in range(0, len(events), size)]
