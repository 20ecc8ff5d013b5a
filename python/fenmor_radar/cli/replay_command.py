"""``fenmor-radar replay --spec SPEC.json [--spec ...] EVENTS.jsonl[.gz] ...``.

The replay itself is ``fenmor_radar.replay``; this module wires it to
options, files and terminals. Inputs are opened in ``open_recordings``,
every checkpoint is shown by ``CheckpointEmitter.checkpoint`` and every
rejected line by ``report_bad_line``.
"""

from __future__ import annotations

import argparse
import re
import sys
import time
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING

from fenmor_radar import optional
from fenmor_radar.cli import errors, sources, terminal
from fenmor_radar.cli.distributed_replay import replay_items
from fenmor_radar.cli.durations import positive_duration
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.notify import add_notify_arguments
from fenmor_radar.cli.output import CheckpointOutput, FileOutput
from fenmor_radar.cli.progress import Progress
from fenmor_radar.cli.replay_extras import ReplayExtras
from fenmor_radar.cli.serve_option import add_serve_argument, linger
from fenmor_radar.cli.shared import (
    CheckpointEmitter,
    WatchOptions,
    add_alert_arguments,
    add_conversion_options,
    add_scoring_arguments,
    add_watch_arguments,
    check_watch_arguments,
    choose_output,
    counted,
    inputs_name,
    load_feeder,
    positive_int,
    report_bad_line,
    scoring_options_given,
    scoring_setting,
)
from fenmor_radar.cli.spec_check import warn_spec
from fenmor_radar.cli.spec_file import distinct_names, read_spec_text
from fenmor_radar.columnar.selection import Selection
from fenmor_radar.printable import printable
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import (
    CheckpointReplies,
    FeederReplay,
    NotARecording,
    RecordingDamaged,
    Source,
    open_recording,
)
from fenmor_radar.replay.items import BadLine, Checkpoint, Crossing, ReplayStats
from fenmor_radar.replay.recording import DamagedInput

if TYPE_CHECKING:
    from fenmor_radar._native import LineFeeder
    from fenmor_radar.scoring.replay_pass import AlertRecorder
    from fenmor_radar.scoring.scorecard import Scorecard


# [protocol://]host:port, the host a name, an IPv4 address or a bracketed IPv6 one.
_SCHEDULER = re.compile(r"(?:[a-z][a-z0-9+.-]*://)?(?:\[[0-9A-Fa-f:.]+\]|[^\s:/\[\]]+):[0-9]{1,5}")


def scheduler_address(text: str) -> str:
    """A Dask scheduler's address, which must name its port."""
    if not _SCHEDULER.fullmatch(text):
        raise argparse.ArgumentTypeError(
            f"not a scheduler address with its port: {text!r} (for example tcp://HOST:8786)"
        )
    return text


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "replay",
        help="replay a recording of events through a spec",
        description=(
            "Feed recorded events (JSON lines, one {\"symbol\": ..., \"event\": ...} per line, "
            "plain or gzip; several files are read in order as one) to a radar built from "
            "each SPEC and print the ranked alerts at checkpoints: every N events, every T "
            "of ts, and at the end of the input. "
            "Output is JSON lines when standard output is not a terminal, a table when it is."
        ),
    )
    parser.add_argument(
        "--spec",
        required=True,
        action="append",
        metavar="SPEC.json",
        help="the radar spec file; repeat it to replay several specs in one pass",
    )
    parser.add_argument(
        "events",
        nargs="+",
        metavar="EVENTS.jsonl[.gz]",
        help='the recordings, replayed in order as one ("-" for standard input), '
        "or with --from tardis the vendor's CSV files",
    )
    parser.add_argument(
        "--from",
        dest="source",
        choices=(sources.RADAR, sources.TARDIS),
        default=sources.RADAR,
        help="the input's format: a recording (default) or vendor CSV files, converted on the fly",
    )
    add_conversion_options(parser)
    parser.add_argument(
        "--every", type=positive_int, metavar="N", help="a checkpoint after every N fed events"
    )
    parser.add_argument(
        "--every-ts",
        type=positive_duration,
        metavar="T",
        help="a checkpoint at every multiple of T (before the first event past it): 90s, 5m, 1h "
        "in milliseconds of ts, or a number of ts units",
    )
    add_alert_arguments(parser, ts_unit="C", ts_words="ts units", parquet=True)
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write the checkpoints to FILE instead of standard output "
        "(with --format parquet: one row per alert per checkpoint)",
    )
    parser.add_argument(
        "--symbols",
        type=symbol_list,
        metavar="A,B",
        help="replay only these symbols (a Parquet recording reads only the row groups "
        "that can hold them)",
    )
    parser.add_argument(
        "--from-ts", type=int, metavar="T", help="replay only events with ts >= T"
    )
    parser.add_argument("--to-ts", type=int, metavar="T", help="replay only events with ts < T")
    add_watch_arguments(parser)
    parser.add_argument(
        "--strict", action="store_true", help="stop at the first bad event line (default: skip it)"
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
        type=scheduler_address,
        metavar="ADDRESS",
        help="replay on the Dask cluster at ADDRESS (tcp://host:8786), one shard per worker",
    )
    parser.add_argument(
        "--split",
        choices=("symbols", "specs"),
        default=None,
        help="with --workers or --scheduler, what the workers share out: the symbols "
        "(the default), or the specs (each worker reads the whole input for its share of "
        "the --spec files: for many specs)",
    )
    parser.add_argument(
        "--report",
        metavar="REPORT.html",
        help="also write an HTML report of every checkpoint (needs the report extra)",
    )
    add_notify_arguments(parser)
    add_serve_argument(parser)
    evaluation = parser.add_argument_group(
        "scoring the alerts",
        "With --evaluate, the scorecard of the alerts the replay shows (cut to each spec's "
        "limit; `fenmor-radar evaluate` counts every symbol at or above the threshold) follows "
        "on standard error. --cooldown then also spaces the onsets. Needs the evaluate extra.",
    )
    evaluation.add_argument(
        "--evaluate", action="store_true", help="score the alerts against what followed them"
    )
    add_scoring_arguments(evaluation, defaults=False)
    parser.set_defaults(run=run)


