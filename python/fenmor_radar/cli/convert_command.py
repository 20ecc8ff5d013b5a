"""``fenmor-radar convert --from tardis FILE... -o OUT.jsonl[.gz]``: vendor CSV into a recording."""

from __future__ import annotations

import argparse
import contextlib
import sys
import time

from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.shared import BadRowReport, add_conversion_options, counted
from fenmor_radar.feeds.convert import TardisConverter, compressed_if_named
from fenmor_radar.feeds.tardis import UnknownLayout
from fenmor_radar.whole_file import whole_file

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
        "-o",
        "--output",
        required=True,
        metavar="OUT.jsonl[.gz]",
        help='the recording to write, there only once complete ("-": standard output)',
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
    to_stdout = args.output == "-"
    name = "standard output" if to_stdout else args.output
    # A half-written recording would pass for a whole one: a file appears
    # only once complete, and a failure leaves what the path named before
    # (never removing a device, a pipe or a file it did not write).
    sink = contextlib.nullcontext(sys.stdout.buffer) if to_stdout else whole_file(args.output)
    opened = False
    try:
        with sink as raw, compressed_if_named(args.output, raw) as output:
            opened = True
            for block in converter.blocks():
                output.write(block)
            output.flush()
    except BrokenPipeError:
        raise  # the reader of standard output went away: the command line's quiet end
    except (OSError, EOFError, ValueError) as err:
        if not opened and isinstance(err, OSError):
            raise CliError(errors.cannot("write", name, err)) from err
        reason = err.strerror if isinstance(err, OSError) and err.strerror else err
        if to_stdout:
            message = f"conversion failed; what standard output received is incomplete: {reason}"
        else:
            message = f"conversion failed, {name} not written: {reason}"
        raise CliError(message) from err
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
