"""The native base of fenmor_radar.Screener (`fenmor_radar._screener`)."""

from collections.abc import Callable, Iterable
from typing import NoReturn

from typing_extensions import disjoint_base

from fenmor_radar.crossing import Crossing
from fenmor_radar.screener import Event

__all__ = ["ScreenerCore"]

@disjoint_base
class ScreenerCore:
    """The native base of fenmor_radar.Screener: a radar's spec and states, fed
    Python values straight into the engine. Not bound to a thread; one call at
    a time (RuntimeError otherwise).
    """

    def __init__(
        self,
        spec_json: str,
        event_types: tuple[type, type, type],
        feed_text: Callable[[object, Event], str],
        batch_text: Callable[[object, Iterable[Event]], str],
        refuse: Callable[[str], NoReturn],
        *,
        crossing: Callable[[str, int, str, int, float, str], Crossing] | None = None,
    ) -> None: ...
    def feed(self, symbol: str, event: Event) -> Crossing | None:
        """Apply one event to ``symbol``'s state; :class:`RadarError` if the radar refuses it.
        With crossings watched, the crossing the event caused, else None."""
    def feed_batch(self, symbol: str, events: Iterable[Event]) -> None:
        """Apply events to ``symbol``'s state in order, all or none."""
    def _command(self, cmd_json: str, /) -> str:
        """Run a command JSON text on this state and return the reply text, as Radar.command does."""
