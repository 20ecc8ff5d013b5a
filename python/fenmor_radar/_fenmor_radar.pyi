"""The native module (`fenmor_radar._fenmor_radar`)."""

from typing import Final, final

__version__: Final[str]
__all__ = ["__version__", "Radar"]

@final
class Radar:
    """A radar instance driven by JSON commands.

    `unsendable`: a handle owns a mutable dataset and spec, so it is bound to the
    thread that created it.

    ``spec_json`` is the spec as JSON text, for example
    ``{"signals": [{"kind": "funding_flip", "params": [0.0005]}], "threshold": 0.5}``.
    A spec that cannot be read or does not validate raises ``ValueError`` with
    the radar's message ("parse: ... at line L column C" or "bad spec: ...").
    """

    def __new__(cls, spec_json: str) -> Radar: ...
    def command(self, cmd_json: str) -> str:
        """Apply a command JSON and return the resulting response JSON.

        Commands: ``{"cmd": "version"}``, ``"reset"``, ``"set_spec"`` (with
        ``spec``), ``"feed"`` (``symbol``, ``event``), ``"feed_batch"``
        (``symbol``, ``events``), ``"alerts"`` and ``"scan"`` (``events``: an
        object from symbol to event list). A rejected command does not raise:
        the reply is ``{"error":"...","ok":false}``. Raises ``RuntimeError``
        ("Already borrowed") when the radar is already running a command, and
        an internal fault (not an ``Exception``) when called from a thread
        other than the one that created the radar.
        """
    @staticmethod
    def version() -> str:
        """The library version."""
