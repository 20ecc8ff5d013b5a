"""``fenmor_radar.evaluate``: are a spec's alerts followed by moves larger than usual?"""

from __future__ import annotations

from collections.abc import Collection, Sequence

from fenmor_radar.replay.checkpoints import CheckpointPolicy
from fenmor_radar.replay.recording import Recording
from fenmor_radar.scoring.onsets import checkpoint_onsets, cooled
from fenmor_radar.scoring.replay_pass import ReplayRecord, record_replay
from fenmor_radar.scoring.scorecard import Scorecard, Settings, build_scorecard

MINUTE = 60_000
DEFAULT_HORIZONS = (5 * MINUTE, 15 * MINUTE, 60 * MINUTE, 240 * MINUTE)
DEFAULT_EVERY_TS = MINUTE  # the baseline's grid when no checkpoints are asked for
ONSET_SOURCES = ("crossings", "checkpoints")


def scorecard_of(
    record: ReplayRecord,
    names: Sequence[str],
    *,
    horizons: Sequence[int] = DEFAULT_HORIZONS,
    cooldown: int = 0,
    onsets: str = "crossings",
    symbols: Collection[str] | None = None,
    seed: int = 0,
    permutations: int = 1000,
    resamples: int = 1000,
) -> Scorecard:
    """The scorecard of a replay already recorded (see ``evaluate``)."""
    if onsets not in ONSET_SOURCES:
        raise ValueError(f"onsets must be one of {', '.join(ONSET_SOURCES)}, not {onsets!r}")
    if onsets == "crossings" and record.crossings is None:
        raise ValueError("onsets from crossings need a replay that watched them (--crossings)")
    if not horizons or any(h <= 0 for h in horizons):
        raise ValueError("horizons must be one or more positive durations in ms")
    if cooldown < 0:
        raise ValueError("cooldown must not be negative")
    settings = Settings(tuple(horizons), cooldown, onsets, seed, permutations, resamples)
    if onsets == "crossings" and record.crossings is not None:
        per_spec = [cooled(up, cooldown) for up in record.crossings]
    else:
        per_spec = [cooled(checkpoint_onsets(c), cooldown) for c in record.checkpoints]
    return build_scorecard(record, names, per_spec, settings, symbols)


def evaluate(
    recordings: str | Sequence[str],
    specs: str | Sequence[str],
    policy: CheckpointPolicy | None = None,
    *,
    names: Sequence[str] | None = None,
    horizons: Sequence[int] = DEFAULT_HORIZONS,
    cooldown: int = 0,
    onsets: str = "crossings",
    symbols: Collection[str] | None = None,
    seed: int = 0,
    permutations: int = 1000,
    resamples: int = 1000,
    strict: bool = False,
) -> Scorecard:
    """Replay recordings once through one radar per spec and score each spec's alert onsets.

    ``policy`` sets the checkpoints (default: every minute of market time),
    the baseline's moments. Onsets are the upward threshold crossings at
    event time (``onsets="crossings"``), or with ``onsets="checkpoints"``
    the symbols newly listed at a checkpoint. ``horizons`` and ``cooldown`` are in ms;
    ``symbols`` restricts the scoring to those symbols. ``seed`` fixes the
    bootstrap and the permutations. Raises as ``replay_files`` does.
    """
    paths = [recordings] if isinstance(recordings, str) else list(recordings)
    texts = [specs] if isinstance(specs, str) else list(specs)
    if names is None:
        names = [f"spec {i + 1}" for i in range(len(texts))] if len(texts) > 1 else ["spec"]
    if len(names) != len(texts):
        raise ValueError("one name per spec")
    if policy is None or (policy.every_ts is None and policy.every is None):
        policy = CheckpointPolicy(every_ts=DEFAULT_EVERY_TS)
    opened = [Recording(path) for path in paths]
    try:
        record = record_replay(opened, texts, policy, strict=strict, crossings=onsets == "crossings")
    finally:
        for recording in opened:
            recording.close()
    return scorecard_of(
        record, names, horizons=horizons, cooldown=cooldown, onsets=onsets, symbols=symbols,
        seed=seed, permutations=permutations, resamples=resamples,
    )
