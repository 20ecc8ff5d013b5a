"""Reading a Parquet recording (a file, or a folder of files) in record batches."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from functools import partial
from typing import Any

from fenmor_radar.columnar.arrow import parquet_files, pyarrow
from fenmor_radar.columnar.schema import canonical, column_names
from fenmor_radar.columnar.selection import Selection
from fenmor_radar.replay.recording import DamagedInput

BATCH_ROWS = 1 << 16
REQUIRED = ("symbol", "kind", "ts")


class NotColumnar(ValueError):
    """A Parquet file that holds no recording: its columns say what is missing."""


def _footer_columns(path: str) -> list[str]:
    import pyarrow.parquet as pq

    with pq.ParquetFile(path) as file:
        names: list[str] = file.schema_arrow.names
    return names


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
        self._files = parquet_files(path) if os.path.isdir(path) else [path]
        if not self._files:
            raise NotColumnar(f"{path} holds no .parquet file")
        self.size: int | None = sum(os.path.getsize(file) for file in self._files)
        # A whole recording is read file by file; only a selection needs
        # pyarrow's datasets (and their import, several times pyarrow's own)
        # to skip row groups by their statistics.
        self._dataset: Any = None
        if self.selection.everything:
            # Every file's footer now: a folder's odd file is refused at the start.
            for file in self._files:
                names = recording_columns(file, partial(_footer_columns, file))
        else:
            import pyarrow.dataset as ds

            def open_dataset() -> list[str]:
                self._dataset = ds.dataset(self._files, format="parquet")
                names: list[str] = self._dataset.schema.names
                return names

            names = recording_columns(path, open_dataset)
        self._columns = [name for name in column_names() if name in names]

    def position(self) -> int | None:
        """Unknown: the files are read by pyarrow, ahead of the radar."""
        return None

    def batches(self) -> Iterator[Any]:
        """The selected rows in input order, in the types the engine reads."""
        pa = pyarrow()
        try:
            yield from self._read(pa)
        except (OSError, pa.ArrowException) as err:
            raise DamagedInput(str(err)) from err

    def _read(self, pa: Any) -> Iterator[Any]:
        if self._dataset is not None:
            scanner = self._dataset.scanner(
                columns=self._columns,
                filter=self.selection.expression(),
                batch_size=BATCH_ROWS,
                use_threads=True,
            )
            batches: Iterator[Any] = scanner.to_batches()
        else:
            batches = self._files_batches()
        for batch in batches:
            if batch.num_rows:
                yield canonical(pa, batch)

    def _files_batches(self) -> Iterator[Any]:
        import pyarrow.parquet as pq

        for path in self._files:
            with pq.ParquetFile(path) as file:
                names = file.schema_arrow.names
                columns = [name for name in column_names() if name in names]
                # Decoded on this thread: the feeder reads the rows on the
                # pool, and pyarrow's threads beside it only contended with
                # it (measured, two processors).
                yield from file.iter_batches(
                    batch_size=BATCH_ROWS, columns=columns, use_threads=False
                )

    def close(self) -> None:
        pass
