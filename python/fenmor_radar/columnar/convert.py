"""Recordings from one format into the other: JSON lines to Parquet and back.

Either way a line (or row) the radar would refuse is reported through
``on_bad(path, number, message, field)`` with the radar's reason, as a replay
reports it, and left out; every other event is written with its doubles
exactly, so both files feed the radar identically.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator

from fenmor_radar._native import line_columns, row_lines
from fenmor_radar.columnar.arrow import is_parquet
from fenmor_radar.columnar.recording import ParquetRecording
from fenmor_radar.columnar.schema import batch_of
from fenmor_radar.columnar.writer import ParquetRecordingWriter
from fenmor_radar.replay.recording import Recording

OnBad = Callable[[str, int, str, "str | None"], None]


def _report(path: str, bad: list[tuple[int, str, str | None]], on_bad: OnBad) -> None:
    for number, message, field in bad:
        on_bad(path, number, message, field)


def lines_of(path: str, on_bad: OnBad) -> Iterator[bytes]:
    """The recording at ``path`` (JSON lines or Parquet) as blocks of its accepted lines."""
    if is_parquet(path):
        recording = ParquetRecording(path)
        first = 1
        for batch in recording.batches():
            data, bad = row_lines(batch, first)
            _report(path, bad, on_bad)
            first += batch.num_rows
            if data:
                yield data
        return
    with Recording(path) as source:
        for chunk, first in source.whole_lines():
            rows, columns, bad = line_columns(chunk, first)
            _report(path, bad, on_bad)
            if rows:
                data, _ = row_lines(batch_of(rows, columns), 1)
                yield data


def write_parquet(path: str, writer: ParquetRecordingWriter, on_bad: OnBad) -> None:
    """The recording at ``path`` (JSON lines or Parquet) appended to a Parquet recording."""
    if is_parquet(path):
        for data in lines_of(path, on_bad):
            writer.write_lines(data, 1)
        return
    with Recording(path) as source:
        for chunk, first in source.whole_lines():
            _report(path, writer.write_lines(chunk, first), on_bad)
