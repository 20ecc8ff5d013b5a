"""What ``replay`` reads: a recording, or vendor CSV files converted on the fly.

Both give numbered event lines (``EventLine``). Lines of converted files are
numbered in the recording that the conversion would write; a bad CSV row is
reported with its own file and line by the conversion and never reaches the
radar.
"""

from __future__ import annotations

import argparse
import zlib
from collections.abc import Iterator, Sequence
from typing import final

from fenmor_radar.cli.errors import CliError
from fenmor_radar.feeds.convert import BLOCK_BYTES
from fenmor_radar.replay.recording import DamagedInput, EventLine
from fenmor_radar.feeds.book import DEFAULT_DEPTH, check_depth

RADAR = "radar"
TARDIS = "tardis"


def positive_depth(text: str) -> int:
    try:
        return check_depth(int(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number of at least 1: {text!r}") from None


def add_conversion_options(parser: argparse.ArgumentParser) -> None:
    """``--depth`` and ``--normalise-symbols``: how vendor data becomes events."""
    parser.add_argument(
        "--depth",
        type=positive_depth,
        default=DEFAULT_DEPTH,
        metavar="N",
        help=f"book levels summed per side (default {DEFAULT_DEPTH})",
    )
    parser.add_argument(
        "--normalise-symbols",
        action="store_true",
        help="name symbols without separators or perpetual suffix (BTC-USDT-PERP -> BTCUSDT)",
    )


@final
class TardisSource:
    """Vendor CSV files read as one recording, with the interface of ``Recording``."""

    size: int | None = None

    def __init__(self, paths: Sequence[str], *, depth: int, normalise: bool) -> None:
        from fenmor_radar.cli.convert_command import BadRowReport
        from fenmor_radar.feeds.convert import TardisConverter

        self.name = paths[0] if len(paths) == 1 else f"{paths[0]} (+{len(paths) - 1} files)"
        self.report = BadRowReport()
        self.converter = TardisConverter(paths, depth=depth, normalise=normalise, on_bad=self.report)

    @property
    def bad_rows(self) -> int:
        return self.report.count

    def position(self) -> int | None:
        return None

    def blocks(self) -> Iterator[bytes]:
        """The converted recording in blocks; ``DamagedInput`` when a file breaks off."""
        try:
            yield from self.converter.blocks(BLOCK_BYTES)
        except (OSError, EOFError, zlib.error, UnicodeDecodeError) as err:
            raise DamagedInput(str(err)) from err

    def lines(self) -> Iterator[EventLine]:
        """The converted recording's numbered lines (for the Dask replay)."""
        try:
            for number, text in enumerate(self.converter.lines(), 1):
                yield EventLine(number, text)
        except (OSError, EOFError, zlib.error, UnicodeDecodeError) as err:
            raise DamagedInput(str(err)) from err

    def close(self) -> None:
        pass


def open_tardis(args: argparse.Namespace) -> TardisSource:
    """The vendor CSV files of ``replay --from tardis``, opened before the replay starts."""
    from fenmor_radar.feeds.tardis import UnknownLayout

    try:
        return TardisSource(args.events, depth=args.depth, normalise=args.normalise_symbols)
    except OSError as err:
        raise CliError(f"cannot read {err.filename}: {err.strerror or err}") from err
    except UnknownLayout as err:
        raise CliError(str(err)) from err
