"""Reading a Parquet recording (a file, or a folder of files) in record batches.

Each file is read in its own layout (layout.py): a file in input order row
group after row group; a file clustered by symbol segment after segment, each
segment's rows put back in input order by their ``seq`` before they are fed.
A selection reads only the row groups whose statistics of ``symbol`` and
``ts`` can hold it, and drops the other rows of those before the radar.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from fenmor_radar.columnar.arrow import parquet_files, pyarrow
from fenmor_radar.columnar.layout import SEQ, Layout, layout_of
from fenmor_radar.columnar.schema import canonical, column_names
from fenmor_radar.columnar.selection import Selection
from fenmor_radar.replay.read_ahead import read_ahead
from fenmor_radar.replay.recording import DamagedInput

BATCH_ROWS = 1 << 16
REQUIRED = ("symbol", "kind", "ts")


class NotColumnar(ValueError):
    """A Parquet file that holds no recording: its columns say what is missing."""


@dataclass(frozen=True, slots=True)
class ColumnarFile:
    """A file of a recording as its footer describes it: what is read, and how."""

    path: str
    columns: list[str]  # the recording's columns it has, in the engine's order
    layout: Layout


def recording_columns(path: str, read: Callable[[], list[str]]) -> list[str]:
    """The column names ``read()`` finds in ``path``; ``NotColumnar`` when they hold no
    recording or ``path`` is no Parquet at all."""
    pa = pyarrow()
    try:
        names: list[str] = read()
    except pa.ArrowInvalid as err:
        raise NotColumnar(f"{path} is not a Parquet file: {err}") from err
    missing = [name for name in REQUIRED if name not in names]
    if missing:
        raise NotColumnar(
            f"{path} is not a recording: it has no {', '.join(f'`{m}`' for m in missing)} "
            f"column (its columns: {', '.join(names) or 'none'})"
        )
    return names


def describe(path: str, schema: Any) -> ColumnarFile:
    """A file by its Arrow schema (``ParquetFile.schema_arrow``): ``NotColumnar`` naming
    ``path`` when it holds no recording or declares a layout this version cannot read
    in order."""
    names = recording_columns(path, lambda: list(schema.names))
    try:
        layout = layout_of(schema)
    except ValueError as err:
        raise NotColumnar(f"{path} cannot be read: {err}") from err
    return ColumnarFile(path, [name for name in column_names() if name in names], layout)


def open_columnar(path: str) -> ColumnarFile:
    """``path``'s footer checked (``describe``); ``NotColumnar`` too when it is no Parquet."""
    import pyarrow.parquet as pq

    found: list[Any] = []

    def names() -> list[str]:
        with pq.ParquetFile(path) as file:
            found.append(file.schema_arrow)
        return list(found[0].names)

    recording_columns(path, names)
    return describe(path, found[0])


def _may_hold(statistics: Any, low: Any, high: Any, kind: type) -> bool:
    """Whether a column chunk whose statistics are ``statistics`` may hold a value in
    [low, high] (None: open); True whenever its statistics say nothing usable."""
    if statistics is None or not statistics.has_min_max:
        return True
    least, most = statistics.min, statistics.max
    if not (isinstance(least, kind) and isinstance(most, kind)):
        return True
    return (low is None or most >= low) and (high is None or least <= high)


def selected_row_groups(metadata: Any, selection: Selection) -> list[int]:
    """The row groups whose statistics can hold ``selection``'s rows."""
    names = [metadata.schema.column(i).name for i in range(metadata.num_columns)]
    symbol_at = names.index("symbol") if "symbol" in names else None
    ts_at = names.index("ts") if "ts" in names else None
    symbols = sorted(selection.symbols) if selection.symbols is not None else None
    to_ts = None if selection.to_ts is None else selection.to_ts - 1
    kept = []
    for index in range(metadata.num_row_groups):
        group = metadata.row_group(index)
        if symbols is not None and symbol_at is not None:
            stats = group.column(symbol_at).statistics
            if not symbols or not any(_may_hold(stats, symbol, symbol, str) for symbol in symbols):
                continue
        if ts_at is not None and not _may_hold(group.column(ts_at).statistics, selection.from_ts, to_ts, int):
            continue
        kept.append(index)
    return kept


