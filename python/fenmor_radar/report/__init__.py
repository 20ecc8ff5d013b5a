"""The HTML replay report (the ``report`` extra: plotly).

``ReplayReport`` is fed by a running replay, one checkpoint at a time;
``read_replay_output`` builds the same data from a saved JSON-lines output.
"""

from __future__ import annotations

import errno
import json
import os
from typing import TYPE_CHECKING

from fenmor_radar.report.collect import ReportData, RunInfo, SpecRun
from fenmor_radar.report.html import (
    INSTALL_HINT,
    PlotlyMissing,
    require_plotly,
    write_report,
)
from fenmor_radar.report.saved import SavedOutputError, read_replay_output
from fenmor_radar.report.spec_info import SpecInfo, spec_info

if TYPE_CHECKING:
    from fenmor_radar.replay.items import Crossing

__all__ = [
    "INSTALL_HINT",
    "PlotlyMissing",
    "ReplayReport",
    "ReportData",
    "RunInfo",
    "SavedOutputError",
    "SpecInfo",
    "SpecRun",
    "read_replay_output",
    "require_plotly",
    "spec_info",
    "write_report",
]


class ReplayReport:
    """Collects a running replay's checkpoints and crossings and writes the page at the end.

    ``specs`` maps each spec's name (as replay output names it) to its text.
    """

    def __init__(self, path: str, specs: dict[str, str]) -> None:
        require_plotly()
        folder = os.path.dirname(os.path.abspath(path))
        if not os.access(folder, os.W_OK):  # found out now, not after an hour of replay
            raise OSError(errno.EACCES, "cannot write into its folder", path)
        self.path = path
        self.data = ReportData(RunInfo(source="replay"))
        self._specs = {name: spec_info(text, name) for name, text in specs.items()}
        for name, spec in self._specs.items():
            self.data.run_for(name, spec)

    def checkpoint(
        self, events: int, ts: int | None, reply: str, spec: str | None = None
    ) -> None:
        """One checkpoint of the spec named ``spec`` (the only one when None)."""
        name = spec if spec is not None else next(iter(self._specs))
        self.data.run_for(name, self._specs.get(name)).add_reply(events, ts, reply)

    def crossing(self, item: Crossing, spec: str | None = None) -> None:
        """One crossing of the spec named ``spec`` (the only one when None)."""
        name = spec if spec is not None else next(iter(self._specs))
        self.data.run_for(name, self._specs.get(name)).add_crossing(json.loads(item.json_line()))

    def finish(
        self,
        input_name: str,
        *,
        lines: int,
        events: int,
        bad_lines: int,
        symbols_fed: int,
    ) -> int:
        """Write the page; returns its size in bytes."""
        info = self.data.info
        info.input_name = input_name
        info.lines, info.events, info.bad_lines = lines, events, bad_lines
        info.symbols_fed = symbols_fed
        return write_report(self.data, self.path)
