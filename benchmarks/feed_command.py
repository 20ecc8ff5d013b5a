"""Median time of one "feed" command against orjson.loads of the same text.

Run after `pip install .`:  python3 benchmarks/feed_command.py
Both are measured in the same run, in alternating rounds, so that a busy
machine slows both alike. orjson is optional: without it only the radar is
timed.
"""

import json
import statistics
import timeit

from fenmor_radar import Radar

SPEC = json.dumps({"signals": [
    {"kind": "oi_delta", "params": [12, 0.05]},
    {"kind": "funding_flip", "params": [0.0005]},
    {"kind": "book_imbalance", "params": [0.5]},
    {"kind": "liq_cluster", "params": [20, 1000000]},
    {"kind": "oi_price_divergence", "params": [12, 0.05]},
], "threshold": 0.5})

FEED = ('{"cmd":"feed","symbol":"BTCUSDT","event":{"kind":"derivatives","ts":1700000000000,'
        '"open_interest":1250000.0,"funding_rate":0.0001,"mark_price":64010.2}}')

CALLS_PER_ROUND = 20_000
ROUNDS = 31


def per_call_ns(function):
    return [t / CALLS_PER_ROUND * 1e9
            for t in timeit.repeat(function, number=CALLS_PER_ROUND, repeat=1)]


def main():
    radar = Radar(SPEC)
    assert radar.command(FEED) == '{"ok":true}'
    feed = radar.command
    candidates = {"radar.command(feed)": lambda: feed(FEED)}
    try:
        import orjson
    except ImportError:
        orjson = None
    if orjson is not None:
        loads = orjson.loads
        candidates["orjson.loads(feed)"] = lambda: loads(FEED)

    samples = {name: [] for name in candidates}
    for _ in range(ROUNDS):
        for name, function in candidates.items():
            samples[name].extend(per_call_ns(function))

    print(f"{len(FEED)}-byte feed command, median of {ROUNDS} rounds of {CALLS_PER_ROUND} calls")
    for name, values in samples.items():
        print(f"  {name:24s} {statistics.median(values):8.1f} ns per call")
    if orjson is not None:
        ratio = statistics.median(samples["radar.command(feed)"]) / statistics.median(
            samples["orjson.loads(feed)"])
        print(f"  ratio radar/orjson      {ratio:8.2f}")


if __name__ == "__main__":
    main()
