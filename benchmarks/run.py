"""The benchmark suite: the radar against orjson, json and a pure-Python radar.

    python3 benchmarks/run.py            # full run, a few minutes on 2 cores
    python3 benchmarks/run.py --quick    # fewer rounds, smaller B5 and B6
    python3 benchmarks/run.py --only B1,B3 --json results.json

Runs after `pip install .` (and `pip install -r benchmarks/requirements.txt`).
Every candidate of a benchmark is timed in the same run, round by round in
turn, so a busy machine slows them alike; the table shows medians and the
ratios that the targets are about. Timings are reported, never asserted.

B1  one "feed" command per call (10,000 distinct texts of about 150 bytes)
B2  one "feed_batch" of 10,000 events (about 1 MB), as MB/s of command text
B3  "alerts" over 10,000 symbols with full histories, all five indicators
B4  "scan" of 1,000 symbols x 200 events, on all processors and pinned to one
B5  resident bytes per symbol for 100,000 symbols (fresh subprocesses)
B6  `fenmor-radar replay` of 2,000,000 recorded events over 2,000 symbols (plain, gzip,
    4 specs in one pass) against the engine fed the same events as "feed_batch"
B7  Screener.feed against Radar.command of the same command text
"""

from __future__ import annotations

import argparse
import collections
import gc
import gzip
import importlib
import itertools
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

import orjson

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workload  # noqa: E402
from baseline_radar import BaselineRadar  # noqa: E402

from fenmor_radar import Radar, __version__  # noqa: E402
from fenmor_radar.screener import (  # noqa: E402
    Derivatives,
    Liquidation,
    Orderbook,
    Screener,
    event_text,
)

OK = '{"ok":true}'
ALERTS = '{"cmd":"alerts"}'
RESET = '{"cmd":"reset"}'


def consume(iterator) -> None:
    collections.deque(iterator, maxlen=0)


def timed(candidates: dict, rounds: int) -> dict[str, float]:
    """Median seconds of each candidate, the candidates taking turns.

    The collector is off while a candidate runs (as timeit does) and runs
    between rounds, so no candidate pays for another's garbage.
    """
    samples: dict[str, list[float]] = {name: [] for name in candidates}
    for _ in range(rounds):
        for name, run in candidates.items():
            gc.collect()
            gc.disable()
            start = time.perf_counter()
            run()
            samples[name].append(time.perf_counter() - start)
            gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}


@dataclass
class Report:
    rows: list = field(default_factory=list)      # (bench, candidate, value, unit)
    targets: list = field(default_factory=list)   # (bench, what, ratio, target, met)
    notes: list = field(default_factory=list)

    def row(self, bench: str, candidate: str, value: float, unit: str) -> None:
        self.rows.append((bench, candidate, value, unit))

    def target(self, bench: str, what: str, ratio: float, target: str, met: bool) -> None:
        self.targets.append((bench, what, ratio, target, met))

    def note(self, text: str) -> None:
        self.notes.append(text)
        print(f"  note: {text}", flush=True)