def symbol_list(text: str) -> list[str]:
    names = [name for name in text.split(",") if name]
    if not names:
        raise argparse.ArgumentTypeError(f"expected symbols separated by commas: {text!r}")
    return names


def run(args: argparse.Namespace) -> int:
    given = scoring_options_given(args)
    if given and not args.evaluate:
        raise CliError(f"{given[0]} sets how the alerts are scored: add --evaluate "
                       f"(or leave {given[0]} out)", errors.USAGE)
    if args.cooldown and not args.new_only and args.notify is None and not args.evaluate:
        raise CliError("--cooldown needs --new-only, --notify or --evaluate", errors.USAGE)
    if args.format == "parquet" and args.output is None:
        raise CliError("--format parquet needs -o ALERTS.parquet", errors.USAGE)
    selection = Selection.of(args.symbols, args.from_ts, args.to_ts)
    distributed = args.workers is not None or args.scheduler is not None
    if distributed and args.evaluate:
        raise CliError("--evaluate runs on one process: leave out --workers and --scheduler",
                       errors.USAGE)
    if args.split is not None and not distributed:
        raise CliError("--split shares a replay among workers: give --workers or --scheduler",
                       errors.USAGE)
    if distributed and not selection.everything:
        # The workers feed every event they read: a narrowed replay runs on one process.
        raise CliError("--symbols, --from-ts and --to-ts run on one process: "
                       "leave out --workers and --scheduler", errors.USAGE)
    if distributed and args.source == sources.TARDIS:
        # The workers read recordings, not the vendor's files.
        raise CliError(
            "--workers and --scheduler replay a recording; convert the CSV files first "
            "(fenmor-radar convert --from tardis FILE... -o EVENTS.jsonl.gz)",
            errors.USAGE,
        )
    check_watch_arguments(args)
    specs = [read_spec_text(path) for path in args.spec]
    policy = CheckpointPolicy(every=args.every, every_ts=args.every_ts)
    feeder = load_feeder(
        args.spec, specs, policy, args.strict, crossings=args.crossings, peaks=args.peaks,
        prices=args.evaluate,
    )
    if not selection.everything:
        feeder.select(symbols=selection.symbols, from_ts=selection.from_ts, to_ts=selection.to_ts)
    for path, text in zip(args.spec, specs, strict=True):
        warn_spec(path, text)
    names = distinct_names(args.spec)
    output = open_output(args, len(args.spec))
    extras = ReplayExtras.from_args(args, args.spec, names)
    emit = CheckpointEmitter(
        output,
        names if len(names) > 1 else [None],
        args.cooldown,
        new_only=args.new_only,
        extras=extras,
        watch=WatchOptions.from_args(args),
    )
    inputs: list[str] = []  # with --workers or --scheduler: what the workers read
    recordings: Sequence[Source] = []
    if args.source == sources.TARDIS:
        recordings = [sources.open_tardis(args)]
    elif distributed:
        inputs = distributed_inputs(args.events)
    else:
        recordings = open_recordings(args.events, selection)
    name = inputs_name(inputs or [recording.name for recording in recordings])
    several = len(inputs or recordings) > 1
    show_progress = sys.stderr.isatty() if args.progress is None else args.progress
    progress = Progress(
        sys.stderr,
        enabled=show_progress,
        total=_total_size(recordings),
        position=lambda: _position(recordings),
    )
    stats = ReplayStats()
    recorder = scoring_recorder(args, feeder, specs, stats)
    started = time.monotonic()
    try:
        if not distributed:

            def on_block(events: int) -> None:
                emit.flush()
                if recorder is not None:
                    recorder.block()
                progress.events = events
                progress.tick()

            members = emit.crossing_members() if args.crossings and recorder is None else None
            if members is not None:
                feeder.write_crossings(members)
            replay = FeederReplay(
                feeder, stats=stats, on_block=on_block, crossing_lines=emit.crossing_lines
            )
            items: Iterator[CheckpointReplies | Checkpoint | BadLine | Crossing] = replay.run(
                recordings
            )
        else:
            items = distributed_items(args, inputs, policy, stats)
        for item in items:
            progress.clear()
            if recorder is not None and not isinstance(item, Checkpoint):
                recorder.item(item)
            if isinstance(item, BadLine):
                report_bad_line(item.source or name, item, args.strict, stats)
            elif isinstance(item, Crossing):
                emit.crossing(item)
            else:
                emit.checkpoint(item)
    except NotARecording as err:
        hint = ""
        if b"," in err.first_line.encode() and "{" not in err.first_line:
            hint = (f"; it looks like a CSV file: replay the vendor's CSV files with --from tardis "
                    f"(replay --from tardis --spec SPEC {err.source})")
        raise CliError(str(err) + hint) from err
    except RecordingDamaged as err:
        where = f" after {counted(err.lines, 'line')}" if err.lines else ""
        raise CliError(errors.cannot("read", f"{err.source}{where}", err)) from err
    except DamagedInput as err:
        where = f" after {counted(stats.lines, 'line')}" if stats.lines else ""
        raise CliError(errors.cannot("read", f"{name}{where}", err)) from err
    finally:
        progress.clear()
        emit.flush_at_end()
        extras.close()
        close = getattr(output, "close", None)
        if close is not None:
            close()
        for recording in recordings:
            recording.close()
    card = None
    if recorder is not None:
        card = scorecard(args, recorder)
        if extras.report is not None:
            from fenmor_radar.scoring.page import scorecard_section

            extras.report.data.sections.append(scorecard_section(card, recorder.record))
    extras.finish(name, stats)
    # Converted rows have no line of their own to point at.
    warn_backwards(stats, several=several, lines=args.source != sources.TARDIS)
    if not args.quiet:
        print_summary(name, stats, time.monotonic() - started, several=several)
        extras.print_summary()
    if card is not None:
        from fenmor_radar.scoring.text import scorecard_table

        sys.stderr.write(scorecard_table(card) + "\n")
        sys.stderr.flush()
    if extras.page is not None:
        linger(extras.page)
        extras.close_page()
    if stats.stopped_at is not None:
        return extras.exit_code(errors.FAILED)
    skipped = stats.bad_lines or sum(getattr(source, "bad_rows", 0) for source in recordings)
    return extras.exit_code(errors.SKIPPED_LINES if skipped else errors.OK)


