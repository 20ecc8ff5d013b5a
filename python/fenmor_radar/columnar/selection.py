"""Which events a replay asks for: some symbols, a range of ts."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True, slots=True)
class Selection:
    """Events of ``symbols`` (all when None) with ``from_ts <= ts < to_ts`` (open ends when None)."""

    symbols: frozenset[str] | None = None
    from_ts: int | None = None
    to_ts: int | None = None

    @classmethod
    def of(
        cls, symbols: Iterable[str] | None = None, from_ts: int | None = None, to_ts: int | None = None
    ) -> Selection:
        return cls(None if symbols is None else frozenset(symbols), from_ts, to_ts)

    @property
    def everything(self) -> bool:
        return self.symbols is None and self.from_ts is None and self.to_ts is None

    def expression(self) -> Any:
        """The pyarrow dataset filter: row groups whose statistics exclude it are not read."""
        import pyarrow.dataset as ds

        parts = []
        if self.symbols is not None:
            parts.append(ds.field("symbol").isin(sorted(self.symbols)))
        if self.from_ts is not None:
            parts.append(ds.field("ts") >= self.from_ts)
        if self.to_ts is not None:
            parts.append(ds.field("ts") < self.to_ts)
        expression = parts[0] if parts else None
        for part in parts[1:]:
            expression = expression & part
        return expression
