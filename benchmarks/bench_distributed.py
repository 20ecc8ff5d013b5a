"""A replay of 6,000,000 events over 2,000 symbols in 4 files: one process against Dask clusters.

Run after `pip install '.[distributed]'`:

    python3 benchmarks/bench_distributed.py
    python3 benchmarks/bench_distributed.py --events 400000 --shards 1,2 --rounds 1  # a quick look
    python3 benchmarks/bench_distributed.py --parquet   # the same events as 4 Parquet files
    python3 benchmarks/bench_distributed.py --dask-defaults  # clusters as Dask configures them

The recording (seeded, realistic events from `workload.py`, in ts order
across symbols, 4 plain files) is written once and kept under
benchmarks/.cache. Then, in one run, on the same files:

1. the single replay (the native replay of `fenmor-radar replay`), run as a
   child process, reading lines on every processor, and on one thread
   (`FENMOR_RADAR_WORKERS=1`), as each Dask worker runs; with one spec, and
   on one thread with ``--specs`` specs;
2. for each S of ``--shards``, a `LocalCluster` of S single-threaded worker
   processes configured as `--workers` starts one (``--dask-defaults``:
   with Dask's default configuration), started before timing (a real
   cluster is long-lived), and the distributed replay run as a child
   process that reaches it by its address, as `--scheduler` does: split by
   symbol with the one spec, and split by spec with the ``--specs`` specs.

3. for each S, on a fresh cluster the same way, Dask alone: stand-ins for
   the readers and shards (`StandInReader`, `StandInShard`) that make the
   same actors, requests and packets (32 bytes an event, three requests in
   flight, one alerts reply per checkpoint) with nothing read or applied. Its
   CPU per event, added to the native work per event measured in this
   process (`reader_costs`), is what the exchange costs at least with Dask
   moving the events: a floor for the targets below.

Each replay writes its checkpoints to a file; the distributed ones are
compared byte for byte with the single ones. The cluster's CPU is every
worker's process time over the run plus the driver's; the driver imports
Dask and fsspec before its clock starts (a program's start), and its CPU
beyond what it spends on a one-line input (connecting, starting the
actors) is shown against the cluster's. What idle workers spend (Dask's
heartbeats and sampling profiler, a few per cent of a core each, measured
on the same cluster just before the run) grows with the number of workers
times the wall time, which on two cores grows with S too: the cluster's CPU
beyond it is shown beside the whole. Bytes read are counted by the
readers themselves, in this process, over every part. Every run is
repeated (``--rounds``, interleaved); the fastest round of each is shown,
and "identical" holds for every round. Figures are printed, never asserted:
the machine is shared and noisy. Targets (docs/distributed.md): cluster CPU
per event at S = 2, 4, 8 at most 1.3 times the single one-thread replay's,
growing at most 10 % from S = 2 to 8; bytes read at most 1.05 times the
input; the driver's CPU beyond a one-line input under 2 % of the cluster's;
two workers at least 0.9 times the single replay on both cores; split by
spec, CPU per event and spec at S = 2 and 4 within 1.2 times S = 1.

With ``--parquet`` every replay (the single ones too) reads the same events
from 4 Parquet files instead, converted once with `fenmor-radar convert`
and kept beside the JSON-lines files; bytes read are then the Parquet
files'.
"""

from __future__ import annotations

import argparse
import filecmp
import heapq
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload  # noqa: E402

SPEC = workload.spec_text(0.25, limit=10)
CACHE = Path(__file__).resolve().parent / ".cache"
FILES = 4
IDLE_SECONDS = 3.0


