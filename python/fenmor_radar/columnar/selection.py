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

    def mask(self, batch: Any) -> Any:
        """Which rows of ``batch`` (in the engine's types) it selects, as a boolean array;
        a row without its symbol or ts is not selected."""
        import pyarrow as pa
        import pyarrow.compute as pc

        mask = None
        if self.symbols is not None:
            mask = pc.is_in(batch.column("symbol"), value_set=pa.array(sorted(self.symbols), pa.string()))
        for bound, compare in ((self.from_ts, pc.greater_equal), (self.to_ts, pc.less)):
            if bound is not None:
                part = compare(batch.column("ts"), pa.scalar(bound, pa.int64()))
                mask = part if mask is None else pc.and_kleene(mask, part)
        return mask if mask is not None else pa.nulls(batch.num_rows, pa.bool_()).fill_null(True)
