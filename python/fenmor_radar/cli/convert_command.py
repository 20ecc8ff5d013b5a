"""``fenmor-radar convert --from tardis FILE... -o OUT.jsonl[.gz]``: vendor CSV into a recording."""

from __future__ import annotations

import argparse
import os
import time
import zlib

from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.shared import BadRowReport, add_conversion_options, counted
from fenmor_radar.feeds.convert import TardisConverter, open_output
from fenmor_radar.feeds.tardis import UnknownLayout

SOURCES = ("tardis",)


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "convert",
        help="convert recorded vendor CSV datasets into a recording",
        description=(
            "Read the vendor's CSV files (derivative_ticker, liquidations, book_snapshot_5, "
            "book_snapshot_25, quotes; plain or gzip; any mix of kinds and symbols) and write "
            "one recording in time order, ready for replay."
        ),
    )
    parser.add_argument(
        "--from", dest="source", required=True, choices=SOURCES, help="the files' vendor format"
    )
    parser.add_argument("files", nargs="+", metavar="FILE", help="CSV files (.csv or .csv.gz)")
    parser.add_argument(
        "-o", "--output", required=True, metavar="OUT.jsonl[.gz]", help="the recording to write"
    )
    add_conversion_options(parser)
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary on standard error")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    report = BadRowReport()
    started = time.monotonic()
    try:
        converter = TardisConverter(
            args.files, depth=args.depth, normalise=args.normalise_symbols, on_bad=report
        )
    except OSError as err:
        raise CliError(errors.cannot("read", err.filename, err)) from err
    except UnknownLayout as err:
        raise CliError(str(err)) from err
    try:
        output = open_output(args.output)
    except OSError as err:
        raise CliError(errors.cannot("write", args.output, err)) from err
    try:
        with output:
            for block in converter.blocks():
                output.write(block)
    except BaseException as err:
        os.unlink(args.output)  # a half-written recording would pass for a whole one
        if isinstance(err, (OSError, EOFError, ValueError, zlib.error)):
            message = f"conversion failed, {args.output} removed: {err}"
            raise CliError(message) from err
        raise
    stats = converter.stats
    if not args.quiet:
        seconds = time.monotonic() - started
        rate = stats.rows / seconds if seconds > 0 else 0.0
        text = (
            f"converted {counted(stats.rows, 'row')} of {counted(len(args.files), 'file')} "
            f"into {counted(stats.events, 'event')} for {counted(len(stats.symbols), 'symbol')} "
            f"in {seconds:.2f} s ({rate:,.0f} rows/s)"
        )
        if report.first is not None:
            text += f"; skipped {counted(report.count, 'bad row')}"
        terminal.message(text)
    return errors.SKIPPED_LINES if report.count else errors.OK
