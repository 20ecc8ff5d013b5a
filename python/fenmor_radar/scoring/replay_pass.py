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

from fenmor_radar._fenmor_replay import LineFeeder
from fenmor_radar.scoring.onsets import Alerting, CheckpointAlerts, strongest
from fenmor_radar.scoring.prices import PriceBook, PriceSeries
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import CheckpointReplies, FeederReplay, SpecRejected
from fenmor_radar.replay.items import BadLine, ReplayStats
from fenmor_radar.replay.recording import RecordingSource
from fenmor_radar.replay.replies import split_reply
from fenmor_radar.report.spec_info import spec_info


@dataclass(slots=True)
class ReplayRecord:
    """What an evaluation takes from its replay."""

    checkpoints: list[list[CheckpointAlerts]]  # per spec, in time order
    prices: dict[str, PriceSeries]
    end: int | None  # the replay clock at the end: the largest ts accepted
    stats: ReplayStats
    bad_lines: list[BadLine] = field(default_factory=list)


def unlimited(spec: str) -> str:
    """The spec without its ``limit`` (array or object form); the text as it is otherwise."""
    try:
        value = json.loads(spec)
    except ValueError:
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


def record_replay(
    recordings: Iterable[RecordingSource],
    specs: Sequence[str],
    policy: CheckpointPolicy,
    *,
    strict: bool = False,
    on_item: Callable[[CheckpointReplies | BadLine], None] | None = None,
    on_block: Callable[[int], None] | None = None,
    stats: ReplayStats | None = None,
) -> ReplayRecord:
    """Replay once through one radar per spec; raises as ``FeederReplay.run`` does."""
    texts = [unlimited(spec) for spec in specs]
    try:
        feeder = LineFeeder(
            texts, every_events=policy.every_events, every_ts=policy.every_ts, strict=strict,
            prices=True,
        )
    except ValueError as err:
        if len(err.args) > 1 and isinstance(err.args[1], int):
            raise SpecRejected(str(err.args[0]), err.args[1], len(specs)) from None
        raise
    weights = [_weights(spec) for spec in texts]
    book = PriceBook()

    def block_done(events: int) -> None:
        book.add(feeder.take_prices())
        if on_block is not None:
            on_block(events)

    replay = FeederReplay(feeder, stats=stats, on_block=block_done)
    record = ReplayRecord([[] for _ in texts], {}, None, replay.stats)
    for item in replay.run(recordings):
        if on_item is not None:
            on_item(item)
        if isinstance(item, BadLine):
            record.bad_lines.append(item)
            continue
        if item.ts is None:
            continue  # nothing accepted yet: no moment to measure from
        for index, reply in enumerate(item.replies):
            alerts, _ = split_reply(reply)
            alerting = {
                value["symbol"]: Alerting(
                    float(value["severity"]), strongest(value["factors"], weights[index])
                )
                for value, _ in alerts
            }
            record.checkpoints[index].append(CheckpointAlerts(item.ts, alerting))
    book.add(feeder.take_prices())
    record.prices = book.series()
    record.end = feeder.ts
    return record
