"""Moved to ``fenmor_radar.replay.replies``; this name keeps working."""

from fenmor_radar.replay.replies import (
    AlertsReply,
    AlertView,
    alert_texts,
    parse_alerts_reply,
)

__all__ = ["AlertView", "AlertsReply", "alert_texts", "parse_alerts_reply"]
