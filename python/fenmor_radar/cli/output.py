"""Where checkpoints and crossings go: JSON lines for programs, tables for people.

JSON lines carry the radar's reply text untouched (one line per checkpoint),
or, with ``--new-only``, one line per alert change holding the alert's own
text; a crossing is one line ``{"crossing":"up",...}`` holding the alert's
text, and ``--peaks`` adds a checkpoint's ``"peaks"`` behind its reply. When a replay runs several specs, each line starts with the ``"spec"``
it belongs to and tables show the specs one after the other. Tables are for
reading only and may round.
"""

from __future__ import annotations

import json
import shutil
from collections.abc import Callable, Sequence
from typing import Any, Protocol, TextIO

from fenmor_radar.cli.novelty import AlertChange
from fenmor_radar.cli.table import (
    can_draw_blocks,
    format_factors,
    format_severity,
    render_alerts,
    severity_bar,
)
from fenmor_radar.printable import printable
from fenmor_radar.replay.items import Checkpoint, Crossing
from fenmor_radar.replay.replies import parse_alerts_reply
from fenmor_radar.utc import utc_time


class CheckpointOutput(Protocol):
    def checkpoint(self, checkpoint: Checkpoint, news: Sequence[AlertChange] | None) -> None:
        """Show one checkpoint: all its alerts, or only ``news`` when given."""

    def crossing(self, crossing: Crossing) -> None:
        """Show one crossing, as it happens (written out at the next ``flush``)."""

    def flush(self) -> None:
        """Hand what is shown to the system: crossings come in thousands a second, and one
        write each would cost more than finding them."""


class JsonLinesOutput:
    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def checkpoint(self, checkpoint: Checkpoint, news: Sequence[AlertChange] | None) -> None:
        if news is None:
            self.stream.write(checkpoint.json_line() + "\n")
        else:
            head = checkpoint.head()
            for item in news:
                self.stream.write(
                    f'{head},"change":"{item.change}","rank":{item.alert.rank},'
                    f'"alert":{item.alert.text}}}\n'
                )
        self.stream.flush()

    def crossing(self, crossing: Crossing) -> None:
        self.stream.write(crossing.json_line() + "\n")

    def flush(self) -> None:
        self.stream.flush()


class TableOutput:
    def __init__(
        self,
        stream: TextIO,
        *,
        ts_text: Callable[[int], str] = utc_time,
        width: int | None = None,
    ) -> None:
        self.stream = stream
        self.ts_text = ts_text
        self.width = width
        self.blocks = can_draw_blocks(getattr(stream, "encoding", None))

    def _width(self) -> int:
        return self.width if self.width is not None else shutil.get_terminal_size((100, 24)).columns

    def checkpoint(self, checkpoint: Checkpoint, news: Sequence[AlertChange] | None) -> None:
        reply = parse_alerts_reply(checkpoint.reply)
        clock = "-" if checkpoint.ts is None else self.ts_text(checkpoint.ts)
        head = f"events {checkpoint.events:,}  ts {clock}  scanned {reply.scanned:,}"
        if checkpoint.spec is not None:
            head = f"spec {printable(checkpoint.spec)}  {head}"
        if news is None:
            alerts = reply.alerts
            marks = None
            head += f"  alerts {len(alerts):,}"
        else:
            alerts = [item.alert for item in news]
            marks = [item.change for item in news]
            head += f"  alerts {len(reply.alerts):,}  changed {len(news):,}"
        lines = [head]
        lines += render_alerts(
            alerts, width=self._width(), ts_text=self.ts_text, blocks=self.blocks, marks=marks
        )
        if checkpoint.peaks is not None:
            lines += self._peaks(json.loads(checkpoint.peaks))
        self.stream.write("\n".join(lines) + "\n\n")
        self.stream.flush()

    def _peaks(self, peaks: list[dict[str, object]]) -> list[str]:
        if not peaks:
            return ["peaks since the previous checkpoint: none"]
        symbols = [printable(str(peak["symbol"])) for peak in peaks]
        width = min(max(len(symbol) for symbol in symbols), 24)
        lines = ["peaks since the previous checkpoint"]
        for symbol, peak in zip(symbols, peaks, strict=True):
            severity = peak["severity"]
            value = severity if isinstance(severity, float | int) else None
            bar = severity_bar(value, blocks=self.blocks)
            ts = peak["ts"]
            when = self.ts_text(ts) if isinstance(ts, int) else "-"
            lines.append(f"   {symbol[:width].ljust(width)}  {bar} {format_severity(value)}  {when}")
        return lines

    def crossing(self, crossing: Crossing) -> None:
        # One line per crossing, so that a stream of them reads as a log.
        arrow = ("▲ up  " if crossing.up else "▼ down") if self.blocks else f"{crossing.direction:<4}"
        severity = f"{severity_bar(crossing.severity, blocks=self.blocks)} {format_severity(crossing.severity)}"
        cells = [self.ts_text(crossing.ts), arrow, printable(crossing.symbol), severity]
        if crossing.spec is not None:
            cells.insert(0, f"spec {printable(crossing.spec)}")
        factors = format_factors(crossing.factors, 3, max(self._width() - 60, 20))
        self.stream.write("  ".join([*cells, factors]).rstrip() + "\n")

    def flush(self) -> None:
        self.stream.flush()


def json_lines_stream(output: CheckpointOutput) -> TextIO | None:
    """Where ``output`` writes JSON lines to, or None when it writes something else."""
    if isinstance(output, FileOutput):
        output = output.output
    return output.stream if isinstance(output, JsonLinesOutput) else None


class FileOutput:
    """An output into a file of its own, closed with it."""

    def __init__(self, output: CheckpointOutput, stream: TextIO) -> None:
        self.output = output
        self.stream = stream

    def checkpoint(self, checkpoint: Checkpoint, news: Sequence[AlertChange] | None) -> None:
        self.output.checkpoint(checkpoint, news)

    def crossing(self, crossing: Crossing) -> None:
        self.output.crossing(crossing)

    def flush(self) -> None:
        self.output.flush()

    def close(self) -> None:
        self.stream.close()


class ParquetOutput:
    """Alerts into a Parquet file: one row per alert per checkpoint (or per change)."""

    def __init__(self, path: str, spec_count: int, *, new_only: bool) -> None:
        from fenmor_radar.columnar.alerts import AlertsParquetWriter

        self.writer: Any = AlertsParquetWriter(path, spec_count, with_change=new_only)

    def checkpoint(self, checkpoint: Checkpoint, news: Sequence[AlertChange] | None) -> None:
        if news is None:
            self.writer.add(checkpoint, parse_alerts_reply(checkpoint.reply).alerts)
        else:
            self.writer.add(
                checkpoint, [item.alert for item in news], [item.change for item in news]
            )

    def crossing(self, crossing: Crossing) -> None:
        pass  # the alerts file holds checkpoints; crossings show on a JSON or table output

    def flush(self) -> None:
        pass  # rows are written a row group at a time, and the rest at close

    def close(self) -> None:
        self.writer.close()
