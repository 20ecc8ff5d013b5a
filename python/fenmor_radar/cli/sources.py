"""What ``replay`` reads: a recording, or vendor CSV files converted on the fly.

Both give numbered event lines (``EventLine``). Lines of converted files are
numbered in the recording that the conversion would write; a bad CSV row is
reported with its own file and line by the conversion and never reaches the
radar.
"""

from __future__ import annotations

import argparse
from collections.abc import Iterator, Sequence
from typing import final

from fenmor_radar.cli import errors
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.shared import BadRowReport, inputs_name
from fenmor_radar.feeds.convert import BLOCK_BYTES, TardisConverter
from fenmor_radar.feeds.tardis import UnknownLayout
from fenmor_radar.replay.recording import DamagedInput

RADAR = "radar"
TARDIS = "tardis"


@final
class TardisSource:
    """Vendor CSV files read as one recording, with the interface of ``Recording``."""

    size: int | None = None

    def __init__(self, paths: Sequence[str], *, depth: int, normalise: bool) -> None:
        self.name = inputs_name(paths)
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
        except (OSError, EOFError, UnicodeDecodeError) as err:
            raise DamagedInput(str(err)) from err

    def close(self) -> None:
        pass


def open_tardis(args: argparse.Namespace) -> TardisSource:
    """The vendor CSV files of ``replay --from tardis``, opened before the replay starts."""
    try:
        return TardisSource(args.events, depth=args.depth, normalise=args.normalise_symbols)
    except OSError as err:
        raise CliError(errors.cannot("read", err.filename, err)) from err
    except UnknownLayout as err:
        raise CliError(str(err)) from err
