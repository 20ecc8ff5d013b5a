"""Moved to ``fenmor_radar.replay.event_line``; this name keeps working."""

from fenmor_radar.replay.event_line import (
    CommandTarget,
    FeedOutcome,
    PreparedLine,
    feed_command,
    feed_line,
    prepare_line,
    submit,
)

__all__ = [
    "CommandTarget",
    "FeedOutcome",
    "PreparedLine",
    "feed_command",
    "feed_line",
    "prepare_line",
    "submit",
]
