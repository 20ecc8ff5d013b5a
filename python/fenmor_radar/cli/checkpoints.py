"""Moved to ``fenmor_radar.replay.checkpoints``; this name keeps working."""

from fenmor_radar.replay.checkpoints import CheckpointClock, CheckpointPolicy

__all__ = ["CheckpointClock", "CheckpointPolicy"]
