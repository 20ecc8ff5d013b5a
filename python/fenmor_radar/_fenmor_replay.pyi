"""The native replay module (`fenmor_radar._fenmor_replay`)."""

from collections.abc import Iterable
from typing import Literal, TypeAlias, final

__all__ = ["LineFeeder"]

# ("checkpoint", events, ts, one alerts reply per spec) and
# ("bad", line number, message, member at fault or None).
_CheckpointItem: TypeAlias = tuple[Literal["checkpoint"], int, int | None, tuple[str, ...]]
_BadLineItem: TypeAlias = tuple[Literal["bad"], int, str, str | None]
_Item: TypeAlias = _CheckpointItem | _BadLineItem

@final
class LineFeeder:
    """A recording's JSON lines fed to one radar per spec, read once per line.

    ``specs`` are spec JSON texts, each read and validated as ``Radar(spec)``
    does; a bad one raises ``ValueError(message, index)``. ``every_events`` and
    ``every_ts`` are None or greater than zero. With ``strict`` the first bad
    line stops the feeder.

    Not bound to a thread: any thread may use it, one call at a time (a call
    while another runs raises ``RuntimeError``). ``feed`` and ``finish``
    release the interpreter lock while they work.
    """

    def __new__(
        cls,
        specs: Iterable[str],
        *,
        every_events: int | None = None,
        every_ts: int | None = None,
        strict: bool = False,
    ) -> LineFeeder: ...
    def feed(self, block: bytes, /) -> list[_Item]:
        """The next bytes of the recording; the checkpoints and bad lines they complete."""
    def finish(self, /, *, complete: bool = True) -> list[_Item]:
        """The end of the input: the carried last line (dropped unless ``complete``),
        then the final checkpoint when due. Afterwards ``feed`` and ``finish`` raise
        ``ValueError``."""
    def alerts(self, /) -> tuple[str, ...]:
        """The current alerts reply of each radar, in spec order."""
    @property
    def lines(self) -> int: ...
    @property
    def events(self) -> int: ...
    @property
    def bad_lines(self) -> int: ...
    @property
    def checkpoints(self) -> int: ...
    @property
    def symbols(self) -> int: ...
    @property
    def ts(self) -> int | None: ...
    @property
    def stopped(self) -> bool: ...
