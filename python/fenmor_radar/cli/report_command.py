"""``fenmor-radar report OUTPUT.jsonl -o report.html``: the HTML report of a saved replay output."""

from __future__ import annotations

import argparse
from collections.abc import Iterator

from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.shared import need_plotly
from fenmor_radar.cli.spec_file import read_spec_text
from fenmor_radar.replay.recording import DamagedInput, EventLine, Recording
from fenmor_radar.report import (
    SavedOutputError,
    read_replay_output,
    spec_info,
    write_report,
)


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "report",
        help="write the HTML report of a saved replay output",
        description=(
            "Read what `fenmor-radar replay --format json` printed (one checkpoint per line, "
            'plain or gzip; "-" for standard input) and write one self-contained HTML page: '
            "severity timelines, each factor's share, a table of alerts. Needs the report "
            "extra: pip install 'fenmor-radar[report]'."
        ),
    )
    parser.add_argument(
        "output_lines", metavar="OUTPUT.jsonl[.gz]", help="the saved replay output"
    )
    parser.add_argument(
        "-o", "--output", required=True, metavar="REPORT.html", help="the page to write"
    )
    parser.add_argument(
        "--spec",
        action="append",
        default=[],
        metavar="SPEC.json",
        help="the spec the replay ran (repeat for several): shows signals, weights, threshold",
    )
    parser.set_defaults(run=run)


def _texts(source: Recording) -> Iterator[str]:
    line: EventLine
    for line in source.lines():
        if line.problem is not None:
            raise CliError(f"{source.name}:{line.number}: {line.problem}")
        yield line.text


def run(args: argparse.Namespace) -> int:
    need_plotly()
    specs = {}
    for path in args.spec:
        try:
            specs[path] = spec_info(read_spec_text(path), path)
        except ValueError as err:
            raise CliError(f"{path}: not a spec: {err}") from err
    try:
        source = Recording(args.output_lines)
    except OSError as err:
        raise CliError(errors.cannot("read", args.output_lines, err)) from err
    try:
        with source:
            data = read_replay_output(source.name, _texts(source), specs)
    except SavedOutputError as err:
        raise CliError(str(err)) from err
    except DamagedInput as err:
        raise CliError(errors.cannot("read", source.name, err)) from err
    try:
        size = write_report(data, args.output)
    except OSError as err:
        raise CliError(errors.cannot("write", args.output, err)) from err
    terminal.message(f"wrote {args.output} ({size / 1e6:.1f} MB)")
    return 0
