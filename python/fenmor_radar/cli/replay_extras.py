"""What a replay or a live run does beside printing: the HTML report and webhook notices.

The command calls these hooks: ``checkpoint`` for every checkpoint taken,
``news`` with the alert changes of each checkpoint, ``crossing`` for every
crossing and ``crossing_notice`` for those to notify, ``close`` when the
feed ends (however it ends), ``finish`` once the run is complete; then
``print_summary`` and ``exit_code``. Each does nothing for an option not given.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, TextIO

from fenmor_radar.cli import errors, terminal
from fenmor_radar.cli.errors import CliError
from fenmor_radar.cli.notify import Notifier, notifier_from_args
from fenmor_radar.cli.novelty import AlertChange
from fenmor_radar.cli.spec_file import read_spec_text
from fenmor_radar.replay.items import Checkpoint, Crossing, ReplayStats
from fenmor_radar.replay.replies import AlertView
from fenmor_radar.report import PlotlyMissing, ReplayReport
from fenmor_radar.report.spec_info import spec_info

if TYPE_CHECKING:
    from fenmor_radar.page.server import LivePage


@dataclass
class ReplayExtras:
    specs: list[str]  # spec names as the output names them (their file paths)
    report: ReplayReport | None = None
    report_path: str | None = None
    notifier: Notifier | None = None
    weights: dict[str, dict[str, float]] = field(default_factory=dict)
    report_size: int | None = None
    page: LivePage | None = None  # --serve
    notify_min_change: float = 0.0

    @classmethod
    def from_args(
        cls,
        args: argparse.Namespace,
        specs: Sequence[str] | None = None,
        names: Sequence[str] | None = None,
        *,
        title: str | None = None,
    ) -> ReplayExtras:
        """From ``--report``, ``--notify*`` and ``--serve`` (the page named ``title``).

        ``specs`` are the spec files (default ``[args.spec]``), ``names`` how
        the output names each (default: their paths).
        """
        paths = list(specs) if specs is not None else [args.spec]
        names = list(names) if names is not None else paths
        extras = cls(names)
        from fenmor_radar.cli.serve_option import page_from_args

        extras.page = page_from_args(args, title or f"replay of {', '.join(names)}")
        wanted_report = getattr(args, "report", None)
        if wanted_report is None and getattr(args, "notify", None) is None:
            return extras
        texts = {name: read_spec_text(path) for name, path in zip(names, paths, strict=True)}
        for name, text in texts.items():
            try:
                info = spec_info(text, name)
            except (
                ValueError
            ):  # the radar already accepted it; weights are a nicety here
                continue
            extras.weights[name] = {
                signal.key: signal.weight for signal in info.signals
            }
        if wanted_report is not None:
            try:
                extras.report = ReplayReport(wanted_report, texts)
            except PlotlyMissing as err:
                raise CliError(str(err)) from err
            except OSError as err:
                raise CliError(errors.cannot("write", wanted_report, err)) from err
            extras.report_path = wanted_report
        try:
            extras.notifier = notifier_from_args(args)
        except ValueError as err:
            raise CliError(str(err), 2) from err
        extras.notify_min_change = getattr(args, "notify_min_change", 0.0)
        return extras

    def _spec(self, spec: str | None) -> str:
        return spec if spec is not None else self.specs[0]

    def checkpoint(self, item: Checkpoint, spec: str | None = None) -> None:
        if self.page is not None and spec in (None, self.specs[0]):
            self.show(item)
        if self.report is not None:
            self.report.checkpoint(item.events, item.ts, item.reply, self._spec(spec))

    def show(self, item: Checkpoint) -> None:
        """The checkpoint on the live page (the first spec's, when a replay runs several)."""
        assert self.page is not None
        self.page.checkpoint(item)

    def news(self, changes: Sequence[AlertChange], spec: str | None = None) -> None:
        if self.notifier is not None and changes:
            name = self._spec(spec)
            self.notifier.news(changes, name, self.weights.get(name))

    def crossing(self, item: Crossing, spec: str | None = None) -> None:
        if self.report is not None:
            self.report.crossing(item, self._spec(spec))

    def crossing_notice(self, item: Crossing, spec: str | None = None) -> None:
        """Notify one crossing: a notice whose change is its direction."""
        if self.notifier is None:
            return
        name = self._spec(spec)
        alert = AlertView(0, item.symbol, _finite(item.severity), item.factors, item.ts, item.alert)
        self.notifier.news([AlertChange(item.direction, alert)], name, self.weights.get(name))

    def close(self) -> None:
        """Stop taking notices; deliver what is queued for a short while.

        Called from the command's ``finally``: when the run is ending on an
        error or Ctrl-C, nothing more is waited for.
        """
        if self.notifier is not None:
            failing = sys.exc_info()[0] is not None
            self.notifier.close(wait=0.0 if failing else None)

    def close_page(self) -> None:
        if self.page is not None:
            self.page.close()

    def finish(self, input_name: str, stats: ReplayStats) -> None:
        if self.report is None or self.report_path is None:
            return
        try:
            self.report_size = self.report.finish(
                input_name,
                lines=stats.lines,
                events=stats.events,
                bad_lines=stats.bad_lines,
                symbols_fed=stats.symbol_count,
            )
        except OSError as err:
            raise CliError(errors.cannot("write", self.report_path, err)) from err

    def print_summary(self, stream: TextIO | None = None) -> None:
        if self.report_size is not None:
            terminal.message(f"wrote {self.report_path} ({self.report_size / 1e6:.1f} MB)", stream)
        if self.notifier is not None:
            terminal.message(self.notifier.summary(), stream)

    def exit_code(self, code: int) -> int:
        """The run's exit code, given the one its replay earned.

        Notices that never reached the webhook turn a successful run into
        ``NOT_NOTIFIED``, and say so even under ``--quiet``.
        """
        notifier = self.notifier
        if notifier is None or not notifier.stats.undelivered:
            return code
        stats = notifier.stats
        offered = stats.queued + stats.dropped
        terminal.error(
            f"{stats.undelivered:,} of {offered:,} notices were not delivered to "
            f"{notifier.url_shown}" + (f" (last error: {stats.last_error})" if stats.last_error else "")
        )
        return code if code == errors.FAILED else errors.NOT_NOTIFIED

def _finite(value: float) -> float | None:
    return value if value == value else None  # NaN is the only value unequal to itself
