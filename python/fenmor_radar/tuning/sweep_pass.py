"""The one replay a batch of trial specs needs: every trial's crossings as columns, and every price.

The recording is read once on the native line feeder, which scores each
event under every trial from one state per symbol (``LineFeeder.sweep``):
each distinct signal is evaluated once per event, then each trial's
severity from its own signals and weights, exactly as a radar of that spec
would score it. A trial's crossings come back as arrays (no Python object
per crossing); the checkpoints' clocks and event counts place them against
the baseline moments, and the prices are kept in the same pass as the
scorecard's replay keeps them.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from fenmor_radar._native import LineFeeder
from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.feeder_loop import (
    CheckpointReplies,
    FeederReplay,
    Source,
    SpecRejected,
    new_feeder,
)
from fenmor_radar.replay.items import BadLine, ReplayStats
from fenmor_radar.scoring.prices import Floats, Int64s, PriceBook, PriceSeries

# The feeder needs a radar of its own for its checkpoints; the trials are
# scored by the sweep from its own states. This one never alerts (no
# severity reaches 2), so its replies stay a few bytes long.
_CLOCK_SPEC = '{"signals":[{"kind":"funding_flip","params":[1]}],"threshold":2,"limit":1}'


@dataclass(frozen=True, slots=True)
class TrialCrossings:
    """One trial's upward threshold crossings, in the order they happened, and which
    symbols alert at each checkpoint."""

    symbol: npt.NDArray[np.uint32]  # the symbol's number (SweepRecord.names)
    ts: Int64s
    events: npt.NDArray[np.uint64]  # accepted events so far, the crossing one included
    severity: Floats
    # (symbol numbers, checkpoints with something accepted before them):
    # whether the symbol's last crossing up to the checkpoint went up.
    alerting: npt.NDArray[np.bool_]


@dataclass(slots=True)
class SweepRecord:
    """What a batch's scoring takes from its replay."""

    names: tuple[str, ...]  # symbol names by number
    trials: list[TrialCrossings]
    checkpoint_ts: Int64s  # the clock of each checkpoint with something accepted before it
    checkpoint_events: npt.NDArray[np.uint64]
    prices: dict[str, PriceSeries]
    end: int | None  # the largest ts accepted
    stats: ReplayStats
    bad_lines: list[BadLine] = field(default_factory=list)
    # The feeder holding every accepted event, when asked to keep them and
    # they were no more than asked (sweep_kept scores more trials on them).
    kept: LineFeeder | None = None


def trial_crossings(parts: tuple[bytes, bytes, bytes, bytes, bytes], symbols: int) -> TrialCrossings:
    """A trial's columns as the sweep gives them, over ``symbols`` numbered symbols."""
    symbol, ts, events, severity, alerting = parts
    table = np.frombuffer(alerting, dtype=np.bool_)  # bytes of 0 and 1
    return TrialCrossings(
        np.frombuffer(symbol, dtype=np.uint32),
        np.frombuffer(ts, dtype=np.int64),
        np.frombuffer(events, dtype=np.uint64),
        np.frombuffer(severity, dtype=np.float64),
        table.reshape(symbols, len(table) // symbols if symbols else 0),
    )


def sweep_replay(
    recordings: Iterable[Source],
    specs: Sequence[str],
    policy: CheckpointPolicy,
    *,
    strict: bool = False,
    prices: bool = True,
    keep_events: int = 0,
) -> SweepRecord:
    """Replay once, scoring every spec; ``SpecRejected`` for a spec the radar refuses,
    otherwise raises as ``FeederReplay.run`` does. Without ``prices`` none are kept
    (a search keeps those of its first replay). With ``keep_events`` the record
    keeps the feeder holding the accepted events, if there were no more than that."""
    feeder = new_feeder([_CLOCK_SPEC], policy, strict, prices=prices)
    with rejected(specs):
        feeder.sweep(list(specs))
    if keep_events > 0:
        feeder.keep_events(keep_events)
    book = PriceBook()
    stats = ReplayStats()
    bad_lines: list[BadLine] = []
    clocks: list[tuple[int, int]] = []
    # The prices are taken once, at the end: per block they would come in a
    # piece per symbol and block (a second of Python at 2,000 symbols).
    replay = FeederReplay(feeder, stats=stats)
    for item in replay.run(recordings):
        if isinstance(item, CheckpointReplies):
            if item.ts is not None:  # nothing accepted yet: no moment to measure from
                clocks.append((item.ts, item.events))
        elif isinstance(item, BadLine):
            bad_lines.append(item)
    book.add(feeder.take_prices())
    names, taken = feeder.take_sweep()
    clock = np.array(clocks, dtype=np.int64).reshape(-1, 2)
    return SweepRecord(
        names=names,
        trials=[trial_crossings(parts, len(names)) for parts in taken],
        checkpoint_ts=clock[:, 0].copy(),
        checkpoint_events=clock[:, 1].astype(np.uint64),
        prices=book.series(),
        end=feeder.ts,
        stats=stats,
        bad_lines=bad_lines,
        kept=feeder if 0 < feeder.events <= keep_events else None,
    )


@contextmanager
def rejected(specs: Sequence[str]) -> Iterator[None]:
    """A spec the radar refuses raises ``SpecRejected`` (naming its place) within."""
    try:
        yield
    except ValueError as err:
        if len(err.args) > 1 and isinstance(err.args[1], int):
            raise SpecRejected(str(err.args[0]), err.args[1], len(specs)) from None
        raise
