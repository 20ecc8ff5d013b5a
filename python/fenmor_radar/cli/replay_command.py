"""``fenmor-radar replay --spec SPEC.json EVENTS.jsonl[.gz]``."""

from __future__ import annotations

import argparse
import sys
import time
from typing import TextIO

from fenmor_radar.cli import errors, sources
from fenmor_radar.cli.checkpoints import CheckpointPolicy
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.events import DamagedInput
from fenmor_radar.cli.novelty import NewOnlyFilter
from fenmor_radar.cli.output import CheckpointOutput, JsonLinesOutput, TableOutput
from fenmor_radar.cli.progress import Progress
from fenmor_radar.cli.replay import BadLine, ReplayStats, replay
from fenmor_radar.cli.replies import parse_alerts_reply
from fenmor_radar.cli.spec_file import load_radar

PROG = "fenmor-radar"
SHOWN_SKIPS = 20  # skipped lines named one by one; the rest only counted


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be greater than zero: {text}")
    return value


def non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "replay",
        help="replay a recording of events through a spec",
        description=(
            "Feed recorded events (JSON lines, one {\"symbol\": ..., \"event\": ...} per line, "
            "plain or gzip) to a radar built from SPEC and print the ranked alerts at "
            "checkpoints: every N events, every T of ts, and at the end of the input. "
            "Output is JSON lines when standard output is not a terminal, a table when it is."
        ),
    )
    parser.add_argument("--spec", required=True, metavar="SPEC.json", help="the radar spec file")
    parser.add_argument(
        "events",
        nargs="+",
        metavar="EVENTS.jsonl[.gz]",
        help='the recording ("-" for standard input), or with --from tardis the CSV files',
    )
    parser.add_argument(
        "--from",
        dest="source",
        choices=(sources.RADAR, sources.TARDIS),
        default=sources.RADAR,
        help="the input's format: a recording (default) or vendor CSV files, converted on the fly",
    )
    sources.add_conversion_options(parser)
    parser.add_argument(
        "--every", type=positive_int, metavar="N", help="a checkpoint after every N fed events"
    )
    parser.add_argument(
        "--every-ts",
        type=positive_int,
        metavar="T",
        help="a checkpoint at every multiple of T in ts units (before the first event past it)",
    )
    parser.add_argument(
        "--new-only",
        action="store_true",
        help="print an alert only when its symbol is new or its severity changed",
    )
    parser.add_argument(
        "--cooldown",
        type=non_negative_int,
        default=0,
        metavar="C",
        help="with --new-only: at most one report per symbol within C ts units (default 0)",
    )
    parser.add_argument(
        "--strict", action="store_true", help="stop at the first bad event line (default: skip it)"
    )
    parser.add_argument(
        "--format",
        choices=("auto", "json", "table"),
        default="auto",
        help="output format (default auto: table on a terminal, JSON lines otherwise)",
    )
    progress = parser.add_mutually_exclusive_group()
    progress.add_argument(
        "--progress",
        dest="progress",
        action="store_const",
        const=True,
        help="always show the progress bar on standard error",
    )
    progress.add_argument(
        "--no-progress", dest="progress", action="store_const", const=False, help="never show it"
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary on standard error")
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument(
        "--workers",
        type=positive_int,
        metavar="N",
        help="replay on a local Dask cluster of N worker processes, sharded by symbol "
        "(needs the distributed extra)",
    )
    cluster.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="replay on the Dask cluster at ADDRESS (tcp://host:8786), one shard per worker",
    )
    parser.set_defaults(run=run)


def choose_output(choice: str, stream: TextIO) -> CheckpointOutput:
    if choice == "table" or (choice == "auto" and stream.isatty()):
        return TableOutput(stream)
    return JsonLinesOutput(stream)


def run(args: argparse.Namespace) -> int:
    if args.cooldown and not args.new_only:
        raise CliError("--cooldown needs --new-only", errors.USAGE)
    radar = load_radar(args.spec)
    policy = CheckpointPolicy(every_events=args.every, every_ts=args.every_ts)
    output = choose_output(args.format, sys.stdout)
    news_filter = NewOnlyFilter(args.cooldown) if args.new_only else None
    source = sources.open_source(args)
    show_progress = sys.stderr.isatty() if args.progress is None else args.progress
    progress = Progress(
        sys.stderr, enabled=show_progress, total=source.size, position=source.position
    )
    stats = ReplayStats()
    started = time.monotonic()
    try:
        with source:
            lines = progress.track(source.lines())
            if args.workers is None and args.scheduler is None:
                items = replay(radar, lines, policy, strict=args.strict, stats=stats)
            else:
                from fenmor_radar.distributed.command_line import replay_items

                items = replay_items(
                    args.spec,
                    source.name,
                    lines,
                    policy,
                    workers=args.workers,
                    scheduler=args.scheduler,
                    strict=args.strict,
                    stats=stats,
                )
            for item in items:
                progress.clear()
                if isinstance(item, BadLine):
                    report_bad_line(source.name, item, args.strict, stats)
                    continue
                news = None
                if news_filter is not None:
                    news = news_filter.changes(parse_alerts_reply(item.reply).alerts, item.ts)
                    if not news:
                        continue
                output.checkpoint(item, news)
    except DamagedInput as err:
        progress.clear()
        where = f" after {counted(stats.lines, 'line')}" if stats.lines else ""
        raise CliError(f"cannot read {source.name}{where}: {err}") from err
    finally:
        progress.clear()
    if not args.quiet:
        print_summary(source.name, stats, time.monotonic() - started)
    if stats.stopped_at is not None:
        return errors.FAILED
    skipped = stats.bad_lines or getattr(source, "bad_rows", 0)
    return errors.SKIPPED_LINES if skipped else errors.OK


def report_bad_line(name: str, bad: BadLine, strict: bool, stats: ReplayStats) -> None:
    if strict:
        print(f"{PROG}: error: {name}:{bad.number}: {bad.message}", file=sys.stderr)
    elif stats.bad_lines <= SHOWN_SKIPS:
        print(f"{PROG}: skipped {name}:{bad.number}: {bad.message}", file=sys.stderr)
        if stats.bad_lines == SHOWN_SKIPS:
            print(f"{PROG}: further skipped lines are only counted", file=sys.stderr)


def counted(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def print_summary(name: str, stats: ReplayStats, seconds: float) -> None:
    rate = stats.events / seconds if seconds > 0 else 0.0
    text = (
        f"{PROG}: replayed {counted(stats.events, 'event')} for "
        f"{counted(len(stats.symbols), 'symbol')} from {name} in {seconds:.2f} s "
        f"({rate:,.0f} events/s), {counted(stats.checkpoints, 'checkpoint')}"
    )
    if stats.stopped_at is not None:
        text += f"; stopped at line {stats.stopped_at.number} (--strict)"
    elif stats.bad_lines:
        first = stats.first_bad.number if stats.first_bad is not None else 0
        text += f"; skipped {counted(stats.bad_lines, 'bad line')} (first at line {first})"
    print(text, file=sys.stderr)
