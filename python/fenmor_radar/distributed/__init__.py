"""Replays larger than one machine: recordings sharded by symbol over a Dask cluster.

    from fenmor_radar.distributed import replay
    from fenmor_radar.replay import CheckpointPolicy

    for item in replay(["day1.jsonl.gz", "day2.jsonl.gz"], [spec_a, spec_b],
                       CheckpointPolicy(every_ts=60_000), workers=4):
        ...  # MergedCheckpoint (one alerts reply per spec) or BadEventLine

The workers read the files themselves (any fsspec URL they can reach).
Every symbol's events go to one shard (a stable hash of its UTF-8 bytes),
which applies them in input order; the shards' alerts are merged per
checkpoint into exactly the reply one radar would give. Needs the
``distributed`` extra (``pip install 'fenmor-radar[distributed]'``); this
package imports Dask only when a replay starts.
"""

from __future__ import annotations

from fenmor_radar.distributed.cluster import WorkerLost
from fenmor_radar.distributed.driver import (
    BadEventLine,
    InputFileDamaged,
    MergedCheckpoint,
    check_specs,
    replay,
)
from fenmor_radar.distributed.merge import merge_replies

__all__ = [
    "BadEventLine",
    "InputFileDamaged",
    "MergedCheckpoint",
    "WorkerLost",
    "check_specs",
    "merge_replies",
    "replay",
]
