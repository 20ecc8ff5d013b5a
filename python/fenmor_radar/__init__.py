"""fenmor_radar: a market radar for crypto-derivatives traders.

Build a :class:`Radar` from a JSON spec, feed it market events per symbol and
ask it for ranked, scored alerts. ``Radar`` takes and returns JSON texts;
:class:`Screener` is the same radar taking Python values and giving
:class:`Alert` dataclasses.
"""

from fenmor_radar._fenmor_radar import Radar, __version__
from fenmor_radar.crossing import Crossing
from fenmor_radar.screener import (
    Alert,
    Derivatives,
    Liquidation,
    Orderbook,
    RadarError,
    Screener,
)


def __getattr__(name: str) -> object:
    # The scorecard needs numpy and scipy (the evaluate extra): imported
    # when first asked for, not with the package.
    if name == "evaluate":
        from fenmor_radar.scoring import evaluate

        return evaluate
    raise AttributeError(f"module 'fenmor_radar' has no attribute {name!r}")


__all__ = [
    "Alert",
    "Crossing",
    "Derivatives",
    "Liquidation",
    "Orderbook",
    "Radar",
    "RadarError",
    "Screener",
    "__version__",
    "evaluate",
]
