"""Size and build time of the HTML report at a given scale (default 2,000 symbols × 1,000 checkpoints).

Writes a saved replay output in which every symbol alerts at every checkpoint
(the worst case for the report), then runs ``fenmor-radar report`` on it.

    python benchmarks/report_size.py [--symbols 2000] [--checkpoints 1000] [--keep DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

SPEC = {
    "signals": [
        {"kind": "oi_delta", "params": [12, 0.05], "weight": 1.0},
        {"kind": "funding_flip", "params": [0.0005], "weight": 1.0},
        {"kind": "book_imbalance", "params": [0.5], "weight": 0.5},
        {"kind": "liq_cluster", "params": [20, 1000], "weight": 1.0},
        {"kind": "oi_price_divergence", "params": [12, 0.01], "weight": 1.0},
    ],
    "threshold": 0.0,
}
KEYS = [
    "book_imbalance(0.5)",
    "funding_flip(0.0005)",
    "liq_cluster(20,1000)",
    "oi_delta(12,0.05)",
    "oi_price_divergence(12,0.01)",
]
WEIGHTS = [0.5, 1.0, 1.0, 1.0, 1.0]


def write_output(path: str, symbols: int, checkpoints: int) -> None:
    rng = random.Random(7)
    names = [f"SYM{i:04d}USDT" for i in range(symbols)]
    with open(path, "w", encoding="utf-8") as out:
        for number in range(checkpoints):
            alerts = []
            for name in names:
                values = [round(rng.random(), 8) for _ in KEYS]
                severity = round(
                    sum(v * w for v, w in zip(values, WEIGHTS, strict=False)) / sum(WEIGHTS), 8
                )
                factors = dict(zip(KEYS, values, strict=False)) | {"severity": severity}
                alerts.append(
                    {
                        "symbol": name,
                        "severity": severity,
                        "factors": factors,
                        "ts": number * 60,
                    }
                )
            alerts.sort(key=lambda a: -a["severity"])
            out.write(
                json.dumps(
                    {
                        "events": (number + 1) * symbols,
                        "ts": number * 60,
                        "alerts": alerts,
                        "scanned": symbols,
                    },
                    separators=(",", ":"),
                )
                + "\n"
            )


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--symbols", type=int, default=2000)
    parser.add_argument("--checkpoints", type=int, default=1000)
    parser.add_argument("--keep", help="write the files into this folder and keep them")
    args = parser.parse_args()
    folder = args.keep or tempfile.mkdtemp(prefix="fenmor-report-")
    os.makedirs(folder, exist_ok=True)
    spec, output, page = (
        os.path.join(folder, n) for n in ("spec.json", "out.jsonl", "report.html")
    )
    with open(spec, "w", encoding="utf-8") as file:
        json.dump(SPEC, file)
    started = time.monotonic()
    write_output(output, args.symbols, args.checkpoints)
    written = time.monotonic() - started
    started = time.monotonic()
    subprocess.run(
        [
            sys.executable,
            "-m",
            "fenmor_radar",
            "report",
            "--spec",
            spec,
            output,
            "-o",
            page,
        ],
        check=True,
    )
    built = time.monotonic() - started
    print(
        f"{args.symbols:,} symbols × {args.checkpoints:,} checkpoints: replay output "
        f"{os.path.getsize(output) / 1e6:.1f} MB (made in {written:.1f} s), report "
        f"{os.path.getsize(page) / 1e6:.2f} MB built in {built:.1f} s"
    )
    if not args.keep:
        for path in (spec, output, page):
            os.remove(path)
        os.rmdir(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
