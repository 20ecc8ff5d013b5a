"""Conversion speed of vendor CSV files into a recording, in rows per second.

Writes a day-like set of files (derivative ticker, 25-level book snapshots,
quotes, liquidations; gzip, as the vendor ships them) into a temporary folder,
then measures in the same run:

- ``convert``: the whole conversion (read, decompress, parse, merge, write
  JSON lines) with the native converter, the figure the target (300,000
  rows/s) is about;
- ``csv parse``: the standard library's CSV reader alone over the same files,
  the lower bound of any stdlib-based conversion;
- ``pyarrow parse``: pyarrow's streaming CSV reader alone, when installed.

Each is reported in rows per CPU second of this process (the machine is
shared), and the conversion as a ratio to each parse measured in the same run.

Usage: python benchmarks/bench_convert.py [--rows N]
"""

from __future__ import annotations

import argparse
import csv
import gzip
import io
import os
import random
import tempfile
import time
from collections.abc import Callable

from fenmor_radar.feeds.convert import TardisConverter


def write_files(folder: str, rows: int) -> list[str]:
    rng = random.Random(7)
    start = 1_700_000_000_000_000
    paths = []

    def write(name: str, header: list[str], make: Callable[[int], list[object]], count: int) -> None:
        path = os.path.join(folder, name)
        with gzip.open(path, "wt", newline="", compresslevel=1) as file:
            out = csv.writer(file, lineterminator="\n")
            out.writerow(header)
            for i in range(count):
                out.writerow(make(i))
        paths.append(path)

    base = ["exchange", "symbol", "timestamp", "local_timestamp"]

    def ticker(i: int) -> list[object]:
        ts = start + i * 250_000
        return ["binance-futures", "BTCUSDT", ts, ts + 900, "", f"{rng.uniform(-3, 3) * 1e-4:.8f}",
                "", round(80_000 + rng.random() * 100, 3), 64000.1, 64000.2, round(64000 + rng.random(), 2)]

    book_header = base.copy()
    for level in range(25):
        book_header += [f"asks[{level}].price", f"asks[{level}].amount",
                        f"bids[{level}].price", f"bids[{level}].amount"]

    def book(i: int) -> list[object]:
        ts = start + i * 100_000
        mid = 64000 + (i % 100) * 0.1
        row: list[object] = ["binance-futures", "ETHUSDT", ts, ts + 700]
        for level in range(25):
            row += [round(mid + 0.1 * (level + 1), 1), round(rng.random() * 5, 3),
                    round(mid - 0.1 * (level + 1), 1), round(rng.random() * 5, 3)]
        return row

    def quote(i: int) -> list[object]:
        ts = start + i * 50_000
        return ["binance-futures", "SOLUSDT", ts, ts + 500, round(rng.random() * 50, 2), 150.12, 150.11,
                round(rng.random() * 50, 2)]

    def liquidation(i: int) -> list[object]:
        ts = start + i * 2_000_000
        return ["binance-futures", "BTCUSDT", ts, ts + 800, "", rng.choice(("buy", "sell")), 64000.5,
                round(rng.random(), 3)]

    share = rows // 10
    write("binance-futures_derivative_ticker_BTCUSDT.csv.gz",
          base + ["funding_timestamp", "funding_rate", "predicted_funding_rate", "open_interest",
                  "last_price", "index_price", "mark_price"], ticker, 3 * share)
    write("binance-futures_book_snapshot_25_ETHUSDT.csv.gz", book_header, book, 3 * share)
    write("binance-futures_quotes_SOLUSDT.csv.gz",
          base + ["ask_amount", "ask_price", "bid_price", "bid_amount"], quote, 3 * share)
    write("binance-futures_liquidations_BTCUSDT.csv.gz",
          base + ["id", "side", "price", "amount"], liquidation, rows - 9 * share)
    return paths


def timed(run: Callable[[list[str]], int], paths: list[str]) -> tuple[int, float, float]:
    """Rows, wall seconds and CPU seconds of this process (less skewed on a busy machine)."""
    started, cpu_started = time.perf_counter(), time.process_time()
    count = run(paths)
    return count, time.perf_counter() - started, time.process_time() - cpu_started


def convert(paths: list[str]) -> int:
    converter = TardisConverter(paths)
    sink = io.BytesIO()
    for block in converter.blocks():
        sink.write(block)
    return converter.stats.rows + converter.stats.bad_rows


def csv_parse(paths: list[str]) -> int:
    count = 0
    for path in paths:
        with gzip.open(path, "rt", encoding="utf-8", newline="") as stream:
            for _ in csv.reader(stream):
                count += 1
    return count - len(paths)


def pyarrow_parse(paths: list[str]) -> int:
    from pyarrow import csv as pacsv  # type: ignore[import-not-found, import-untyped, unused-ignore]

    count = 0
    for path in paths:
        reader = pacsv.open_csv(path)
        for batch in reader:
            count += batch.num_rows
    return count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=600_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        paths = write_files(folder, args.rows)
        runs: list[tuple[str, Callable[[list[str]], int]]] = [
            ("convert", convert), ("csv parse", csv_parse)
        ]
        try:
            import pyarrow  # type: ignore[import-not-found, import-untyped, unused-ignore]  # noqa: F401

            runs.append(("pyarrow parse", pyarrow_parse))
        except ImportError:
            print("pyarrow not installed: its parse is not measured")
        rates: dict[str, float] = {}
        for name, run in runs:
            count, seconds, cpu = timed(run, paths)
            rates[name] = count / cpu
            print(
                f"{name:14} {count:>9,} rows in {seconds:6.2f} s: {count / seconds:>11,.0f} rows/s"
                f"  ({cpu:6.2f} s CPU: {count / cpu:>11,.0f} rows per CPU second)"
            )
        for name, rate in rates.items():
            if name != "convert":
                print(f"convert / {name}: {rates['convert'] / rate:.2f}")

if __name__ == "__main__":
    main()
