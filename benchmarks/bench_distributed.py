"""A replay of ~2 million events over 2,000 symbols: one process against a Dask cluster.

Run after `pip install '.[distributed]'`:

    python3 benchmarks/bench_distributed.py          # 2,000,000 events; 2 workers, then 1
    python3 benchmarks/bench_distributed.py --events 200000 --workers 2 --keep /tmp/rec.jsonl

It writes a seeded recording (or reuses the one given with --keep), then
times, on the same file, in wall time and CPU time per event:

1. the single-process replay (`fenmor-radar replay` without options);
2. the driver's share alone: reading the lines, and reading plus routing them
   to shards and packing them (what the driver does per event);
3. one shard's share alone, in this process: judging and feeding every line;
4. the distributed replay on local clusters of the given numbers of worker
   processes (start-up timed apart; CPU of the driver and of every worker),
   checked byte for byte against the single replay.

Figures are printed, never asserted: the machine is shared and noisy.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import tempfile
import time

from fenmor_radar import Radar
from fenmor_radar.cli.checkpoints import CheckpointPolicy
from fenmor_radar.cli.events import read_events
from fenmor_radar.cli.replay import Checkpoint
from fenmor_radar.cli.replay import replay as single_replay
from fenmor_radar.distributed.chunks import Chunk, read_chunks
from fenmor_radar.distributed.routing import ShardRouter
from fenmor_radar.distributed.shard import FeedPlan, Shard

SPEC = (
    '{"signals":[{"kind":"oi_delta","params":[12,0.05]},{"kind":"funding_flip","params":[0.0005]},'
    '{"kind":"book_imbalance","params":[0.5],"weight":0.5},{"kind":"liq_cluster","params":[20,1000]},'
    '{"kind":"oi_price_divergence","params":[12,0.01]}],"threshold":0.25,"limit":10}'
)
START_TS = 1_709_298_000_000


def write_recording(path: str, events: int, symbols: int, seed: int) -> None:
    """Random-walk markets in the recorder's compact form, in ts order across symbols."""
    rng = random.Random(seed)
    names = [f"S{k:04d}USDT" for k in range(symbols)]
    price = [10 ** rng.uniform(-2, 4.5) for _ in names]
    oi = [10 ** rng.uniform(5, 9) for _ in names]
    funding = [rng.gauss(0.0001, 0.0002) for _ in names]
    ts = START_TS
    with open(path, "w", encoding="utf-8") as out:
        for _ in range(events):
            k = rng.randrange(symbols)
            ts += rng.randrange(0, 4)
            price[k] *= 1 + rng.gauss(0, 0.002)
            roll = rng.random()
            if roll < 0.45:
                spread = price[k] * 0.0002
                line = (f'{{"symbol":"{names[k]}","event":{{"kind":"orderbook","ts":{ts},'
                        f'"bid_volume":{rng.uniform(1, 900):.3f},"ask_volume":{rng.uniform(1, 900):.3f},'
                        f'"best_bid":{price[k] - spread:.6g},"best_ask":{price[k] + spread:.6g}}}}}')
            elif roll < 0.9:
                oi[k] *= 1 + rng.gauss(0, 0.004)
                funding[k] = 0.9 * funding[k] + rng.gauss(0.00001, 0.0001)
                line = (f'{{"symbol":"{names[k]}","event":{{"kind":"derivatives","ts":{ts},'
                        f'"open_interest":{oi[k]:.1f},"funding_rate":{funding[k]:.8f},'
                        f'"mark_price":{price[k]:.6g}}}}}')
            else:
                side = "sell" if rng.random() < 0.5 else "buy"
                line = (f'{{"symbol":"{names[k]}","event":["liquidation",{ts},"{side}",'
                        f'{rng.lognormvariate(0, 1.2):.3f},{price[k]:.6g}]}}')
            out.write(line + "\n")


class Clock:
    """Wall and CPU time of this process since it was made."""

    def __init__(self) -> None:
        self.wall = time.perf_counter()
        self.cpu = time.process_time()

    def report(self, label: str, events: int, extra_cpu: float = 0.0) -> float:
        wall = time.perf_counter() - self.wall
        cpu = time.process_time() - self.cpu + extra_cpu
        print(f"  {label:<44s} {wall:7.2f} s {events / wall / 1000:7.1f} k events/s"
              f" {wall / events * 1e6:6.2f} us/event wall, {cpu / events * 1e6:6.2f} us/event CPU")
        return wall


