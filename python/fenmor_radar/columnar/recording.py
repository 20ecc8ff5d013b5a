"""Reading a Parquet recording (a file, or a folder of files) in record batches."""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

from fenmor_radar.columnar.arrow import parquet_files, pyarrow
from fenmor_radar.columnar.schema import canonical, column_names
from fenmor_radar.columnar.selection import Selection
from fenmor_radar.replay.recording import DamagedInput

BATCH_ROWS = 1 << 16
REQUIRED = ("symbol", "kind", "ts")


class NotColumnar(ValueError):
    """A Parquet file that holds no recording: its columns say what is missing."""


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
        pa = pyarrow()
        import pyarrow.dataset as ds

        self.name = path
        self.selection = selection or Selection()
        files = parquet_files(path) if os.path.isdir(path) else [path]
        if not files:
            raise NotColumnar(f"{path} holds no .parquet file")
        self.size: int | None = sum(os.path.getsize(file) for file in files)
        try:
            self._dataset = ds.dataset(files, format="parquet")
        except pa.ArrowInvalid as err:
            raise NotColumnar(f"{path} is not a Parquet file: {err}") from err
        names = self._dataset.schema.names
        missing = [name for name in REQUIRED if name not in names]
        if missing:
            raise NotColumnar(
                f"{path} is not a recording: it has no {', '.join(f'`{m}`' for m in missing)} "
                f"column (its columns: {', '.join(names) or 'none'})"
            )
        self._columns = [name for name in column_names() if name in names]

    def position(self) -> int | None:
        """Unknown: the files are read by pyarrow, ahead of the radar."""
        return None

    def batches(self) -> Iterator[Any]:
        """The selected rows in input order, in the types the engine reads."""
        pa = pyarrow()
        scanner = self._dataset.scanner(
            columns=self._columns,
            filter=self.selection.expression(),
            batch_size=BATCH_ROWS,
            use_threads=True,
        )
        try:
            for batch in scanner.to_batches():
                if batch.num_rows:
                    yield canonical(pa, batch)
        except (OSError, pa.ArrowException) as err:
            raise DamagedInput(str(err)) from err

    def close(self) -> None:
        pass
