"""``--serve HOST:PORT``: the live page for ``live`` and ``replay`` (needs the web extra)."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING

from fenmor_radar.cli import terminal
from fenmor_radar.cli.errors import CliError

if TYPE_CHECKING:
    from fenmor_radar.page.server import LivePage


def add_serve_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--serve",
        metavar="HOST:PORT",
        help="serve a page of the current alerts, updated at each checkpoint, on 127.0.0.1:PORT "
        "(or PORT alone); another HOST such as 0.0.0.0 shows it to the network "
        "(needs the web extra)",
    )


def page_from_args(
    args: argparse.Namespace, title: str, threshold: float | None = None
) -> LivePage | None:
    """The started page ``--serve`` asks for, or None; its address is said on standard error."""
    if getattr(args, "serve", None) is None:
        return None
    from fenmor_radar.page.board import Board
    from fenmor_radar.page.server import LivePage, MissingWebStack, parse_address

    try:
        host, port = parse_address(args.serve)
        page = LivePage(host, port, Board(title, threshold))
        url = page.start()
    except ValueError as err:
        raise CliError(str(err), 2) from err
    except MissingWebStack as err:
        raise CliError(str(err)) from err
    except OSError as err:
        raise CliError(f"--serve: cannot listen on {args.serve}: {err.strerror or err}") from err
    terminal.message(f"the live page is at {url}")
    return page


def linger(page: LivePage) -> None:
    """Keep a finished replay's page up until Ctrl-C."""
    import time

    terminal.message(f"the replay is over; its page stays at {page.url} until Ctrl-C")
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
