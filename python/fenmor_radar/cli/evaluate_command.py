"""``fenmor-radar evaluate --spec S.json [--spec ...] RECORDING...``: the alerts' scorecard.

The replay's input and checkpoint options apply; the scoring itself is
``fenmor_radar.scoring``. This module wires it to options and output.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Sequence

from fenmor_radar import optional
from fenmor_radar.cli import errors, sources, terminal
from fenmor_radar.cli.durations import non_negative_duration, positive_duration
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.replay_command import open_recordings, print_summary
from fenmor_radar.cli.shared import (
    add_conversion_options,
    add_scoring_arguments,
    need_plotly,
    positive_int,
    report_bad_line,
)
from fenmor_radar.cli.spec_file import read_spec_text, rejected_spec
from fenmor_radar.crossing import Crossing
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import (
    CheckpointReplies,
    NotARecording,
    RecordingDamaged,
    Source,
    SpecRejected,
)
from fenmor_radar.replay.items import BadLine, ReplayStats
from fenmor_radar.replay.recording import DamagedInput

DEFAULT_EVERY_TS = 60_000


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "evaluate",
        help="score alerts against what the market did after them",
        description=(
            "Replay recordings once through each SPEC and score its alerts: the absolute "
            "return of the symbol's price over each horizon after an alert's onset against "
            "the same at every checkpoint where the symbol was not alerting (lift), with a "
            "bootstrap interval and a permutation p-value, per spec and per strongest factor. "
            "Needs the evaluate extra (numpy, scipy)."
        ),
    )
    parser.add_argument("--spec", required=True, action="append", metavar="SPEC.json",
                        help="a spec file; repeat it to score several specs in one pass")
    parser.add_argument("events", nargs="+", metavar="EVENTS.jsonl[.gz]",
                        help='the recordings, replayed in order as one ("-" for standard input)')
    parser.add_argument("--from", dest="source", choices=(sources.RADAR, sources.TARDIS),
                        default=sources.RADAR, help="the input's format (as for replay)")
    add_conversion_options(parser)
    parser.add_argument("--every", type=positive_int, metavar="N",
                        help="a checkpoint after every N fed events")
    parser.add_argument("--every-ts", type=positive_duration, metavar="T",
                        help="a checkpoint at every multiple of T ms of ts (default 60000 when "
                        "neither this nor --every is given)")
    parser.add_argument("--cooldown", type=non_negative_duration, default=0, metavar="C",
                        help="an onset within C (5m, or ms) of the symbol's previous onset is "
                        "not a new one")
    add_scoring_arguments(parser)
    parser.add_argument("--symbols", metavar="A,B,...",
                        help="score only these symbols (the replay still reads every one)")
    parser.add_argument("--format", choices=("table", "json"), default="table",
                        help="a table for people (default) or one JSON document")
    parser.add_argument("--no-factors", action="store_true",
                        help="leave out the lines per strongest factor in the table")
    parser.add_argument("--report", metavar="REPORT.html",
                        help="also write the scorecard as an HTML page (needs the report extra)")
    parser.add_argument("--strict", action="store_true", help="stop at the first bad event line")
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary on standard error")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    try:
        from fenmor_radar.scoring import scorecard_of
        from fenmor_radar.scoring.replay_pass import record_replay
        from fenmor_radar.scoring.text import scorecard_json, scorecard_table
    except ImportError as err:
        raise CliError(optional.missing_message("evaluate", "evaluate", err)) from err
    if args.report:
        need_plotly()
    specs = [read_spec_text(path) for path in args.spec]
    onsets = args.onsets or "crossings"
    every_ts = args.every_ts
    if every_ts is None and args.every is None:
        every_ts = DEFAULT_EVERY_TS
    policy = CheckpointPolicy(every=args.every, every_ts=every_ts)
    if args.source == sources.TARDIS:
        recordings: Sequence[Source] = [sources.open_tardis(args)]
    else:
        recordings = open_recordings(args.events)
    name = ", ".join(recording.name for recording in recordings)
    started = time.monotonic()
    stats = ReplayStats()

    def on_item(item: CheckpointReplies | BadLine | Crossing) -> None:
        if isinstance(item, BadLine):
            report_bad_line(item.source or name, item, args.strict, stats)

    try:
        record = record_replay(
            recordings, specs, policy, strict=args.strict, on_item=on_item, stats=stats,
            crossings=onsets == "crossings",
        )
    except SpecRejected as err:
        raise rejected_spec(args.spec[err.index], err.message) from err
    except NotARecording as err:
        raise CliError(str(err)) from err
    except RecordingDamaged as err:
        raise CliError(f"cannot read {err.source}: {err}") from err
    except DamagedInput as err:
        raise CliError(f"cannot read {name}: {err}") from err
    finally:
        for recording in recordings:
            recording.close()
    if not args.quiet:
        print_summary(name, record.stats, time.monotonic() - started, several=len(recordings) > 1)
    symbols = None if args.symbols is None else {s for s in args.symbols.split(",") if s}
    card = scorecard_of(
        record, list(args.spec), horizons=args.horizons, cooldown=args.cooldown,
        onsets=onsets, symbols=symbols, seed=args.seed, permutations=args.permutations,
    )
    out = terminal.standard_output()
    if args.format == "json":
        out.write(scorecard_json(card) + "\n")
    else:
        out.write(scorecard_table(card, factors=not args.no_factors) + "\n")
    out.flush()
    if args.report:
        from fenmor_radar.scoring.page import write_scorecard_page

        write_scorecard_page(args.report, card, record)
        if not args.quiet:
            terminal.message(f"wrote the scorecard page to {args.report}")
    if record.stats.stopped_at is not None:
        return errors.FAILED
    return errors.SKIPPED_LINES if stats.bad_lines else errors.OK
