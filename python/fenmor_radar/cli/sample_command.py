"""``fenmor-radar sample``: save the demo's recording and spec, to replay them yourself."""

from __future__ import annotations

import argparse
import os
from typing import Any

from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.shared import positive_int
from fenmor_radar.default_spec import default_spec_text
from fenmor_radar.planted_sample import PLANTED_SEED, PlantedLayout, planted_lines, write_planted
from fenmor_radar.sample import SEED, sample_lines, write_sample
from fenmor_radar.tardis_sample import write_tardis_sample
from fenmor_radar.whole_file import write_whole_file


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "sample",
        help="write the demo's recording (and its spec) to files",
        description=(
            "Write the synthetic recording of the demo as JSON lines (gzip when the "
            "file name ends in .gz; standard output without -o), and optionally the "
            "bundled default spec, ready for `fenmor-radar replay`."
        ),
    )
    parser.add_argument("-o", "--output", metavar="EVENTS.jsonl[.gz]", help="the recording file")
    parser.add_argument("--spec-out", metavar="SPEC.json", help="also write the default spec here")
    parser.add_argument(
        "--tardis", metavar="DIR",
        help="write the demo's hour as the vendor's CSV files (derivative_ticker, "
        "book_snapshot_5, liquidations) into DIR instead, for replay --from tardis and convert",
    )
    parser.add_argument(
        "--seed", type=int, help=f"seed of the recording (default {SEED}; {PLANTED_SEED} planted)"
    )
    default = PlantedLayout()
    planted = parser.add_argument_group(
        "a recording with a known answer",
        "With --planted: open-interest surges on every symbol, followed a set delay later by "
        "a price move of a set size on the PLANT symbols only (the CTRL symbols are controls).",
    )
    planted.add_argument("--planted", action="store_true", help="write that recording instead")
    # No defaults here: an option given without --planted is refused, not ignored.
    planted.add_argument("--symbols", type=positive_int,
                         help=f"symbols, half planted (default {default.symbols})")
    planted.add_argument("--hours", type=_positive_float,
                         help=f"hours of market time (default {default.hours:g})")
    planted.add_argument("--move", type=_positive_float,
                         help="size of the planted move, a fraction of the price "
                         f"(default {default.move:g})")
    planted.add_argument("--delay", type=positive_int, metavar="SECONDS",
                         help=f"from a surge's start to its move's (default {default.delay_s})")
    planted.add_argument("--surges-per-hour", type=_positive_float,
                         help="surges per symbol and hour, on average "
                         f"(default {default.surges_per_hour:g})")
    parser.set_defaults(run=run)


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be greater than zero: {text}")
    return value


PLANTED_OPTIONS = (
    ("--symbols", "symbols"), ("--hours", "hours"), ("--move", "move"), ("--delay", "delay"),
    ("--surges-per-hour", "surges_per_hour"),
)


def _layout(args: argparse.Namespace) -> PlantedLayout:
    default = PlantedLayout()

    def given(name: str, value: Any) -> Any:
        chosen = getattr(args, name)
        return value if chosen is None else chosen

    return PlantedLayout(
        symbols=given("symbols", default.symbols), hours=given("hours", default.hours),
        surges_per_hour=given("surges_per_hour", default.surges_per_hour),
        move=given("move", default.move), delay_s=given("delay", default.delay_s),
        seed=PLANTED_SEED if args.seed is None else args.seed,
    )


def run(args: argparse.Namespace) -> int:
    if args.tardis is not None and (args.planted or args.output):
        raise CliError(
            "--tardis writes the demo's hour as CSV files into a folder; it takes neither "
            "--planted nor -o", errors.USAGE,
        )
    if not args.planted:
        for option, name in PLANTED_OPTIONS:
            if getattr(args, name) is not None:
                raise CliError(
                    f"{option} shapes the planted recording: add --planted (or leave {option} out)",
                    errors.USAGE,
                )
    if args.spec_out:
        try:
            write_whole_file(args.spec_out, default_spec_text().encode("utf-8"))
        except OSError as err:
            raise CliError(errors.cannot("write", args.spec_out, err)) from err
    seed = SEED if args.seed is None else args.seed
    if args.tardis is not None:
        try:
            written = write_tardis_sample(args.tardis, seed)
        except OSError as err:
            raise CliError(errors.cannot("write", args.tardis, err)) from err
        rows = sum(count for _, count in written)
        terminal.message(
            f"wrote {rows:,} rows in {len(written)} CSV files to {args.tardis}; replay them with "
            f"`{terminal.PROG} replay --from tardis --spec SPEC {os.path.join(args.tardis, '*.csv.gz')}`"
        )
    elif args.output:
        try:
            if args.planted:
                count = write_planted(args.output, _layout(args))
            else:
                count = write_sample(args.output, seed)
        except OSError as err:
            raise CliError(errors.cannot("write", args.output, err)) from err
        terminal.message(f"wrote {count:,} events to {args.output}")
    else:
        out = terminal.standard_output()
        lines = planted_lines(_layout(args)) if args.planted else sample_lines(seed)
        for line in lines:
            out.write(line + "\n")
        out.flush()
    return 0
