"""How a Parquet recording's rows are laid out, as its own metadata says.

A file written clustered by symbol says so in its schema's metadata
(``fenmor_radar.layout``), with the number of input rows in each of its
segments; its ``seq`` column holds each row's position in input order. Any
other file (earlier ones, other tools') holds its rows in input order.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from fenmor_radar.columnar.arrow import pyarrow

LAYOUT_KEY = "fenmor_radar.layout"
SEGMENT_ROWS_KEY = "fenmor_radar.segment_rows"
CLUSTERED = "clustered-by-symbol"
SEQ = "seq"


def seq_field() -> Any:
    pa = pyarrow()
    return pa.field(SEQ, pa.int64(), nullable=False)


@dataclass(frozen=True, slots=True)
class Layout:
    """``segment_rows`` is None for a file in input order."""

    segment_rows: int | None = None

    @property
    def clustered(self) -> bool:
        return self.segment_rows is not None


def layout_of(schema: Any) -> Layout:
    """The layout a file's Arrow schema (with its metadata) declares; a declaration
    this version cannot follow is refused rather than read out of order."""
    metadata = schema.metadata or {}
    layout = metadata.get(LAYOUT_KEY.encode())
    if layout is None:
        return Layout()
    text = layout.decode("utf-8", "replace")
    if text != CLUSTERED:
        raise ValueError(f"its rows are laid out as {text!r}, which this version cannot read in order")
    if SEQ not in schema.names:
        raise ValueError(f"it is laid out by symbol but has no `{SEQ}` column to restore input order")
    rows = metadata.get(SEGMENT_ROWS_KEY.encode(), b"")
    try:
        segment_rows = int(rows)
    except ValueError:
        segment_rows = 0
    if segment_rows <= 0:
        raise ValueError(f"its {SEGMENT_ROWS_KEY} is {rows.decode('utf-8', 'replace')!r}, not a positive number")
    return Layout(segment_rows)
