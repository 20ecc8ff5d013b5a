"""Scoring alerts against what followed them in the recording.

One replay (``replay_pass``) gives every spec's alerts at each checkpoint and
every symbol's prices (``prices``); ``onsets`` picks the moments alerts
begin, ``outcomes`` measures the returns after a moment, ``statistics``
compares onsets with the baseline, and ``scorecard`` puts the rows together.
Needs numpy, scipy (and pandas for data frames): ``pip install 'fenmor-radar[evaluate]'``.
"""

from __future__ import annotations

from fenmor_radar.scoring.api import DEFAULT_HORIZONS, evaluate, scorecard_of
from fenmor_radar.scoring.scorecard import ALL_FACTORS, Scorecard, ScoreRow, Settings

__all__ = ["ALL_FACTORS", "DEFAULT_HORIZONS", "ScoreRow", "Scorecard", "Settings", "evaluate", "scorecard_of"]