def write_recording(directory: Path, events: int, symbols: int, seed: int) -> list[Path]:
    """Markets stepping in ts order (the market with the oldest clock next), in FILES files."""
    import random

    rng = random.Random(seed)
    pool = workload.markets(symbols, rng)
    heap = [(market.ts, k) for k, (_, market) in enumerate(pool)]
    heapq.heapify(heap)
    paths = [directory / f"part-{k}.jsonl" for k in range(FILES)]
    per_file = -(-events // FILES)
    written = 0
    for path in paths:
        with open(path.with_suffix(".tmp"), "w", encoding="utf-8") as out:
            lines = []
            for _ in range(min(per_file, events - written)):
                _, k = heapq.heappop(heap)
                name, market = pool[k]
                lines.append(workload.dumps({"symbol": name, "event": market.event()}))
                heapq.heappush(heap, (market.ts, k))
                if len(lines) == 10_000:
                    out.write("\n".join(lines) + "\n")
                    lines = []
            if lines:
                out.write("\n".join(lines) + "\n")
            written += min(per_file, events - written)
        os.replace(path.with_suffix(".tmp"), path)
    return paths


def recording(events: int, symbols: int, seed: int) -> list[Path]:
    directory = CACHE / f"recording-{events}-{symbols}-{seed}"
    paths = [directory / f"part-{k}.jsonl" for k in range(FILES)]
    if all(path.exists() for path in paths):
        return paths
    directory.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    paths = write_recording(directory, events, symbols, seed)
    print(f"wrote {directory} in {time.perf_counter() - started:.0f} s")
    return paths


def parquet_recording(files: list[Path]) -> list[Path]:
    """The same events as Parquet files, one per JSON-lines file, converted once."""
    converted = [path.with_suffix(".parquet") for path in files]
    for source, target in zip(files, converted, strict=True):
        if not target.exists():
            partial = target.with_suffix(".tmp.parquet")
            subprocess.run([sys.executable, "-m", "fenmor_radar", "convert", str(source), "-o",
                            str(partial), "-q"], check=True)
            os.replace(partial, target)
    return converted


def one_row(files: list[Path], where: Path) -> Path:
    """The recording's first event alone, in the files' format."""
    if files[0].suffix == ".parquet":
        import pyarrow.parquet as pq

        target = where / "one.parquet"
        pq.write_table(pq.read_table(files[0]).slice(0, 1), target)
        return target
    target = where / "one.jsonl"
    target.write_bytes(files[0].read_bytes().split(b"\n", 1)[0] + b"\n")
    return target


def specs_of(count: int) -> list[str]:
    """``count`` specs: the benchmark's own first, then thresholds spread around it."""
    return [SPEC] + [workload.spec_text(0.1 + 0.03 * k, limit=10) for k in range(1, count)]


def child(argv: list[str]) -> None:
    """One replay in this process: ``--child single|symbols|specs ADDRESS SPECS EVERY OUT
    FILES...``."""
    from fenmor_radar.replay import CheckpointPolicy, CheckpointReplies, replay_files

    kind, address, count, every, out, *files = argv
    if kind == "dask":
        dask_alone(address, int(every), files)
        return
    specs = specs_of(int(count))
    policy = CheckpointPolicy(every=int(every))
    if kind != "single":
        import distributed  # noqa: F401  (the program's start, not the replay's)
        import fsspec  # noqa: F401  (likewise: its import reads every installed entry point)

        from fenmor_radar.distributed import replay
    wall, cpu = time.perf_counter(), time.process_time()
    with open(out, "w", encoding="utf-8") as sink:
        if kind == "single":
            items = replay_files(files, specs, policy)
        else:
            items = replay(files, specs, policy, scheduler=address, split=kind)
        for item in items:
            if isinstance(item, CheckpointReplies):
                for spec in range(len(specs)):
                    sink.write(item.checkpoint(spec).json_line() + "\n")
    print(json.dumps({"wall": time.perf_counter() - wall, "cpu": time.process_time() - cpu}))


# A unit's report and each checkpoint's alerts reply, as large as the replay's (10 alerts).
REPORT_BYTES = 200
REPLY_CHARS = 2_600
PACKET_BYTES_PER_EVENT = 32


class StandInReader:
    """A worker's reader without reading: each unit's packets are made once and handed out
    as the exchange hands them, so that what moving them costs is Dask's alone."""

    def __init__(self, shards: int, unit_events: int) -> None:
        size = unit_events * PACKET_BYTES_PER_EVENT // shards
        self.packets = [bytes([shard]) * size for shard in range(shards)]

    def next_unit(self, number: int) -> tuple[int, bytes]:
        return number, bytes(REPORT_BYTES)

    async def take(self, number: int, shard: int) -> bytes:
        return self.packets[shard]


class StandInShard:
    """A shard without applying: per request it fetches its packets from their readers (in
    place when the reader is on its worker, as ``cluster.PartsShard`` does), hands them to
    its actor thread, and answers one alerts reply per checkpoint."""

    def __init__(self, shard: int) -> None:
        self.shard = shard

    async def step(self, request: bytes) -> tuple[int, list[str]]:
        import asyncio
        import pickle

        import distributed

        call, fetch, checkpoints = pickle.loads(request)
        worker = distributed.get_worker()
        packets = []
        for reader, number in fetch:
            local = worker.state.actors.get(reader.key)
            if local is not None:
                packets.append(await local.take(number, self.shard))
            else:
                packets.append(await reader.take(number, self.shard))
        await asyncio.get_running_loop().run_in_executor(worker.executors["actor"], len, packets)
        return call, [f"{call:08d}{k:04d}" + "x" * REPLY_CHARS for k in range(checkpoints)]


def unit_sizes(files: list[str]) -> list[int]:
    """Events of every unit of the replay, in order (each line of the benchmark's files is
    an event; parts as the distributed replay plans them)."""
    from fenmor_radar.distributed.driver import UNIT_LINES
    from fenmor_radar.distributed.parts import plan_parts

    units = []
    for part in plan_parts(files):
        with open(part.source, "rb") as source:
            source.seek(part.start)
            lines = source.read((part.end or os.path.getsize(part.source)) - part.start).count(b"\n")
        units += [min(UNIT_LINES, lines - first) for first in range(0, lines, UNIT_LINES)]
    return units


def dask_alone(address: str, every: int, files: list[str]) -> None:
    """The exchange's calls and packets with nothing read or applied, on the cluster at
    ``address``: per unit, its reader is asked for it and every shard fetches its packet
    (the driver's requests in flight), as the replay by symbol does; prints wall and CPU."""
    import pickle
    from collections import deque

    import distributed

    from fenmor_radar.distributed.driver import REQUESTS_IN_FLIGHT

    units = unit_sizes(files)  # before the clock: no part of the exchange
    client = distributed.Client(address, direct_to_workers=True)
    workers = sorted(client.scheduler_info()["workers"])
    shards = len(workers)
    wall, cpu = time.perf_counter(), time.process_time()
    readers = [client.submit(StandInReader, shards, max(units), actor=True, workers=[worker],
                             pure=False).result() for worker in workers]
    shard_actors = [client.submit(StandInShard, k, actor=True, workers=[worker],
                                  pure=False).result() for k, worker in enumerate(workers)]
    in_flight: deque[list[object]] = deque()
    for number, events in enumerate(units):
        reader = readers[number % shards]
        reader.next_unit(number).result()
        request = pickle.dumps((number, ((reader, number),), max(events // every, 1)))
        in_flight.append([actor.step(request) for actor in shard_actors])
        if len(in_flight) == REQUESTS_IN_FLIGHT:
            for call in in_flight.popleft():
                call.result()
    while in_flight:
        for call in in_flight.popleft():
            call.result()
    client.close()
    print(json.dumps({"wall": time.perf_counter() - wall, "cpu": time.process_time() - cpu}))


def reader_costs(files: list[Path], shards: int) -> dict[str, float]:
    """In this process, over every part: bytes the readers read, packet bytes sent, and CPU
    seconds of reading and packing, and of keeping the packets and applying them (all
    shards together), per event."""
    from fenmor_radar.distributed.driver import UNIT_LINES
    from fenmor_radar.distributed.exchange import PartReader
    from fenmor_radar.distributed.global_plan import Cut
    from fenmor_radar.distributed.parts import plan_parts
    from fenmor_radar.distributed.shard import NativeShardReader, ShardJob

    parts = tuple(plan_parts([str(path) for path in files]))
    job = ShardJob(parts, 0, shards, (SPEC,), None, UNIT_LINES)
    reader = PartReader(job)
    shard_readers = [NativeShardReader(ShardJob(parts, k, shards, (SPEC,), None, UNIT_LINES))
                     for k in range(shards)]
    events = sent = units = 0
    read_cpu = apply_cpu = 0.0
    for index, part in enumerate(parts):
        number, ended = 0, False
        while not ended:
            cpu = time.process_time()
            report, _, ended = reader.next_unit(index, part, number)
            read_cpu += time.process_time() - cpu
            events += report.events
            cpu = time.process_time()
            for k, shard_reader in enumerate(shard_readers):
                packet = reader.take(index, number, k)
                sent += len(packet)
                shard_reader.add_units([packet])
                shard_reader.step([], units, read=False)
            apply_cpu += time.process_time() - cpu
            number += 1
            units += 1
    for shard_reader in shard_readers:
        shard_reader.finish(Cut(units, 0))
    return {"events": events, "read_bytes": reader.bytes_read, "sent_bytes": sent,
            "read_cpu": read_cpu / events, "apply_cpu": apply_cpu / events}


def run_child(design: str, address: str, specs: int, every: int, out: str, files: list[Path],
              threads: int | None = None) -> dict[str, float]:
    command = [sys.executable, __file__, "--child", design, address, str(specs), str(every), out,
               *map(str, files)]
    env = dict(os.environ)
    if threads is not None:
        env["FENMOR_RADAR_WORKERS"] = str(threads)
    result = subprocess.run(command, capture_output=True, text=True, check=False, env=env)
    if result.returncode != 0:
        raise RuntimeError(f"{design} replay failed:\n{result.stderr[-3000:]}")
    figures: dict[str, float] = json.loads(result.stdout.strip().splitlines()[-1])
    return figures


def distributed_run(workers: int, split: str, specs: int, every: int, out: str,
                    files: list[Path], one_line: Path, dask_defaults: bool) -> dict[str, float]:
    """The replay on a fresh cluster of ``workers``, configured as ``--workers`` starts one
    (or with Dask's defaults); ``cluster`` is its CPU (workers and driver), ``driver_fixed``
    the driver's CPU on a one-line input on the same cluster."""
    import distributed

    from fenmor_radar.distributed.cluster import start_local_cluster

    if dask_defaults:
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                           processes=True, dashboard_address=":0")
    else:
        cluster = start_local_cluster(workers)
    with cluster, distributed.Client(cluster) as client:
        fixed = {"cpu": 0.0}
        if split != "dask":  # Dask alone has no fixed part of its own to tell apart
            fixed = run_child(split, cluster.scheduler_address, specs, every, out + ".one",
                              [one_line])
        # What the idle workers spend (heartbeats, Dask's sampling profiler), per second.
        idle_from = client.run(time.process_time)
        time.sleep(IDLE_SECONDS)
        before = client.run(time.process_time)
        figures = run_child(split, cluster.scheduler_address, specs, every, out, files)
        after = client.run(time.process_time)
    figures["workers_cpu"] = sum(after[worker] - before[worker] for worker in after)
    figures["cluster"] = figures["workers_cpu"] + figures["cpu"]
    figures["driver_fixed"] = fixed["cpu"]
    idle = sum(before[worker] - idle_from[worker] for worker in before) / IDLE_SECONDS
    figures["idle"] = idle * figures["wall"]
    return figures


def main(argv: list[str]) -> None:
    if argv[:1] == ["--child"]:
        child(argv[1:])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--events", type=int, default=6_000_000)
    parser.add_argument("--symbols", type=int, default=2_000)
    parser.add_argument("--shards", default="1,2,4,8", help="cluster sizes to run, e.g. 1,2")
    parser.add_argument("--specs", type=int, default=16, help="specs of the split by spec")
    parser.add_argument("--every", type=int, default=100_000, help="checkpoint every N events")
    parser.add_argument("--seed", type=int, default=13)
    parser.add_argument("--rounds", type=int, default=2,
                        help="rounds of every run, interleaved; the fastest of each is shown")
    parser.add_argument("--parquet", action="store_true",
                        help="read the same events from Parquet files (needs the parquet extra)")
    parser.add_argument("--dask-defaults", action="store_true",
                        help="start the clusters with Dask's default configuration instead of "
                             "the one --workers starts its cluster with")
    args = parser.parse_args(argv)

    files = recording(args.events, args.symbols, args.seed)
    if args.parquet:
        files = parquet_recording(files)
    size = sum(path.stat().st_size for path in files)
    events = args.events
    print(f"{events:,} events in {FILES} {'Parquet' if args.parquet else 'JSON-lines'} files "
          f"({size / events:.0f} bytes per event), "
          f"{args.symbols:,} symbols, a checkpoint every {args.every:,}; "
          f"{os.cpu_count()} processors, load average {os.getloadavg()[0]:.1f}; clusters "
          f"{'with Dask defaults' if args.dask_defaults else 'configured as --workers starts one'}")
    counts = [int(count) for count in args.shards.split(",")]
    # Keyed by (kind, S): ("single", 0) on every processor, ("single", 1) on one thread,
    # ("many", 1) on one thread with every spec; ("symbols", S), ("specs", S).
    best: dict[tuple[str, int], dict[str, float]] = {}
    identical: dict[tuple[str, int], bool] = {}
    with tempfile.TemporaryDirectory() as scratch:
        one_line = one_row(files, Path(scratch))
        single_out = os.path.join(scratch, "single.jsonl")
        many_out = os.path.join(scratch, "many.jsonl")
        for _ in range(args.rounds):
            runs = [(("single", 0), run_child("single", "", 1, args.every, single_out, files),
                     True)]
            out = os.path.join(scratch, "one-thread.jsonl")
            runs.append((("single", 1), run_child("single", "", 1, args.every, out, files, 1),
                         filecmp.cmp(single_out, out, shallow=False)))
            runs.append((("many", 1), run_child("single", "", args.specs, args.every, many_out,
                                                files, 1), True))
            for split, specs, want in (("symbols", 1, single_out),
                                       ("specs", args.specs, many_out)):
                for shards in counts:
                    out = os.path.join(scratch, f"{split}-{shards}.jsonl")
                    figures = distributed_run(shards, split, specs, args.every, out, files,
                                              one_line, args.dask_defaults)
                    runs.append(((split, shards), figures, filecmp.cmp(want, out, shallow=False)))
            if not args.parquet:  # the stand-ins count the lines of plain files
                for shards in counts:
                    figures = distributed_run(shards, "dask", 1, args.every, "", files, one_line,
                                              args.dask_defaults)
                    runs.append((("dask", shards), figures, True))
            for key, figures, same in runs:
                if key not in best or figures["wall"] < best[key]["wall"]:
                    best[key] = figures
                identical[key] = identical.get(key, True) and same
    one = best[("single", 1)]["cpu"] / events
    many = best[("many", 1)]["cpu"] / events / args.specs
    print(f"single replay: {best[('single', 0)]['wall']:.2f} s on every processor; on one "
          f"thread {best[('single', 1)]['wall']:.2f} s, {one * 1e6:.3f} us CPU per event; with "
          f"{args.specs} specs {many * 1e6:.3f} us per event and spec")
    print(f"{'split':<8} {'S':>2} {'wall s':>7} {'cluster CPU us/event':>20} {'vs 1 thread':>11} "
          f"{'beyond idle':>11} {'vs 1 thread':>11} {'driver beyond 1 line':>20}  identical")
    for split, specs, reference in (("symbols", 1, one), ("specs", args.specs, many)):
        for shards in counts:
            figures = best[(split, shards)]
            per = figures["cluster"] / events / specs
            busy = (figures["cluster"] - figures["idle"]) / events / specs
            beyond = (figures["cpu"] - figures["driver_fixed"]) / figures["cluster"]
            print(f"{split:<8} {shards:>2} {figures['wall']:7.2f} {per * 1e6:20.3f} "
                  f"{per / reference:10.2f}x {busy * 1e6:11.3f} {busy / reference:10.2f}x "
                  f"{beyond * 100:19.2f}%  {identical[(split, shards)]}")
    if 2 in counts:
        print(f"2 workers by symbol: {best[('single', 0)]['wall'] / best[('symbols', 2)]['wall']:.2f}"
              " x the speed of the single replay on every processor")
    for split in ("symbols", "specs"):
        low, high = (2 if 2 in counts else min(counts)), max(counts)
        if low != high:
            growth = best[(split, high)]["cluster"] / best[(split, low)]["cluster"]
            print(f"by {split}: cluster CPU at S = {high} is {growth:.2f} x S = {low}'s")
    print(f"load average after the runs {os.getloadavg()[0]:.1f}")
    costs = reader_costs(files, 8)
    print(f"readers, in this process: {costs['read_bytes'] / size:.4f} x the input's bytes read "
          f"({costs['read_bytes'] / costs['events']:.1f} per event); packets "
          f"{costs['sent_bytes'] / costs['events']:.1f} bytes per event; reading and packing "
          f"{costs['read_cpu'] * 1e6:.3f} us CPU per event, keeping and applying (8 shards) "
          f"{costs['apply_cpu'] * 1e6:.3f} us")
    if ("dask", counts[0]) in best:
        native = costs["read_cpu"] + costs["apply_cpu"]
        print("Dask alone (the same actors, requests and packets, nothing read or applied), "
              "and with the native work above added, against the single one-thread replay:")
        for shards in counts:
            figures = best[("dask", shards)]
            per = figures["cluster"] / events
            print(f"  S = {shards}: {per * 1e6:.3f} us CPU per event (beyond idle "
                  f"{(figures['cluster'] - figures['idle']) / events * 1e6:.3f}); with the native "
                  f"work {(per + native) * 1e6:.3f} us, {(per + native) / one:.2f} x")


if __name__ == "__main__":
    main(sys.argv[1:])
