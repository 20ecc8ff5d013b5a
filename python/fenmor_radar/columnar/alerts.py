"""Alerts as Arrow tables and Parquet files: one row per alert per checkpoint.

Columns: ``spec`` (the spec's name when a replay runs several, else null),
``events`` and ``checkpoint_ts`` (the checkpoint: events fed and the replay
clock), ``rank``, ``symbol``, ``severity``, ``ts`` (the alert's own), and
``factors``, a struct of one float64 per factor (null where a spec has no
such factor), which pandas reads as dicts and polars as a struct column.
With ``--new-only`` a ``change`` column says what changed.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

from fenmor_radar.columnar.arrow import pyarrow
from fenmor_radar.replay.items import Checkpoint
from fenmor_radar.replay.replies import AlertView, parse_alerts_reply

ROW_GROUP_ROWS = 1 << 17


class AlertRows:
    """Alerts gathered column by column, per checkpoint."""

    def __init__(self, with_change: bool = False) -> None:
        self.with_change = with_change
        self.factor_names: list[str] = []
        self._known: set[str] = set()
        self.clear()

    def clear(self) -> None:
        self.spec: list[str | None] = []
        self.events: list[int] = []
        self.checkpoint_ts: list[int | None] = []
        self.rank: list[int] = []
        self.symbol: list[str] = []
        self.severity: list[float | None] = []
        self.ts: list[int] = []
        self.factors: list[dict[str, float | None]] = []
        self.change: list[str] = []

    def __len__(self) -> int:
        return len(self.rank)

    def add(self, checkpoint: Checkpoint, alerts: Sequence[AlertView], changes: Sequence[str] | None = None) -> None:
        for index, alert in enumerate(alerts):
            self.spec.append(checkpoint.spec)
            self.events.append(checkpoint.events)
            self.checkpoint_ts.append(checkpoint.ts)
            self.rank.append(alert.rank)
            self.symbol.append(alert.symbol)
            self.severity.append(alert.severity)
            self.ts.append(alert.ts)
            self.factors.append(alert.factors)
            if changes is not None:
                self.change.append(changes[index])
            for name in alert.factors:
                if name not in self._known:
                    self._known.add(name)
                    self.factor_names.append(name)

    def add_checkpoint(self, checkpoint: Checkpoint) -> None:
        self.add(checkpoint, parse_alerts_reply(checkpoint.reply).alerts)

    def schema(self, factor_names: Sequence[str] | None = None) -> Any:
        pa = pyarrow("alerts as Arrow tables")
        names = self.factor_names if factor_names is None else factor_names
        fields = [
            pa.field("spec", pa.dictionary(pa.int32(), pa.string())),
            pa.field("events", pa.int64(), nullable=False),
            pa.field("checkpoint_ts", pa.int64()),
            pa.field("rank", pa.int32(), nullable=False),
            pa.field("symbol", pa.dictionary(pa.int32(), pa.string()), nullable=False),
            pa.field("severity", pa.float64()),
            pa.field("ts", pa.int64(), nullable=False),
            pa.field("factors", pa.struct([pa.field(name, pa.float64()) for name in names])),
        ]
        if self.with_change:
            fields.append(pa.field("change", pa.dictionary(pa.int8(), pa.string())))
        return pa.schema(fields)

    def table(self, factor_names: Sequence[str] | None = None) -> Any:
        """The rows gathered as an Arrow table (``factor_names`` fixes the factor fields)."""
        pa = pyarrow("alerts as Arrow tables")
        schema = self.schema(factor_names)
        names = [field.name for field in schema.field("factors").type]
        factor_arrays = [
            pa.array([row.get(name) for row in self.factors], pa.float64()) for name in names
        ]
        factors = (
            pa.StructArray.from_arrays(factor_arrays, fields=list(schema.field("factors").type))
            if names
            else pa.array([{}] * len(self.factors), pa.struct([]))
        )
        columns = {
            "spec": pa.array(self.spec, pa.string()).dictionary_encode(),
            "events": pa.array(self.events, pa.int64()),
            "checkpoint_ts": pa.array(self.checkpoint_ts, pa.int64()),
            "rank": pa.array(self.rank, pa.int32()),
            "symbol": pa.array(self.symbol, pa.string()).dictionary_encode(),
            "severity": pa.array(self.severity, pa.float64()),
            "ts": pa.array(self.ts, pa.int64()),
            "factors": factors,
        }
        if self.with_change:
            columns["change"] = pa.array(self.change, pa.string()).dictionary_encode().cast(
                schema.field("change").type
            )
        return pa.Table.from_pydict(columns, schema=schema)


def alerts_table(checkpoints: Iterable[Checkpoint]) -> Any:
    """Every alert of the checkpoints as an Arrow table (``Table.to_pandas()``, ``polars.from_arrow``)."""
    rows = AlertRows()
    for checkpoint in checkpoints:
        rows.add_checkpoint(checkpoint)
    return rows.table()


class AlertsParquetWriter:
    """Alerts written to a Parquet file as checkpoints come.

    The factor fields are known once every spec has shown an alert; rows are
    held until then (or until the end), then written in row groups.
    """

    def __init__(self, path: str, spec_count: int, with_change: bool = False) -> None:
        pyarrow("alerts as Parquet")
        self.path = path
        self.rows = AlertRows(with_change)
        self._spec_count = spec_count
        self._specs_seen: set[str | None] = set()
        self._writer: Any = None
        self._factor_names: list[str] | None = None
        self.written = 0

    def add(self, checkpoint: Checkpoint, alerts: Sequence[AlertView], changes: Sequence[str] | None = None) -> None:
        if alerts:
            self._specs_seen.add(checkpoint.spec)
        self.rows.add(checkpoint, alerts, changes)
        if self._writer is None and len(self._specs_seen) < self._spec_count:
            return
        if len(self.rows) >= ROW_GROUP_ROWS:
            self._flush()

    def _flush(self) -> None:
        import pyarrow.parquet as pq

        if self._writer is None:
            self._factor_names = list(self.rows.factor_names)
            self._writer = pq.ParquetWriter(
                self.path, self.rows.schema(self._factor_names), compression="zstd"
            )
        if len(self.rows):
            table = self.rows.table(self._factor_names)
            self._writer.write_table(table, row_group_size=ROW_GROUP_ROWS)
            self.written += table.num_rows
            self.rows.clear()

    def close(self) -> None:
        self._flush()
        self._writer.close()
