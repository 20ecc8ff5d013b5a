"""The replay library: recordings read in blocks, fed to radars, alerts at checkpoints.

    from fenmor_radar.replay import CheckpointPolicy, replay_files

    for item in replay_files(["day1.jsonl.gz", "day2.jsonl"], [spec_a, spec_b],
                             CheckpointPolicy(every_ts=60_000)):
        ...  # CheckpointReplies (one alerts reply per spec) or BadLine

    # crossings=True adds a Crossing right after each event that took a
    # symbol's severity to a spec's threshold (up) or below it (down).

``replay_files`` runs on the native line feeder: each line is read once,
whatever the number of specs, and Python works per block and per
checkpoint, never per line. The pieces: ``recording`` (reading files),
``read_ahead`` (the next block read meanwhile), ``checkpoints`` (when to
look), ``feeder_loop`` (the loop), ``items`` (what it yields), ``replies``
(reading and ranking alerts replies), ``bad_lines`` (how a rejected line
is described).
"""

from __future__ import annotations

from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import (
    CheckpointReplies,
    FeederReplay,
    NotARecording,
    RecordingDamaged,
    ReplayItem,
    SpecRejected,
    replay_files,
    replay_recordings,
)
from fenmor_radar.replay.items import BadLine, Checkpoint, Crossing, ReplayStats
from fenmor_radar.replay.recording import (
    DamagedInput,
    EventLine,
    Recording,
    read_events,
)

__all__ = [
    "BadLine",
    "Checkpoint",
    "CheckpointPolicy",
    "CheckpointReplies",
    "Crossing",
    "DamagedInput",
    "EventLine",
    "FeederReplay",
    "NotARecording",
    "Recording",
    "RecordingDamaged",
    "ReplayItem",
    "ReplayStats",
    "SpecRejected",
    "read_events",
    "replay_files",
    "replay_recordings",
]
