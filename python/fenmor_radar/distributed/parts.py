"""The input cut into parts that workers read on their own.

Each file is a part; a plain file larger than ``part_bytes`` is cut into byte
ranges. A range does not have to start or end on a line: the worker reading
it finds the cut. It starts right after the first line break at or after its
start offset (at the file's start when that offset is 0) and ends with the
first line break at or after its end offset (or at the end of the file). The
next range starts after that same line break, so every line belongs to
exactly one range, whatever the offsets. A gzip file cannot be entered in the
middle, so it is always one part. A Parquet file is cut into parts at its
row groups (``columnar_parts``): its rows are the lines.

Files are reached through fsspec: a local path, or any URL it understands
(``s3://...``, ``gcs://...``) with its filesystem package installed on the
driver and on every worker; a plain part of a file on the worker's own
filesystem is mapped into memory instead (``mapped_spans``), cut by the same
rule. Line numbers within a part count from 1; a line's
number in its file is known only once the line counts of the file's earlier
parts are (the driver adds them up).
"""

from __future__ import annotations

import errno
import glob
import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, BinaryIO

from fenmor_radar import optional
from fenmor_radar._native import MappedFile
from fenmor_radar.gzip_reader import GZIP_MAGIC, GzipReader
from fenmor_radar.replay.recording import STDIN_NAME, DamagedInput

DEFAULT_PART_BYTES = 128 << 20  # about one unit of lines (driver.UNIT_LINES) of recorded events
BLOCK_BYTES = 4 << 20  # what a reader takes from a file at a time
NEWLINE = b"\n"


@dataclass(frozen=True, slots=True)
class Part:
    """One piece of the input: bytes ``start`` .. ``end`` of ``source``, cut at line breaks.

    ``source`` is the path or URL as given (messages name it); ``file`` is
    its position among the inputs. ``end`` None reads to the end of the file;
    a compressed part is always a whole file (``start`` 0, ``end`` None).
    ``columnar`` is the Parquet file a part of a Parquet recording reads (the
    recording's own path, or one file of its folder), its rows the part's
    lines, and ``row_groups`` its row groups that the part reads (None: all);
    its line numbers go on from the recording's parts before it.
    """

    source: str
    file: int
    start: int = 0
    end: int | None = None
    compressed: bool = False
    columnar: str | None = None
    row_groups: tuple[int, ...] | None = None


def import_fsspec() -> Any:
    return optional.require("fsspec", "reading the input on the workers", "distributed")


def expand_inputs(names: Sequence[str]) -> list[str]:
    """The inputs with each glob (``*``, ``?``, ``[``) replaced by the files it matches, in
    name order, through fsspec, so that ``s3://bucket/2024-03-*.jsonl.gz`` works as a
    shell's glob does for local files. A name that exists as given is taken as it is; a
    glob matching nothing raises ``FileNotFoundError`` naming it."""
    expanded: list[str] = []
    for name in names:
        if name == STDIN_NAME or not any(char in name for char in "*?["):
            expanded.append(name)
            continue
        if "://" in name:
            fs, path = import_fsspec().core.url_to_fs(name)
            if fs.exists(path):
                expanded.append(name)
                continue
            matches = sorted(fs.unstrip_protocol(match) for match in fs.glob(path)
                             if fs.isfile(match))
        else:  # named as the pattern names them, relative or not
            if os.path.exists(name):
                expanded.append(name)
                continue
            matches = sorted(match for match in glob.glob(name) if os.path.isfile(match))
        if not matches:
            raise FileNotFoundError(errno.ENOENT, "no file matches this pattern", name)
        expanded.extend(matches)
    return expanded


def plan_parts(paths: Sequence[str], part_bytes: int = DEFAULT_PART_BYTES) -> list[Part]:
    """The parts of the files, in input order; ``OSError`` naming a file that cannot be read.

    Looks at each file's size and first two bytes only (gzip is recognised by
    its magic number, not its name); a Parquet recording's files are listed
    and their footers read (``NotColumnar`` naming a file that holds no
    recording).
    """
    if part_bytes <= 0:
        raise ValueError(f"part_bytes must be greater than zero, got {part_bytes}")
    fsspec = import_fsspec()
    parts: list[Part] = []
    for number, source in enumerate(paths):
        # Imported here: it builds this module's parts.
        from fenmor_radar.distributed.columnar_parts import columnar_parts

        columnar = columnar_parts(source, number, part_bytes)
        if columnar is not None:
            parts.extend(columnar)
            continue
        try:
            fs, path = fsspec.core.url_to_fs(source)
            with fs.open(path, "rb") as file:
                head = file.read(len(GZIP_MAGIC))
            size = int(fs.size(path))
        except FileNotFoundError as err:  # named as given, URL and all
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), source) from err
        except OSError as err:
            raise OSError(err.errno, err.strerror or str(err), source) from err
        if head == GZIP_MAGIC:
            parts.append(Part(source, number, compressed=True))
            continue
        cuts = list(range(0, size, part_bytes)) or [0]
        for at, start in enumerate(cuts):
            end = cuts[at + 1] if at + 1 < len(cuts) else None
            parts.append(Part(source, number, start, end))
    return parts


