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
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field

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
from fenmor_radar.replay.replies import split_reply
from fenmor_radar.report.spec_info import spec_info
from fenmor_radar.scoring.onsets import Alerting, CheckpointAlerts, Onset, strongest
from fenmor_radar.scoring.prices import PriceBook, PriceSeries


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
    if isinstance(value, list) and len(value) >= 5 and value[4] is not None:
        value[4] = None
        return json.dumps(value)
    return spec


def _weights(spec: str) -> dict[str, float]:
    info = spec_info(spec, "spec")
    return {signal.key: signal.weight for signal in info.signals}


class AlertRecorder:
    """Keeps what an evaluation needs from a replay on a feeder made with ``prices=True``.

    Call ``block`` after each block the feeder took and ``item`` with each
    item of the replay, then ``finish`` at the end.
    """

    def __init__(
        self, feeder: LineFeeder, specs: Sequence[str], stats: ReplayStats, *, crossings: bool
    ) -> None:
        self.feeder = feeder
        self.weights = [_weights(spec) for spec in specs]
        self.book = PriceBook()
        self.record = ReplayRecord(
            [[] for _ in specs], {}, None, stats, crossings=[[] for _ in specs] if crossings else None
        )

    def block(self) -> None:
        self.book.add(self.feeder.take_prices())

    def item(self, item: CheckpointReplies | BadLine | Crossing) -> None:
        if isinstance(item, BadLine):
            self.record.bad_lines.append(item)
            return
        if isinstance(item, Crossing):
            if item.up and self.record.crossings is not None:
                factor = strongest(item.factors, self.weights[item.spec_index])
                self.record.crossings[item.spec_index].append(
                    Onset(item.symbol, item.ts, item.severity, factor)
                )
            return
        if item.ts is None:
            return  # nothing accepted yet: no moment to measure from
        for index, reply in enumerate(item.replies):
            alerts, _ = split_reply(reply)
            alerting = {
                value["symbol"]: Alerting(
                    float(value["severity"]), strongest(value["factors"], self.weights[index])
                )
                for value, _ in alerts
            }
            self.record.checkpoints[index].append(CheckpointAlerts(item.ts, alerting))

    def finish(self) -> ReplayRecord:
        self.block()
        self.record.prices = self.book.series()
        self.record.end = self.feeder.ts
        return self.record


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
) -> ReplayRecord:
    """Replay once through one radar per spec; raises as ``FeederReplay.run`` does.

    With ``crossings`` the feeder also watches each spec's threshold
    crossings at event time, and the record keeps the upward ones.
    """
    texts = [unlimited(spec) for spec in specs]
    # SpecRejected for a bad one.
    feeder = new_feeder(texts, policy, strict, prices=True, crossings=crossings)
    recorder = AlertRecorder(
        feeder, texts, stats if stats is not None else ReplayStats(), crossings=crossings
    )

    def block_done(events: int) -> None:
        recorder.block()
        if on_block is not None:
            on_block(events)

    for item in FeederReplay(feeder, stats=recorder.record.stats, on_block=block_done).run(recordings):
        if on_item is not None:
            on_item(item)
        recorder.item(item)
    return recorder.finish()
