"""Spec tuning: replay one recording through several specs and compare their alerts.

All candidates run in one pass over the recording: each line is read once
and fed to one radar per spec. A replay is deterministic, so the differences
below come from the specs alone. Each candidate is a variation of the bundled default spec; the table
shows how often each one alerts, on which symbols, and (for the bundled
sample) whether it still catches the four planted episodes.

    python examples/spec_tuning.py                     # the bundled sample hour
    python examples/spec_tuning.py EVENTS.jsonl[.gz]   # your own recording
"""

from __future__ import annotations

import io
import json
import sys
import time
from dataclasses import dataclass, field
from typing import Any

from fenmor_radar.default_spec import default_spec_text
from fenmor_radar.replay import (
    BadLine,
    CheckpointPolicy,
    Recording,
    ReplayStats,
    replay_recordings,
)
from fenmor_radar.sample import EPISODES, sample_lines

MINUTE_MS = 60_000


def variant(base: dict[str, Any], **changes: Any) -> dict[str, Any]:
    return {**base, **changes}


def with_params(base: dict[str, Any], kind: str, params: list[float]) -> dict[str, Any]:
    signals = [dict(s, params=params) if s["kind"] == kind else s for s in base["signals"]]
    return variant(base, signals=signals)


def without(base: dict[str, Any], kind: str) -> dict[str, Any]:
    return variant(base, signals=[s for s in base["signals"] if s["kind"] != kind])


def candidates() -> dict[str, dict[str, Any]]:
    base = json.loads(default_spec_text())
    return {
        "default": base,
        "threshold 0.45": variant(base, threshold=0.45),
        "threshold 0.12": variant(base, threshold=0.12),
        "no liq_cluster": without(base, "liq_cluster"),
        "funding scale 0.0002": with_params(base, "funding_flip", [0.0002]),
        "oi_delta lookback 3": with_params(base, "oi_delta", [3, 0.05]),
    }


@dataclass
class Outcome:
    alert_minutes: int = 0  # alerts summed over the minute checkpoints
    first_alert: dict[str, int] = field(default_factory=dict)  # symbol -> clock
    peak: dict[str, float] = field(default_factory=dict)


def run_all(specs: dict[str, dict[str, Any]], recording: Recording) -> tuple[dict[str, Outcome], int]:
    """Every spec's outcome, from one pass over the recording; and its lines with an event."""
    outcomes = {name: Outcome() for name in specs}
    stats = ReplayStats()
    texts = [json.dumps(spec) for spec in specs.values()]
    for item in replay_recordings([recording], texts, CheckpointPolicy(every_ts=MINUTE_MS), stats=stats):
        if isinstance(item, BadLine):
            print(f"line {item.number} skipped: {item.message}", file=sys.stderr)
            continue
        for outcome, reply in zip(outcomes.values(), item.replies, strict=True):
            for alert in json.loads(reply)["alerts"]:
                outcome.alert_minutes += 1
                outcome.first_alert.setdefault(alert["symbol"], item.ts or 0)
                outcome.peak[alert["symbol"]] = max(outcome.peak.get(alert["symbol"], 0.0), alert["severity"])
    return outcomes, stats.events + stats.bad_lines


def clock(ts: int) -> str:
    return time.strftime("%H:%M", time.gmtime(ts / 1000)) if ts > 10**11 else str(ts)


def main(argv: list[str]) -> None:
    if argv:
        recording = Recording(argv[0])
        planted: list[str] = []
        source = argv[0]
    else:
        recording = Recording("-", stdin=io.BytesIO("\n".join(sample_lines()).encode()))
        planted = [episode.symbol for episode in EPISODES]
        source = "the bundled sample hour"
    with recording:
        outcomes, count = run_all(candidates(), recording)
    print(f"{count:,} events from {source}, checkpoints every minute\n")
    header = f"{'spec':<22} {'alert-min':>9} {'symbols':>7}  "
    header += "episodes caught (first alert)" if planted else "strongest symbols (peak severity)"
    print(header)
    for name, outcome in outcomes.items():
        row = f"{name:<22} {outcome.alert_minutes:>9} {len(outcome.first_alert):>7}  "
        if planted:
            caught = [s for s in planted if s in outcome.first_alert]
            row += f"{len(caught)}/{len(planted)} "
            row += " ".join(f"{s}@{clock(outcome.first_alert[s])}" for s in caught)
            others = sorted(set(outcome.first_alert) - set(planted))
            if others:
                row += f"  + {len(others)} unplanned: {', '.join(others[:4])}"
        else:
            top = sorted(outcome.peak.items(), key=lambda item: -item[1])[:4]
            row += ", ".join(f"{s} {p:.2f}" for s, p in top) or "-"
        print(row)


if __name__ == "__main__":
    main(sys.argv[1:])
