"""Parquet recordings among the inputs: their files cut into parts by row groups.

A Parquet recording (a ``.parquet`` file, or a folder of them read in name
order as one recording) is read by the workers as record batches, decoded
from Arrow buffers by the native shard reader (``ShardReader.read_rows``),
each row a line of its unit. Its files are found, and their footers
checked, before any cluster work, as the single replay opens them. A file
is one part, or, when its column chunks hold more than ``part_bytes``,
several: runs of whole row groups (whole segments of a file clustered by
symbol, whose rows are put back in input order segment by segment) of
about ``part_bytes`` each, starting where the single replay's batches do. The rows of a folder are numbered on from one
file to the next, and named by the folder, as the single replay names them.

Local paths and ``file://`` URLs are read by pyarrow from the file itself;
any other fsspec URL through the file fsspec opens.
"""

from __future__ import annotations

import errno
import os
from collections.abc import Iterable, Iterator
from typing import Any

from fenmor_radar.columnar.arrow import PARQUET_SUFFIX, is_parquet, parquet_files, pyarrow
from fenmor_radar.columnar.recording import (
    BATCH_ROWS,
    ColumnarFile,
    describe,
    read_columns,
    recording_columns,
    segments,
)
from fenmor_radar.columnar.recording import file_batches as columnar_file_batches
from fenmor_radar.distributed.parts import Part, import_fsspec, local_path
from fenmor_radar.replay.recording import DamagedInput

# A part of a file in input order starts at a multiple of this many rows, where the
# single replay's batches of the whole file start too (a clustered file's start at
# each segment): so a file that breaks off ends at the same row either way.
ALIGNED_ROWS = BATCH_ROWS


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


def columnar_parts(source: str, index: int, part_bytes: int) -> list[Part] | None:
    """The parts of input ``index`` when it is a Parquet recording, in input order; None
    for any other input. ``NotColumnar`` naming a file whose footer holds no recording,
    ``OSError`` naming one that cannot be read."""
    files = parquet_inputs(source)
    if files is None:
        return None
    parts: list[Part] = []
    for file in files:
        try:
            runs = _runs(file, part_bytes)
        except FileNotFoundError as err:  # named as given, URL and all
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), file) from err
        except OSError as err:
            raise OSError(err.errno, err.strerror or str(err), file) from err
        parts.extend(Part(source, index, columnar=file, row_groups=run) for run in runs)
    return parts


def _runs(file: str, part_bytes: int) -> list[tuple[int, ...] | None]:
    """The file's row groups cut into parts of about ``part_bytes`` of the columns read,
    at the runs that are read together; [None] (the whole file) for one part."""
    columnar = _described(file)
    with _opened(file) as parquet:
        metadata = parquet.metadata
    parts: list[tuple[int, ...]] = []
    size = part_bytes  # of the last part: a new one starts past part_bytes
    rows = 0  # before the run
    for run in segments(metadata, columnar.layout, list(range(metadata.num_row_groups))):
        if size >= part_bytes and (columnar.layout.clustered or rows % ALIGNED_ROWS == 0):
            parts.append(())
            size = 0
        parts[-1] += tuple(run)
        size += _chunk_bytes(metadata, columnar, run)
        rows += sum(metadata.row_group(group).num_rows for group in run)
    return [None] if len(parts) <= 1 else list(parts)


def _chunk_bytes(metadata: Any, columnar: ColumnarFile, row_groups: Iterable[int]) -> int:
    """The compressed bytes of the column chunks a read of ``row_groups`` takes."""
    wanted = set(read_columns(columnar))
    total = 0
    for group in row_groups:
        chunks = metadata.row_group(group)
        total += sum(chunks.column(c).total_compressed_size for c in range(chunks.num_columns)
                     if chunks.column(c).path_in_schema in wanted)
    return total


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


def part_bytes_read(file: str, row_groups: tuple[int, ...] | None) -> int:
    """What a part reads from storage: the whole file, or its row groups' column chunks."""
    if row_groups is None:
        path = _local(file)
        if path is not None:
            return os.path.getsize(path)
        fs, remote = import_fsspec().core.url_to_fs(file)
        return int(fs.size(remote))
    columnar = _described(file)
    with _opened(file) as parquet:
        return _chunk_bytes(parquet.metadata, columnar, row_groups)


def file_batches(file: str, row_groups: tuple[int, ...] | None = None) -> Iterator[Any]:
    """The rows of the file (of its ``row_groups`` when given) in input order, in the
    types the engine reads, as record batches, as the single replay reads them;
    ``DamagedInput`` when it breaks off (after the batches read before)."""
    pa = pyarrow()
    try:
        columnar = _described(file)
        with _opened(file) as parquet:
            # In input order whatever the file's layout (clustered files
            # are put back in order segment by segment).
            yield from columnar_file_batches(parquet, columnar, row_groups=row_groups)
    except (OSError, pa.ArrowException) as err:
        raise DamagedInput(str(err)) from err
