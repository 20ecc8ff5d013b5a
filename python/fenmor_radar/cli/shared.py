"""What several commands share: option types and options, counts in words, the feeder
of the specs, skipped lines and rows told about on standard error, and checkpoints
shown with their news.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import sys
from collections.abc import Sequence
from dataclasses import dataclass, replace
from typing import Any, TextIO

from fenmor_radar._native import LineFeeder
from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.durations import non_negative_duration, positive_duration
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.novelty import CrossingGate, NewOnlyFilter
from fenmor_radar.cli.output import (
    CheckpointOutput,
    JsonLinesOutput,
    TableOutput,
    json_lines_stream,
)
from fenmor_radar.cli.replay_extras import ReplayExtras
from fenmor_radar.cli.spec_file import rejected_spec
from fenmor_radar.feeds.book import DEFAULT_DEPTH, check_depth
from fenmor_radar.feeds.tardis import BadRow
from fenmor_radar.printable import printable
from fenmor_radar.replay.bad_lines import describe
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import CheckpointReplies, SpecRejected, new_feeder
from fenmor_radar.replay.items import BadLine, Checkpoint, Crossing, ReplayStats
from fenmor_radar.replay.replies import parse_alerts_reply
from fenmor_radar.report import PlotlyMissing, require_plotly

SHOWN_SKIPS = 20  # skipped lines (or rows) named one by one; the rest only counted


def counted(count: int, noun: str) -> str:
    return f"{count:,} {noun}" + ("" if count == 1 else "s")


def inputs_name(names: Sequence[str]) -> str:
    """How one line names a command's inputs: the first, and how many more there are."""
    if len(names) <= 1:
        return "".join(names)
    return f"{names[0]} (+{counted(len(names) - 1, 'file')})"


# --- option types and options ------------------------------------------------


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be greater than zero: {text}")
    return value