def segments(metadata: Any, layout: Layout, row_groups: list[int]) -> list[list[int]]:
    """``row_groups`` (ascending) in the runs that are read together: each one alone
    in input order; those of one segment together when clustered. A clustered
    file whose ``seq`` statistics do not say the segments is read as one."""
    if not layout.clustered or not row_groups:
        return [[index] for index in row_groups]
    assert layout.segment_rows is not None
    seq_at = [metadata.schema.column(i).name for i in range(metadata.num_columns)].index(SEQ)
    keys = []
    for index in row_groups:
        stats = metadata.row_group(index).column(seq_at).statistics
        if stats is None or not stats.has_min_max or not isinstance(stats.min, int):
            return [row_groups]
        keys.append(stats.min // layout.segment_rows)
    if keys != sorted(keys):
        return [row_groups]
    runs: list[list[int]] = []
    last = None
    for key, index in zip(keys, row_groups, strict=True):
        if key == last:
            runs[-1].append(index)
        else:
            runs.append([index])
        last = key
    return runs


class ParquetRecording:
    """A Parquet recording's events in input order, as Arrow record batches.

    Reads only what ``selection`` asks for: row groups whose statistics of
    ``symbol`` and ``ts`` rule them out are skipped, and rows outside it are
    dropped before they reach the radar. Raises ``OSError`` for a file that
    cannot be opened, ``NotColumnar`` for one without the recording's columns, and
    ``DamagedInput`` from ``batches`` when a file breaks off.
    """

    columnar = True

    def __init__(self, path: str, selection: Selection | None = None) -> None:
        pyarrow()  # without it, MissingPyarrow says which extra to install
        self.name = path
        self.selection = selection or Selection()
        names = parquet_files(path) if os.path.isdir(path) else [path]
        if not names:
            raise NotColumnar(f"{path} holds no .parquet file")
        self.size: int | None = sum(os.path.getsize(name) for name in names)
        # Every file's footer now: a folder's odd file is refused at the start.
        self._files = [open_columnar(name) for name in names]

    def position(self) -> int | None:
        """Unknown: the files are read by pyarrow, ahead of the radar."""
        return None

    def bytes_to_read(self) -> int:
        """The compressed bytes of the column chunks a read of the selection takes."""
        import pyarrow.parquet as pq

        total = 0
        for columnar in self._files:
            with pq.ParquetFile(columnar.path) as file:
                metadata = file.metadata
                wanted = set(read_columns(columnar))
                for index in row_groups_read(metadata, self.selection):
                    group = metadata.row_group(index)
                    total += sum(
                        group.column(c).total_compressed_size
                        for c in range(group.num_columns)
                        if group.column(c).path_in_schema in wanted
                    )
        return total

    def batches(self) -> Iterator[Any]:
        """The selected rows in input order, in the types the engine reads.

        Decoded on a thread a couple of batches ahead: pyarrow decodes, and
        the feeder applies, without the interpreter lock, so the two overlap
        (measured faster once the feeder took a batch in a fraction of its
        decoding time; benchmarks/README.md, B9)."""
        return read_ahead(self._decoded())

    def _decoded(self) -> Iterator[Any]:
        import pyarrow.parquet as pq

        pa = pyarrow()
        try:
            for columnar in self._files:
                with pq.ParquetFile(columnar.path) as file:
                    yield from file_batches(file, columnar, self.selection)
        except (OSError, pa.ArrowException) as err:
            raise DamagedInput(str(err)) from err

    def close(self) -> None:
        pass


def read_columns(columnar: ColumnarFile) -> list[str]:
    return columnar.columns + [SEQ] if columnar.layout.clustered else columnar.columns


def row_groups_read(metadata: Any, selection: Selection) -> list[int]:
    if selection.everything:
        return list(range(metadata.num_row_groups))
    return selected_row_groups(metadata, selection)


def file_batches(
    file: Any,
    columnar: ColumnarFile,
    selection: Selection | None = None,
    row_groups: Sequence[int] | None = None,
) -> Iterator[Any]:
    """The rows of an open ``pyarrow.parquet.ParquetFile`` described by ``columnar``
    (``describe``) that ``selection`` asks for, in input order and in the types the
    engine reads, as record batches; only those of ``row_groups`` (ascending, whole
    runs of ``segments``) when given. pyarrow's errors pass through."""
    pa = pyarrow()
    selection = selection or Selection()
    columns = read_columns(columnar)
    if row_groups is None:
        row_groups = row_groups_read(file.metadata, selection)
    row_groups = list(row_groups)
    pieces: Iterator[Any]
    if not row_groups:
        pieces = iter(())
    elif not columnar.layout.clustered:
        # Decoded on one thread (the caller's): the feeder reads the rows on
        # the pool, and pyarrow's threads beside it only contended with it
        # (measured, two processors).
        pieces = file.iter_batches(batch_size=BATCH_ROWS, row_groups=row_groups, columns=columns, use_threads=False)
    else:
        import pyarrow.compute as pc  # only here: its import costs a replay 0.03 s

        pieces = _segment_batches(pc, file, columnar, row_groups)
    for piece in pieces:
        batch = canonical(pa, piece)
        if not selection.everything:
            batch = batch.filter(selection.mask(batch))
        if batch.num_rows:
            yield batch


def _segment_batches(
    pc: Any, file: Any, columnar: ColumnarFile, row_groups: list[int]
) -> Iterator[Any]:
    """A clustered file's segments, each one's rows put back in input order (Arrow's
    kernels, per segment)."""
    for run in segments(file.metadata, columnar.layout, row_groups):
        # The whole segment is needed before its first row in input order, and
        # the feeder waits meanwhile: pyarrow's threads decode it.
        table = file.read_row_groups(run, columns=read_columns(columnar), use_threads=True)
        order = input_order(pc, table.column(SEQ))
        # Taken a batch at a time: one copy of the segment in memory, not two.
        for start in range(0, len(order), BATCH_ROWS):
            yield from table.take(order.slice(start, BATCH_ROWS)).to_batches()


def input_order(pc: Any, seq: Any) -> Any:
    """The indices that put rows in the order of their distinct ``seq``.

    A segment's ``seq`` are distinct and close together, so the order is the
    inverse permutation of ``seq - min`` (with gaps where rows were not read),
    a single pass where sorting took twenty times longer. pyarrow before 19
    lacks it, and repeated ``seq`` (a file not written by this package) would
    lose rows there: both are sorted instead.
    """
    if len(seq) == 0:
        return pc.sort_indices(seq)
    least, most = pc.min_max(seq).values()
    inverse = getattr(pc, "inverse_permutation", None)
    if inverse is not None and least.is_valid and seq.null_count == 0:
        span = most.as_py() - least.as_py()
        if span < 4 * len(seq) + (1 << 16):
            order = pc.drop_null(inverse(pc.subtract(seq, least), max_index=span))
            if len(order) == len(seq):
                return order
    return pc.sort_indices(seq)
