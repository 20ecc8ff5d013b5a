"""A replay of 6,000,000 events over 2,000 symbols in 4 files: one process against a Dask cluster.

Run after `pip install '.[distributed]'`:

    python3 benchmarks/bench_distributed.py
    python3 benchmarks/bench_distributed.py --events 400000 --workers 2   # a quick look

The recording (seeded, realistic events from `workload.py`, in ts order
across symbols, 4 plain files) is written once and kept under
benchmarks/.cache. Then, in one run, on the same files:

1. the single-process replay (the native replay of `fenmor-radar replay`),
   run as a child process, reading lines on every processor, and again on
   one thread (`FENMOR_RADAR_WORKERS=1`), as each Dask worker runs;
2. for each worker count, a `LocalCluster` of that many single-threaded
   worker processes, started before timing (a real cluster is long-lived),
   and the distributed replay run as a child process that reaches it by its
   address, as `--scheduler` does.

Each replay writes its checkpoints to a file; the distributed ones are
compared byte for byte with the single one. Reported: wall time, the
driver's CPU time (the child's own process time over the replay) against
the single replay's CPU time, and the workers' CPU time per event. The
driver imports Dask before its clock starts (a program's start, not the
replay's), and so does fsspec; connecting to the scheduler is timed.
Every run is repeated (``--rounds``, interleaved, so that a burst of other
work on a shared machine hits one round, not one kind of run); the fastest
round of each is shown, and "identical" holds for every round. Then, in
this process, what a shard spends on a line of another shard against a line of its own,
which decides between re-reading every part on every shard and
partitioning the input once (docs/distributed.md). Figures
are printed, never asserted: the machine is shared and noisy. Targets: two
workers at least 1.6 times as fast as one process; the driver's CPU under 5 %
of the single replay's.
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


def child(argv: list[str]) -> None:
    """One replay in this process: ``--child single|distributed ADDRESS EVERY OUT FILES...``."""
    from fenmor_radar.replay import CheckpointPolicy, CheckpointReplies, replay_files

    kind, address, every, out, *files = argv
    policy = CheckpointPolicy(every=int(every))
    if kind != "single":
        import distributed  # noqa: F401  (the program's start, not the replay's)
        import fsspec  # noqa: F401  (likewise: its import reads every installed entry point)

        from fenmor_radar.distributed import MergedCheckpoint, replay
    wall, cpu = time.perf_counter(), time.process_time()
    with open(out, "w", encoding="utf-8") as sink:
        if kind == "single":
            for item in replay_files(files, SPEC, policy):
                if isinstance(item, CheckpointReplies):
                    sink.write(item.checkpoint().json_line() + "\n")
        else:
            for merged in replay(files, SPEC, policy, scheduler=address):
                if isinstance(merged, MergedCheckpoint):
                    sink.write(merged.checkpoint().json_line() + "\n")
    print(json.dumps({"wall": time.perf_counter() - wall, "cpu": time.process_time() - cpu}))


def skip_cost(path: Path, shards: int) -> tuple[float, float]:
    """CPU seconds per line for a shard reader: feeding every line, and keeping 1 in ``shards``."""
    from fenmor_radar.distributed.global_plan import Cut
    from fenmor_radar.distributed.parts import Part
    from fenmor_radar.distributed.shard import NativeShardReader, ShardJob

    figures = []
    for count in (1, shards):
        reader = NativeShardReader(ShardJob((Part(str(path), 0),), 0, count, (SPEC,), None, 1 << 18))
        cpu = time.process_time()
        lines = units = 0
        while (report := reader.step([], units - 1 if units else None, read=True)[1]) is not None:
            lines += report.lines
            units += 1
        reader.finish(Cut(units, 0))
        figures.append((time.process_time() - cpu) / lines)
    return figures[0], figures[1]


def run_child(design: str, address: str, every: int, out: str, files: list[Path],
              threads: int | None = None) -> dict[str, float]:
    command = [sys.executable, __file__, "--child", design, address, str(every), out,
               *map(str, files)]
    env = dict(os.environ)
    if threads is not None:
        env["FENMOR_RADAR_WORKERS"] = str(threads)
    result = subprocess.run(command, capture_output=True, text=True, check=False, env=env)
    if result.returncode != 0:
        raise RuntimeError(f"{design} replay failed:\n{result.stderr[-3000:]}")
    figures: dict[str, float] = json.loads(result.stdout.strip().splitlines()[-1])
    return figures


def distributed_run(workers: int, every: int, out: str, files: list[Path]) -> dict[str, float]:
    import distributed

    with distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as client:
        before = client.run(time.process_time)
        figures = run_child("distributed", cluster.scheduler_address, every, out, files)
        after = client.run(time.process_time)
    figures["workers_cpu"] = sum(after[worker] - before[worker] for worker in after)
    return figures


def main(argv: list[str]) -> None:
    if argv[:1] == ["--child"]:
        child(argv[1:])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--events", type=int, default=6_000_000)
    parser.add_argument("--symbols", type=int, default=2_000)
    parser.add_argument("--workers", default="1,2", help="worker counts to run, e.g. 1,2")
    parser.add_argument("--every", type=int, default=100_000, help="checkpoint every N events")
    parser.add_argument("--seed", type=int, default=13)
    parser.add_argument("--skip-shards", type=int, default=64,
                        help="the shard count at which to measure a line's skip cost")
    parser.add_argument("--rounds", type=int, default=3,
                        help="rounds of every run, interleaved; the fastest of each is shown")
    args = parser.parse_args(argv)

    files = recording(args.events, args.symbols, args.seed)
    size = sum(path.stat().st_size for path in files)
    print(f"{args.events:,} events in {FILES} files ({size / args.events:.0f} bytes per line), "
          f"{args.symbols:,} symbols, a checkpoint every {args.every:,}; "
          f"{os.cpu_count()} processors, load average {os.getloadavg()[0]:.1f}")
    counts = [int(count) for count in args.workers.split(",")]
    # By worker count; 0 for the single replay (lines read on every
    # processor), -1 for the single replay on one thread, as a Dask worker is.
    best: dict[int, dict[str, float]] = {}
    identical: dict[int, bool] = {}
    with tempfile.TemporaryDirectory() as scratch:
        single_out = os.path.join(scratch, "single.jsonl")
        one_out = os.path.join(scratch, "one-thread.jsonl")
        for _ in range(args.rounds):
            runs = [(0, run_child("single", "", args.every, single_out, files), True)]
            one = run_child("single", "", args.every, one_out, files, threads=1)
            runs.append((-1, one, filecmp.cmp(single_out, one_out, shallow=False)))
            for workers in counts:
                out = os.path.join(scratch, f"workers-{workers}.jsonl")
                figures = distributed_run(workers, args.every, out, files)
                runs.append((workers, figures, filecmp.cmp(single_out, out, shallow=False)))
            for key, figures, same in runs:
                if key not in best or figures["wall"] < best[key]["wall"]:
                    best[key] = figures
                identical[key] = identical.get(key, True) and same
    single = best[0]
    rows = [("single replay", single, None, True),
            ("single, 1 thread", best[-1], None, identical[-1])]
    rows += [(f"{workers} worker(s)", best[workers], best[workers]["workers_cpu"],
              identical[workers]) for workers in counts]
    one_thread = best[-1]
    print(f"{'run':<16} {'wall s':>7} {'speed-up':>8} {'vs 1 thread':>11} {'driver CPU s':>12} "
          f"{'% of single':>11} {'worker CPU us/event':>19}  identical")
    for label, figures, workers_cpu, same in rows:
        worker_text = "-" if workers_cpu is None else f"{workers_cpu / args.events * 1e6:.2f}"
        print(f"{label:<16} {figures['wall']:7.2f} {single['wall'] / figures['wall']:7.2f}x "
              f"{one_thread['wall'] / figures['wall']:10.2f}x "
              f"{figures['cpu']:12.2f} {figures['cpu'] / single['cpu'] * 100:10.1f}% "
              f"{worker_text:>19}  {same}")
    print(f"load average after the run {os.getloadavg()[0]:.1f}")
    fed, kept = skip_cost(files[0], args.skip_shards)
    skipped = (kept - fed / args.skip_shards) / (1 - 1 / args.skip_shards)
    print(f"shard reader, one file: {fed * 1e6:.2f} us CPU per line fed, "
          f"{skipped * 1e6:.3f} us per line skipped (other shards'), "
          f"{size / args.events:.0f} bytes per line; load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main(sys.argv[1:])
