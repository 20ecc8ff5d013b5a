"""Moved to ``fenmor_radar.replay``; this name keeps working."""

from fenmor_radar.replay.items import ALERTS_COMMAND, BadLine, Checkpoint, ReplayStats
from fenmor_radar.replay.line_loop import replay

__all__ = ["ALERTS_COMMAND", "BadLine", "Checkpoint", "ReplayStats", "replay"]
