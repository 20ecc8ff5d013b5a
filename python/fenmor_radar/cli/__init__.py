"""The ``fenmor-radar`` command line: one module per command (``<name>_command``).

The replay itself is ``fenmor_radar.replay``; the command modules wire it
to options, files and terminals. What several commands share is in
``shared``; everything written to standard error goes through ``terminal``.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from fenmor_radar import __version__
from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.terminal import PROG


def build_parser() -> argparse.ArgumentParser:
    # The command modules are imported here, not at the top: importing them is
    # most of the start-up time, and main() ends a Ctrl-C during it quietly.
    from fenmor_radar.cli import (
        check_command,
        convert_command,
        demo_command,
        evaluate_command,
        live_command,
        pipe_command,
        replay_command,
        report_command,
        sample_command,
        tune_command,
    )

    parser = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "A market radar for crypto-derivatives traders: ranked, scored alerts from "
            "open interest, funding, order books and liquidations. Without a command, "
            "runs the demo."
        ),
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")
    demo_command.add_parser(commands)
    replay_command.add_parser(commands)
    pipe_command.add_parser(commands)
    sample_command.add_parser(commands)
    report_command.add_parser(commands)
    check_command.add_parser(commands)
    live_command.add_parser(commands)
    convert_command.add_parser(commands)
    evaluate_command.add_parser(commands)
    tune_command.add_parser(commands)
    demo_command.add_arguments(parser)  # a bare `fenmor-radar` runs the demo
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit code."""
    try:
        parser = build_parser()
    except KeyboardInterrupt:  # Ctrl-C while the program starts: no traceback
        terminal.message("interrupted")
        return errors.INTERRUPTED
    args = parser.parse_args(argv)
    terminal.install_signal_handlers()
    try:
        return int(args.run(args))
    except CliError as err:
        terminal.error(err.message)
        return err.exit_code
    except KeyboardInterrupt as err:  # terminal.Stopped for SIGINT and SIGTERM
        code = err.exit_code if isinstance(err, terminal.Stopped) else errors.INTERRUPTED
        terminal.message("interrupted" if code == errors.INTERRUPTED else "terminated")
        return code
    except BrokenPipeError:
        # The reader went away (`| head`): end quietly, as Unix tools do.
        return terminal.quiet_broken_pipe()
    except OSError as err:  # writing the output failed (a full disk, say)
        name = err.filename if err.filename is not None else terminal.STDOUT_NAME
        terminal.error(errors.cannot("write to", name, err))
        return errors.FAILED