def progress(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


# --- B1 ------------------------------------------------------------------

def bench_feed(report: Report, seed: int, rounds: int) -> None:
    progress("B1: single feed commands")
    texts = workload.feed_texts(10_000, seed)
    average = sum(len(t) for t in texts) / len(texts)
    radar = Radar(workload.spec_text(0.5))
    baseline = BaselineRadar(workload.spec_text(0.5))
    replies = list(map(radar.command, texts))  # first pass creates the states
    if any(reply != OK for reply in replies):
        raise SystemExit(f"B1: a feed failed: {next(r for r in replies if r != OK)}")
    consume(map(baseline.command, texts))
    command, baseline_command = radar.command, baseline.command
    loads, json_loads = orjson.loads, json.loads
    times = timed({
        "Radar.command": lambda: consume(map(command, texts)),
        "orjson.loads": lambda: consume(map(loads, texts)),
        "json.loads": lambda: consume(map(json_loads, texts)),
        "baseline": lambda: consume(map(baseline_command, texts)),
    }, rounds)
    per_call = {name: t / len(texts) * 1e9 for name, t in times.items()}
    for name, ns in per_call.items():
        report.row("B1", f"{name} (feed, {average:.0f} B)", ns, "ns/call")
    radar_ns = per_call["Radar.command"]
    ratio = radar_ns / per_call["orjson.loads"]
    report.target("B1", "Radar.command / orjson.loads time", ratio, "<= 0.75", ratio <= 0.75)
    speedup = per_call["baseline"] / radar_ns
    report.target("B1", "baseline / Radar.command time", speedup, ">= 10", speedup >= 10)
    report.target("B1", "json.loads / Radar.command time",
                  per_call["json.loads"] / radar_ns, "(info)", True)


# --- B2 ------------------------------------------------------------------

def bench_feed_batch(report: Report, seed: int, rounds: int) -> None:
    progress("B2: one feed_batch of 10,000 events")
    text = workload.feed_batch_text(10_000, seed + 1)
    megabytes = len(text.encode()) / 1e6
    radar = Radar(workload.spec_text(0.5))
    baseline = BaselineRadar(workload.spec_text(0.5))
    if radar.command(text) != OK:
        raise SystemExit("B2: the feed_batch failed")
    times = timed({
        "Radar.command": lambda: radar.command(text),
        "orjson.loads": lambda: orjson.loads(text),
        "json.loads": lambda: json.loads(text),
        "baseline": lambda: baseline.command(text),
    }, rounds)
    throughput = {name: megabytes / t for name, t in times.items()}
    for name, mbs in throughput.items():
        report.row("B2", f"{name} (feed_batch, {megabytes:.2f} MB)", mbs, "MB/s")
    ratio = throughput["Radar.command"] / throughput["orjson.loads"]
    report.target("B2", "Radar.command / orjson.loads MB/s", ratio, ">= 3", ratio >= 3)
    report.target("B2", "Radar.command / baseline MB/s",
                  throughput["Radar.command"] / throughput["baseline"], "(info)", True)


# --- B3 ------------------------------------------------------------------

def severities(reply: str) -> list[float]:
    return [alert["severity"] for alert in orjson.loads(reply)["alerts"]]


def agree(report: Report, bench: str, radar_reply: str, baseline_reply: str) -> None:
    """The yardstick must do the same work: the same alerts, value for value."""
    if orjson.loads(radar_reply) != orjson.loads(baseline_reply):
        report.note(f"{bench}: the baseline's alerts differ from the radar's")


def bench_alerts(report: Report, seed: int, rounds: int) -> None:
    progress("B3: alerts over 10,000 symbols")
    count = 10_000
    batches = workload.full_history_batches(count, seed + 2)

    def fed(radar):
        for text in batches:
            if radar.command(text) != OK:
                raise SystemExit("B3: a feed_batch failed")
        return radar

    every = fed(Radar(workload.spec_text(0.0)))
    all_reply = every.command(ALERTS)
    ranked = severities(all_reply)
    # The threshold that passes about 1 % of the symbols.
    top = ranked[count // 100 - 1]
    some = fed(Radar(workload.spec_text(top)))
    none = fed(Radar(workload.spec_text(2.0)))  # nothing passes: no reply to speak of
    passing = len(severities(some.command(ALERTS)))

    baseline = BaselineRadar(workload.spec_text(0.0))
    for text in batches:
        baseline.command(text)

    def baseline_alerts(threshold):
        def run():
            baseline.threshold = threshold
            return baseline.command(ALERTS)
        return run

    agree(report, "B3 threshold 0", all_reply, baseline_alerts(0.0)())
    agree(report, "B3 threshold 1 %", some.command(ALERTS), baseline_alerts(top)())

    structure = orjson.loads(all_reply)
    times = timed({
        "every": lambda: every.command(ALERTS),
        "some": lambda: some.command(ALERTS),
        "none": lambda: none.command(ALERTS),
        "baseline every": baseline_alerts(0.0),
        "baseline some": baseline_alerts(top),
        "orjson.dumps": lambda: orjson.dumps(structure),
    }, rounds)
    ms = {name: t * 1e3 for name, t in times.items()}
    size = len(all_reply) / 1e6
    report.row("B3", f"Radar alerts, threshold 0 ({count} alerts, {size:.1f} MB)",
               ms["every"], "ms")
    report.row("B3", f"Radar alerts, threshold {top:g} ({passing} alerts)", ms["some"], "ms")
    report.row("B3", "Radar alerts, no alert (evaluation only)", ms["none"], "ms")
    report.row("B3", "baseline alerts, threshold 0", ms["baseline every"], "ms")
    report.row("B3", f"baseline alerts, threshold {top:g}", ms["baseline some"], "ms")
    writing = ms["every"] - ms["none"]
    report.row("B3", "Radar reply (threshold 0 minus no alert)", writing, "ms")
    report.row("B3", f"orjson.dumps of the same {count} alerts", ms["orjson.dumps"], "ms")
    speedup = ms["baseline every"] / ms["every"]
    report.target("B3", "baseline / Radar alerts time, threshold 0", speedup, ">= 30",
                  speedup >= 30)
    report.target("B3", "baseline / Radar alerts time, threshold 1 %",
                  ms["baseline some"] / ms["some"], "(info)", True)
    ratio = writing / ms["orjson.dumps"]
    report.target("B3", "Radar reply / orjson.dumps time", ratio, "<= 1", ratio <= 1)


# --- B4 ------------------------------------------------------------------

def b4_data(seed: int):
    events = workload.symbol_events(1_000, 200, seed + 3)
    return workload.scan_text(events), workload.batch_texts(events)


def fed_then_alerted(radar, batches) -> str:
    radar.command(RESET)
    for text in batches:
        radar.command(text)
    return radar.command(ALERTS)


def bench_scan(report: Report, seed: int, rounds: int) -> None:
    progress("B4: scan of 1,000 symbols x 200 events")
    scan, batches = b4_data(seed)
    megabytes = len(scan) / 1e6
    radar = Radar(workload.spec_text(0.0))
    stored = Radar(workload.spec_text(0.0))
    baseline = BaselineRadar(workload.spec_text(0.0))
    reply = radar.command(scan)
    if fed_then_alerted(stored, batches) != reply:
        report.note("B4: scan and feed_batch + alerts replied differently")
    agree(report, "B4", reply, baseline.command(scan))

    times = timed({
        "scan": lambda: radar.command(scan),
        "feed_batch + alerts": lambda: fed_then_alerted(stored, batches),
        "baseline": lambda: baseline.command(scan),
        "orjson.loads": lambda: orjson.loads(scan),
    }, rounds)
    pinned = worker(["--worker", "b4-pinned", "--seed", str(seed), "--rounds", str(rounds)],
                    pin=True)
    if pinned["reply_hash"] != hash_text(reply):
        report.note("B4: the pinned scan replied differently")
    ms = {name: t * 1e3 for name, t in times.items()}
    workers = os.cpu_count() if not hasattr(os, "sched_getaffinity") else len(
        os.sched_getaffinity(0))
    report.row("B4", f"Radar scan, pool on {workers} processors ({megabytes:.1f} MB)",
               ms["scan"], "ms")
    report.row("B4", "Radar scan, pinned to one (taskset -c 0)", pinned["scan"] * 1e3, "ms")
    report.row("B4", "Radar 1,000 feed_batch + alerts", ms["feed_batch + alerts"], "ms")
    report.row("B4", "baseline scan", ms["baseline"], "ms")
    report.row("B4", "orjson.loads of the scan text", ms["orjson.loads"], "ms")
    speedup = ms["baseline"] / ms["scan"]
    report.target("B4", "baseline / Radar scan time", speedup, ">= 10", speedup >= 10)
    report.target("B4", "baseline / Radar scan time, pinned to one",
                  ms["baseline"] / (pinned["scan"] * 1e3), "(info)", True)
    report.target("B4", "feed_batch + alerts / scan time",
                  ms["feed_batch + alerts"] / ms["scan"], "(info)", True)
    report.target("B4", "pinned / all-processor scan time",
                  pinned["scan"] * 1e3 / ms["scan"], "(info)", True)


def b4_pinned(seed: int, rounds: int) -> dict:
    scan, _ = b4_data(seed)
    radar = Radar(workload.spec_text(0.0))
    reply = radar.command(scan)
    times = timed({"scan": lambda: radar.command(scan)}, rounds)
    return {"scan": times["scan"], "reply_hash": hash_text(reply),
            "processors": len(os.sched_getaffinity(0))}


def hash_text(text: str) -> str:
    import hashlib
    return hashlib.sha256(text.encode()).hexdigest()


# --- B7 ------------------------------------------------------------------

_DATACLASSES = {"derivatives": Derivatives, "orderbook": Orderbook, "liquidation": Liquidation}


def bench_screener(report: Report, seed: int, rounds: int) -> None:
    """The Pythonic layer's cost on one feed: the same events, the same radar work.

    Radar.command gets each event's text as the screener writes it on its
    general way, so the difference is the screener's own cost: the call and
    reading the Python values, against reading the text.
    """
    progress("B7: Screener.feed against Radar.command")
    rng = workload.random.Random(seed + 7)
    pool = workload.markets(1000, rng)
    events = []
    for _ in range(10_000):
        name, market = pool[rng.randrange(len(pool))]
        events.append((name, market.event()))
    as_dataclass = [
        (name, _DATACLASSES[e["kind"]](**{k: v for k, v in e.items() if k != "kind"}))
        for name, e in events
    ]
    as_tuple = [(name, (e["kind"], *(v for k, v in e.items() if k != "kind"))) for name, e in events]
    spec = workload.spec_text(0.5)
    screener, radar = Screener(spec), Radar(spec)
    texts = [
        '{"cmd":"feed","symbol":' + json.dumps(name) + ',"event":' +
        event_text(e) + "}"
        for name, e in as_dataclass
    ]
    for name, e in events:
        screener.feed(name, e)
    consume(map(radar.command, texts))
    feed, command, dumps = screener.feed, radar.command, json.dumps

    def dumped() -> None:
        for name, e in events:
            command(dumps({"cmd": "feed", "symbol": name, "event": e}))

    times = timed({
        "Radar.command (the screener's text)": lambda: consume(map(command, texts)),
        "Screener.feed (dataclass)": lambda: consume(itertools.starmap(feed, as_dataclass)),
        "Screener.feed (tuple)": lambda: consume(itertools.starmap(feed, as_tuple)),
        "Screener.feed (dict)": lambda: consume(itertools.starmap(feed, events)),
        "Radar.command(json.dumps(dict))": dumped,
    }, rounds)
    per_call = {name: t / len(events) * 1e9 for name, t in times.items()}
    for name, ns in per_call.items():
        report.row("B7", name, ns, "ns/call")
    # Batches of 100 events of one symbol: the command's own cost shared out,
    # what remains is writing each event's text.
    batches = [(f"SYMBOL{i}", [e for _, e in as_dataclass[i * 100:(i + 1) * 100]])
               for i in range(len(as_dataclass) // 100)]
    batch_texts = ['{"cmd":"feed_batch","symbol":' + json.dumps(name) + ',"events":[' +
                   ",".join(map(event_text, batch)) + "]}" for name, batch in batches]
    feed_batch = screener.feed_batch
    batch_times = timed({
        "Radar.command (feed_batch text)": lambda: consume(map(command, batch_texts)),
        "Screener.feed_batch (dataclasses)": lambda: consume(itertools.starmap(feed_batch, batches)),
    }, rounds)
    per_event = {name: t / len(events) * 1e9 for name, t in batch_times.items()}
    for name, ns in per_event.items():
        report.row("B7", f"{name}, per event", ns, "ns/event")
    report.target("B7", "Screener.feed_batch / Radar.command time",
                  per_event["Screener.feed_batch (dataclasses)"] /
                  per_event["Radar.command (feed_batch text)"], "(info)", True)
    base = per_call["Radar.command (the screener's text)"]
    for form in ("dataclass", "tuple", "dict"):
        ratio = per_call[f"Screener.feed ({form})"] / base
        report.target("B7", f"Screener.feed ({form}) / Radar.command time", ratio, "<= 1.5",
                      ratio <= 1.5)
    report.target("B7", "Screener.feed (dict) / Radar.command(json.dumps) time",
                  per_call["Screener.feed (dict)"] / per_call["Radar.command(json.dumps(dict))"],
                  "(info)", True)


# --- B5 ------------------------------------------------------------------

def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def b5_memory(fill: str, count: int, seed: int, which: str) -> dict:
    """Resident bytes per symbol of `count` symbols, measured in this process."""
    import random
    rng = random.Random(seed + 4)
    names = workload.symbols(count, rng)
    markets = workload.markets(64, rng)
    if fill == "full":
        arrays = [workload.dumps(market.full_history()) for _, market in markets]
    else:
        arrays = [workload.dumps([market.event()]) for _, market in markets]
    make = Radar if which == "radar" else BaselineRadar
    radar = make(workload.spec_text(0.5))
    template = '{"cmd":"feed_batch","symbol":"%s","events":%s}'
    # One command of the same shape first: the reader's buffers are in place
    # before the first measurement.
    radar.command(template % ("WARMUP", arrays[0]))
    gc.collect()
    before = resident_bytes()
    for i, name in enumerate(names):
        radar.command(template % (name, arrays[i & 63]))
    gc.collect()
    after = resident_bytes()
    return {"bytes_per_symbol": (after - before) / count, "symbols": count}


def bench_memory(report: Report, seed: int, count: int, baseline_count: int) -> None:
    progress(f"B5: resident bytes per symbol, {count} symbols")
    bound = 4 * 8 * (workload.WINDOW + 1) + 200
    for fill, label in (("full", "full histories"), ("one", "one event each")):
        measured = worker(["--worker", "b5", "--fill", fill, "--symbols", str(count),
                           "--seed", str(seed)])
        report.row("B5", f"Radar, {label} (window {workload.WINDOW})",
                   measured["bytes_per_symbol"], "B/symbol")
        if fill == "full":
            value = measured["bytes_per_symbol"]
            report.target("B5", "Radar bytes per symbol, full histories", value,
                          f"<= {bound}", value <= bound)
        if baseline_count:
            measured = worker(["--worker", "b5", "--fill", fill, "--symbols",
                               str(baseline_count), "--seed", str(seed), "--baseline"])
            report.row("B5", f"baseline, {label} ({baseline_count} symbols)",
                       measured["bytes_per_symbol"], "B/symbol")


# --- B6 ------------------------------------------------------------------

B6_SYMBOLS = 2_000
B6_BATCH = 1_000


def b6_recording(directory: Path, events: int, seed: int) -> tuple[Path, Path, list[str]]:
    """The recording as JSON lines and gzip, and the same events as "feed_batch" texts.

    Events of one symbol keep their order in both; the batches hold up to
    1,000 consecutive events of one symbol.
    """
    rng = random.Random(seed)
    pool = workload.markets(B6_SYMBOLS, rng)
    plain = directory / "events.jsonl"
    pending: dict[str, list[str]] = {}
    batches: list[str] = []
    with open(plain, "w", encoding="utf-8") as out:
        for _ in range(events):
            name, market = pool[rng.randrange(len(pool))]
            event = workload.dumps(market.event())
            out.write(f'{{"symbol":{json.dumps(name)},"event":{event}}}\n')
            waiting = pending.setdefault(name, [])
            waiting.append(event)
            if len(waiting) == B6_BATCH:
                batches.append(b6_batch(name, waiting))
                waiting.clear()
    batches += [b6_batch(name, waiting) for name, waiting in pending.items() if waiting]
    packed = directory / "events.jsonl.gz"
    with open(plain, "rb") as source, gzip.open(packed, "wb", compresslevel=6) as target:
        while block := source.read(1 << 22):
            target.write(block)
    return plain, packed, batches


def b6_batch(name: str, events: list[str]) -> str:
    return f'{{"cmd":"feed_batch","symbol":{json.dumps(name)},"events":[{",".join(events)}]}}'


def b6_replay(specs: list[Path], recording: Path) -> float:
    """Seconds of one `fenmor-radar replay --every 100000` (output to /dev/null); peak RSS in B6_PEAKS."""
    command = [sys.executable, "-c", B6_PEAK_PROBE, "replay", "--every", "100000", "-q",
               "--no-progress", "--format", "json", str(recording)]
    for spec in specs:
        command += ["--spec", str(spec)]
    started = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, _ = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    error = child.stderr.read().decode() if child.stderr else ""
    if child.returncode != 0:
        raise SystemExit(f"B6: the replay failed ({child.returncode}): {error}")
    peak = int(error.rsplit("peak-kB ", 1)[1]) * 1024
    B6_PEAKS[recording.name] = max(B6_PEAKS.get(recording.name, 0), peak)
    return seconds


B6_PEAKS: dict[str, int] = {}
# The replay's own peak: the kernel's getrusage figure of a child counts the
# pages it shared with this (large) process before exec, the new program's
# VmHWM does not.
B6_PEAK_PROBE = """
import atexit, runpy, sys
def peak():
    with open("/proc/self/status") as status:
        kb = next(line.split()[1] for line in status if line.startswith("VmHWM:"))
    sys.stderr.write(f"peak-kB {kb}\\n")
atexit.register(peak)
sys.argv[0] = "fenmor-radar"
runpy.run_module("fenmor_radar", run_name="__main__", alter_sys=True)
"""


def bench_replay(report: Report, seed: int, events: int, rounds: int) -> None:
    progress(f"B6: replay of {events:,} recorded events over {B6_SYMBOLS:,} symbols")
    try:
        feeder = importlib.import_module("fenmor_radar._native")
    except ImportError:
        report.note("B6 skipped: the native line feeder (fenmor_radar._native) is not "
                    "built in this install; rebuild the package with it")
        return
    if not str(getattr(feeder, "__file__", "")).endswith((".so", ".pyd")):
        report.note(f"B6: fenmor_radar._native is not a native module here "
                    f"({getattr(feeder, '__file__', '?')}): the figures say nothing of the feeder")
    with tempfile.TemporaryDirectory(prefix="fenmor-b6-") as work:
        directory = Path(work)
        plain, packed, batches = b6_recording(directory, events, seed + 6)
        quarter = directory / "quarter.jsonl"
        with open(plain, "rb") as source, open(quarter, "wb") as target:
            target.writelines(line for _, line in zip(range(events // 4), source, strict=False))
        # Twice the recording: what grows with the length shows here, apart
        # from the allocator's warming up, which the quarter still includes.
        double = directory / "double.jsonl"
        with open(double, "wb") as target:
            for _ in range(2):
                with open(plain, "rb") as source:
                    shutil.copyfileobj(source, target, 1 << 22)
        specs = []
        for index, threshold in enumerate((0.1, 0.25, 0.4, 0.55)):
            spec = directory / f"spec{index}.json"
            spec.write_text(workload.spec_text(threshold))
            specs.append(spec)
        spec_text = specs[0].read_text()

        def engine() -> None:
            radar = Radar(spec_text)
            command = radar.command
            for text in batches:
                if command(text) != OK:
                    raise SystemExit("B6: a feed_batch failed")
            radar.command('{"cmd":"alerts"}')

        times = timed({
            "(a) engine, feed_batch of up to 1,000": engine,
            "(b) replay, plain file": lambda: b6_replay(specs[:1], plain),
            "(c) replay, gzip file": lambda: b6_replay(specs[:1], packed),
            "(d) replay, 4 specs in one pass": lambda: b6_replay(specs, plain),
            "(d) 4 separate replays": lambda: [b6_replay([spec], plain) for spec in specs],
            "replay of the first quarter (memory)": lambda: b6_replay(specs[:1], quarter),
            "replay of the file twice (memory)": lambda: b6_replay(specs[:1], double),
        }, rounds)
    rate = {name: events / seconds for name, seconds in times.items()}
    for name, value in rate.items():
        if "memory" not in name:
            report.row("B6", name, value, "events/s")
    report.row("B6", "peak RSS, replay of the whole plain file", B6_PEAKS["events.jsonl"] / 1e6, "MB")
    report.row("B6", "peak RSS, replay of its first quarter", B6_PEAKS["quarter.jsonl"] / 1e6, "MB")
    report.row("B6", "peak RSS, replay of the file twice over", B6_PEAKS["double.jsonl"] / 1e6, "MB")
    engine_rate = rate["(a) engine, feed_batch of up to 1,000"]
    plain_ratio = rate["(b) replay, plain file"] / engine_rate
    gzip_ratio = rate["(c) replay, gzip file"] / engine_rate
    speedup = times["(d) 4 separate replays"] / times["(d) replay, 4 specs in one pass"]
    memory = B6_PEAKS["double.jsonl"] / B6_PEAKS["events.jsonl"]
    report.target("B6", "replay plain / engine events/s (b/a)", plain_ratio, ">= 0.5", plain_ratio >= 0.5)
    report.target("B6", "replay gzip / engine events/s (c/a)", gzip_ratio, ">= 0.3", gzip_ratio >= 0.3)
    report.target("B6", "4 separate replays / 4 specs in one pass time", speedup, ">= 2.5",
                  speedup >= 2.5)
    report.target("B6", "peak RSS file twice over / once", memory, "<= 1.1", memory <= 1.1)


# --- B8 ------------------------------------------------------------------

def b8_replay(spec: Path, recording: Path, *options: str) -> float:
    """Seconds of one `fenmor-radar replay --every-ts 600000` with `options`, output to /dev/null."""
    command = [sys.executable, "-m", "fenmor_radar", "replay", "--spec", str(spec), str(recording),
               "--every-ts", "600000", "-q", "--no-progress", "--format", "json", *options]
    started = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - started


def bench_crossings(report: Report, seed: int, events: int, rounds: int) -> None:
    progress(f"B8: replay --crossings of {events:,} recorded events over {B6_SYMBOLS:,} symbols")
    with tempfile.TemporaryDirectory(prefix="fenmor-b8-") as work:
        directory = Path(work)
        plain, _, _ = b6_recording(directory, events, seed + 6)
        # The bundled default spec, as `sample --spec-out` writes it.
        spec = directory / "spec.json"
        subprocess.run([sys.executable, "-m", "fenmor_radar", "sample", "-o",
                        str(directory / "sample.jsonl.gz"), "--spec-out", str(spec)], check=True,
                       stdout=subprocess.DEVNULL)
        times = timed({
            "replay": lambda: b8_replay(spec, plain),
            "replay --crossings": lambda: b8_replay(spec, plain, "--crossings"),
            "replay --crossings --peaks": lambda: b8_replay(spec, plain, "--crossings", "--peaks"),
        }, rounds)
    for name, seconds in times.items():
        report.row("B8", name, events / seconds, "events/s")
    ratio = times["replay --crossings"] / times["replay"]
    report.target("B8", "replay --crossings / replay time", ratio, "<= 1.5", ratio <= 1.5)
    peaks = times["replay --crossings --peaks"] / times["replay"]
    report.target("B8", "replay --crossings --peaks / replay time", peaks, "(info)", True)


# --- subprocesses ------------------------------------------------------------

def worker(arguments: list[str], pin: bool = False) -> dict:
    command = [sys.executable, str(Path(__file__).resolve()), *arguments]
    if pin:
        command = ["taskset", "-c", "0", *command]
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def run_worker(args) -> None:
    if args.worker == "b4-pinned":
        result = b4_pinned(args.seed, args.rounds)
    else:
        result = b5_memory(args.fill, args.symbols, args.seed,
                           "baseline" if args.baseline else "radar")
    print(json.dumps(result))


def dump_workloads(directory: Path, seed: int) -> None:
    """The texts of B1 to B4 as files, for bench_commands (C++, no Python)."""
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "spec.json").write_text(workload.spec_text(0.0))
    (directory / "feed.txt").write_text("\n".join(workload.feed_texts(10_000, seed)) + "\n")
    (directory / "batch.json").write_text(workload.feed_batch_text(10_000, seed + 1))
    history = workload.full_history_batches(10_000, seed + 2)
    (directory / "history.txt").write_text("\n".join(history) + "\n")
    (directory / "scan.json").write_text(b4_data(seed)[0])
    # The replay workload: 2,000,000 recorded events over 2,000 symbols, and
    # the same events as feed_batch commands of up to 1,000 events.
    recording = workload.recording_lines(2_000_000, 2_000, seed + 3)
    (directory / "recording.jsonl").write_text("\n".join(recording) + "\n")
    batches = workload.batches_of_recording(recording)
    (directory / "recording_batches.txt").write_text("\n".join(batches) + "\n")


# --- the table -----------------------------------------------------------------

def environment() -> dict:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "machine": f"{model}, {os.cpu_count()} processors, {platform.system()} "
                   f"{platform.release()}",
        "python": platform.python_version(),
        "fenmor_radar": __version__,
        "orjson": orjson.__version__,
    }


def print_table(report: Report) -> None:
    print()
    print(f"{'bench':5} {'candidate':58} {'median':>12}  unit")
    for bench, candidate, value, unit in report.rows:
        print(f"{bench:5} {candidate:58} {value:12.1f}  {unit}")
    print()
    print(f"{'bench':5} {'ratio':58} {'value':>12}  {'target':9} met")
    for bench, what, ratio, target, met in report.targets:
        mark = "" if target == "(info)" else ("yes" if met else "NO")
        print(f"{bench:5} {what:58} {ratio:12.2f}  {target:9} {mark}")
    for text in report.notes:
        print(f"note: {text}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, smaller B5")
    parser.add_argument("--only", default="B1,B2,B3,B4,B5,B6,B7,B8", help="e.g. B1,B4")
    parser.add_argument("--seed", type=int, default=20240601)
    parser.add_argument("--json", help="also write the results to this file")
    parser.add_argument("--dump", metavar="DIR",
                        help="write the workloads for bench_commands to DIR and stop")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--fill", help=argparse.SUPPRESS)
    parser.add_argument("--symbols", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--rounds", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--baseline", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        run_worker(args)
        return

    if args.dump:
        dump_workloads(Path(args.dump), args.seed)
        return
    only = {name.strip().upper() for name in args.only.split(",")}
    rounds = 5 if args.quick else 25
    report = Report()
    env = environment()
    for name, value in env.items():
        print(f"{name:13} {value}")
    started = time.perf_counter()
    if "B1" in only:
        bench_feed(report, args.seed, rounds)
    if "B2" in only:
        bench_feed_batch(report, args.seed, rounds)
    if "B3" in only:
        bench_alerts(report, args.seed, 3 if args.quick else 21)
    if "B4" in only:
        bench_scan(report, args.seed, 3 if args.quick else 11)
    if "B5" in only:
        if args.quick:
            bench_memory(report, args.seed, 20_000, 0)
        else:
            bench_memory(report, args.seed, 100_000, 10_000)
    if "B6" in only:
        bench_replay(report, args.seed, 200_000 if args.quick else 2_000_000, 1 if args.quick else 3)
    if "B7" in only:
        bench_screener(report, args.seed, rounds)
    if "B8" in only:
        bench_crossings(report, args.seed, 200_000 if args.quick else 2_000_000, 1 if args.quick else 3)
    print_table(report)
    print(f"\n{time.perf_counter() - started:.0f} s")
    if args.json:
        Path(args.json).write_text(json.dumps({
            "environment": env,
            "rows": report.rows,
            "targets": report.targets,
            "notes": report.notes,
        }, indent=1))


if __name__ == "__main__":
    main()
