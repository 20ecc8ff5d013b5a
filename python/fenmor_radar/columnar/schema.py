"""The columns of a Parquet recording, as the engine's event schema names them.

The engine hands its columns over as (name, type, validity, values,
dictionary) buffers (``line_columns``); the Arrow schema is read from that
answer, so the names and their order are the engine's, not a copy of them.
"""

from __future__ import annotations

from functools import cache
from typing import Any

from fenmor_radar._native import line_columns
from fenmor_radar.columnar.arrow import pyarrow

NativeColumn = tuple[str, str, "bytes | None", bytes, "list[str] | None"]


def arrow_type(pa: Any, type_name: str, dictionary: list[str] | None) -> Any:
    value_type = getattr(pa, type_name)()
    if dictionary is None:
        return value_type
    return pa.dictionary(value_type, pa.string())


@cache
def recording_schema() -> Any:
    """symbol and kind (dictionary-encoded strings), ts (int64), the numbers (float64), side."""
    pa = pyarrow()
    _, columns, _ = line_columns(b"", 1)
    return pa.schema(
        [
            pa.field(name, arrow_type(pa, type_name, dictionary), nullable=name not in ("symbol", "kind", "ts"))
            for name, type_name, _, _, dictionary in columns
        ]
    )


def column_names() -> list[str]:
    return list(recording_schema().names)


def batch_of(rows: int, columns: list[NativeColumn]) -> Any:
    """A record batch over the engine's buffers (no row is copied one by one)."""
    pa = pyarrow()
    arrays = []
    for _name, type_name, validity, values, dictionary in columns:
        value_type = getattr(pa, type_name)()
        buffers = [None if validity is None else pa.py_buffer(validity), pa.py_buffer(values)]
        array = pa.Array.from_buffers(value_type, rows, buffers)
        if dictionary is not None:
            array = pa.DictionaryArray.from_arrays(array, pa.array(dictionary, pa.string()))
        arrays.append(array)
    return pa.RecordBatch.from_arrays(arrays, schema=recording_schema())


def canonical(pa: Any, batch: Any) -> Any:
    """A batch of any recording-like columns in the types the engine reads.

    Strings may be plain, large or views, dictionary-encoded or not; ``ts``
    any integer or a timestamp (taken in milliseconds); numbers any numeric
    type. Columns that are not the recording's are dropped.
    """
    schema = recording_schema()
    names, arrays = [], []
    for field in batch.schema:
        if field.name not in schema.names:
            continue
        column = batch.column(field.name)
        target = schema.field(field.name).type
        kind = field.type
        if pa.types.is_dictionary(target):
            if pa.types.is_dictionary(kind):
                if not (pa.types.is_string(kind.value_type) or pa.types.is_large_string(kind.value_type)):
                    column = column.cast(pa.dictionary(kind.index_type, pa.string()))
            elif not (pa.types.is_string(kind) or pa.types.is_large_string(kind)):
                column = column.cast(pa.string())
        elif field.name == "ts":
            # Times are truncated to the millisecond; integers must fit. A
            # float ts is left as it is: the engine refuses it, as the radar
            # refuses a ts of 5.0.
            if pa.types.is_timestamp(kind) or pa.types.is_date(kind):
                import pyarrow.compute as pc  # only here: its import costs a replay 0.03 s

                column = pc.cast(column.cast(pa.timestamp("ms"), safe=False), pa.int64())
            elif pa.types.is_integer(kind) and kind != target:
                column = column.cast(target)
        elif kind != target and (pa.types.is_integer(kind) or pa.types.is_floating(kind)):
            column = column.cast(target, safe=False)  # rounded as the radar rounds a JSON number
        names.append(field.name)
        arrays.append(column)
    return pa.RecordBatch.from_arrays(arrays, names=names)
