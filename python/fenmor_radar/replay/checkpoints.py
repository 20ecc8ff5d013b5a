"""When a replay looks at the alerts: every N events, every T of ``ts``, and at the end.

The policy knows nothing about radars or files; it is told about each fed
event and answers whether a checkpoint is due, so that any driver of a replay
(one process or many) takes the same checkpoints.

``ts`` checkpoints fall on multiples of T (``ts // T`` changes), not on T
after the first event, so two replays of overlapping data agree on where the
boundaries are. A checkpoint at a boundary shows the state *before* the first
event at or past it: all events of the closed period and none of the next.
Events with an older ``ts`` than one already seen never move the clock back.
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class CheckpointPolicy:
    """``every``: after every N-th fed event; ``every_ts``: at every multiple of T.

    The names of the command line's ``--every`` and ``--every-ts``.
    """

    every: int | None = None
    every_ts: int | None = None

    def __post_init__(self) -> None:
        for name, value in (("every", self.every), ("every_ts", self.every_ts)):
            if value is not None and value <= 0:
                raise ValueError(f"{name} must be greater than zero, got {value}")


class CheckpointClock:
    """The running count of fed events and the replay's clock (largest ``ts`` fed)."""

    def __init__(self, policy: CheckpointPolicy) -> None:
        self.policy = policy
        self.events = 0
        self.ts: int | None = None
        self.events_at_last_checkpoint: int | None = None

    def due_before(self, ts: int | None) -> bool:
        """Whether a checkpoint falls before an event with this ``ts``."""
        period = self.policy.every_ts
        if period is None or ts is None or self.ts is None:
            return False
        return ts // period > self.ts // period

    def fed(self, ts: int | None) -> bool:
        """Count one fed event; whether a checkpoint falls right after it."""
        self.events += 1
        if ts is not None and (self.ts is None or ts > self.ts):
            self.ts = ts
        every = self.policy.every
        return every is not None and self.events % every == 0

    def due_at_end(self) -> bool:
        """Whether the end of the input needs its own checkpoint.

        Always one when none was taken yet (even for an empty input); never a
        second one for a state that the last checkpoint already showed.
        """
        return self.events_at_last_checkpoint != self.events

    def taken(self) -> None:
        self.events_at_last_checkpoint = self.events