def distributed_run(
    path: str, policy: CheckpointPolicy, workers: int, events: int, single: list[str]
) -> float:
    import distributed

    from fenmor_radar.distributed import replay

    clock = Clock()
    with distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster, direct_to_workers=True) as client:
        print(f"  cluster start-up {time.perf_counter() - clock.wall:.2f} s")
        before = client.run(time.process_time)
        clock = Clock()
        sharded = [item.checkpoint().json_line()  # type: ignore[union-attr]
                   for item in replay(path, SPEC, policy, client=client)]
        after = client.run(time.process_time)
        workers_cpu = sum(after[worker] - before[worker] for worker in after)
        seconds = clock.report("distributed replay (CPU: driver + workers)", events, workers_cpu)
        for worker in sorted(after):
            print(f"    worker {worker}: {(after[worker] - before[worker]) / events * 1e6:.2f} "
                  "us/event CPU")
    print(f"  identical to the single replay: {sharded == single} ({len(single)} checkpoints)")
    return seconds


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--events", type=int, default=2_000_000)
    parser.add_argument("--symbols", type=int, default=2_000)
    parser.add_argument("--workers", default="2,1", help="worker counts to run, e.g. 2,1")
    parser.add_argument("--every", type=int, default=100_000, help="checkpoint every N events")
    parser.add_argument("--seed", type=int, default=9)
    parser.add_argument("--keep", metavar="PATH", help="write the recording here, or reuse it")
    args = parser.parse_args(argv)
    worker_counts = [int(count) for count in args.workers.split(",")]

    path = args.keep or os.path.join(tempfile.mkdtemp(), "recording.jsonl")
    if not os.path.exists(path):
        started = time.perf_counter()
        write_recording(path, args.events, args.symbols, args.seed)
        print(f"wrote {path} in {time.perf_counter() - started:.1f} s")
    size = os.path.getsize(path)
    events = sum(1 for _ in read_events(path))
    policy = CheckpointPolicy(every_events=args.every)
    print(f"{events:,} events, {size / events:.0f} bytes per line, {args.symbols:,} symbols, "
          f"checkpoint every {args.every:,}; {os.cpu_count()} processors")

    print("one process:")
    clock = Clock()
    single = [c.json_line() for c in single_replay(Radar(SPEC), read_events(path), policy)
              if isinstance(c, Checkpoint)]
    single_seconds = clock.report("single replay (read, parse, feed, alerts)", events)

    print("the driver's share of a distributed replay:")
    clock = Clock()
    for _ in read_events(path):
        pass
    clock.report("reading the lines", events)
    clock = Clock()
    payload_bytes = 0
    for chunk in read_chunks([(path, read_events(path))], ShardRouter(worker_counts[0])):
        assert isinstance(chunk, Chunk)
        payload_bytes += sum(len(pile.payload().joined) for pile in chunk.piles)
    clock.report(f"reading, routing to {worker_counts[0]} shards, packing", events)
    print(f"  {payload_bytes / events:.0f} bytes of text per event go to a shard")

    print("one shard's share, in this process (all lines on one shard, reading excluded):")
    chunks = [chunk for chunk in read_chunks([(path, read_events(path))], ShardRouter(1))]
    payloads = [chunk.piles[0].payload() for chunk in chunks]  # type: ignore[union-attr]
    shard = Shard((SPEC,), None)
    clock = Clock()
    plan = None
    for round_number, (chunk, payload) in enumerate(zip(chunks, payloads, strict=True)):
        shard.step(round_number, plan, payload)
        plan = FeedPlan((), chunk.end)  # type: ignore[union-attr]
    shard.step(len(chunks), plan, None)
    clock.report("judging and feeding", events)
    shard.close()
    del chunks, payloads

    for workers in worker_counts:
        print(f"distributed, local cluster of {workers} worker process(es), one shard each:")
        sharded_seconds = distributed_run(path, policy, workers, events, single)
        print(f"  speed-up {single_seconds / sharded_seconds:.2f}x (cluster start-up not counted); "
              f"load average {os.getloadavg()[0]:.1f}")
    if not args.keep:
        os.remove(path)


if __name__ == "__main__":
    main(sys.argv[1:])
