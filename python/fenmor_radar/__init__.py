"""fenmor_radar: a market radar for crypto-derivatives traders.

Build a :class:`Radar` from a JSON spec, feed it market events per symbol and
ask it for ranked, scored alerts. Every call takes and returns JSON text.
"""

from fenmor_radar._fenmor_radar import Radar, __version__

__all__ = ["Radar", "__version__"]
