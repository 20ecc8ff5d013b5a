"""A live loop: a market feed pushes events into a radar, and the radar is polled for alerts.

The feed here is simulated (five perpetuals, ten minutes of market time, run
as fast as the machine goes); in production it would be a websocket client
handing over each message as it arrives. Everything else is what a live
program does: one "feed" command per event, an "alerts" poll every few
seconds of market time, and a message only when an alert is new or its
severity moved by more than a little.

    python examples/live_loop.py            # as fast as possible
    python examples/live_loop.py --pace 20  # 20x faster than real time
"""

from __future__ import annotations

import argparse
import json
import random
import time
from collections.abc import Iterator
from typing import Any

from fenmor_radar import Radar

SPEC = {
    "signals": [
        {"kind": "oi_delta", "params": [6, 0.05]},
        {"kind": "funding_flip", "params": [0.0005]},
        {"kind": "book_imbalance", "params": [0.6], "weight": 0.5},
        {"kind": "liq_cluster", "params": [10, 500]},
    ],
    "threshold": 0.3,
}
SYMBOLS = {"BTCUSDT": 62_000.0, "ETHUSDT": 3_400.0, "SOLUSDT": 130.0, "XRPUSDT": 0.63, "DOGEUSDT": 0.12}
START_TS = 1_709_298_000_000  # milliseconds
POLL_MS = 30_000
MIN_MOVE = 0.05  # smaller severity moves of a known alert are not worth a message


def market_feed(minutes: int, seed: int = 7) -> Iterator[tuple[str, dict[str, Any] | list[Any]]]:
    """(symbol, event) pairs in time order. SOLUSDT squeezes after minute 4."""
    rng = random.Random(seed)
    state = {s: {"price": p, "oi": 1e6, "funding": 0.0001} for s, p in SYMBOLS.items()}
    for step in range(minutes * 6):  # every 10 seconds
        ts = START_TS + step * 10_000
        for symbol, market in state.items():
            squeeze = symbol == "SOLUSDT" and 24 <= step < 36
            market["oi"] *= 1.02 if squeeze else 1 + rng.gauss(0, 0.0005)
            market["price"] *= 1.003 if squeeze else 1 + rng.gauss(0, 0.0005)
            market["funding"] = -0.0007 if squeeze else 0.0001 + rng.gauss(0, 0.00002)
            yield symbol, {
                "kind": "derivatives",
                "ts": ts,
                "open_interest": round(market["oi"], 1),
                "funding_rate": round(market["funding"], 6),
                "mark_price": round(market["price"], 4),
            }
            bid, ask = rng.uniform(80, 120), rng.uniform(80, 120)
            if squeeze:
                bid, ask = 40.0, 160.0
            # The array form of an event is accepted as well: kind, then the fields in order.
            yield symbol, ["orderbook", ts + 5_000, round(bid, 1), round(ask, 1), 1.0, 1.0]
            if squeeze and step % 2 == 0:
                yield symbol, {"kind": "liquidation", "ts": ts + 7_000, "side": "buy", "qty": 120.0, "price": market["price"]}
        if step == 40:
            # A glitching venue: the radar answers with an error reply, and the loop goes on.
            yield "ETHUSDT", {"kind": "derivatives", "ts": ts, "open_interest": "n/a"}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=int, default=10)
    parser.add_argument("--pace", type=float, default=0.0, help="market seconds per real second (0: no waiting)")
    args = parser.parse_args()

    radar = Radar(json.dumps(SPEC))  # a bad spec raises ValueError with the radar's message
    last_poll = START_TS
    reported: dict[str, float] = {}
    fed = rejected = 0
    for symbol, event in market_feed(args.minutes):
        ts = event["ts"] if isinstance(event, dict) else event[1]
        if args.pace:
            time.sleep(10 / args.pace / (len(SYMBOLS) * 2))
        reply = radar.command(json.dumps({"cmd": "feed", "symbol": symbol, "event": event}))
        if reply != '{"ok":true}':
            rejected += 1
            print(f"  rejected {symbol} event: {json.loads(reply)['error']}")
            continue
        fed += 1
        if ts - last_poll < POLL_MS:
            continue
        last_poll = ts
        alerts = json.loads(radar.command('{"cmd":"alerts"}'))["alerts"]
        clock = time.strftime("%H:%M:%S", time.gmtime(ts / 1000))
        for alert in alerts:
            severity = alert["severity"]
            previous = reported.get(alert["symbol"])
            if previous is not None and abs(severity - previous) < MIN_MOVE:
                continue
            change = "NEW" if alert["symbol"] not in reported else "upd"
            reported[alert["symbol"]] = severity
            factors = sorted(
                ((v, k) for k, v in alert["factors"].items() if k != "severity" and v), reverse=True
            )
            top = ", ".join(f"{k}={v:.2f}" for v, k in factors[:2])
            print(f"{clock} {change} {alert['symbol']:<9} severity {severity:.3f}  ({top})")
        for symbol in set(reported) - {a["symbol"] for a in alerts}:
            print(f"{clock} end {symbol}")
            del reported[symbol]
    print(f"fed {fed} events, {rejected} rejected")


if __name__ == "__main__":
    main()
