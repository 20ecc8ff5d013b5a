"""What feed health changes in ``live``'s output and notices.

At every checkpoint the session's ``FeedHealth`` names the stale symbols
once; that list is shown beside the alerts (never inside the radar's reply:
JSON lines get a ``"stale"`` member after ``ts``, tables a line under the
alerts) and the notices of stale symbols are held back. A held symbol is
notified at the first checkpoint where it is fresh again, if it still
alerts then, with the change it had when it was held. Under ``--crossings``
the same holds for an upward crossing: held while its symbol is stale, told
once it is fresh unless its downward crossing came first (then neither is).
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TextIO

from fenmor_radar.cli.novelty import AlertChange
from fenmor_radar.cli.output import JsonLinesOutput, TableOutput
from fenmor_radar.cli.replay_extras import ReplayExtras
from fenmor_radar.crossing import Crossing
from fenmor_radar.feeds.health import FeedHealth, duration_text
from fenmor_radar.printable import printable
from fenmor_radar.replay.items import Checkpoint
from fenmor_radar.replay.replies import parse_alerts_reply


@dataclass
class StaleNow:
    """The stale symbols of the checkpoint being shown, shared by output and notices."""

    symbols: list[str] = field(default_factory=list)


class LiveExtras(ReplayExtras):
    """``ReplayExtras`` whose notices wait while their symbol's feed is stale."""

    health: FeedHealth | None = None
    stale_now: StaleNow
    _held: dict[str, AlertChange]
    _alerts: dict[str, AlertChange]
    _held_ups: dict[tuple[str | None, str], Crossing]

    def watch(self, health: FeedHealth, stale_now: StaleNow) -> None:
        self.health = health
        self.stale_now = stale_now
        self._held = {}
        self._alerts = {}
        self._held_ups = {}

    def checkpoint(self, item: Checkpoint, spec: str | None = None) -> None:
        if self.health is not None:
            self.stale_now.symbols = self.health.check()
            self._alerts = {
                alert.symbol: AlertChange("new", alert)
                for alert in parse_alerts_reply(item.reply).alerts
            }
            stale = set(self.stale_now.symbols)
            for key, crossing in list(self._held_ups.items()):
                if key[0] == spec and crossing.symbol not in stale:
                    del self._held_ups[key]
                    super().crossing_notice(crossing, spec)
        super().checkpoint(item, spec)

    def crossing_notice(self, item: Crossing, spec: str | None = None) -> None:
        if self.health is None:
            super().crossing_notice(item, spec)
            return
        key = (spec, item.symbol)
        if not item.up and self._held_ups.pop(key, None) is not None:
            return  # its start was never told, nor is its end
        if item.up and item.symbol in self.stale_now.symbols:
            self._held_ups[key] = item
            return
        super().crossing_notice(item, spec)

    def show(self, item: Checkpoint) -> None:
        assert self.page is not None
        health = self.health.snapshot() if self.health is not None else None
        self.page.checkpoint(item, list(self.stale_now.symbols), health)

    def news(self, changes: Sequence[AlertChange], spec: str | None = None) -> None:
        if self.health is None:
            super().news(changes, spec)
            return
        stale = set(self.stale_now.symbols)
        offered = []
        for symbol in [s for s in self._held if s not in stale]:
            held = self._held.pop(symbol)
            current = self._alerts.get(symbol)
            if current is not None and all(c.alert.symbol != symbol for c in changes):
                offered.append(AlertChange(held.change, current.alert))
        for change in changes:
            if change.alert.symbol in stale:
                self._held[change.alert.symbol] = change
            else:
                offered.append(change)
        offered.sort(key=lambda change: change.alert.rank)
        super().news(offered, spec)


class StaleJsonOutput(JsonLinesOutput):
    """JSON lines with the checkpoint's stale symbols after ``ts``."""

    def __init__(self, stream: TextIO, stale_now: StaleNow) -> None:
        super().__init__(stream)
        self.stale_now = stale_now

    def checkpoint(self, checkpoint: Checkpoint, news: Sequence[AlertChange] | None) -> None:
        stale = f'"stale":{json.dumps(self.stale_now.symbols)}'
        head = f"{checkpoint.head()},{stale}"
        if news is None:
            line = checkpoint.json_line()  # the head, then the reply's members (and peaks)
            self.stream.write(f"{head}{line[len(checkpoint.head()):]}\n")
        else:
            for item in news:
                self.stream.write(
                    f'{head},"change":"{item.change}","rank":{item.alert.rank},'
                    f'"alert":{item.alert.text}}}\n'
                )
        self.stream.flush()


class StaleTableOutput(TableOutput):
    """Tables with a line naming the stale symbols under each checkpoint's alerts."""

    def __init__(self, stream: TextIO, stale_now: StaleNow) -> None:
        super().__init__(stream)
        self.stale_now = stale_now

    def checkpoint(self, checkpoint: Checkpoint, news: Sequence[AlertChange] | None) -> None:
        super().checkpoint(checkpoint, news)
        if self.stale_now.symbols:
            names = ", ".join(printable(symbol) for symbol in self.stale_now.symbols)
            self.stream.write(f"stale (alerts not notified): {names}\n\n")
            self.stream.flush()


def health_table(health: FeedHealth) -> list[str]:
    """Per symbol and channel, the time since the last message ("-": none yet)."""
    rows = health.snapshot()
    if not rows:
        return []
    channels = list(dict.fromkeys(age.channel for row in rows for age in row.channels))
    width = max(len("symbol"), *(len(printable(row.symbol)) for row in rows))
    cells = [max(len(name), 7) for name in channels]
    lines = [
        "  ".join(["symbol".ljust(width), *(n.rjust(w) for n, w in zip(channels, cells, strict=True)), "state"])
    ]
    for row in rows:
        ages = {age.channel: age.age for age in row.channels}
        texts = [
            ("-" if ages.get(name) is None else duration_text(ages[name] or 0.0)).rjust(w)
            for name, w in zip(channels, cells, strict=True)
        ]
        state = "stale" if row.stale else "ok"
        lines.append("  ".join([printable(row.symbol).ljust(width), *texts, state]))
    return lines
