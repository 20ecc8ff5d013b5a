"""``fenmor-radar convert``: vendor CSV files or recordings into a recording.

The output's name picks its format: ``.parquet`` writes a Parquet recording,
anything else JSON lines (gzip when it ends in ``.gz``). Inputs are the
vendor's CSV files with ``--from tardis``, else recordings, JSON lines or
Parquet, read in order as one.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from collections.abc import Iterator

from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.errors import USAGE, CliError
from fenmor_radar.cli.shared import BadRowReport, add_conversion_options, counted
from fenmor_radar.columnar.arrow import MissingPyarrow
from fenmor_radar.feeds.tardis import BadRow, UnknownLayout
from fenmor_radar.printable import printable
from fenmor_radar.replay.bad_lines import describe
from fenmor_radar.replay.recording import DamagedInput
from fenmor_radar.whole_file import whole_file

SOURCES = ("tardis",)


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "convert",
        help="convert vendor CSV datasets or recordings into a recording (JSON lines or Parquet)",
        description=(
            "With --from tardis, read the vendor's CSV files (derivative_ticker, liquidations, "
            "book_snapshot_5, book_snapshot_25, quotes; plain or gzip; any mix of kinds and "
            "symbols) and write one recording in time order. Without it, read recordings (JSON "
            "lines, plain or gzip, or Parquet) in order as one. The output is Parquet when its "
            "name ends in .parquet, else JSON lines (gzip for .gz). Lines the radar would "
            "refuse are reported and left out."
        ),
    )
    parser.add_argument(
        "--from",
        dest="source",
        choices=SOURCES,
        help="the files' vendor format (default: the inputs are recordings)",
    )
    parser.add_argument(
        "files",
        nargs="+",
        metavar="FILE",
        help="CSV files (.csv or .csv.gz) with --from tardis, else recordings",
    )
    parser.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="OUT.jsonl[.gz]|OUT.parquet",
        help='the recording to write, there only once complete ("-": standard output)',
    )
    parser.add_argument(
        "--cluster-symbols",
        action="store_true",
        help=(
            "Parquet output only: lay the rows out by symbol within segments of the input, with a "
            "`seq` column that restores input order, so that a query for a few symbols reads a "
            "small part of the file (every reader restores the order itself)"
        ),
    )
    add_conversion_options(parser)
    parser.add_argument("-q", "--quiet", action="store_true", help="no summary on standard error")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if args.cluster_symbols and not args.output.lower().endswith(".parquet"):
        raise CliError(
            f"--cluster-symbols lays out a Parquet recording, and {printable(args.output)} is not one: "
            "name the output *.parquet, or leave the option out",
            USAGE,
        )
    if args.source is None:
        return convert_recordings(args)
    from fenmor_radar.feeds.convert import TardisConverter

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
    write_output(args.output, converter.blocks(), report, cluster_symbols=args.cluster_symbols)
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
    if stats.first_back is not None:
        path, line = stats.first_back
        terminal.warning(
            f"{counted(stats.rows_back, 'row')} came before a time already written "
            f"(first at {printable(path)}:{line}); the recording keeps each file's order, so it "
            "is not in time order. Sort the file by timestamp and convert again."
        )
    return errors.SKIPPED_LINES if report.count else errors.OK


def write_output(
    output_path: str, blocks: Iterator[bytes], report: BadRowReport, *, cluster_symbols: bool = False
) -> None:
    """Recording lines written to ``output_path`` ("-": standard output), in the format
    its name asks for: Parquet for ``.parquet`` (laid out by symbol with
    ``cluster_symbols``), else JSON lines (gzip for ``.gz``).

    A half-written recording would pass for a whole one: a file appears only
    once complete, and a failure leaves what the path named before (never
    removing a device, a pipe or a file it did not write).
    """
    from fenmor_radar.feeds.convert import compressed_if_named

    to_stdout = output_path == "-"
    name = "standard output" if to_stdout else output_path
    parquet = output_path.lower().endswith(".parquet")
    if parquet:
        from fenmor_radar.columnar.writer import ParquetRecordingWriter
    sink = contextlib.nullcontext(sys.stdout.buffer) if to_stdout else whole_file(output_path)
    opened = False
    try:
        with sink as raw:
            if parquet:
                with ParquetRecordingWriter(raw, cluster_symbols=cluster_symbols) as writer:
                    opened = True
                    for block in blocks:
                        for number, message, field in writer.write_lines(block, 1):
                            report(BadRow(output_path, number, describe(message, field)))
            else:
                with compressed_if_named(output_path, raw) as output:
                    opened = True
                    for block in blocks:
                        output.write(block)
                    output.flush()
    except BrokenPipeError:
        raise  # the reader of standard output went away: the command line's quiet end
    except MissingPyarrow as err:
        raise CliError(str(err)) from err
    except (OSError, EOFError, ValueError, DamagedInput) as err:
        if not opened and isinstance(err, OSError):
            raise CliError(errors.cannot("write", name, err)) from err
        reason = err.strerror if isinstance(err, OSError) and err.strerror else err
        if to_stdout:
            message = f"conversion failed; what standard output received is incomplete: {reason}"
        else:
            message = f"conversion failed, {name} not written: {reason}"
        raise CliError(message) from err


def convert_recordings(args: argparse.Namespace) -> int:
    """Recordings (JSON lines or Parquet) into one recording of the output's format."""
    from fenmor_radar.columnar.convert import lines_of
    from fenmor_radar.columnar.recording import NotColumnar

    report = BadRowReport()

    def on_bad(path: str, number: int, message: str, field: str | None) -> None:
        report(BadRow(path, number, describe(message, field)))

    def blocks() -> Iterator[bytes]:
        for path in args.files:
            yield from lines_of(path, on_bad)

    started = time.monotonic()
    for path in args.files:
        if not os.path.exists(path):
            raise CliError(f"cannot read {path}: No such file or directory")
    try:
        write_output(args.output, blocks(), report, cluster_symbols=args.cluster_symbols)
    except (MissingPyarrow, NotColumnar) as err:
        raise CliError(str(err)) from err
    if not args.quiet:
        seconds = time.monotonic() - started
        text = f"converted {counted(len(args.files), 'recording')} into {args.output} in {seconds:.2f} s"
        if report.first is not None:
            text += f"; skipped {counted(report.count, 'bad line')}"
        terminal.message(text)
    return errors.SKIPPED_LINES if report.count else errors.OK