def positive_depth(text: str) -> int:
    try:
        return check_depth(int(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1: {text!r}") from None


def add_conversion_options(parser: argparse.ArgumentParser) -> None:
    """``--depth`` and ``--normalise-symbols``: how vendor data becomes events."""
    parser.add_argument(
        "--depth",
        type=positive_depth,
        default=DEFAULT_DEPTH,
        metavar="N",
        help=f"book levels summed per side (default {DEFAULT_DEPTH})",
    )
    parser.add_argument(
        "--normalise-symbols",
        action="store_true",
        help="name symbols without separators or perpetual suffix (BTC-USDT-PERP -> BTCUSDT)",
    )


def add_alert_arguments(
    parser: argparse.ArgumentParser, *, ts_unit: str, ts_words: str, parquet: bool = False
) -> None:
    """``--new-only``, ``--cooldown`` and ``--format``: what ``replay`` and ``live`` print."""
    parser.add_argument(
        "--new-only",
        action="store_true",
        help="print an alert only when its symbol is new or its severity changed",
    )
    parser.add_argument(
        "--cooldown",
        type=non_negative_duration,
        default=0,
        metavar=ts_unit,
        help=f"with --new-only or --notify: at most one report per symbol within {ts_unit} "
        f"(5m, 1h, or {ts_words}; default 0)",
    )
    parser.add_argument(
        "--format",
        choices=("auto", "json", "table", "parquet") if parquet else ("auto", "json", "table"),
        default="auto",
        help="output format (default auto: table on a terminal, JSON lines otherwise"
        + ("; parquet, one row per alert per checkpoint, needs -o" if parquet else "")
        + ")",
    )


def load_feeder(
    paths: Sequence[str], specs: Sequence[str], policy: CheckpointPolicy, strict: bool, **watch: bool
) -> LineFeeder:
    """``new_feeder``'s feeder (``watch``: its crossings, peaks and prices); a rejected spec names
    its file."""
    try:
        return new_feeder(specs, policy, strict, **watch)
    except SpecRejected as err:
        raise rejected_spec(paths[err.index], err.message) from err


def add_watch_arguments(parser: argparse.ArgumentParser) -> None:
    """``--crossings`` and ``--peaks``: what happens between checkpoints."""
    parser.add_argument(
        "--crossings",
        action="store_true",
        help="print each threshold crossing when it happens: a symbol's severity reaching the "
        "threshold (up) or falling below it (down); checkpoints print only with --every, "
        "--every-ts or --peaks",
    )
    parser.add_argument(
        "--peaks",
        action="store_true",
        help="each checkpoint also lists the symbols that alerted since the previous one, "
        "at their highest severity and when they had it",
    )


@dataclass(frozen=True, slots=True)
class WatchOptions:
    """What ``--crossings`` changes: crossings shown, checkpoints shown only when asked
    for (``--every``, ``--every-ts``, ``--peaks``), and notices of crossings instead of
    checkpoint changes (down ones with ``--notify-down``)."""

    crossings: bool = False
    show_checkpoints: bool = True
    notify_down: bool = False

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> WatchOptions:
        if not args.crossings:
            return cls()
        periodic = args.every is not None or args.every_ts is not None or args.peaks
        return cls(True, periodic, args.notify_down)


def check_watch_arguments(args: argparse.Namespace) -> None:
    """``--notify-down`` means nothing without crossings to notify."""
    if args.notify_down and not (args.crossings and args.notify is not None):
        raise CliError("--notify-down needs --crossings and --notify", errors.USAGE)


# --- skipped lines and rows --------------------------------------------------


def report_bad_line(name: str, bad: BadLine, strict: bool, stats: ReplayStats) -> None:
    """The one place a rejected line is reported."""
    text = f"{printable(name)}:{bad.number}: {describe(bad.message, bad.field)}"
    if strict:
        terminal.error(text)
    elif stats.bad_lines <= SHOWN_SKIPS:
        terminal.message(f"skipped {text}")
        if stats.bad_lines == SHOWN_SKIPS:
            terminal.message("further skipped lines are only counted")


class BadRowReport:
    """Tells about skipped rows on standard error: the first ones by name, then a count."""

    def __init__(self) -> None:
        self.count = 0
        self.first: BadRow | None = None

    def __call__(self, bad: BadRow) -> None:
        self.count += 1
        if self.first is None:
            self.first = bad
        if self.count <= SHOWN_SKIPS:
            terminal.message(f"skipped {bad.path}:{bad.line}: {bad.message}")
            if self.count == SHOWN_SKIPS:
                terminal.message("further skipped rows are only counted")


# --- checkpoints -------------------------------------------------------------


def choose_output(choice: str, stream: TextIO) -> CheckpointOutput:
    if choice == "table" or (choice == "auto" and stream.isatty()):
        return TableOutput(stream)
    return JsonLinesOutput(stream)


class CheckpointEmitter:
    """Where every checkpoint and crossing of a replay is shown, each spec's in the specs'
    order.

    Each spec has its own news filter, used by ``--new-only`` for the output
    and by ``--notify`` for the notices (with ``--crossings``, the notices
    are the crossings, under the same cooldown); the report sees every
    checkpoint and crossing.
    """

    def __init__(
        self,
        output: CheckpointOutput,
        names: Sequence[str | None],
        cooldown: int,
        *,
        new_only: bool,
        extras: ReplayExtras,
        watch: WatchOptions | None = None,
    ) -> None:
        self.output = output
        self.names = list(names)
        self.new_only = new_only
        self.extras = extras
        self.watch = watch or WatchOptions()
        self.notify_checkpoints = extras.notifier is not None and not self.watch.crossings
        self.filters = [NewOnlyFilter(cooldown) if new_only else None for _ in names]
        # The notices have their own filter: --notify-min-change is theirs alone.
        self.notice_filters = [
            NewOnlyFilter(cooldown, extras.notify_min_change) if self.notify_checkpoints else None
            for _ in names
        ]
        self.gates = [CrossingGate(cooldown, down=self.watch.notify_down) for _ in names]

    def checkpoint(self, item: CheckpointReplies | Checkpoint) -> None:
        if isinstance(item, Checkpoint):
            checkpoints = [item]
        else:
            checkpoints = [item.checkpoint(i, name) for i, name in enumerate(self.names)]
        for checkpoint, name, news_filter, notice_filter in zip(
            checkpoints, self.names, self.filters, self.notice_filters, strict=True
        ):
            self.extras.checkpoint(checkpoint, name)
            alerts = None
            if notice_filter is not None:
                alerts = parse_alerts_reply(checkpoint.reply).alerts
                self.extras.news(notice_filter.changes(alerts, checkpoint.ts), name)
            news = None
            if news_filter is not None:
                if alerts is None:
                    alerts = parse_alerts_reply(checkpoint.reply).alerts
                news = news_filter.changes(alerts, checkpoint.ts)
                if not news:
                    continue
            if self.watch.show_checkpoints:
                self.output.checkpoint(checkpoint, news)

    def crossing(self, item: Crossing) -> None:
        name = self.names[item.spec_index] if len(self.names) > 1 else None
        if name is not None:
            item = replace(item, spec=name)
        self.extras.crossing(item, name)
        if self.extras.notifier is not None and self.gates[item.spec_index].passes(item):
            self.extras.crossing_notice(item, name)
        self.output.crossing(item)

    def crossing_members(self) -> list[str] | None:
        """Whether the feeder may write the crossings as JSON lines itself, thousands a
        second with no object each: only when they go to a JSON-lines output and nothing
        else (report, notices) sees them. Then, per spec, what its lines carry before
        ``"events"``, as ``Crossing.json_line`` writes it; else None."""
        if self.extras.report is not None or self.extras.notifier is not None:
            return None
        if json_lines_stream(self.output) is None:
            return None
        return ["" if name is None else f'"spec":{json.dumps(name)},' for name in self.names]

    def crossing_lines(self, text: str) -> None:
        """Crossings the feeder wrote as JSON lines (see ``crossing_members``)."""
        stream = json_lines_stream(self.output)
        assert stream is not None
        stream.write(text)

    def flush(self) -> None:
        """Write out the crossings shown since the last checkpoint or flush; called after
        each block of input and at the end."""
        self.output.flush()

    def flush_at_end(self) -> None:
        """``flush`` when a run ends: a failure while another is on its way is not raised."""
        if sys.exc_info()[0] is None:
            self.flush()
            return
        with contextlib.suppress(Exception):
            self.flush()


DEFAULT_HORIZONS = "5m,15m,1h,4h"


def horizons_argument(text: str) -> tuple[int, ...]:
    """An argparse type: "5m,15m,1h" as milliseconds, in the order given, each once."""
    values: list[int] = []
    for part in text.split(","):
        value = positive_duration(part)
        if value not in values:
            values.append(value)
    return tuple(values)


SCORING_DEFAULTS = {"horizons": DEFAULT_HORIZONS, "seed": 0, "permutations": 1000}


def add_scoring_arguments(parser: argparse._ActionsContainer, *, defaults: bool = True) -> None:
    """What ``evaluate`` and ``replay --evaluate`` share: onsets, horizons, statistics.

    Without ``defaults`` an option not given stays None (``replay`` refuses
    them without --evaluate; ``scoring_settings`` fills them in).
    """
    parser.add_argument(
        "--horizons",
        type=horizons_argument,
        default=DEFAULT_HORIZONS if defaults else None,
        metavar="LIST",
        help="how long after each onset to measure, as 5m,15m,1h,4h (the default)",
    )
    parser.add_argument(
        "--onsets",
        choices=("crossings", "checkpoints"),
        help="what counts as an alert's onset: an upward threshold crossing at event time "
        "(the default; for replay --evaluate, when --crossings is given), or a symbol newly "
        "listed at a checkpoint",
    )
    parser.add_argument(
        "--seed", type=int, default=0 if defaults else None,
        help="seed of the bootstrap and permutations (default 0)",
    )
    parser.add_argument(
        "--permutations",
        type=positive_int,
        default=1000 if defaults else None,
        metavar="N",
        help="permutations behind each p-value, at most (default 1000; fewer once enough "
        "of them lift as much as the onsets)",
    )


def scoring_options_given(args: argparse.Namespace) -> list[str]:
    """The scoring options given on the command line (those left None when not)."""
    names = ("horizons", "onsets", "seed", "permutations")
    return [f"--{name}" for name in names if getattr(args, name) is not None]


def scoring_setting(args: argparse.Namespace, name: str) -> Any:
    """A scoring option's value, or its default where it was not given."""
    value = getattr(args, name)
    return SCORING_DEFAULTS[name] if value is None else value


def need_plotly() -> None:
    """Refuse at once, not after a long replay, a page the report extra is missing for."""
    try:
        require_plotly()
    except PlotlyMissing as err:
        raise CliError(str(err)) from err
