"""B9: Parquet recordings against JSON lines, on B6's workload.

    python3 benchmarks/bench_parquet.py                 # 2,000,000 events over 2,000 symbols
    python3 benchmarks/bench_parquet.py --events 200000 --rounds 1

The same events as B6 (benchmarks/run.py): the recording as plain and gzip
JSON lines, converted to Parquet by `fenmor-radar convert`. Measured in one
run, candidates taking turns: the file sizes; `fenmor-radar replay` of the
Parquet file against the plain JSON-lines file; both against the engine's own
"feed_batch" rate (the same events in batches of up to 1,000 per symbol, in
process); and for a one-symbol query (`--symbols X`), the bytes of the row
groups and columns it reads against the file's size, in input order and
clustered by symbol (`convert --cluster-symbols`). And the floors of a
Parquet replay, in the same run: `replay` of a one-row Parquet file (the
interpreter's start and the imports) and pyarrow's decoding of the whole file
alone, in process. Timings are reported, never asserted.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import run as suite  # noqa: E402
import workload  # noqa: E402

from fenmor_radar import Radar  # noqa: E402
from fenmor_radar.replay import CheckpointPolicy, replay_files  # noqa: E402


def convert(source: Path, target: Path, *options: str) -> float:
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "fenmor_radar", "convert", "-q", str(source), "-o", str(target),
                    *options], check=True)
    return time.perf_counter() - started


def query_bytes(path: Path, symbol: str) -> int:
    """Compressed bytes of the column chunks a one-symbol replay reads."""
    from fenmor_radar.columnar.recording import ParquetRecording
    from fenmor_radar.columnar.selection import Selection

    return ParquetRecording(str(path), Selection.of([symbol])).bytes_to_read()


def write_first_row(source: Path, target: Path) -> None:
    import pyarrow.parquet as pq

    with pq.ParquetFile(source) as file:
        pq.write_table(file.read_row_group(0).slice(0, 1), target)


def decode(path: Path) -> None:
    """The whole file decoded into the batches a replay feeds, and nothing fed."""
    from fenmor_radar.columnar.recording import ParquetRecording

    suite.consume(ParquetRecording(str(path)).batches())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=2_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="fenmor-b8-") as work:
        directory = Path(work)
        suite.progress(f"B9: {args.events:,} events over {suite.B6_SYMBOLS:,} symbols")
        plain, packed, batches = suite.b6_recording(directory, args.events, args.seed + 6)
        parquet = directory / "events.parquet"
        convert_seconds = convert(plain, parquet)
        clustered = directory / "clustered.parquet"
        cluster_seconds = convert(plain, clustered, "--cluster-symbols")
        one_row = directory / "one-row.parquet"
        write_first_row(parquet, one_row)
        spec = directory / "spec.json"
        spec.write_text(workload.spec_text(0.1))
        spec_text = spec.read_text()

        def engine() -> None:
            radar = Radar(spec_text)
            for text in batches:
                if radar.command(text) != suite.OK:
                    raise SystemExit("B9: a feed_batch failed")
            radar.command(suite.ALERTS)

        same = [subprocess.run([sys.executable, "-m", "fenmor_radar", "replay", "--spec", str(spec), "-q",
                                "--no-progress", "--every", "100000", "--format", "json", str(path)],
                               capture_output=True, check=True).stdout for path in (plain, parquet, clustered)]
        times = suite.timed({
            "(a) engine, feed_batch of up to 1,000": engine,
            "(b) replay, plain JSON lines": lambda: suite.b6_replay([spec], plain),
            "(c) replay, gzip JSON lines": lambda: suite.b6_replay([spec], packed),
            "(d) replay, Parquet": lambda: suite.b6_replay([spec], parquet),
            "(g) replay, Parquet clustered by symbol": lambda: suite.b6_replay([spec], clustered),
            "(h) replay, a one-row Parquet file": lambda: suite.b6_replay([spec], one_row),
            "(i) decoding the Parquet file alone, in process": lambda: decode(parquet),
            # In process, as (a) is: without the interpreter's start and imports.
            "(e) replay_files, Parquet, in process": lambda: suite.consume(
                replay_files([str(parquet)], [spec_text], CheckpointPolicy(every=100_000))),
            "(f) replay_files, plain JSON lines, in process": lambda: suite.consume(
                replay_files([str(plain)], [spec_text], CheckpointPolicy(every=100_000))),
        }, args.rounds)
        symbol = workload.symbols(suite.B6_SYMBOLS, __import__("random").Random(args.seed + 6))[0]
        sizes = {"plain": plain.stat().st_size, "gzip": packed.stat().st_size, "parquet": parquet.stat().st_size,
                 "clustered": clustered.stat().st_size}
        read = query_bytes(parquet, symbol)
        read_clustered = query_bytes(clustered, symbol)
    rate = {name: args.events / seconds for name, seconds in times.items()}
    print(f"\nB9  {args.events:,} events, {suite.B6_SYMBOLS:,} symbols, {os.cpu_count()} processors, "
          f"median of {args.rounds}")
    print(f"outputs of the plain, Parquet and clustered replays identical: {same[0] == same[1] == same[2]}")
    print(f"convert plain JSON lines -> Parquet: {convert_seconds:.1f} s, clustered: {cluster_seconds:.1f} s")
    for name, size in sizes.items():
        print(f"  {name:<8} {size / 1e6:10.1f} MB")
    for name, value in rate.items():
        per_event = "" if name.startswith("(h)") else f"{value:12,.0f} events/s"  # (h) holds one event
        print(f"  {name:<50} {per_event:>21}  {times[name]:7.3f} s")
    targets = [
        ("Parquet size / gzip JSON lines", sizes["parquet"] / sizes["gzip"], "<= 0.8", lambda r: r <= 0.8),
        ("clustered Parquet size / gzip JSON lines", sizes["clustered"] / sizes["gzip"], "<= 0.8",
         lambda r: r <= 0.8),
        ("replay Parquet / plain JSON lines (d/b)", rate["(d) replay, Parquet"] / rate["(b) replay, plain JSON lines"],
         ">= 3", lambda r: r >= 3),
        ("replay Parquet / engine feed_batch (d/a)",
         rate["(d) replay, Parquet"] / rate["(a) engine, feed_batch of up to 1,000"], ">= 1.5", lambda r: r >= 1.5),
        ("in process: Parquet / plain JSON lines (e/f)",
         rate["(e) replay_files, Parquet, in process"] / rate["(f) replay_files, plain JSON lines, in process"],
         ">= 3", lambda r: r >= 3),
        ("in process: Parquet / engine feed_batch (e/a)",
         rate["(e) replay_files, Parquet, in process"] / rate["(a) engine, feed_batch of up to 1,000"],
         ">= 1.5", lambda r: r >= 1.5),
        (f"one-symbol query ({symbol}) bytes read / file", read / sizes["parquet"], "<= 0.1", lambda r: r <= 0.1),
        ("the same, clustered file", read_clustered / sizes["clustered"], "<= 0.1", lambda r: r <= 0.1),
        ("replay clustered / Parquet in input order (g/d)",
         rate["(g) replay, Parquet clustered by symbol"] / rate["(d) replay, Parquet"], "", lambda r: True),
    ]
    for what, ratio, target, met in targets:
        print(f"  {what:<48} {ratio:6.2f}  target {target:<7} {'met' if met(ratio) else 'NOT met'}")
    # A replay of the file cannot take less than its start and imports plus
    # its decoding spread over every processor (pyarrow decodes on one).
    start = times["(h) replay, a one-row Parquet file"]
    decoding = times["(i) decoding the Parquet file alone, in process"]
    floor = start + decoding / (os.cpu_count() or 1)
    print(f"floors: start and imports {start:.3f} s, decoding {decoding:.3f} s; a Parquet replay takes at least "
          f"{floor:.3f} s, so at most {args.events / floor:,.0f} events/s")
    for what, seconds in (("3 x (b)", times["(b) replay, plain JSON lines"] / 3),
                          ("1.5 x (a)", times["(a) engine, feed_batch of up to 1,000"] / 1.5)):
        print(f"  {what} needs a replay of {seconds:.3f} s: {'within' if seconds >= floor else 'below'} the floor")


if __name__ == "__main__":
    main()
