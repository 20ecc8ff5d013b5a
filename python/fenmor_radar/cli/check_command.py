"""``fenmor-radar check SPEC.json``: what the radar will make of a spec, before a replay."""

from __future__ import annotations

import argparse

from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.lookback_time import lookback_lines, read_cadence, spec_lookbacks
from fenmor_radar.cli.spec_check import SpecReport, bytes_text, check_spec
from fenmor_radar.cli.spec_file import radar_from_text, read_spec_text
from fenmor_radar.columnar.arrow import MissingPyarrow
from fenmor_radar.columnar.recording import NotColumnar
from fenmor_radar.replay.recording import DamagedInput


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "check",
        help="check a spec: typos, useless or costly parameters, window and memory per symbol",
        description=(
            "Read SPEC as the radar does, then warn about what the radar silently ignores "
            "or cannot use: unknown members (with a did-you-mean), a lookback that is not "
            "a whole sample or is huge, a zero scale, a weight of 0, a threshold above the "
            "largest severity the spec can reach. Shows the samples each signal needs and "
            "the memory per symbol. Exits 0 unless the radar rejects the spec, or with "
            "--strict when there are warnings (1)."
        ),
    )
    parser.add_argument(
        "spec", metavar="SPEC.json",
        help="the radar spec file, or a search space of `tune` (checked against --base)",
    )
    parser.add_argument(
        "--base", metavar="BASE.json", help="with a space file: the base spec it searches around"
    )
    parser.add_argument("--strict", action="store_true", help="exit 1 when there are warnings")
    parser.add_argument(
        "--recording",
        metavar="EVENTS.jsonl[.gz]",
        help="also say how much time each lookback spans on this recording's cadence "
        "(from its first 1,000,000 lines)",
    )
    parser.set_defaults(run=run)


def report_lines(origin: str, report: SpecReport) -> list[str]:
    """The check's report as lines: warnings first, then what the spec needs."""
    count = len(report.warnings)
    lines = [finding.format(origin) for finding in report.warnings]
    lines.append(f"{origin}: {count} warning{'' if count == 1 else 's'}")
    lines.append("")
    width = max([len(signal.key) for signal in report.signals] + [len("signal")])
    lines.append(f"  {'':<11} {'signal':<{width}}  needs")
    for signal in report.signals:
        lines.append(f"  {signal.where:<11} {signal.key:<{width}}  {signal.needs}")
    lines.append("")
    window = report.window
    per_symbol = report.bytes_per_symbol()
    lines.append(
        f"memory: each symbol keeps its last {window:,} samples (the longest lookback + 1, "
        f"at least 2); with full histories at most 4 x 8 x ({window:,} + 1) + 200 = "
        f"{bytes_text(per_symbol)} per symbol, {bytes_text(per_symbol * 100_000)} for 100,000 symbols"
    )
    lines.append(
        f"severity: at most {report.max_severity:.4g} with these signals and weights; "
        f"threshold {report.threshold:g}"
    )
    return lines


def recording_lines(spec_text: str, path: str) -> list[str]:
    """What time each lookback of the spec spans on the recording at ``path``."""
    signals = spec_lookbacks(spec_text)
    if signals is None:
        raise CliError(f"cannot read the signals of the spec to measure them on {path}")
    try:
        cadence = read_cadence(path)
    except OSError as err:
        raise CliError(errors.cannot("read", path, err)) from err
    except DamagedInput as err:
        raise CliError(errors.cannot("read", path, err)) from err
    except (MissingPyarrow, NotColumnar) as err:  # a Parquet recording
        raise CliError(str(err)) from err
    return lookback_lines(signals, cadence)


def check_space(args: argparse.Namespace, text: str) -> int:
    """A space file: its ranges read as ``tune`` reads them, over the base spec when given."""
    from fenmor_radar.tuning.space import SpaceError, read_space

    base = None
    if args.base is not None:
        base = read_spec_text(args.base)
        radar_from_text(base, args.base)
    try:
        space = read_space(text, base, args.spec)
    except SpaceError as err:
        raise CliError(str(err)) from err
    out = terminal.standard_output(escape_controls=True)
    count = len(space.dimensions)
    lines = [f"{args.spec}: a search space of {count} value{'' if count == 1 else 's'}"]
    for dimension in space.dimensions:
        r = dimension.range
        kind = "integers" if r.integer else "numbers"
        lines.append(f"  {r.name:<32} {kind} {r.low:g} to {r.high:g}")
    if base is None:
        lines.append("  (give --base BASE.json to check the signals it names)")
    out.write("\n".join(lines) + "\n")
    out.flush()
    return errors.OK


def run(args: argparse.Namespace) -> int:
    from fenmor_radar.tuning.space import looks_like_space

    text = read_spec_text(args.spec)
    if looks_like_space(text):
        return check_space(args, text)
    out = terminal.standard_output(escape_controls=True)
    radar_from_text(text, args.spec)  # the radar's own verdict first (a CliError)
    report = check_spec(text)
    lines = report_lines(args.spec, report)
    if args.recording is not None:
        lines += ["", *recording_lines(text, args.recording)]
    out.write("\n".join(lines) + "\n")
    out.flush()
    return errors.FAILED if args.strict and report.warnings else errors.OK
