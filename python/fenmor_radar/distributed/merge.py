"""Merging the shards' alerts replies into the one reply a single radar gives.

Each shard ranks and cuts its own alerts; the overall top ``limit`` are
among the shards' top ``limit`` each. They are ranked again by the radar's
rule (``fenmor_radar.replay.replies``), cut to ``limit``, and ``scanned`` is
summed, since every symbol lives on one shard.
"""

from __future__ import annotations

from collections.abc import Sequence

from fenmor_radar.replay.replies import RankedAlert, ranked_reply, split_alerts


def merge_replies(replies: Sequence[str], limit: int | None) -> str:
    """One alerts reply from the replies of shards that hold disjoint symbols."""
    if len(replies) == 1:
        return replies[0]
    alerts: list[RankedAlert] = []
    scanned = 0
    for reply in replies:
        shard_alerts, shard_scanned = split_alerts(reply)
        alerts += shard_alerts
        scanned += shard_scanned
    return ranked_reply(alerts, scanned, limit)
