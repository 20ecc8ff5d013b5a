"""What a replay reads a columnar recording from: record batches, in input order."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any, Protocol, runtime_checkable


@runtime_checkable
class ColumnarSource(Protocol):
    name: str
    size: int | None

    def position(self) -> int | None: ...

    def batches(self) -> Iterator[Any]: ...

    def close(self) -> None: ...
