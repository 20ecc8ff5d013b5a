"""Spec tuning: replay one recording through several specs and compare their alerts.

A replay is deterministic, so the differences below come from the specs
alone. Each candidate is a variation of the bundled default spec; the table
shows how often each one alerts, on which symbols, and (for the bundled
sample) whether it still catches the four planted episodes.

    python examples/spec_tuning.py                     # the bundled sample hour
    python examples/spec_tuning.py EVENTS.jsonl[.gz]   # your own recording
"""

from __future__ import annotations

import json
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from fenmor_radar import Radar
from fenmor_radar.cli.checkpoints import CheckpointPolicy
from fenmor_radar.cli.events import EventLine, read_events
from fenmor_radar.cli.replay import BadLine, replay
from fenmor_radar.cli.sample import EPISODES, sample_lines
from fenmor_radar.cli.spec_file import default_spec_text

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


def run(spec: dict[str, Any], lines: Sequence[EventLine], report_bad: bool) -> Outcome:
    radar = Radar(json.dumps(spec))
    outcome = Outcome()
    for item in replay(radar, lines, CheckpointPolicy(every_ts=MINUTE_MS)):
        if isinstance(item, BadLine):
            if report_bad:
                print(f"line {item.number} skipped: {item.message}", file=sys.stderr)
            continue
        for alert in json.loads(item.reply)["alerts"]:
            outcome.alert_minutes += 1
            outcome.first_alert.setdefault(alert["symbol"], item.ts or 0)
            outcome.peak[alert["symbol"]] = max(outcome.peak.get(alert["symbol"], 0.0), alert["severity"])
    return outcome


def clock(ts: int) -> str:
    return time.strftime("%H:%M", time.gmtime(ts / 1000)) if ts > 10**11 else str(ts)


def main(argv: list[str]) -> None:
    if argv:
        lines: list[EventLine] = list(read_events(argv[0]))
        planted: list[str] = []
        source = argv[0]
    else:
        lines = [EventLine(n, text) for n, text in enumerate(sample_lines(), 1)]
        planted = [episode.symbol for episode in EPISODES]
        source = "the bundled sample hour"
    print(f"{len(lines):,} events from {source}, checkpoints every minute\n")
    header = f"{'spec':<22} {'alert-min':>9} {'symbols':>7}  "
    header += "episodes caught (first alert)" if planted else "strongest symbols (peak severity)"
    print(header)
    for index, (name, spec) in enumerate(candidates().items()):
        outcome = run(spec, lines, report_bad=index == 0)
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
