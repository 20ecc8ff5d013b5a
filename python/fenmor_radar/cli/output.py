"""Where checkpoints go: JSON lines for programs, tables for people.

JSON lines carry the radar's reply text untouched (one line per checkpoint),
or, with ``--new-only``, one line per alert change holding the alert's own
text. When a replay runs several specs, each line starts with the ``"spec"``
it belongs to and tables show the specs one after the other. Tables are for
reading only and may round.
"""

from __future__ import annotations

import shutil
from collections.abc import Callable, Sequence
from typing import Protocol, TextIO

from fenmor_radar.cli.novelty import AlertChange
from fenmor_radar.cli.table import can_draw_blocks, render_alerts, utc_time
from fenmor_radar.printable import printable
from fenmor_radar.replay.items import Checkpoint
from fenmor_radar.replay.replies import parse_alerts_reply


class CheckpointOutput(Protocol):
    def checkpoint(self, checkpoint: Checkpoint, news: Sequence[AlertChange] | None) -> None:
        """Show one checkpoint: all its alerts, or only ``news`` when given."""


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
        self.stream.write("\n".join(lines) + "\n\n")
        self.stream.flush()
