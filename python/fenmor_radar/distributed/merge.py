"""Merging the shards' alerts replies into the one reply a single radar gives.

Each shard ranks and cuts its own alerts; the overall top ``limit`` are
among the shards' top ``limit`` each. They are ranked again by the radar's
rule (``fenmor_radar.replay.replies``), cut to ``limit``, and ``scanned`` is
summed, since every symbol lives on one shard.
"""

from __future__ import annotations

import json
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


def spec_limit(spec_text: str) -> int | None:
    """The ``limit`` of a spec text that a radar has accepted (None: no cap).

    A spec is an object with an optional ``limit`` member, or an array whose
    fifth element is the limit; a radar rejects repeated members, so there is
    only one.
    """
    try:
        spec = json.loads(spec_text)
    except (ValueError, RecursionError) as err:
        raise ValueError(f"cannot read the spec's limit: {err}") from err
    if isinstance(spec, dict):
        limit = spec.get("limit")
    elif isinstance(spec, list):
        limit = spec[4] if len(spec) > 4 else None
    else:
        raise ValueError("cannot read the spec's limit: not an object or an array")
    if limit is not None and (not isinstance(limit, int) or isinstance(limit, bool)):
        raise ValueError(f"cannot read the spec's limit: {limit!r}")
    return limit
