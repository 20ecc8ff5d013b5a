"""The one replay an evaluation needs: every spec's alerts at each checkpoint, and every price.

The recording is read once, on the native line feeder with one radar per
spec; the feeder also keeps each accepted event's price, taken from it after
every block. Alerts are read exactly as the replay gives them, before any
outcome is looked at, so nothing that follows a moment can shape it.

A spec's ``limit`` only cuts the list a person reads: for measuring, every
symbol at or above the threshold counts, so the radars run without it.
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from fenmor_radar._native import LineFeeder
from fenmor_radar.crossing import Crossing
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import (
    CheckpointReplies,
    FeederReplay,
    Source,
    new_feeder,
)
from fenmor_radar.replay.items import BadLine, ReplayStats
from fenmor_radar.replay.replies import ALERTS_PREFIX, split_reply
from fenmor_radar.report.spec_info import spec_info
from fenmor_radar.scoring.onsets import Alerting, CheckpointAlerts, Onset, strongest
from fenmor_radar.scoring.prices import PriceBook, PriceSeries
from fenmor_radar.spec_source import POSITIONAL_MEMBERS


@dataclass(slots=True)
class ReplayRecord:
    """What an evaluation takes from its replay."""

    checkpoints: list[list[CheckpointAlerts]]  # per spec, in time order
    prices: dict[str, PriceSeries]
    end: int | None  # the replay clock at the end: the largest ts accepted
    stats: ReplayStats
    bad_lines: list[BadLine] = field(default_factory=list)
    # Per spec, each upward crossing as an onset (when the replay watched them).
    crossings: list[list[Onset]] | None = None


def unlimited(spec: str) -> str:
    """The spec without its ``limit`` (array or object form); the text as it is otherwise."""
    try:
        value = json.loads(spec)
    except (ValueError, RecursionError):
        return spec  # the radar names the fault
    if isinstance(value, dict) and value.get("limit") is not None:
        value["limit"] = None
        return json.dumps(value)
    limit = POSITIONAL_MEMBERS.index("limit")
    if isinstance(value, list) and len(value) > limit and value[limit] is not None:
        value[limit] = None
        return json.dumps(value)
    return spec


def _weights(spec: str) -> dict[str, float]:
    info = spec_info(spec, "spec")
    return {signal.key: signal.weight for signal in info.signals}


class AlertRecorder:
    """Keeps what an evaluation needs from a replay on a feeder made with ``prices=True``.

    Call ``block`` after each block the feeder took and ``item`` with each
    item of the replay, then ``finish`` at the end. Only the onsets' source
    (``"crossings"`` or ``"checkpoints"``) gets strongest factors, and none
    without ``factors``: a search that only needs the lift skips them.
    """

    def __init__(
        self,
        feeder: LineFeeder,
        specs: Sequence[str],
        stats: ReplayStats,
        *,
        crossings: bool,
        onsets: str = "crossings",
        factors: bool = True,
        unlimited: bool = False,
    ) -> None:
        self.feeder = feeder
        self.weights = [_weights(spec) for spec in specs]
        self.checkpoint_factors = factors and onsets == "checkpoints"
        self.crossing_factors = factors and onsets == "crossings"
        self.book = PriceBook()
        self.record = ReplayRecord(
            [[] for _ in specs], {}, None, stats, crossings=[[] for _ in specs] if crossings else None
        )
        # Up-crossings' alert texts, per spec: their factors are read at the
        # end, all at once (one parse instead of one per crossing).
        self.crossing_alerts: list[list[str]] = [[] for _ in specs]
        # Without a limit, a checkpoint lists exactly the symbols whose last
        # crossing was upward (a symbol's severity moves only with its own
        # events, and a crossing is scored as the alerts reply scores it):
        # the replies need not be read unless their factors are wanted.
        self.above: list[dict[str, Alerting]] | None = None
        if crossings and unlimited and not self.checkpoint_factors:
            self.above = [{} for _ in specs]

    def block(self) -> None:
        self.book.add(self.feeder.take_prices())

    def item(self, item: CheckpointReplies | BadLine | Crossing) -> None:
        # Crossings come by the million in a search: they are tested first.
        if isinstance(item, Crossing):
            up = item.direction == "up"
            if self.above is not None:
                if up:
                    self.above[item.spec_index][item.symbol] = _ABOVE
                else:
                    self.above[item.spec_index].pop(item.symbol, None)
            if up and self.record.crossings is not None:
                self.record.crossings[item.spec_index].append(
                    Onset(item.symbol, item.ts, item.severity, "")
                )
                if self.crossing_factors:
                    self.crossing_alerts[item.spec_index].append(item.alert)
            return
        if isinstance(item, BadLine):
            self.record.bad_lines.append(item)
            return
        if item.ts is None:
            return  # nothing accepted yet: no moment to measure from
        if self.above is not None:
            for index, above in enumerate(self.above):
                self.record.checkpoints[index].append(CheckpointAlerts(item.ts, above.copy()))
            return
        for index, reply in enumerate(item.replies):
            if self.checkpoint_factors:
                weights = self.weights[index]
                alerting = {
                    value["symbol"]: Alerting(
                        float(value["severity"]), strongest(value["factors"], weights)
                    )
                    for value in _alerts(reply)
                }
            else:
                alerting = _symbols_alerting(reply)
            self.record.checkpoints[index].append(CheckpointAlerts(item.ts, alerting))

    def crossing_lines(self, text: str) -> None:
        """Crossings the feeder wrote as JSON lines (``write_crossings`` with each spec's
        index as its ``"spec"``), in their place among the items: read as ``item`` reads
        a ``Crossing``, without an object per crossing."""
        found = _CROSSING_LINE.findall(text)
        if len(found) != text.count("\n"):
            found = [_crossing_fields(line) for line in text.splitlines()]
        above = self.above
        onsets = self.record.crossings
        for direction, spec_text, symbol, severity, factors, ts in found:
            spec = int(spec_text)
            if "\\" in symbol:
                symbol = json.loads(f'"{symbol}"')
            if direction == "up":
                if above is not None:
                    above[spec][symbol] = _ABOVE
                if onsets is not None:
                    onsets[spec].append(Onset(symbol, int(ts), _number(severity), ""))
                    if self.crossing_factors:
                        self.crossing_alerts[spec].append('{"factors":' + factors + "}")
            elif above is not None:
                above[spec].pop(symbol, None)

    def finish(self) -> ReplayRecord:
        self.block()
        self.record.prices = self.book.series()
        self.record.end = self.feeder.ts
        if self.record.crossings is not None:
            for index, texts in enumerate(self.crossing_alerts):
                if not texts:
                    continue
                weights = self.weights[index]
                values = json.loads("[" + ",".join(texts) + "]")
                self.record.crossings[index] = [
                    Onset(onset.symbol, onset.ts, onset.severity, strongest(value["factors"], weights))
                    for onset, value in zip(self.record.crossings[index], values, strict=True)
                ]
                texts.clear()
        return self.record


# A symbol known to alert, its severity at the checkpoint not read.
_ABOVE = Alerting(math.nan, "")


def _alerts(reply: str) -> list[dict[str, Any]]:
    """The alert values of an alerts reply (``ValueError`` for any other reply, as
    ``split_reply`` names it)."""
    if reply.startswith(ALERTS_PREFIX):
        try:
            document = json.loads(reply)
        except (ValueError, RecursionError):
            pass
        else:
            if isinstance(document, dict) and isinstance(document.get("alerts"), list):
                alerts: list[dict[str, Any]] = document["alerts"]
                return alerts
    return [value for value, _ in split_reply(reply)[0]]


# Each alert of a reply opens with its symbol and severity, in this order
# and spelling (the radar's replies are byte for byte fixed); a quote
# inside a string is escaped, so only an alert's start matches. Strings are
# matched as runs of plain characters between escapes (faster than one
# alternative per character).
_ALERT_START = re.compile(r'\{"symbol":"([^"\\]*(?:\\.[^"\\]*)*)","severity":([^,}]*)')


# A crossing's JSON line as the feeder writes it, the spec given by its
# index; the factors hold numbers and names without braces.
_CROSSING_LINE = re.compile(
    r'\{"crossing":"(up|down)","spec":(\d+),"events":\d+,"symbol":"([^"\\]*(?:\\.[^"\\]*)*)",'
    r'"severity":([^,]*),"factors":(\{[^}]*\}),"ts":(-?\d+)\}\n'
)


def _crossing_fields(line: str) -> tuple[str, str, str, str, str, str]:
    """A crossing line's fields as ``_CROSSING_LINE`` gives them, read by a JSON parser
    (for a line the pattern does not take)."""
    value = json.loads(line)
    symbol = json.dumps(value["symbol"], ensure_ascii=False)[1:-1]
    return (value["crossing"], str(value["spec"]), symbol, json.dumps(value["severity"]),
            json.dumps(value["factors"]), str(value["ts"]))


def _number(text: str) -> float:
    return math.nan if text == "null" else float(text)


def _symbols_alerting(reply: str) -> dict[str, Alerting]:
    """The symbols of an alerts reply with their severities, without reading the factors
    (a tenth of the cost of parsing the whole reply)."""
    if not reply.startswith(ALERTS_PREFIX):
        split_reply(reply)  # raises, naming the reply
    alerting: dict[str, Alerting] = {}
    for symbol, severity in _ALERT_START.findall(reply):
        if "\\" in symbol:
            symbol = json.loads(f'"{symbol}"')
        alerting[symbol] = Alerting(float(severity), "")
    return alerting


def record_replay(
    recordings: Iterable[Source],
    specs: Sequence[str],
    policy: CheckpointPolicy,
    *,
    strict: bool = False,
    on_item: Callable[[CheckpointReplies | BadLine | Crossing], None] | None = None,
    on_block: Callable[[int], None] | None = None,
    stats: ReplayStats | None = None,
    crossings: bool = False,
    factors: bool = True,
) -> ReplayRecord:
    """Replay once through one radar per spec; raises as ``FeederReplay.run`` does.

    With ``crossings`` the feeder also watches each spec's threshold
    crossings at event time, and the record keeps the upward ones as the
    onsets (with their strongest factors unless ``factors`` is False);
    without, the checkpoints' alerts carry the strongest factors. Crossings
    are kept, not handed to ``on_item``.
    """
    texts = [unlimited(spec) for spec in specs]
    # SpecRejected for a bad one.
    feeder = new_feeder(texts, policy, strict, prices=True, crossings=crossings)
    recorder = AlertRecorder(
        feeder, texts, stats if stats is not None else ReplayStats(), crossings=crossings,
        onsets="crossings" if crossings else "checkpoints", factors=factors, unlimited=True,
    )

    if crossings:
        # Written natively as lines, they need no Python object each.
        feeder.write_crossings([f'"spec":{index},' for index in range(len(texts))])

    def block_done(events: int) -> None:
        recorder.block()
        if on_block is not None:
            on_block(events)

    replay = FeederReplay(
        feeder, stats=recorder.record.stats, on_block=block_done,
        crossing_lines=recorder.crossing_lines,
    )
    for item in replay.run(recordings):
        if on_item is not None:
            on_item(item)
        recorder.item(item)
    return recorder.finish()
