"""Parquet recordings among the inputs: each of their files is one part.

A Parquet recording (a ``.parquet`` file, or a folder of them read in name
order as one recording) is read by the workers as record batches, decoded
from Arrow buffers by the native shard reader (``ShardReader.read_rows``),
each row a line of its unit. Its files are found, and their columns
checked, before any cluster work, as the single replay opens them; the
rows of a folder are numbered on from one file to the next, and named by
the folder, as the single replay names them.

Local paths and ``file://`` URLs are read by pyarrow from the file itself;
any other fsspec URL through the file fsspec opens.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

from fenmor_radar.columnar.arrow import PARQUET_SUFFIX, is_parquet, parquet_files, pyarrow
from fenmor_radar.columnar.recording import (
    ColumnarFile,
    ParquetRecording,
    describe,
    recording_columns,
)
from fenmor_radar.columnar.recording import file_batches as columnar_file_batches
from fenmor_radar.distributed.parts import import_fsspec, local_path
from fenmor_radar.replay.recording import DamagedInput


def _local(source: str) -> str | None:
    """The path of a file on this machine's own filesystem, None for a remote URL."""
    return local_path(source) if "://" in source else source


def parquet_inputs(source: str) -> list[str] | None:
    """The Parquet files of ``source`` in the order of their rows, or None when it is not a
    Parquet recording (a JSON-lines one)."""
    path = _local(source)
    if path is not None:
        if not is_parquet(path):
            return None
        return parquet_files(path) if os.path.isdir(path) else [path]
    fs, remote = import_fsspec().core.url_to_fs(source)
    if remote.lower().endswith(PARQUET_SUFFIX):
        return [source]
    if not fs.isdir(remote):
        return None
    files = sorted(fs.unstrip_protocol(found) for found in fs.find(remote)
                   if found.lower().endswith(PARQUET_SUFFIX))
    return files or None


def checked_columns(file: str) -> list[str]:
    """The file's columns; ``NotColumnar`` naming it when they hold no recording (or
    declare a layout this version cannot read in order), ``OSError`` when it cannot be
    read."""
    return _described(file).columns


def _described(file: str) -> ColumnarFile:
    found: list[ColumnarFile] = []

    def names() -> list[str]:
        with _opened(file) as parquet:
            schema = parquet.schema_arrow
        found.append(describe(file, schema))
        return list(schema.names)

    recording_columns(file, names)
    return found[0]


def _opened(file: str) -> Any:
    import pyarrow.parquet as pq

    path = _local(file)
    if path is not None:
        return pq.ParquetFile(path)
    fs, remote = import_fsspec().core.url_to_fs(file)
    return pq.ParquetFile(fs.open(remote, "rb"))


def file_size(file: str) -> int:
    path = _local(file)
    if path is not None:
        return os.path.getsize(path)
    fs, remote = import_fsspec().core.url_to_fs(file)
    return int(fs.size(remote))


def file_batches(file: str) -> Iterator[Any]:
    """The file's rows in input order, in the types the engine reads, as record batches;
    ``DamagedInput`` when it breaks off (after the batches read before)."""
    path = _local(file)
    if path is not None:  # read as the single replay reads it
        yield from ParquetRecording(path).batches()
        return
    pa = pyarrow()
    columnar = _described(file)
    try:
        with _opened(file) as parquet:
            # In input order whatever the file's layout (clustered files
            # are put back in order segment by segment).
            yield from columnar_file_batches(parquet, columnar)
    except (OSError, pa.ArrowException) as err:
        raise DamagedInput(str(err)) from err
