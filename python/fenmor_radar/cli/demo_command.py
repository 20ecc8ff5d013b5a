"""``fenmor-radar demo``: the bundled sample hour replayed through the default spec.

It runs the same replay loop as ``fenmor-radar replay`` (the live code path),
prints the ranked alerts at every checkpoint as the hour unfolds, then the
alerts at the end as a table.
"""

from __future__ import annotations

import argparse
import io
import shutil
import time
from collections import Counter
from typing import TextIO

from fenmor_radar.cli import terminal
from fenmor_radar.cli.table import can_draw_blocks, render_alerts, severity_bar
from fenmor_radar.default_spec import default_spec_text
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import CheckpointReplies, FeederReplay, new_feeder
from fenmor_radar.replay.items import BadLine, Checkpoint, ReplayStats
from fenmor_radar.replay.recording import Recording
from fenmor_radar.replay.replies import AlertsReply, parse_alerts_reply
from fenmor_radar.sample import EPISODES, SEED, START_TS, STEP_MS, sample_lines
from fenmor_radar.utc import utc_time

MINUTE_MS = 60_000
SHOWN_PER_LINE = 3
SYMBOL_WIDTH = 9


def clock_text(ts: int) -> str:
    """A millisecond timestamp as UTC time of day, HH:MM:SS."""
    return utc_time(ts, date=False)


def minutes_of_the_hour(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 1 <= value <= 60:
        raise argparse.ArgumentTypeError(f"must be from 1 to 60: {text}")
    return value


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "demo",
        help="replay the bundled sample hour through the default spec (the default command)",
        description=(
            "Replay a synthetic trading hour for 50 symbols, with planted episodes, "
            "through the bundled default spec, and show the ranked alerts as they evolve."
        ),
    )
    add_arguments(parser)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--minutes",
        type=minutes_of_the_hour,
        default=2,
        metavar="M",
        help="minutes of market time between checkpoints, 1 to 60 (default 2)",
    )
    parser.add_argument(
        "--seed", type=int, default=SEED, help="seed of the synthetic recording (default %(default)s)"
    )
    parser.set_defaults(run=run)


def timeline_line(boundary: int, reply: AlertsReply, seen: set[str], blocks: bool) -> str:
    """One checkpoint as one line: its time, then the top alerts with a short bar each.

    A symbol alerting for the first time is marked with "+".
    """
    head = f"{clock_text(boundary)}  {len(reply.alerts):>2} alert{'s' if len(reply.alerts) != 1 else ' '}"
    cells = []
    for alert in reply.alerts[:SHOWN_PER_LINE]:
        mark = "+" if alert.symbol not in seen else " "
        severity = alert.severity if alert.severity is not None else 0.0
        bar = severity_bar(alert.severity, blocks=blocks)
        cells.append(f"{mark}{alert.symbol.ljust(SYMBOL_WIDTH)} {bar} {severity:.2f}")
    if len(reply.alerts) > SHOWN_PER_LINE:
        cells.append(f"(+{len(reply.alerts) - SHOWN_PER_LINE} more)")
    seen.update(alert.symbol for alert in reply.alerts)
    return "  ".join([head, *cells]).rstrip()


def boundary_of(checkpoint: Checkpoint, policy: CheckpointPolicy) -> int:
    """The period boundary a checkpoint stands for: the end of the period of its clock."""
    period = policy.every_ts or MINUTE_MS
    ts = checkpoint.ts if checkpoint.ts is not None else START_TS
    return (ts // period + 1) * period


def run(args: argparse.Namespace) -> int:
    return run_demo(terminal.standard_output(escape_controls=True), minutes=args.minutes, seed=args.seed)


def run_demo(out: TextIO, *, minutes: int = 2, seed: int = SEED) -> int:
    started = time.monotonic()
    spec_text = default_spec_text()
    lines = sample_lines(seed)
    kinds = Counter(line.split('"event":["', 1)[1].split('"', 1)[0] for line in lines)
    blocks = can_draw_blocks(getattr(out, "encoding", None))
    end_ts = START_TS + 60 * MINUTE_MS

    def say(text: str = "") -> None:
        out.write(text + "\n")

    say(
        f"{terminal.PROG} demo: a synthetic trading hour, "
        f"{clock_text(START_TS)[:5]}-{clock_text(end_ts)[:5]} UTC"
    )
    say(
        f"{len(lines):,} events for 50 symbols: "
        + ", ".join(f"{kinds[kind]:,} {kind}" for kind in ("derivatives", "orderbook", "liquidation"))
    )
    for index, episode in enumerate(EPISODES):
        label = "planted episodes:" if index == 0 else ""
        at = clock_text(START_TS + episode.start * STEP_MS)[:5]
        say(f"{label:<18}{at} {episode.name} on {episode.symbol}")
    say("spec: the bundled default (see `fenmor-radar sample --help` to save it and the events)")
    say()
    say(f"ranked alerts every {minutes} min of market time (+ marks a symbol's first alert):")

    policy = CheckpointPolicy(every_ts=minutes * MINUTE_MS)
    stats = ReplayStats()
    seen: set[str] = set()
    last: AlertsReply | None = None
    recording = Recording("-", stdin=io.BytesIO("\n".join(lines).encode("utf-8")))
    replay = FeederReplay(new_feeder([spec_text], policy, strict=True), stats=stats)
    for item in replay.run([recording]):
        if isinstance(item, BadLine):  # the sample is generated; this is a bug
            raise RuntimeError(f"sample line {item.number} rejected: {item.message}")
        if not isinstance(item, CheckpointReplies):  # crossings are not asked for here
            continue
        checkpoint = item.checkpoint()
        last = parse_alerts_reply(checkpoint.reply)
        say(timeline_line(boundary_of(checkpoint, policy), last, seen, blocks))
        out.flush()

    say()
    if last is None or not last.alerts:
        say(f"no alerts at {clock_text(stats.ts or START_TS)}")
    else:
        say(
            f"alerts at the end of the hour ({clock_text(stats.ts or START_TS)} UTC), "
            f"{last.scanned} symbols scanned:"
        )
        width = shutil.get_terminal_size((120, 24)).columns - 2
        table = render_alerts(
            last.alerts, width=width, ts_text=clock_text, blocks=blocks, factor_count=2
        )
        for line in table:
            say("  " + line)
    seconds = time.monotonic() - started
    say()
    say(f"replayed {stats.events:,} events in {seconds:.2f} s")
    say("try it on your own files: fenmor-radar replay --spec SPEC.json EVENTS.jsonl[.gz]")
    out.flush()
    return 0
