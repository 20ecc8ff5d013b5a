"""Writing Parquet recordings: zstd, row groups with statistics on symbol and ts.

Rows are gathered into row groups of ``ROW_GROUP_ROWS`` whatever the sizes
of the batches that come, so that a reader can skip a row group by its
statistics (the symbols and the range of ts it holds).
"""

from __future__ import annotations

from typing import Any

from fenmor_radar._fenmor_replay import line_columns
from fenmor_radar.columnar.arrow import pyarrow
from fenmor_radar.columnar.schema import batch_of, recording_schema

ROW_GROUP_ROWS = 1 << 17
NUMBER_COLUMNS_ENCODING = "BYTE_STREAM_SPLIT"  # doubles compress far better split by byte
STATISTICS = ["symbol", "kind", "ts"]

BadRowItem = tuple[int, str, "str | None"]


class ParquetRecordingWriter:
    """A Parquet recording being written; ``close`` completes the file.

    ``write_lines`` takes recording lines (whole lines, the last may lack its
    break) and returns the lines it left out as (line, message, field), the
    radar's reasons.
    """

    def __init__(self, path: str) -> None:
        pa = pyarrow()
        import pyarrow.parquet as pq

        schema = recording_schema()
        numbers = [f.name for f in schema if pa.types.is_floating(f.type)]
        encodings = {name: NUMBER_COLUMNS_ENCODING for name in numbers}
        encodings["ts"] = "DELTA_BINARY_PACKED"
        self._pa = pa
        self._writer = pq.ParquetWriter(
            path,
            schema,
            compression="zstd",
            use_dictionary=["symbol", "kind", "side"],
            column_encoding=encodings,
            write_statistics=STATISTICS,
        )
        self._pending: list[Any] = []
        self._pending_rows = 0
        self.rows = 0

    def write_lines(self, data: bytes, first_line: int) -> list[BadRowItem]:
        rows, columns, bad = line_columns(data, first_line)
        if rows:
            self.write_batch(batch_of(rows, columns))
        return bad

    def write_batch(self, batch: Any) -> None:
        self._pending.append(batch)
        self._pending_rows += batch.num_rows
        self.rows += batch.num_rows
        if self._pending_rows >= ROW_GROUP_ROWS:
            self._flush(keep_rest=True)

    def _flush(self, keep_rest: bool) -> None:
        if not self._pending_rows:
            return
        # One dictionary per column chunk, not one per batch that came.
        table = self._pa.Table.from_batches(self._pending, schema=recording_schema()).unify_dictionaries()
        whole = (self._pending_rows // ROW_GROUP_ROWS) * ROW_GROUP_ROWS if keep_rest else self._pending_rows
        self._writer.write_table(table.slice(0, whole), row_group_size=ROW_GROUP_ROWS)
        rest = table.slice(whole)
        self._pending = rest.to_batches() if rest.num_rows else []
        self._pending_rows = rest.num_rows

    def close(self) -> None:
        self._flush(keep_rest=False)
        self._writer.close()

    def __enter__(self) -> ParquetRecordingWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
