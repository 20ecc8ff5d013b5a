"""Moved to ``fenmor_radar.replay.recording``; this name keeps working."""

from fenmor_radar.replay.recording import (
    DamagedInput,
    EventLine,
    EventSource,
    read_events,
)

__all__ = ["DamagedInput", "EventLine", "EventSource", "read_events"]