def open_output(args: argparse.Namespace, spec_count: int) -> CheckpointOutput:
    """Standard output, or the file of ``-o`` (JSON lines, a table, or Parquet alerts)."""
    if args.format == "parquet":
        from fenmor_radar.cli.output import ParquetOutput
        from fenmor_radar.columnar import MissingPyarrow

        try:
            return ParquetOutput(args.output, spec_count, new_only=args.new_only)
        except MissingPyarrow as err:
            raise CliError(str(err)) from err
    if args.output is None:
        return choose_output(args.format, terminal.standard_output())
    try:
        stream = open(args.output, "w", encoding="utf-8")  # noqa: SIM115 - closed by the output
    except OSError as err:
        raise CliError(errors.cannot("write", args.output, err)) from err
    return FileOutput(choose_output("json" if args.format == "auto" else args.format, stream), stream)


def scoring_recorder(
    args: argparse.Namespace, feeder: LineFeeder, specs: Sequence[str], stats: ReplayStats
) -> AlertRecorder | None:
    """With --evaluate, what keeps the alerts and prices for the scorecard."""
    if not args.evaluate:
        return None
    try:
        from fenmor_radar.scoring.replay_pass import AlertRecorder
    except ImportError as err:
        raise CliError(optional.missing_message("--evaluate", "evaluate", err)) from err
    onsets = args.onsets or ("crossings" if args.crossings else "checkpoints")
    return AlertRecorder(feeder, specs, stats, crossings=args.crossings, onsets=onsets)


