"""Alert onsets: the moments a symbol starts alerting, each with its severity and strongest factor.

The onsets of choice are the upward threshold crossings the replay reports
at event time (replay_pass.py keeps them). From checkpoints, an onset is a symbol listed at a checkpoint that was not
listed at the one before, timed at the checkpoint's clock (the moment the
replay knew). With a cooldown, an onset within that time of the symbol's
previous onset is not a new one.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from fenmor_radar.factor_strength import factor_strength


@dataclass(frozen=True, slots=True)
class Alerting:
    """A symbol alerting at a checkpoint: its severity and strongest factor."""

    severity: float
    factor: str


@dataclass(frozen=True, slots=True)
class CheckpointAlerts:
    """The symbols alerting at one checkpoint of one spec."""

    ts: int
    alerting: dict[str, Alerting]


@dataclass(frozen=True, slots=True)
class Onset:
    symbol: str
    ts: int
    severity: float
    factor: str


def strongest(factors: dict[str, float | None], weights: dict[str, float]) -> str:
    """The factor that adds most to the severity: its value times its weight."""
    best, best_value = "", -1.0
    for name, value in factors.items():
        if name == "severity":  # the reply lists the severity among the factors
            continue
        weighted = factor_strength(name, value, weights)
        if weighted > best_value:
            best, best_value = name, weighted
    return best


def checkpoint_onsets(checkpoints: Sequence[CheckpointAlerts]) -> list[Onset]:
    """The checkpoint entries: symbols listed that were not listed at the checkpoint before."""
    onsets: list[Onset] = []
    before: dict[str, Alerting] = {}
    for checkpoint in checkpoints:
        for symbol, alert in checkpoint.alerting.items():
            if symbol not in before:
                onsets.append(Onset(symbol, checkpoint.ts, alert.severity, alert.factor))
        before = checkpoint.alerting
    return onsets


def cooled(onsets: Iterable[Onset], cooldown: int) -> list[Onset]:
    """The onsets that come at least ``cooldown`` after the symbol's previous onset."""
    in_order = sorted(onsets, key=lambda o: o.ts)
    if cooldown <= 0:
        return in_order  # in ts order, none comes before the one it follows
    last: dict[str, int] = {}
    kept: list[Onset] = []
    for onset in in_order:
        previous = last.get(onset.symbol)
        if previous is not None and onset.ts - previous < cooldown:
            continue
        last[onset.symbol] = onset.ts
        kept.append(onset)
    return kept


def cooled_positions(symbol: npt.NDArray[np.integer], ts: npt.NDArray[np.int64], cooldown: int) -> npt.NDArray[np.intp]:
    """``cooled`` for onsets given as columns (a symbol's number and ts per onset): the
    positions of the onsets kept, in the order ``cooled`` gives them.

    Each symbol's onsets in ts order; the first is kept, and after each kept
    one the first that comes at least ``cooldown`` later. Those chains are
    followed for every symbol at once, one step per onset kept per symbol.
    """
    order = np.argsort(ts, kind="stable")
    if cooldown <= 0 or not len(order):
        return order
    # Places in ts order, grouped by symbol (still in ts order within one).
    grouped = order[np.argsort(symbol[order], kind="stable")]
    group_symbol = symbol[grouped].astype(np.int64)
    group_ts = ts[grouped]
    low = int(group_ts.min())
    span = int(group_ts.max()) - low + cooldown + 1
    first_symbol = int(group_symbol.min())
    if span * (int(group_symbol.max()) - first_symbol + 1) >= 2**62:
        raise OverflowError("the onsets' ts span too wide a range to cool at once")
    key = (group_symbol - first_symbol) * span + (group_ts - low)
    following = np.searchsorted(key, key + cooldown, side="left")
    starts = np.flatnonzero(np.r_[True, group_symbol[1:] != group_symbol[:-1]])
    kept = np.zeros(len(grouped), dtype=bool)
    frontier = starts
    last = len(grouped) - 1
    while len(frontier):
        kept[frontier] = True
        step = following[frontier]
        same = (step <= last) & (group_symbol[np.minimum(step, last)] == group_symbol[frontier])
        frontier = step[same]
    # Back to ts order: a kept place's rank in ``order``.
    rank = np.empty(len(order), dtype=np.intp)
    rank[order] = np.arange(len(order))
    return order[np.sort(rank[grouped[kept]])]