def part_blocks(part: Part, block_bytes: int = BLOCK_BYTES) -> Iterator[bytes]:
    """The part's bytes (decompressed for gzip), in blocks that may cut lines anywhere.

    Raises ``DamagedInput`` when the file breaks off or cannot be read, after
    the blocks read before the fault.
    """
    fsspec = import_fsspec()
    try:
        with fsspec.open(part.source, "rb") as raw:
            if part.compressed:
                # Each block is what one step decompressed, so that a fault
                # loses only the bytes after the last complete step.
                stream = GzipReader(raw.read)
                while block := stream.read(block_bytes):
                    yield block
            else:
                yield from _range_blocks(raw, part.start, part.end, block_bytes)
    except (OSError, EOFError) as err:
        raise DamagedInput(str(err)) from err


def _range_blocks(raw: BinaryIO, start: int, end: int | None, block_bytes: int) -> Iterator[bytes]:
    at = start  # the file offset of the first byte of ``block``
    if start > 0:
        raw.seek(start)
        while True:  # skip through the first line break at or after ``start``
            block = raw.read(block_bytes)
            if not block:
                return
            found = block.find(NEWLINE)
            if found >= 0:
                if end is not None and at + found >= end:
                    return  # the line break that ends this range: it holds no line
                at += found + 1
                block = block[found + 1 :]
                break
            at += len(block)
    else:
        block = b""
    while True:
        if not block:
            block = raw.read(block_bytes)
            if not block:
                return
        if end is not None and at + len(block) > end:
            found = block.find(NEWLINE, max(end - at, 0))
            if found >= 0:
                yield block[: found + 1]
                return
        yield block
        at += len(block)
        block = b""


def part_spans(part: Part, buffer: bytearray) -> Iterator[tuple[int, int]]:
    """A plain part's bytes as ``buffer[start:stop]``, the buffer refilled in place for each.

    The same bytes as ``part_blocks`` (up to the block size, ``len(buffer)``),
    without allocating a block each time: a worker whose allocator returns
    freed memory to the system at once (as Dask's nanny sets it up) would
    otherwise fault in every page of the input again. Each span is valid
    until the next one is asked for. Raises ``DamagedInput`` as
    ``part_blocks`` does.
    """
    if part.compressed:
        raise ValueError("a compressed part is read by part_blocks")
    fsspec = import_fsspec()
    try:
        with fsspec.open(part.source, "rb") as raw:
            yield from _range_spans(raw, part.start, part.end, buffer)
    except (OSError, EOFError) as err:
        raise DamagedInput(str(err)) from err


def _range_spans(
    raw: BinaryIO, start: int, end: int | None, buffer: bytearray
) -> Iterator[tuple[int, int]]:
    """``_range_blocks`` into one buffer: ``at`` is the file offset of ``buffer[0]``."""
    at = start
    if start > 0:
        raw.seek(start)
    skipping = start > 0  # up to the first line break at or after ``start``
    while read := raw.readinto(buffer):  # type: ignore[attr-defined]
        begin = 0
        if skipping:
            found = buffer.find(NEWLINE, 0, read)
            if found < 0:
                at += read
                continue
            if end is not None and at + found >= end:
                return  # the line break that ends this range: it holds no line
            begin = found + 1
            skipping = False
        if end is not None and at + read > end:
            found = buffer.find(NEWLINE, max(end - at, begin), read)
            if found >= 0:
                yield begin, found + 1
                return
        yield begin, read
        at += read


def local_path(source: str) -> str | None:
    """The path of ``source`` when fsspec reaches it on this machine's own filesystem
    (a path, or a ``file://`` URL) and files can be mapped here; None otherwise."""
    if os.name != "posix":
        return None
    fs, path = import_fsspec().core.url_to_fs(source)
    from fsspec.implementations.local import LocalFileSystem  # type: ignore[import-untyped]

    return str(path) if isinstance(fs, LocalFileSystem) else None


def mapped_spans(
    part: Part, path: str, block_bytes: int = BLOCK_BYTES
) -> Iterator[tuple[MappedFile, int, int]]:
    """A plain part of a local file as ``(mapped, start, stop)``: the file mapped into
    memory, cut where ``part_spans`` cuts it, in spans of up to ``block_bytes``.

    Read where it lies, the page cache is not copied into a buffer first.
    Raises ``DamagedInput`` when the file cannot be mapped.
    """
    if part.compressed:
        raise ValueError("a compressed part is read by part_blocks")
    try:
        mapped = MappedFile(path)
    except OSError as err:
        raise DamagedInput(str(err)) from err
    size = len(mapped)
    begin = 0
    if part.start > 0:  # after the first line break at or after ``start``
        found = mapped.find_newline(part.start)
        if found < 0 or (part.end is not None and found >= part.end):
            return  # the line break that ends this range: it holds no line
        begin = found + 1
    stop = size
    if part.end is not None and part.end < size:  # through the first line break at or after it
        found = mapped.find_newline(max(part.end, begin))
        if found >= 0:
            stop = found + 1
    for at in range(begin, stop, block_bytes):
        yield mapped, at, min(at + block_bytes, stop)


def part_lines(part: Part, block_bytes: int = BLOCK_BYTES) -> Iterator[bytes]:
    """Every line of the part (blank ones too) without its line break, in order.

    A final line needs no line break. When the input breaks off, the lines
    read completely are yielded, the broken one is dropped, and
    ``DamagedInput`` is raised.
    """
    carry = b""
    for block in part_blocks(part, block_bytes):
        lines = (carry + block).split(NEWLINE)
        carry = lines.pop()
        yield from lines
    if carry:
        yield carry
