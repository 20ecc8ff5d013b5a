"""DataFrames in and out: pandas, polars and Arrow tables of events or alerts.

A frame of events has the recording's columns (docs/data.md): ``symbol``,
``kind``, ``ts``, each kind's numbers and ``side``. It goes to the engine as
one Arrow record batch, never row by row: pandas through
``pyarrow.Table.from_pandas``, polars through ``DataFrame.to_arrow`` (which
shares its buffers), anything else through the Arrow PyCapsule interface.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from fenmor_radar.columnar.arrow import pyarrow
from fenmor_radar.columnar.schema import canonical


def arrow_table(frame: Any) -> Any:
    """A pyarrow Table of a pandas or polars DataFrame, an Arrow table or batch, or any
    object with ``__arrow_c_stream__``; ``TypeError`` for anything else."""
    pa = pyarrow("frames of events")
    if isinstance(frame, pa.Table):
        return frame
    if isinstance(frame, pa.RecordBatch):
        return pa.Table.from_batches([frame])
    module = type(frame).__module__.split(".")[0]
    if module == "polars" and hasattr(frame, "to_arrow"):
        return frame.to_arrow()
    if module == "pandas" and hasattr(frame, "columns"):
        return pa.Table.from_pandas(frame, preserve_index=False)
    if hasattr(frame, "__arrow_c_stream__"):
        return pa.table(frame)
    raise TypeError(
        "expected a pandas or polars DataFrame or an Arrow table, "
        f"got {type(frame).__module__}.{type(frame).__qualname__}"
    )


def event_batch(frame: Any) -> Any:
    """The frame's events as one record batch in the types the engine reads."""
    pa = pyarrow("frames of events")
    table = arrow_table(frame).combine_chunks()
    batches = table.to_batches()
    batch = batches[0] if batches else pa.RecordBatch.from_pylist([], schema=table.schema)
    return canonical(pa, batch)


def alerts_table(alerts: Sequence[Any]) -> Any:
    """Alerts (``Screener.alerts()``) as an Arrow table: rank, symbol, severity, ts, and
    factors, a struct of one float64 per factor."""
    pa = pyarrow("alerts as Arrow tables")
    names: list[str] = []
    for alert in alerts:
        names.extend(name for name in alert.factors if name not in names)
    factors_type = pa.struct([pa.field(name, pa.float64()) for name in names])
    return pa.table(
        {
            "rank": pa.array(range(1, len(alerts) + 1), pa.int32()),
            "symbol": pa.array([alert.symbol for alert in alerts], pa.string()),
            "severity": pa.array([alert.severity for alert in alerts], pa.float64()),
            "ts": pa.array([alert.ts for alert in alerts], pa.int64()),
            "factors": pa.array([dict(alert.factors) for alert in alerts], factors_type),
        }
    )
