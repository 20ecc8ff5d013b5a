"""The replay loop one line at a time, for a radar the caller owns.

``fenmor-radar replay`` hands whole blocks to the native feeder instead
(``feeder_loop``); this loop is for scripts that bring their own radar, or
their own lines, and for the shards of a distributed replay.

This is the live code path run over a recording: every line becomes the same
"feed" command a live program would send, and every checkpoint is the radar's
own "alerts" reply, untouched. The loop yields what happens in input order
(checkpoints and rejected lines) and leaves showing it to the caller.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator

from fenmor_radar.replay.checkpoints import CheckpointClock, CheckpointPolicy
from fenmor_radar.replay.event_line import (
    CommandTarget,
    FeedOutcome,
    prepare_line,
    submit,
)
from fenmor_radar.replay.items import ALERTS_COMMAND, BadLine, Checkpoint, ReplayStats
from fenmor_radar.replay.recording import EventLine


def replay(
    radar: CommandTarget,
    lines: Iterable[EventLine],
    policy: CheckpointPolicy,
    *,
    strict: bool = False,
    stats: ReplayStats | None = None,
) -> Iterator[Checkpoint | BadLine]:
    """Feed ``lines`` to ``radar`` in order; yield checkpoints and rejected lines.

    A rejected line leaves the radar as it was. With ``strict`` the first one
    ends the replay (no final checkpoint: the input was not replayed whole);
    otherwise it is skipped and counted. The end of the input always gets a
    checkpoint unless the last one already showed the final state.
    """
    stats = stats if stats is not None else ReplayStats()
    clock = CheckpointClock(policy)

    def take() -> Checkpoint:
        checkpoint = Checkpoint(clock.events, clock.ts, radar.command(ALERTS_COMMAND))
        clock.taken()
        stats.checkpoints += 1
        return checkpoint

    for line in lines:
        stats.lines += 1
        boundary: Checkpoint | None = None
        if line.problem is not None:
            outcome = FeedOutcome(error=line.problem)
        else:
            prepared = prepare_line(line.text)
            if prepared.is_feed and clock.due_before(prepared.ts):
                # The alerts as they stand before this event; kept only if the
                # radar accepts the event, so a bad line never moves the clock.
                boundary = Checkpoint(clock.events, clock.ts, radar.command(ALERTS_COMMAND))
            outcome = submit(radar, prepared)
        if outcome.error is not None:
            bad = BadLine(line.number, outcome.error)
            stats.bad_lines += 1
            if stats.first_bad is None:
                stats.first_bad = bad
            yield bad
            if strict:
                stats.stopped_at = bad
                return
            continue
        if boundary is not None:
            clock.taken()
            stats.checkpoints += 1
            yield boundary
        if outcome.symbol is not None:
            stats.symbols.add(outcome.symbol)
        due = clock.fed(outcome.ts)
        stats.events = clock.events
        stats.ts = clock.ts
        if due:
            yield take()
    if clock.due_at_end():
        yield take()