def scorecard(args: argparse.Namespace, recorder: AlertRecorder) -> Scorecard:
    """The scorecard of the replay's alerts (--evaluate)."""
    from fenmor_radar.scoring import scorecard_of

    try:
        return scorecard_of(
            recorder.finish(), list(args.spec), horizons=scoring_setting(args, "horizons"),
            cooldown=args.cooldown,
            onsets=args.onsets or ("crossings" if args.crossings else "checkpoints"),
            seed=scoring_setting(args, "seed"), permutations=scoring_setting(args, "permutations"),
        )
    except ValueError as err:
        raise CliError(str(err), errors.USAGE) from err


def open_recordings(paths: Sequence[str], selection: Selection | None = None) -> list[Source]:
    """Every input, opened before the replay starts, so a missing one fails first."""
    from fenmor_radar.columnar import MissingPyarrow

    recordings: list[Source] = []
    for path in paths:
        try:
            recordings.append(open_recording(path, selection))
        except (OSError, ValueError, MissingPyarrow) as err:
            for recording in recordings:
                recording.close()
            if isinstance(err, OSError):
                raise CliError(errors.cannot("read", path, err)) from err
            raise CliError(str(err)) from err
    return recordings


def _total_size(recordings: Sequence[Source]) -> int | None:
    sizes = [recording.size for recording in recordings]
    return None if None in sizes else sum(size or 0 for size in sizes)


def _position(recordings: Sequence[Source]) -> int | None:
    # Files are read in order: those before the one being read are done.
    done = 0
    for recording in recordings:
        at = recording.position()
        if at is None or recording.size is None:
            return None
        done += at
        if at < recording.size:
            break
    return done


def distributed_inputs(names: Sequence[str]) -> list[str]:
    """The recordings the workers read: globs expanded (``s3://bucket/2024-*.jsonl.gz`` as
    well as local ones)."""
    from fenmor_radar.distributed.parts import expand_inputs

    try:
        return expand_inputs(names)
    except ImportError as err:
        raise CliError(str(err)) from err
    except OSError as err:
        raise CliError(errors.cannot("read", err.filename or names[0], err)) from err


def distributed_items(
    args: argparse.Namespace,
    inputs: Sequence[str],
    policy: CheckpointPolicy,
    stats: ReplayStats,
) -> Iterator[CheckpointReplies | BadLine | Crossing]:
    return replay_items(
        args.spec,
        inputs,
        policy,
        workers=args.workers,
        scheduler=args.scheduler,
        strict=args.strict,
        stats=stats,
        crossings=args.crossings,
        peaks=args.peaks,
        split=args.split or "symbols",
    )


def _where(bad: BadLine | None, several: bool) -> str:
    if bad is None:
        return "line 0"
    return f"{bad.source}:{bad.number}" if several and bad.source else f"line {bad.number}"


def warn_backwards(stats: ReplayStats, several: bool = False, lines: bool = True) -> None:
    """Input out of time order is fed as it comes, but a user should know of it."""
    if not stats.backwards:
        return
    where = ""
    if stats.first_backwards is not None and lines:
        line, source = stats.first_backwards
        where = f" (first at {printable(source)}:{line})" if several and source else f" (first at line {line})"
    terminal.warning(
        f"{counted(stats.backwards, 'event')} went back in time for {'its' if stats.backwards == 1 else 'their'} "
        f"symbol{where}; the radar took them in input order. Are the files given oldest first, "
        "and are their lines sorted by ts?"
    )


def print_summary(name: str, stats: ReplayStats, seconds: float, several: bool = False) -> None:
    rate = stats.events / seconds if seconds > 0 else 0.0
    text = (
        f"replayed {counted(stats.events, 'event')} for "
        f"{counted(stats.symbol_count, 'symbol')} from {name} in {seconds:.2f} s "
        f"({rate:,.0f} events/s), {counted(stats.checkpoints, 'checkpoint')}"
    )
    if stats.stopped_at is not None:
        text += f"; stopped at {_where(stats.stopped_at, several)} (--strict)"
    elif stats.bad_lines:
        first = _where(stats.first_bad, several)
        text += f"; skipped {counted(stats.bad_lines, 'bad line')} (first at {first})"
    terminal.message(text)
