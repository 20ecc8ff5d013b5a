"""``fenmor-radar sample``: save the demo's recording and spec, to replay them yourself."""

from __future__ import annotations

import argparse

from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.errors import CliError
from fenmor_radar.default_spec import default_spec_text
from fenmor_radar.sample import SEED, sample_lines, write_sample
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
        "--seed", type=int, default=SEED, help="seed of the recording (default %(default)s)"
    )
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if args.spec_out:
        try:
            write_whole_file(args.spec_out, default_spec_text().encode("utf-8"))
        except OSError as err:
            raise CliError(errors.cannot("write", args.spec_out, err)) from err
    if args.output:
        try:
            count = write_sample(args.output, args.seed)
        except OSError as err:
            raise CliError(errors.cannot("write", args.output, err)) from err
        terminal.message(f"wrote {count:,} events to {args.output}")
    else:
        out = terminal.standard_output()
        for line in sample_lines(args.seed):
            out.write(line + "\n")
        out.flush()
    return 0
