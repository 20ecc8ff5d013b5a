"""A threshold crossing: the moment a symbol's severity reaches a spec's threshold, or
leaves it, as the replay, the Dask replay, live and the ``Screener`` all report it."""

from __future__ import annotations

import json
from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Crossing:
    """A symbol's severity reaching a spec's threshold from below (``"up"``) or falling
    below it again (``"down"``), at the event that moved it.

    ``alert`` is the symbol's alert as an alerts reply would show it right
    after that event (JSON text: symbol, severity, factors with severity
    last, ts); ``events`` counts the accepted events up to and including it.
    ``spec_index`` is the spec's place among the replay's specs, ``spec`` its
    name when a replay runs several; ``line`` the event's line in its file.
    """

    direction: str
    events: int
    symbol: str
    ts: int
    severity: float
    alert: str
    spec_index: int = 0
    spec: str | None = None
    line: int = 0

    @property
    def up(self) -> bool:
        return self.direction == "up"

    @property
    def factors(self) -> dict[str, float | None]:
        """Each factor's value by name, severity last (None where not finite)."""
        factors: dict[str, float | None] = json.loads(self.alert)["factors"]
        return factors

    def json_line(self) -> str:
        """The crossing as one JSON object: ``crossing``, ``spec`` (when named), ``events``,
        then the alert's members."""
        spec = "" if self.spec is None else f'"spec":{json.dumps(self.spec)},'
        return f'{{"crossing":"{self.direction}",{spec}"events":{self.events},{self.alert[1:]}'
